/*
 * Generic doubly linked list of untyped records, with optional compare, print
 * and release callbacks and an optional built-in (non-recursive) mutex.
 * Every collection of the kestrova plug-in is one of these.
 */
#ifndef KESTROVA_LINKEDLIST_H
#define KESTROVA_LINKEDLIST_H

#include <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct linkedElement {
    void *data;
    struct linkedElement *next;
    struct linkedElement *prev;
} linkedElement_t;

typedef int (*linkedListCompare_t)(void *a, void *b);
typedef int (*linkedListPrint_t)(void *rec);
typedef int (*linkedListFree_t)(void *rec);

typedef struct linkedList {
    char description[64];
    int autoLock;
    linkedElement_t *head;
    linkedElement_t *tail;
    pthread_mutex_t lock;
    int dataSize;
    linkedListCompare_t elementCompare;
    linkedListPrint_t elementPrint;
    linkedListFree_t elementFree;
} linkedList_t;

linkedList_t *newLinkedList(int dataSize, linkedListCompare_t compare, linkedListPrint_t print, linkedListFree_t freeFn,
                            const char *descr, int autoLock);
int destroyLinkedList(linkedList_t *list);
int listLock(linkedList_t *list);
int listUnlock(linkedList_t *list);
int drainLinkedList(linkedList_t *list);
int insertHead(linkedList_t *list, void *data);
int insertTail(linkedList_t *list, void *data);
int insertInOrder(linkedList_t *list, void *data);
linkedElement_t *findElement(linkedList_t *list, void *probe);
linkedElement_t *findElementByDataPtr(linkedList_t *list, void *data);
int numberElements(linkedList_t *list);
int removeElement(linkedList_t *list, linkedElement_t *cell);
int disconnectElement(linkedList_t *list, linkedElement_t *cell);
int destroyElement(linkedList_t *list, linkedElement_t *cell);
void *popHead(linkedList_t *list);
void *popTail(linkedList_t *list);
void *toArrayCopy(linkedList_t *list, int *numEntries);
int traverseList(linkedList_t *list);
int iterateList(linkedList_t *list, int (*fn)(void *rec));

/*
 * Optional hash index beside the cells, for long lists searched often (the
 * graph's node and edge sets). `hash` must give equal values for records
 * that elementCompare calls equal, and the fields it reads must not change
 * while the record is listed. Order and results of every operation stay
 * those of the plain walk; only the cost of findElement,
 * findElementByDataPtr and destroyElement's membership check changes.
 * May be called on a non-empty list. 0 on success, -1 otherwise (the list
 * then keeps working without an index).
 */
typedef unsigned long (*linkedListHash_t)(const void *rec);
int listSetHashIndex(linkedList_t *list, linkedListHash_t hash);

#ifdef __cplusplus
}
#endif

#endif
