// Bisection over sorted lists: the one search the registries and caches use
// (the action list, the parameter cache, the mapped-data caches).
//
// A list is sorted by a key that a projection reads from each element, under
// a strict weak ordering (std::less<> by default; for std::string keys that
// is byte-wise comparison, no locale). Searches take either an iterator pair
// or a whole range and return positions, never copies: a position stays
// valid only as long as the container's own rules say.
//
//   SortedLowerBound  first element whose key is not less than the key
//   SortedUpperBound  first element whose key is greater than the key
//   SortedFindFirst   the first element equal to the key, or where it would go
//   SortedFindLast    the last element equal to the key, or where a new one
//                     goes after every equal one (keeps insertion order)
//   SortedForEachLeadingPart  the elements whose key is a leading part of (or
//                     equal to) a name, in key order
//
// Threads and failure: pure functions of their arguments; the caller guards
// the list. Nothing is thrown except what a projection or comparator throws.
#pragma once

#include <cstddef>
#include <functional>
#include <iterator>
#include <string_view>
#include <utility>

template <class It>
struct SortedHit {
    It position; // the match, or the insertion point when nothing matched
    bool found;
};

// The first position in [first, last) for which `before` is false; `before`
// must be true for a leading run of the list and false after it.
template <class It, class Before>
It SortedPartition(It first, It last, Before before)
{
    auto count = std::distance(first, last);
    while (count > 0) {
        const auto half = count / 2;
        It mid = std::next(first, half);
        if (before(*mid)) {
            first = std::next(mid);
            count -= half + 1;
        } else {
            count = half;
        }
    }
    return first;
}

template <class It, class Key, class Proj, class Less = std::less<>>
It SortedLowerBound(It first, It last, const Key& key, Proj proj, Less less = {})
{
    return SortedPartition(first, last, [&](const auto& e) { return less(std::invoke(proj, e), key); });
}

template <class It, class Key, class Proj, class Less = std::less<>>
It SortedUpperBound(It first, It last, const Key& key, Proj proj, Less less = {})
{
    return SortedPartition(first, last, [&](const auto& e) { return !less(key, std::invoke(proj, e)); });
}

template <class It, class Key, class Proj, class Less = std::less<>>
SortedHit<It> SortedFindFirst(It first, It last, const Key& key, Proj proj, Less less = {})
{
    It at = SortedLowerBound(first, last, key, proj, less);
    return {at, at != last && !less(key, std::invoke(proj, *at))};
}

template <class It, class Key, class Proj, class Less = std::less<>>
SortedHit<It> SortedFindLast(It first, It last, const Key& key, Proj proj, Less less = {})
{
    It after = SortedUpperBound(first, last, key, proj, less);
    if (after != first) {
        It at = std::prev(after);
        if (!less(std::invoke(proj, *at), key))
            return {at, true};
    }
    return {after, false};
}

// Range forms: the whole container.
template <class Range, class Key, class Proj, class Less = std::less<>>
auto SortedLowerBound(Range& range, const Key& key, Proj proj, Less less = {})
{
    return SortedLowerBound(std::begin(range), std::end(range), key, proj, less);
}

template <class Range, class Key, class Proj, class Less = std::less<>>
auto SortedUpperBound(Range& range, const Key& key, Proj proj, Less less = {})
{
    return SortedUpperBound(std::begin(range), std::end(range), key, proj, less);
}

template <class Range, class Key, class Proj, class Less = std::less<>>
auto SortedFindFirst(Range& range, const Key& key, Proj proj, Less less = {})
{
    return SortedFindFirst(std::begin(range), std::end(range), key, proj, less);
}

template <class Range, class Key, class Proj, class Less = std::less<>>
auto SortedFindLast(Range& range, const Key& key, Proj proj, Less less = {})
{
    return SortedFindLast(std::begin(range), std::end(range), key, proj, less);
}

// Calls visit(position) for every element of a list sorted byte-wise by a
// text key whose key is a leading part of, or equal to, `name`, shortest
// first. The leading parts of one name sort in length order, so each part is
// searched for past the previous position, and the search ends as soon as no
// key starts with the current part (no longer part can match then).
template <class Range, class Proj, class Visit>
void SortedForEachLeadingPart(Range& range, std::string_view name, Proj proj, Visit visit)
{
    auto keyOf = [&](const auto& e) { return std::string_view(std::invoke(proj, e)); };
    auto lo = std::begin(range);
    const auto hi = std::end(range);
    for (std::size_t len = 1; len <= name.size() && lo != hi; ++len) {
        const std::string_view part = name.substr(0, len);
        lo = SortedLowerBound(lo, hi, part, keyOf);
        if (lo == hi)
            break;
        const std::string_view found = keyOf(*lo);
        if (found == part) {
            visit(lo);
            ++lo;
        } else if (found.substr(0, len) != part) {
            break;
        }
    }
}
