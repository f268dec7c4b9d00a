// TSafeWalk: the bookkeeping that lets a list be walked by code that removes
// entries from it meanwhile (the entry being visited included) and deletes
// what they point to: handler lists of actions, timed-task lists, parameter
// listener lists.
//
// A walk is bracketed by Begin() and End(list). While any walk is in progress
// (walks may nest), Erase/EraseIf leave a hole in place of an entry instead of
// unlinking it, so every walk's position stays valid, and Dispose keeps an
// object that must be deleted until the outermost walk has ended. That End
// closes the holes and hands back the kept objects, each once, for the caller
// to delete (outside its lock, when it has one). Walkers skip holes
// (IsHole). Outside a walk, Erase unlinks and Dispose deletes at once.
//
// Promises: the list's own iterators stay valid for the whole of a walk
// (a std::list; entries appended meanwhile are reached by the walk); nothing
// is deleted twice through Dispose. Threads: no lock of its own; whoever
// guards the list guards this object. Nothing is thrown by it.
#pragma once

#include <algorithm>
#include <iterator>
#include <type_traits>
#include <vector>

// Holes of a list of pointers are null entries.
template <class Entry>
struct TPointerHoles {
    static bool IsHole(const Entry& e) { return e == nullptr; }
    static void MakeHole(Entry& e) { e = nullptr; }
};

template <class List, class Holes = TPointerHoles<typename List::value_type>,
          class Owned = std::remove_pointer_t<typename List::value_type>>
class TSafeWalk {
public:
    typedef typename List::value_type Entry;
    typedef typename List::iterator iterator;

    void Begin() { ++mDepth; }
    bool Walking() const { return mDepth > 0; }
    static bool IsHole(const Entry& e) { return Holes::IsHole(e); }

    // Removes the entry at `it`; returns the position after it.
    iterator Erase(List& list, iterator it)
    {
        if (mDepth == 0)
            return list.erase(it);
        Holes::MakeHole(*it);
        mHasHoles = true;
        return std::next(it);
    }

    // Removes every entry (hole or not) for which pred is true; returns how many.
    template <class Pred>
    int EraseIf(List& list, Pred pred)
    {
        int removed = 0;
        for (auto it = list.begin(); it != list.end();) {
            if (!IsHole(*it) && pred(*it)) {
                it = Erase(list, it);
                ++removed;
            } else {
                ++it;
            }
        }
        return removed;
    }

    // Deletes p now, or keeps it for the end of the outermost walk.
    void Dispose(Owned* p)
    {
        if (!p)
            return;
        if (mDepth > 0)
            mDoomed.push_back(p);
        else
            delete p;
    }

    // Ends one walk. When it was the outermost one, the holes go and the
    // objects kept by Dispose are returned, each once; else nothing is.
    std::vector<Owned*> End(List& list)
    {
        std::vector<Owned*> due;
        if (mDepth == 0 || --mDepth > 0)
            return due;
        if (mHasHoles) {
            for (auto it = list.begin(); it != list.end();)
                it = IsHole(*it) ? list.erase(it) : std::next(it);
            mHasHoles = false;
        }
        due.swap(mDoomed);
        std::sort(due.begin(), due.end());
        due.erase(std::unique(due.begin(), due.end()), due.end());
        return due;
    }

    // Objects still kept (for an owner that goes while a walk is open).
    std::vector<Owned*> TakeKept()
    {
        std::vector<Owned*> kept;
        kept.swap(mDoomed);
        std::sort(kept.begin(), kept.end());
        kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
        return kept;
    }

    static void DeleteAll(std::vector<Owned*>& objects)
    {
        for (Owned* p : objects)
            delete p;
        objects.clear();
    }

private:
    int mDepth = 0;
    bool mHasHoles = false;
    std::vector<Owned*> mDoomed;
};
