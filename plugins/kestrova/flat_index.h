// An open-addressed table of small indices into the caller's own array,
// under the caller's hash and equality: no node per entry, one cache line
// per look-up in the common case. Shared by the probe pass's distinct
// targets and the process table's sockets by inode.
#ifndef KESTROVA_FLAT_INDEX_H
#define KESTROVA_FLAT_INDEX_H

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace kestrova {

// Open-addressed table of small indices (0 free, else index + 1) under a
// caller's hash and equality: no node per entry.
class FlatIndexTable {
public:
    void reserve(size_t n) { grow(n); }
    // Asks for the slot a look-up of h starts at (a walk that knows its
    // next keys early waits on several look-ups at once).
    void prefetch(size_t h) const {
        if (!slots_.empty())
            __builtin_prefetch(&slots_[home(h)]);
    }
    // Forgets every entry, keeping the slots' memory.
    void clear() {
        std::fill(slots_.begin(), slots_.end(), Slot{0, 0});
        used_ = 0;
    }
    // The index stored under an entry equal to the probe, or insert index
    // (fresh true).
    template <class Eq> std::pair<uint32_t, bool> findOrInsert(size_t h, uint32_t index, Eq eq) {
        if ((used_ + 1) * 2 > slots_.size())
            grow(std::max<size_t>(16, slots_.size()));
        for (size_t i = home(h);; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i].index == 0) {
                slots_[i] = Slot{h, index + 1};
                used_++;
                return {index, true};
            }
            if (slots_[i].hash == h && eq(slots_[i].index - 1))
                return {slots_[i].index - 1, false};
        }
    }
    // The index stored under an entry equal to the probe.
    template <class Eq> bool find(size_t h, Eq eq, uint32_t &index) const {
        if (slots_.empty())
            return false;
        for (size_t i = home(h); slots_[i].index != 0; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i].hash == h && slots_[i].index != kTaken && eq(slots_[i].index - 1)) {
                index = slots_[i].index - 1;
                return true;
            }
        }
        return false;
    }
    // Finds and forgets (the slot keeps a tombstone): each entry answers once.
    template <class Eq> bool take(size_t h, Eq eq, uint32_t &index) {
        if (slots_.empty())
            return false;
        for (size_t i = home(h); slots_[i].index != 0; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i].hash == h && slots_[i].index != kTaken && eq(slots_[i].index - 1)) {
                index = slots_[i].index - 1;
                slots_[i].index = kTaken;
                return true;
            }
        }
        return false;
    }

private:
    static constexpr uint32_t kTaken = UINT32_MAX;
    struct Slot {
        size_t hash;
        uint32_t index;
    };
    size_t home(size_t h) const { return (size_t)((h * 0x9e3779b97f4a7c15ULL) >> shift_); }
    void grow(size_t n) {
        size_t cap = 16;
        while (cap < 2 * n + 2)
            cap *= 2;
        if (cap <= slots_.size())
            return;
        std::vector<Slot> old(cap, Slot{0, 0});
        old.swap(slots_);
        shift_ = 64;
        for (size_t c = cap; c > 1; c >>= 1)
            shift_--;
        for (const Slot &o : old) {
            if (o.index == 0 || o.index == kTaken)
                continue;
            size_t i = home(o.hash);
            while (slots_[i].index != 0)
                i = (i + 1) & (cap - 1);
            slots_[i] = o;
        }
    }
    std::vector<Slot> slots_;
    size_t used_ = 0;
    unsigned shift_ = 64;
};

} // namespace kestrova

#endif
