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
// Threads: no lock of its own; a cache is used from one thread, or under a
// lock its owner holds. Failure: nothing is thrown by the cache itself; what
// CreateNew throws reaches the caller of GetData and nothing is inserted.
// The destructor releases the list, never the values: a subclass that owns
// them frees them itself (the destructor is protected so that a cache is
// never deleted through this base).
#pragma once

#include "Algorithms.h"

#include <string>
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

    T GetData(const std::string& Name)
    {
        T value = find(mMappedData, Name);
        if (value)
            return value;
        value = CreateNew(Name);
        if (value)
            insert(mMappedData, Element{Name, value});
        return value;
    }

protected:
    TMappedData() = default;
    ~TMappedData() = default;
    TMappedData(const TMappedData&) = default;
    TMappedData& operator=(const TMappedData&) = default;

};
