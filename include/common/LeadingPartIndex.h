// TLeadingPartIndex: finds, among a set of unique names, the ones that are a
// leading part of (or equal to) a given name, shortest first, without
// searching a sorted list once per character.
//
// The action manager keeps one beside its sorted action list, which stays the
// truth: every insertion into and removal from that list is mirrored here
// under the same lock. Names are hashed once per character of the searched
// name (FNV-1a, so the hash of each leading part falls out of the one pass)
// and looked up only at the lengths some indexed name has; the leading parts
// of one name sort in length order, so the visit order is the list's order.
//
// The index holds views of the names: an indexed name must stay alive and
// unchanged until it is removed. Threads: no lock of its own; whoever guards
// the list guards the index. Failure: Add may throw std::bad_alloc (and then
// changes nothing); nothing else is thrown.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

template <class T>
class TLeadingPartIndex {
public:
    // Adds a name that is not indexed yet; a null value is not indexed.
    void Add(std::string_view name, T* value)
    {
        if (!value)
            return;
        auto at = LengthAt(name.size());
        if (at == mLengths.end() || at->first != name.size())
            at = mLengths.insert(at, LengthCount{name.size(), 0});
        try {
            if ((mUsed + 1) * 2 > mSlots.size())
                Grow();
        } catch (...) {
            if (at->second == 0)
                mLengths.erase(at);
            throw;
        }
        ++at->second;
        const std::uint64_t h = HashOf(name);
        std::size_t i = Home(h);
        while (mSlots[i].value)
            i = (i + 1) & mMask;
        mSlots[i] = Slot{h, name, value};
        ++mUsed;
    }

    // Removes the entry of that name and value, if indexed.
    void Remove(std::string_view name, const T* value)
    {
        if (mSlots.empty() || !value)
            return;
        const std::uint64_t h = HashOf(name);
        for (std::size_t i = Home(h); mSlots[i].value; i = (i + 1) & mMask) {
            if (mSlots[i].value != value || mSlots[i].hash != h || mSlots[i].name != name)
                continue;
            Vacate(i);
            --mUsed;
            auto at = LengthAt(name.size());
            if (at != mLengths.end() && at->first == name.size() && --at->second == 0)
                mLengths.erase(at);
            return;
        }
    }

    void Clear()
    {
        mSlots.clear();
        mMask = 0;
        mShift = 63;
        mUsed = 0;
        mLengths.clear();
    }

    std::size_t size() const { return mUsed; }

    // Calls visit(T*) for every indexed name that is a leading part of, or
    // equal to, `name`, shortest first.
    template <class Visit>
    void ForEachLeadingPart(std::string_view name, Visit visit) const
    {
        std::uint64_t h = kFnvBasis;
        std::size_t hashed = 0;
        for (const LengthCount& lc : mLengths) {
            const std::size_t len = lc.first;
            if (len > name.size())
                return;
            for (; hashed < len; ++hashed)
                h = Step(h, name[hashed]);
            const std::string_view part = name.substr(0, len);
            for (std::size_t i = Home(h); mSlots[i].value; i = (i + 1) & mMask) {
                if (mSlots[i].hash == h && mSlots[i].name == part) {
                    visit(mSlots[i].value);
                    break;
                }
            }
        }
    }

private:
    static constexpr std::uint64_t kFnvBasis = 14695981039346656037ull;
    static constexpr std::uint64_t kFnvPrime = 1099511628211ull;

    static std::uint64_t Step(std::uint64_t h, char c) { return (h ^ static_cast<unsigned char>(c)) * kFnvPrime; }

    static std::uint64_t HashOf(std::string_view name)
    {
        std::uint64_t h = kFnvBasis;
        for (char c : name)
            h = Step(h, c);
        return h;
    }

    // The top bits of the hash times the golden ratio: FNV's low bits mix
    // poorly on their own.
    std::size_t Home(std::uint64_t h) const
    {
        return static_cast<std::size_t>((h * 0x9E3779B97F4A7C15ull) >> mShift) & mMask;
    }

    // Open addressing with linear probing; a free slot has no value. The
    // table is at most half full, so every probe ends at a free slot.
    struct Slot {
        std::uint64_t hash = 0;
        std::string_view name;
        T* value = nullptr;
    };
    typedef std::pair<std::size_t, std::size_t> LengthCount; // a name length, how many names have it

    typename std::vector<LengthCount>::iterator LengthAt(std::size_t len)
    {
        return std::lower_bound(mLengths.begin(), mLengths.end(), len,
                                [](const LengthCount& lc, std::size_t l) { return lc.first < l; });
    }

    void Grow()
    {
        std::vector<Slot> old(mSlots.empty() ? 16 : mSlots.size() * 2);
        old.swap(mSlots);
        mMask = mSlots.size() - 1;
        mShift = 64;
        for (std::size_t n = mSlots.size(); n > 1; n >>= 1)
            --mShift;
        for (const Slot& s : old) {
            if (!s.value)
                continue;
            std::size_t i = Home(s.hash);
            while (mSlots[i].value)
                i = (i + 1) & mMask;
            mSlots[i] = s;
        }
    }

    // Frees slot i and moves later entries of its probe run back, so that no
    // lookup stops short at the new gap.
    void Vacate(std::size_t i)
    {
        for (std::size_t j = (i + 1) & mMask; mSlots[j].value; j = (j + 1) & mMask) {
            const std::size_t home = Home(mSlots[j].hash);
            // Entry j stays when its home lies cyclically in (i, j].
            const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
            if (stays)
                continue;
            mSlots[i] = mSlots[j];
            i = j;
        }
        mSlots[i] = Slot{};
    }

    std::vector<Slot> mSlots;
    std::size_t mMask = 0;
    unsigned mShift = 63;
    std::size_t mUsed = 0;
    std::vector<LengthCount> mLengths; // ascending by length
};
