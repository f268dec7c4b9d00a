// A hash index over the parameter manager's cache: (name, domain text) to
// the cached entry, so that a cached read costs one hash of the name and a
// short probe per domain instead of a bisection with text compares per
// domain.
//
// The manager's sorted list stays the record of what is cached; the index
// mirrors its membership and must be told of every entry that goes into or
// out of the list (Add, Remove), in the same locked section. Keys are read
// from the entries themselves (name and domain text are fixed while an entry
// is cached), so the index holds no text of its own. Slots are placed by the
// name alone: the entries of one name (its domains) lie in one probe run, so
// the probes for several domains of a name share their memory.
//
// Threads: none of its own; the manager's cache lock guards it like the list.
// Failure: Add of a key already indexed is refused (false); Remove of an
// entry not indexed changes nothing (false). Only allocation can throw.
#pragma once

#include "TAppParam.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace vorel_sdl2 {

class TParamIndex {
public:
    TParamIndex();

    // Computed once for the probes of several domains of one name.
    static std::uint64_t HashName(std::string_view name)
    {
        // Eight bytes a step, then a full avalanche: names of one family
        // differ in their last bytes only.
        std::uint64_t h = name.size() * kMul;
        const char* p = name.data();
        std::size_t n = name.size();
        for (; n >= 8; p += 8, n -= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            h = (h ^ w) * kMul;
            h ^= h >> 29;
        }
        if (n > 0) {
            std::uint64_t w = 0;
            std::memcpy(&w, p, n);
            h = (h ^ w) * kMul;
        }
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDULL;
        h ^= h >> 33;
        h *= 0xC4CEB9FE1A85EC53ULL;
        h ^= h >> 33;
        return h;
    }

    TAppParam* Find(std::string_view name, std::uint64_t nameHash, std::string_view domain) const
    {
        const std::size_t mask = mSlots.size() - 1;
        for (std::size_t i = Home(nameHash);; i = (i + 1) & mask) {
            const Slot& slot = mSlots[i];
            if (!slot.entry)
                return nullptr;
            // Domain first: it is held in the entry itself, the name usually not.
            if (slot.hash == nameHash && slot.entry->GetRawDomain() == domain && slot.entry->Name() == name)
                return slot.entry;
        }
    }
    TAppParam* Find(std::string_view name, std::string_view domain) const
    {
        return Find(name, HashName(name), domain);
    }

    bool Add(TAppParam* entry);
    bool Remove(const TAppParam* entry);
    void Clear();
    std::size_t Size() const { return mCount; }

private:
    static constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;

    struct Slot {
        std::uint64_t hash; // of the entry's name
        TAppParam* entry;   // null: free
    };

    std::size_t Home(std::uint64_t hash) const { return static_cast<std::size_t>(hash >> mShift); }
    void Place(const Slot& slot);
    void Grow();

    // Open addressing with linear probing, at most half full; removal shifts
    // the following run back, so no probe ever crosses a stale slot.
    std::vector<Slot> mSlots;
    std::size_t mCount = 0;
    int mShift; // 64 - log2(slot count)
};

} // namespace vorel_sdl2
