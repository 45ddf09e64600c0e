// Fixed-size slots carved from 2 MiB chunks, for the graph's records.
//
// A 7 KB dependency record from malloc lands next to list cells and map
// nodes on pages of its own: a pass over 50,000 records then touches some
// 100,000 small pages and pays a TLB miss on nearly every record. Chunks of
// the pool are aligned to 2 MiB and, from the second one on (a small graph
// should not cost a whole huge page), advised for transparent huge pages,
// so the same pass touches about 180 pages.
//
// Memory goes back to the system as records are released: a chunk left
// without records is unmapped (one spare is kept), and in a chunk whose
// released slots outweigh its records the whole pages under released slots
// are dropped (madvise MADV_DONTNEED) and the chunk leaves huge pages until
// it is full again. Resident memory thus stays within about twice the live
// slots, plus a few slots per chunk, the spare and the chunk being filled.
//
// A free slot is reused lowest address first in the fullest chunk, so
// records gather in few chunks. A slot is handed out zero-filled. Under
// AddressSanitizer free slots are poisoned.
#ifndef KESTROVA_RECORD_POOL_H
#define KESTROVA_RECORD_POOL_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <mutex>
#include <vector>

#include "dependency.h"

namespace kestrova {

class RecordPool {
public:
    static constexpr size_t kChunkBytes = 2u << 20;

    // slotSize is rounded up to a multiple of 64. spareChunks: empty chunks
    // kept mapped. hugeFromChunk: chunks from this count on are advised for
    // huge pages.
    explicit RecordPool(size_t slotSize, size_t spareChunks = 1, size_t hugeFromChunk = 1);
    ~RecordPool();
    RecordPool(const RecordPool &) = delete;
    RecordPool &operator=(const RecordPool &) = delete;

    // A zero-filled slot, or null when no memory can be mapped.
    void *allocate();
    // Gives back a slot of this pool; false (and nothing done) for any
    // other pointer.
    bool release(void *p);
    // Several at once: the give-back of pages is decided once per chunk at
    // the end, not after each slot. Pointers not of this pool are left in
    // the vector, the others removed.
    void releaseMany(std::vector<void *> &ps);
    bool owns(const void *p) const;

    struct Stats {
        size_t chunks = 0;       // mapped, spares included
        size_t slotsPerChunk = 0;
        size_t live = 0;         // slots handed out
        size_t dirty = 0;        // released slots whose pages are still held
        size_t sweeps = 0;       // page give-backs so far
        size_t unmapped = 0;     // chunks unmapped so far
    };
    Stats stats() const;
    size_t slotSize() const { return slot_; }

private:
    struct Chunk;
    Chunk *chunkOf(const void *p) const;
    Chunk *mapChunk();
    void unmapChunk(Chunk *c);
    bool releaseLocked(void *p, Chunk **touched);
    void settle(Chunk *c);
    void sweep(Chunk *c);
    Chunk *pickChunk();

    size_t slot_;
    size_t perChunk_;
    size_t spare_;
    size_t hugeFrom_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Chunk>> chunks_; // by base address
    Chunk *current_ = nullptr;
    size_t sweeps_ = 0;
    size_t unmapped_ = 0;
    size_t mappedEver_ = 0;
};

// The pools behind the graph's vertices and every list's cells (a walk of
// a 50,000-cell list over cells scattered among records and vertices in
// the malloc heap waits on a page walk per cell). Never destroyed.
RecordPool &vertexPool();
RecordPool &listCellPool();

// The pool behind the graph's dependency records (never destroyed: records
// may outlive every static destructor at exit).
RecordPool &dependencyRecordPool();

// A zero-filled dependency record for the graph, or null.
dependency_t *allocDependencyRecord();
// Releases a record that has left the graph: back to the pool, or free()
// for a record that was made with malloc (graphInsertEdge takes those).
void releaseDependencyRecord(dependency_t *d);
// The same for many; the vector is emptied.
void releaseDependencyRecords(std::vector<dependency_t *> &ds);

} // namespace kestrova

#endif
