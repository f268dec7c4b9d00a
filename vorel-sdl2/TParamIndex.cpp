#include "TParamIndex.h"

namespace vorel_sdl2 {

namespace {

constexpr std::size_t kInitialSlots = 16;
constexpr int kInitialShift = 60;

} // namespace

TParamIndex::TParamIndex() : mSlots(kInitialSlots, Slot{0, nullptr}), mShift(kInitialShift) {}

bool TParamIndex::Add(TAppParam* entry)
{
    if (!entry || Find(entry->Name(), entry->GetRawDomain()))
        return false;
    if ((mCount + 1) * 2 > mSlots.size())
        Grow();
    Place(Slot{HashName(entry->Name()), entry});
    ++mCount;
    return true;
}

void TParamIndex::Place(const Slot& slot)
{
    const std::size_t mask = mSlots.size() - 1;
    std::size_t i = Home(slot.hash);
    while (mSlots[i].entry)
        i = (i + 1) & mask;
    mSlots[i] = slot;
}

void TParamIndex::Grow()
{
    std::vector<Slot> old(mSlots.size() * 2, Slot{0, nullptr});
    old.swap(mSlots);
    --mShift;
    for (const Slot& slot : old)
        if (slot.entry)
            Place(slot);
}

bool TParamIndex::Remove(const TAppParam* entry)
{
    if (!entry)
        return false;
    const std::size_t mask = mSlots.size() - 1;
    std::size_t hole = Home(HashName(entry->Name()));
    for (; mSlots[hole].entry != entry; hole = (hole + 1) & mask)
        if (!mSlots[hole].entry)
            return false;
    // Every later slot of the run whose home does not lie cyclically in
    // (hole, j] moves into the hole, so every probe still reaches its key.
    for (std::size_t j = (hole + 1) & mask; mSlots[j].entry; j = (j + 1) & mask) {
        const std::size_t home = Home(mSlots[j].hash);
        const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (stays)
            continue;
        mSlots[hole] = mSlots[j];
        hole = j;
    }
    mSlots[hole] = Slot{0, nullptr};
    --mCount;
    return true;
}

void TParamIndex::Clear()
{
    std::vector<Slot>(kInitialSlots, Slot{0, nullptr}).swap(mSlots);
    mShift = kInitialShift;
    mCount = 0;
}

} // namespace vorel_sdl2
