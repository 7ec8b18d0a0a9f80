/*
 * Chained hash table from a key to one pointer-sized value.
 *
 * The bucket count is a power of two fixed at creation. Keys are strings
 * (compared with strcmp), strings compared without regard to case, or
 * integers/pointers compared by identity. A table may keep its own copies of
 * string keys, and may own its values through a free function, which it
 * calls on a value whenever it lets go of it.
 *
 * In atomic mode, lookups, insertions and value replacements may run in any
 * number of threads at once without a lock. Removal, clearing, the walks and
 * freeing the table are never atomic: callers serialise them against every
 * other use. A table without the atomic flag is guarded by its owner.
 */
#ifndef BRELLIS_HASHTABLE_H
#define BRELLIS_HASHTABLE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Creation flags: the key type in bits 0-2, then the mode bits. */
#define HASH_STRING_KEY 0  /* NUL-terminated string, strcmp */
#define HASH_ISTRING_KEY 1 /* NUL-terminated string, strcasecmp */
#define HASH_INT_KEY 2     /* integer or pointer, compared by identity */
#define HASH_KEY_TYPE_MASK 0x7
#define HASH_FLAG_ATOMIC 0x8   /* lock-free insertion and replacement */
#define HASH_FLAG_COPYKEY 0x10 /* keep a private copy of each string key */

typedef struct HashTable HashTable;

/* Called on a value whenever the table lets go of it. */
typedef void (*HashTableFreeEntryFn)(void *value);
/* Walk callback; a non-zero result ends the walk. */
typedef int (*HashTableForEachCallback)(const void *key, void *value, void *clientData);

/*
 * A new empty table. numBuckets must be a power of two (1 included, 0 not);
 * any other count ends the process. freeFn may be NULL. Free it with
 * HashTable_Free.
 */
HashTable *HashTable_Alloc(uint32_t numBuckets, int32_t flags, HashTableFreeEntryFn freeFn);

/*
 * The table in *slot, created on first use. Racing callers all get the one
 * table installed first; the others' tables are freed.
 */
HashTable *HashTable_AllocOnce(HashTable **slot, uint32_t numBuckets, int32_t flags,
                               HashTableFreeEntryFn freeFn);

/* Removes every entry (values to the free function) and frees the table. NULL
 * is ignored. */
void HashTable_Free(HashTable *ht);

/* Removes every entry, calling the free function on each value. */
void HashTable_Clear(HashTable *ht);

/* True and the value in *value (when value is not NULL) if key is present. */
bool HashTable_Lookup(const HashTable *ht, const void *key, void **value);

/* True when a new entry was added; false, with nothing changed, when the key
 * is already present. */
bool HashTable_Insert(HashTable *ht, const void *key, void *value);

/* The present value, or value after inserting it. */
void *HashTable_LookupOrInsert(HashTable *ht, const void *key, void *value);

/* True when an existing value was replaced (the old one goes to the free
 * function unless it is value itself); false when a new entry was added. */
bool HashTable_ReplaceOrInsert(HashTable *ht, const void *key, void *value);

/* True when the entry held oldValue and now holds newValue; the old value
 * then goes to the free function unless the two are the same. */
bool HashTable_ReplaceIfEqual(HashTable *ht, const void *key, void *oldValue, void *newValue);

/* True when an entry was removed; its value goes to the free function. */
bool HashTable_Delete(HashTable *ht, const void *key);

/* As HashTable_Delete, but the value is handed to the caller through *value
 * (when not NULL) instead of to the free function. */
bool HashTable_LookupAndDelete(HashTable *ht, const void *key, void **value);

/* Number of entries. */
size_t HashTable_GetNumElements(const HashTable *ht);

/*
 * Calls cb on every entry in walk order: buckets from 0 upward, each chain
 * from its most recently inserted entry. Returns 0 after the whole walk, or
 * the first non-zero callback result, which ends it.
 */
int HashTable_ForEach(const HashTable *ht, HashTableForEachCallback cb, void *clientData);

/*
 * A new array (the caller frees it with free()) of all keys, or of all
 * values, in walk order, and its length; NULL and 0 for an empty table.
 */
void HashTable_KeyArray(const HashTable *ht, const void ***keys, size_t *size);
void HashTable_ToArray(const HashTable *ht, void ***values, size_t *size);

#ifdef __cplusplus
}
#endif

#endif /* BRELLIS_HASHTABLE_H */
