// Generic doubly linked list with optional self-locking and an optional hash
// index beside the cells.
#include "linkedlist.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <stdint.h>

#include <new>
#include <unordered_map>

#include "qel/strutil.h"

namespace {

// A record's hash to its cells (several records may share a hash).
class HashIndex {
public:
    struct Slot {
        linkedElement_t *cell;
        void *data; // cell->data, which never changes while listed
    };

    // Throws std::bad_alloc (the caller then drops the whole index).
    void insert(unsigned long h, linkedElement_t *cell) { slots_.emplace(h, Slot{cell, cell->data}); }

    void erase(unsigned long h, linkedElement_t *cell) {
        auto [from, to] = slots_.equal_range(h);
        for (auto it = from; it != to; ++it) {
            if (it->second.cell == cell) {
                slots_.erase(it);
                return;
            }
        }
    }

    void clear() { slots_.clear(); }

    // Calls fn(slot) for every slot holding hash h until fn answers false.
    template <class Fn>
    void forEachWithHash(unsigned long h, Fn fn) const {
        auto [from, to] = slots_.equal_range(h);
        for (auto it = from; it != to; ++it)
            if (!fn(it->second))
                return;
    }

private:
    std::unordered_multimap<unsigned long, Slot> slots_;
};

// Lookup structures kept beside the cells of an indexed list. They mirror the
// cells exactly; when one cannot be updated (no memory) the index is dropped
// and the list goes back to plain walks. A cell's record hash is not
// stored: the hashed fields do not change while the record is listed, so it
// is computed again.
struct ListIndex {
    linkedListHash_t hash;
    HashIndex byHash;
    HashIndex byData; // keyed by the record's address
};

unsigned long addressHash(const void *p) {
    return (unsigned long)(uintptr_t)p >> 4;
}

// The list record keeps exactly its published fields; the index pointer lives
// behind it in the same allocation.
struct ListBox {
    linkedList_t list;
    ListIndex *index;
};

ListBox *boxOf(linkedList_t *list) {
    return reinterpret_cast<ListBox *>(list);
}

void autoLockList(linkedList_t *list) {
    if (list->autoLock)
        pthread_mutex_lock(&list->lock);
}
void autoUnlockList(linkedList_t *list) {
    if (list->autoLock)
        pthread_mutex_unlock(&list->lock);
}

void dropIndex(ListBox *box) {
    delete box->index;
    box->index = nullptr;
}

void indexAdd(linkedList_t *list, linkedElement_t *cell) {
    ListBox *box = boxOf(list);
    ListIndex *ix = box->index;
    if (!ix)
        return;
    try {
        ix->byHash.insert(ix->hash(cell->data), cell);
        try {
            ix->byData.insert(addressHash(cell->data), cell);
        } catch (...) {
            dropIndex(box);
        }
    } catch (...) {
        dropIndex(box);
    }
}

void indexRemove(linkedList_t *list, linkedElement_t *cell) {
    ListIndex *ix = boxOf(list)->index;
    if (!ix)
        return;
    ix->byHash.erase(ix->hash(cell->data), cell);
    ix->byData.erase(addressHash(cell->data), cell);
}

void indexClear(linkedList_t *list) {
    ListIndex *ix = boxOf(list)->index;
    if (!ix)
        return;
    ix->byHash.clear();
    ix->byData.clear();
}

// Cells of the index holding data, in no particular order: how many, and
// one of them.
size_t cellsOfData(ListIndex *ix, void *data, linkedElement_t **one) {
    size_t n = 0;
    ix->byData.forEachWithHash(addressHash(data), [&](const HashIndex::Slot &s) {
        if (s.data == data) {
            n++;
            *one = s.cell;
        }
        return true;
    });
    return n;
}

// Unlinks a cell, fixing head and tail; the cell itself is not released.
void unlinkCell(linkedList_t *list, linkedElement_t *cell) {
    indexRemove(list, cell);
    if (cell->prev)
        cell->prev->next = cell->next;
    else
        list->head = cell->next;
    if (cell->next)
        cell->next->prev = cell->prev;
    else
        list->tail = cell->prev;
    cell->next = cell->prev = nullptr;
}

linkedElement_t *newCell(void *data) {
    auto *cell = static_cast<linkedElement_t *>(calloc(1, sizeof(linkedElement_t)));
    if (cell)
        cell->data = data;
    return cell;
}

void freeCell(linkedElement_t *cell) {
    free(cell);
}

void linkBefore(linkedList_t *list, linkedElement_t *cell, linkedElement_t *before) {
    cell->next = before;
    cell->prev = before->prev;
    if (before->prev)
        before->prev->next = cell;
    else
        list->head = cell;
    before->prev = cell;
    indexAdd(list, cell);
}

void linkHead(linkedList_t *list, linkedElement_t *cell) {
    if (list->head) {
        linkBefore(list, cell, list->head);
        return;
    }
    list->head = list->tail = cell;
    indexAdd(list, cell);
}

void linkTail(linkedList_t *list, linkedElement_t *cell) {
    cell->next = nullptr;
    cell->prev = list->tail;
    if (list->tail)
        list->tail->next = cell;
    else
        list->head = cell;
    list->tail = cell;
    indexAdd(list, cell);
}

linkedElement_t *findByWalk(linkedList_t *list, void *probe) {
    for (linkedElement_t *c = list->head; c; c = c->next) {
        if (list->elementCompare(c->data, probe) == 0)
            return c;
        if (c->data == probe)
            fprintf(stderr, "************ findElement: ptrs match but not equal?\n");
    }
    return nullptr;
}

linkedElement_t *findByDataWalk(linkedList_t *list, void *data) {
    for (linkedElement_t *c = list->head; c; c = c->next)
        if (c->data == data)
            return c;
    return nullptr;
}

// Indexed lookup with the walk's result: the first matching cell from the
// head. A unique match is that cell; several (duplicates) or a listed probe
// that does not compare equal to itself are left to the walk, which also
// prints what the walk prints. A listed probe has the hash it was listed
// with (its hashed fields do not change while listed), so it shows up among
// the slots of that hash; no separate look-up by pointer is needed.
linkedElement_t *findByIndex(linkedList_t *list, ListIndex *ix, void *probe) {
    linkedElement_t *found = nullptr;
    bool walk = false;
    ix->byHash.forEachWithHash(ix->hash(probe), [&](const HashIndex::Slot &s) {
        if (list->elementCompare(s.data, probe) == 0) {
            if (found) {
                walk = true;
                return false;
            }
            found = s.cell;
        } else if (s.data == probe) {
            walk = true;
            return false;
        }
        return true;
    });
    return walk ? findByWalk(list, probe) : found;
}

void releaseAllCells(linkedList_t *list) {
    linkedElement_t *c = list->head;
    while (c) {
        linkedElement_t *next = c->next;
        if (list->elementFree && c->data)
            list->elementFree(c->data);
        freeCell(c);
        c = next;
    }
    list->head = list->tail = nullptr;
    indexClear(list);
}

} // namespace

extern "C" {

linkedList_t *newLinkedList(int dataSize, linkedListCompare_t compare, linkedListPrint_t print, linkedListFree_t freeFn,
                            const char *descr, int autoLock) {
    auto *box = static_cast<ListBox *>(calloc(1, sizeof(ListBox)));
    if (!box) {
        perror("malloc of linked list failed");
        return nullptr;
    }
    linkedList_t *list = &box->list;
    qelCopyField(list->description, descr);
    list->autoLock = autoLock;
    pthread_mutex_init(&list->lock, nullptr);
    list->dataSize = dataSize;
    list->elementCompare = compare;
    list->elementPrint = print;
    list->elementFree = freeFn;
    return list;
}

int destroyLinkedList(linkedList_t *list) {
    if (!list)
        return -1;
    autoLockList(list);
    releaseAllCells(list);
    autoUnlockList(list);
    pthread_mutex_destroy(&list->lock);
    ListBox *box = boxOf(list);
    dropIndex(box);
    free(box);
    return 0;
}

int listLock(linkedList_t *list) {
    if (!list)
        return -1;
    pthread_mutex_lock(&list->lock);
    return 0;
}

int listUnlock(linkedList_t *list) {
    if (!list)
        return -1;
    pthread_mutex_unlock(&list->lock);
    return 0;
}

int drainLinkedList(linkedList_t *list) {
    if (!list)
        return -1;
    autoLockList(list);
    releaseAllCells(list);
    autoUnlockList(list);
    return 0;
}

int insertHead(linkedList_t *list, void *data) {
    if (!list || !data)
        return -1;
    linkedElement_t *cell = newCell(data);
    if (!cell)
        return -1;
    autoLockList(list);
    linkHead(list, cell);
    autoUnlockList(list);
    return 0;
}

int insertTail(linkedList_t *list, void *data) {
    if (!list || !data)
        return -1;
    linkedElement_t *cell = newCell(data);
    if (!cell)
        return -1;
    autoLockList(list);
    linkTail(list, cell);
    autoUnlockList(list);
    return 0;
}

int insertInOrder(linkedList_t *list, void *data) {
    if (!list || !data)
        return -1;
    autoLockList(list);
    if (!list->elementCompare) {
        autoUnlockList(list);
        return insertHead(list, data);
    }
    linkedElement_t *cell = newCell(data);
    if (!cell) {
        autoUnlockList(list);
        return -1;
    }
    for (linkedElement_t *c = list->head; c; c = c->next) {
        if (list->elementCompare(data, c->data) < 0) {
            linkBefore(list, cell, c);
            autoUnlockList(list);
            return 0;
        }
    }
    autoUnlockList(list);
    // Appending takes the lock anew; the cell made above is not needed.
    freeCell(cell);
    return insertTail(list, data);
}

linkedElement_t *findElement(linkedList_t *list, void *probe) {
    if (!list || !probe || !list->elementCompare)
        return nullptr;
    autoLockList(list);
    ListIndex *ix = boxOf(list)->index;
    linkedElement_t *found = ix ? findByIndex(list, ix, probe) : findByWalk(list, probe);
    autoUnlockList(list);
    return found;
}

linkedElement_t *findElementByDataPtr(linkedList_t *list, void *data) {
    if (!list || !data)
        return nullptr;
    autoLockList(list);
    linkedElement_t *found = nullptr;
    ListIndex *ix = boxOf(list)->index;
    if (ix) {
        linkedElement_t *one = nullptr;
        size_t n = cellsOfData(ix, data, &one);
        if (n == 1)
            found = one;
        else if (n > 1)
            found = findByDataWalk(list, data);
    } else {
        found = findByDataWalk(list, data);
    }
    autoUnlockList(list);
    return found;
}

int numberElements(linkedList_t *list) {
    if (!list)
        return 0;
    autoLockList(list);
    int n = 0;
    for (linkedElement_t *c = list->head; c; c = c->next)
        n++;
    autoUnlockList(list);
    return n;
}

int removeElement(linkedList_t *list, linkedElement_t *cell) {
    if (!list || !cell)
        return -1;
    unlinkCell(list, cell);
    if (list->elementFree && cell->data)
        list->elementFree(cell->data);
    freeCell(cell);
    return 1;
}

int disconnectElement(linkedList_t *list, linkedElement_t *cell) {
    if (!list || !cell)
        return -1;
    unlinkCell(list, cell);
    freeCell(cell);
    return 1;
}

int destroyElement(linkedList_t *list, linkedElement_t *cell) {
    if (!list)
        return -1;
    autoLockList(list);
    bool member = false;
    ListIndex *ix = boxOf(list)->index;
    if (ix && cell) {
        ix->byData.forEachWithHash(addressHash(cell->data), [&](const HashIndex::Slot &s) {
            member = s.cell == cell;
            return !member;
        });
    } else if (!ix) {
        for (linkedElement_t *c = list->head; c && !member; c = c->next)
            member = (c == cell);
    }
    if (!member) {
        autoUnlockList(list);
        fprintf(stderr, "Couldnt find element %lx in list %lx\n", (unsigned long)cell, (unsigned long)list);
        return -1;
    }
    unlinkCell(list, cell);
    if (list->elementFree && cell->data)
        list->elementFree(cell->data);
    freeCell(cell);
    autoUnlockList(list);
    return 0;
}

void *popHead(linkedList_t *list) {
    if (!list)
        return nullptr;
    autoLockList(list);
    linkedElement_t *cell = list->head;
    void *data = nullptr;
    if (cell) {
        unlinkCell(list, cell);
        data = cell->data;
        freeCell(cell);
    }
    autoUnlockList(list);
    return data;
}

void *popTail(linkedList_t *list) {
    if (!list)
        return nullptr;
    autoLockList(list);
    linkedElement_t *cell = list->tail;
    void *data = nullptr;
    if (cell) {
        unlinkCell(list, cell);
        data = cell->data;
        freeCell(cell);
    }
    autoUnlockList(list);
    return data;
}

void *toArrayCopy(linkedList_t *list, int *numEntries) {
    if (!list || !numEntries)
        return nullptr;
    *numEntries = 0;
    if (list->dataSize <= 0)
        return nullptr;
    int n = numberElements(list);
    // One spare record for an empty list, so a buffer is never ambiguous.
    auto *buf = static_cast<char *>(calloc(n > 0 ? (size_t)n : 1, (size_t)list->dataSize));
    if (!buf)
        return nullptr;
    autoLockList(list);
    int copied = 0;
    for (linkedElement_t *c = list->head; c && copied < n; c = c->next) {
        memcpy(buf + (size_t)copied * (size_t)list->dataSize, c->data, (size_t)list->dataSize);
        copied++;
        *numEntries = copied;
    }
    autoUnlockList(list);
    return buf;
}

int traverseList(linkedList_t *list) {
    if (!list)
        return -1;
    autoLockList(list);
    fprintf(stderr, "list: %s %lx, datasize:%d\n", list->description, (unsigned long)list, list->dataSize);
    fprintf(stderr, "head:%lx tail:%lx\n", (unsigned long)list->head, (unsigned long)list->tail);
    for (linkedElement_t *c = list->head; c; c = c->next) {
        fprintf(stderr, "Element %lx\n", (unsigned long)c);
        if (list->elementPrint)
            list->elementPrint(c->data);
        else
            fprintf(stderr, "\tData:%lx\n", (unsigned long)c->data);
    }
    autoUnlockList(list);
    return 0;
}

int iterateList(linkedList_t *list, int (*fn)(void *rec)) {
    if (!list || !fn) {
        fprintf(stderr, "iterateList: null args\n");
        return -1;
    }
    autoLockList(list);
    for (linkedElement_t *c = list->head; c; c = c->next)
        fn(c->data);
    autoUnlockList(list);
    return 1;
}

int listSetHashIndex(linkedList_t *list, linkedListHash_t hash) {
    if (!list || !hash)
        return -1;
    autoLockList(list);
    ListBox *box = boxOf(list);
    dropIndex(box);
    box->index = new (std::nothrow) ListIndex();
    if (box->index) {
        box->index->hash = hash;
        for (linkedElement_t *c = list->head; c && box->index; c = c->next)
            indexAdd(list, c);
    }
    int rc = box->index ? 0 : -1;
    autoUnlockList(list);
    return rc;
}

} // extern "C"
