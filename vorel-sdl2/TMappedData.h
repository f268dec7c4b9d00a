// TMappedData<T>: a cache of named values in one list sorted by name, for
// lookups by bisection. A subclass says how a missing value is made
// (CreateNew); GetData returns the cached value or makes, caches and returns
// a new one. The image caches of the full build are its main users.
//
// Names are compared byte-wise (std::string's operator<): case matters and
// no locale is involved. Equal names may be inserted; find then yields the
// last of them. A value that CreateNew fails to make (a null value) is not
// cached, so the next request tries again.
//
// Hits through GetData (and Cached) go through a hash index of positions
// beside the list: the list stays the truth, and every position the index
// offers is checked against it (the element there has the name and is the
// last of that name), so a list changed behind the cache's back (cleared,
// filled with the static insert, elements erased) only costs a bisection,
// which then puts the position right. The index never changes what a
// lookup yields.
//
// Threads: no lock of its own; a cache is used from one thread, or under a
// lock its owner holds (a hit may update the index too). Failure: nothing is thrown by the cache itself; what
// CreateNew throws reaches the caller of GetData and nothing is inserted.
// The destructor releases the list, never the values: a subclass that owns
// them frees them itself (the destructor is protected so that a cache is
// never deleted through this base).
#pragma once

#include "Algorithms.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

template <typename T>
class TMappedData {
public:
    struct Element {
        std::string Name;
        T Data;
    };
    typedef std::vector<Element> TElementList;

    // Sorted ascending by Name.
    TElementList mMappedData;

    // Makes the value for a name that is not cached; a null value for none.
    virtual T CreateNew(const std::string& Name) = 0;

    // The value of the last element named Name, or a null value.
    static T find(const TElementList& list, const std::string& Name)
    {
        auto hit = SortedFindLast(list, Name, &Element::Name);
        return hit.found ? hit.position->Data : T{};
    }

    // Inserts after every element whose name is not greater; returns the
    // inserted value.
    static T insert(TElementList& list, const Element& element)
    {
        auto it = SortedUpperBound(list, element.Name, &Element::Name);
        return list.insert(it, element)->Data;
    }

    // What GetData yields for a cached name (the value of find), without
    // making a missing one: a null value then.
    T Cached(const std::string& Name)
    {
        const std::uint64_t h = HashOf(Name);
        const std::size_t at = mIndex.Position(h);
        if (IsLastNamed(at, Name))
            return mMappedData[at].Data;
        auto hit = SortedFindLast(mMappedData, Name, &Element::Name);
        if (!hit.found)
            return T{};
        const std::size_t pos = static_cast<std::size_t>(hit.position - mMappedData.begin());
        mIndex.Record(h, pos, mMappedData.size());
        return hit.position->Data;
    }

    T GetData(const std::string& Name)
    {
        T value = Cached(Name);
        if (value)
            return value;
        value = CreateNew(Name);
        if (value) {
            auto it = SortedUpperBound(mMappedData, Name, &Element::Name);
            const std::size_t pos = static_cast<std::size_t>(it - mMappedData.begin());
            mMappedData.insert(it, Element{Name, value});
            mIndex.Inserted(pos);
            mIndex.Record(HashOf(Name), pos, mMappedData.size());
        }
        return value;
    }

protected:
    TMappedData() = default;
    ~TMappedData() = default;
    TMappedData(const TMappedData&) = default;
    TMappedData& operator=(const TMappedData&) = default;

private:
    static constexpr std::size_t kNone = SIZE_MAX;

    // Open addressing over the names' hashes; a slot holds a hash and a
    // position in the list, nothing else: the list's element at that
    // position is the key it is checked against.
    class TPositionIndex {
    public:
        std::size_t Position(std::uint64_t h) const
        {
            if (mSlots.empty())
                return kNone;
            for (std::size_t i = h & mMask;; i = (i + 1) & mMask) {
                const Slot& s = mSlots[i];
                if (s.pos == kNone || s.hash == h)
                    return s.pos;
            }
        }

        void Record(std::uint64_t h, std::size_t pos, std::size_t listSize)
        {
            if ((mUsed + 1) * 2 > mSlots.size()) {
                // Names that left the list behind the cache's back stay until
                // the index outgrows the list; then it starts again.
                if (mUsed > 2 * listSize + 16)
                    Reset(mSlots.size(), false);
                else
                    Reset(mSlots.empty() ? 64 : mSlots.size() * 2, true);
            }
            Put(h, pos);
        }

        // An element went in at pos: those from there on moved up by one.
        void Inserted(std::size_t pos)
        {
            for (Slot& s : mSlots)
                if (s.pos != kNone && s.pos >= pos)
                    ++s.pos;
        }

    private:
        struct Slot {
            std::uint64_t hash;
            std::size_t pos;
        };

        void Put(std::uint64_t h, std::size_t pos)
        {
            for (std::size_t i = h & mMask;; i = (i + 1) & mMask) {
                Slot& s = mSlots[i];
                if (s.pos == kNone) {
                    s = Slot{h, pos};
                    ++mUsed;
                    return;
                }
                if (s.hash == h) {
                    s.pos = pos;
                    return;
                }
            }
        }

        void Reset(std::size_t capacity, bool keep)
        {
            std::vector<Slot> old(capacity, Slot{0, kNone});
            old.swap(mSlots);
            mMask = capacity - 1;
            mUsed = 0;
            if (keep)
                for (const Slot& s : old)
                    if (s.pos != kNone)
                        Put(s.hash, s.pos);
        }

        std::vector<Slot> mSlots;
        std::size_t mMask = 0;
        std::size_t mUsed = 0;
    };

    static std::uint64_t HashOf(const std::string& Name) { return std::hash<std::string_view>{}(Name); }

    // Whether the element at `at` is the last one named Name, which is what
    // the bisection finds.
    bool IsLastNamed(std::size_t at, const std::string& Name) const
    {
        if (at >= mMappedData.size() || mMappedData[at].Name != Name)
            return false;
        return at + 1 == mMappedData.size() || mMappedData[at + 1].Name != Name;
    }

    TPositionIndex mIndex;
};
