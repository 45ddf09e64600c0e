// The local add's refresh path: an add of a dependency that is already in
// the graph finds its record again from the text it was given, without
// normalising the names anew, for as long as nothing its first add relied
// on has changed (the name cache's answers, the local host name and
// address list, the graph's vertices and records).
#ifndef KESTROVA_DEPENDENCY_ADD_H
#define KESTROVA_DEPENDENCY_ADD_H

#include <cstddef>
#include <cstdint>

#include "dependency.h"

namespace kestrova {

// Adds remembered at least, and at most, whatever the number of local
// dependencies (between the two, twice that number); beyond the limit the
// remembered ones are all forgotten and remembering starts over.
constexpr size_t kRefreshCacheEntries = 16384;
constexpr size_t kRefreshCacheMostEntries = 262144;

struct RefreshCacheStats {
    uint64_t refreshed = 0;  // adds answered from a remembered add
    uint64_t remembered = 0; // adds remembered (full path taken)
    size_t entries = 0;
};

// Counters since the last reset (they are reset with the cache).
RefreshCacheStats refreshCacheStats();

// The add of d (a local add's texts, type and arguments, before its point
// of view is settled) when it repeats an add remembered as above: refreshes
// the record and answers true, as addLocalDependency would. False when it
// is not remembered; the caller then settles the point of view and adds.
bool refreshRememberedAdd(dependency_t *d);

// Tests: on false every add takes the full path (and nothing is
// remembered); true restores the remembering. Either forgets every entry.
void setRefreshCacheEnabled(bool on);

} // namespace kestrova

#endif
