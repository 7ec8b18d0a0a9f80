// Chained hash table with power-of-two bucket counts.
//
// Chains only ever grow at their heads, and entries are only unlinked by the
// non-atomic operations, so in atomic mode a reader that loads a bucket head
// can walk the chain behind it without a lock while other threads insert
// in front of it.

#include <brellis/hashTable.h>
#include <brellis/panic.h>
#include <brellis/userlock.h>
#include <brellis/util.h>

#include <strings.h>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

struct HashEntry {
  HashEntry *next;
  const void *key;
  std::atomic<void *> value;
};

// The entry of a string key also keeps the key's hash before folding: a
// chain walk compares strings only where it matches. Integer keys compare
// as cheaply as their hashes, and their entries stay three words.
struct StringEntry : HashEntry {
  uint32_t hash;
};

inline uint32_t KeptHash(const HashEntry *e) {
  return static_cast<const StringEntry *>(e)->hash;
}

}  // namespace

struct HashTable {
  uint32_t numBuckets;
  int32_t numBits;
  int32_t keyType;
  bool atomic;
  bool copyKey;
  HashTableFreeEntryFn freeFn;
  std::atomic<HashEntry *> *buckets;
  std::atomic<int32_t> numEntries;
  // Fold's first two shifts (see there), worked out at creation.
  uint8_t foldShift[2];
  // Fewer than 256 buckets take more than two steps.
  bool foldMore;
};

namespace {

inline void AtomicFence() {
  if (AtomicUseFence) {
    std::atomic_thread_fence(std::memory_order_acquire);
  }
}

// Folding XORs every numBits-wide chunk of the hash into the low one (the
// repeated "h = (h >> numBits) ^ (h & mask)" until h fits comes to exactly
// that). Each step doubles the number of chunks already combined: two steps
// for 256 buckets or more, at most five. Shifts past the hash's 32 bits come
// to nothing in 64-bit arithmetic, so the first two steps need no test of
// whether they are due; and a single bucket's shift of 0 clears the hash,
// which is its one bucket.
inline uint32_t Fold(const HashTable *ht, uint32_t h) {
  uint64_t x = h;
  x ^= x >> ht->foldShift[0];
  x ^= x >> ht->foldShift[1];
  if (__builtin_expect(ht->foldMore, 0)) {
    for (uint32_t shift = 4u * static_cast<uint32_t>(ht->numBits); shift < 32; shift <<= 1) {
      x ^= x >> shift;
    }
  }
  return static_cast<uint32_t>(x) & (ht->numBuckets - 1);
}

inline uint32_t Rotl(uint32_t x, int k) {
  return (x << k) | (x >> (32 - k));
}

template <int32_t keyType>
inline uint32_t ByteOf(const unsigned char *s) {
  return keyType == HASH_ISTRING_KEY ? static_cast<uint32_t>(tolower(*s)) : *s;
}

template <int32_t keyType>
inline uint32_t HashOf(const void *key) {
  if constexpr (keyType == HASH_INT_KEY) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key)) * 48271u;
  } else {
    // h = rotl(h ^ c, 5) for each byte c. Rotation distributes over XOR, so
    // four steps come to rotl(h ^ c0, 20) ^ rotl(c1, 15) ^ rotl(c2, 10) ^
    // rotl(c3, 5): the same hash, with the bytes' terms computed side by
    // side instead of each waiting for the one before.
    const auto *s = static_cast<const unsigned char *>(key);
    uint32_t h = 0;
    for (;; s += 4) {
      if (s[0] == '\0') return h;
      uint32_t c0 = ByteOf<keyType>(s);
      if (s[1] == '\0') return Rotl(h ^ c0, 5);
      uint32_t c1 = ByteOf<keyType>(s + 1);
      if (s[2] == '\0') return Rotl(h ^ c0, 10) ^ Rotl(c1, 5);
      uint32_t c2 = ByteOf<keyType>(s + 2);
      if (s[3] == '\0') return Rotl(h ^ c0, 15) ^ Rotl(c1, 10) ^ Rotl(c2, 5);
      uint32_t c3 = ByteOf<keyType>(s + 3);
      h = Rotl(h ^ c0, 20) ^ Rotl(c1, 15) ^ Rotl(c2, 10) ^ Rotl(c3, 5);
    }
  }
}

template <int32_t keyType>
inline bool KeyEqualT(const void *a, const void *b) {
  if constexpr (keyType == HASH_INT_KEY) {
    return a == b;
  } else if constexpr (keyType == HASH_ISTRING_KEY) {
    return strcasecmp(static_cast<const char *>(a), static_cast<const char *>(b)) == 0;
  } else {
    return strcmp(static_cast<const char *>(a), static_cast<const char *>(b)) == 0;
  }
}

// The key's hash before folding.
uint32_t HashKey(const HashTable *ht, const void *key) {
  switch (ht->keyType) {
    case HASH_STRING_KEY:
      return HashOf<HASH_STRING_KEY>(key);
    case HASH_ISTRING_KEY:
      return HashOf<HASH_ISTRING_KEY>(key);
    case HASH_INT_KEY:
      return HashOf<HASH_INT_KEY>(key);
    default:
      Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
  }
}

bool KeyEqual(const HashTable *ht, const void *a, const void *b) {
  switch (ht->keyType) {
    case HASH_STRING_KEY:
      return KeyEqualT<HASH_STRING_KEY>(a, b);
    case HASH_ISTRING_KEY:
      return KeyEqualT<HASH_ISTRING_KEY>(a, b);
    case HASH_INT_KEY:
      return KeyEqualT<HASH_INT_KEY>(a, b);
    default:
      Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
  }
}

// Whether e may hold the key whose hash is hash.
bool HashMatches(const HashTable *ht, const HashEntry *e, uint32_t hash) {
  return ht->keyType == HASH_INT_KEY || KeptHash(e) == hash;
}

HashEntry *FindInChain(const HashTable *ht, HashEntry *head, const void *key, uint32_t hash) {
  for (HashEntry *e = head; e != nullptr; e = e->next) {
    if (HashMatches(ht, e, hash) && KeyEqual(ht, e->key, key)) {
      return e;
    }
  }
  return nullptr;
}

// Lookups are the hot operation: one key-type dispatch, then a loop the
// compiler sees whole.
template <int32_t keyType>
__attribute__((always_inline)) inline HashEntry *FindT(const HashTable *ht, const void *key) {
  uint32_t h = HashOf<keyType>(key);
  uint32_t b = Fold(ht, h);
  for (HashEntry *e = ht->buckets[b].load(std::memory_order_acquire); e != nullptr; e = e->next) {
    if ((keyType == HASH_INT_KEY || KeptHash(e) == h) && KeyEqualT<keyType>(e->key, key)) {
      return e;
    }
  }
  return nullptr;
}

__attribute__((always_inline)) inline HashEntry *Find(const HashTable *ht, const void *key) {
  switch (ht->keyType) {
    case HASH_STRING_KEY:
      return FindT<HASH_STRING_KEY>(ht, key);
    case HASH_ISTRING_KEY:
      return FindT<HASH_ISTRING_KEY>(ht, key);
    case HASH_INT_KEY:
      return FindT<HASH_INT_KEY>(ht, key);
    default:
      Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
  }
}

bool CopiesKeys(const HashTable *ht) {
  return ht->copyKey && ht->keyType != HASH_INT_KEY;
}

void FreeEntry(const HashTable *ht, HashEntry *e) {
  if (CopiesKeys(ht)) {
    free(const_cast<void *>(e->key));
  }
  free(e);
}

void AddToCount(HashTable *ht, int32_t delta) {
  if (ht->atomic) {
    ht->numEntries.fetch_add(delta);
    AtomicFence();
  } else {
    ht->numEntries.store(ht->numEntries.load(std::memory_order_relaxed) + delta,
                         std::memory_order_relaxed);
  }
}

// The entry for key, inserting one holding value when absent; *inserted
// tells which. Nothing is allocated when the key is already present before
// the search starts.
HashEntry *InsertInternal(HashTable *ht, const void *key, void *value, bool *inserted) {
  uint32_t hash = HashKey(ht, key);
  std::atomic<HashEntry *> &bucket = ht->buckets[Fold(ht, hash)];
  HashEntry *head = bucket.load(std::memory_order_acquire);
  HashEntry *found = FindInChain(ht, head, key, hash);
  if (found != nullptr) {
    *inserted = false;
    return found;
  }
  HashEntry *e;
  if (ht->keyType == HASH_INT_KEY) {
    e = new (Util_SafeMalloc(-1, sizeof(HashEntry), __FILE__, __LINE__)) HashEntry;
  } else {
    auto *se = new (Util_SafeMalloc(-1, sizeof(StringEntry), __FILE__, __LINE__)) StringEntry;
    se->hash = hash;
    e = se;
  }
  e->key = CopiesKeys(ht) ? Util_SafeStrdup(-1, static_cast<const char *>(key), __FILE__, __LINE__)
                          : key;
  e->value.store(value, std::memory_order_relaxed);
  if (!ht->atomic) {
    e->next = head;
    bucket.store(e, std::memory_order_relaxed);
  } else {
    for (;;) {
      e->next = head;
      if (bucket.compare_exchange_strong(head, e)) {
        AtomicFence();
        break;
      }
      AtomicFence();
      // Someone linked in front of us; only the new part of the chain can
      // hold a concurrent insertion of the same key.
      for (HashEntry *n = head; n != e->next; n = n->next) {
        if (HashMatches(ht, n, hash) && KeyEqual(ht, n->key, key)) {
          FreeEntry(ht, e);
          *inserted = false;
          return n;
        }
      }
    }
  }
  AddToCount(ht, 1);
  *inserted = true;
  return e;
}

void ReleaseValue(const HashTable *ht, void *oldValue, void *newValue) {
  if (ht->freeFn != nullptr && oldValue != newValue) {
    ht->freeFn(oldValue);
  }
}

// Unlinks key's entry; the caller owns it afterwards.
HashEntry *Unlink(HashTable *ht, const void *key) {
  uint32_t hash = HashKey(ht, key);
  std::atomic<HashEntry *> &bucket = ht->buckets[Fold(ht, hash)];
  HashEntry *prev = nullptr;
  for (HashEntry *e = bucket.load(std::memory_order_relaxed); e != nullptr; e = e->next) {
    if (HashMatches(ht, e, hash) && KeyEqual(ht, e->key, key)) {
      if (prev == nullptr) {
        bucket.store(e->next, std::memory_order_release);
      } else {
        prev->next = e->next;
      }
      AddToCount(ht, -1);
      return e;
    }
    prev = e;
  }
  return nullptr;
}

template <typename Visit>
int Walk(const HashTable *ht, Visit visit) {
  for (uint32_t b = 0; b < ht->numBuckets; b++) {
    for (HashEntry *e = ht->buckets[b].load(std::memory_order_acquire); e != nullptr;) {
      HashEntry *next = e->next;  // visit may free e
      int rc = visit(e);
      if (rc != 0) {
        return rc;
      }
      e = next;
    }
  }
  return 0;
}

// String keys hash and compare through calls of their own; kept apart so
// that the integer path of HashTable_Lookup stays a leaf.
__attribute__((noinline)) bool LookupStringKey(const HashTable *ht, const void *key, void **value) {
  HashEntry *e = Find(ht, key);
  if (e == nullptr) {
    return false;
  }
  if (value != nullptr) {
    *value = e->value.load(std::memory_order_acquire);
  }
  return true;
}

}  // namespace

extern "C" {

HashTable *HashTable_Alloc(uint32_t numBuckets, int32_t flags, HashTableFreeEntryFn freeFn) {
  if (numBuckets == 0 || (numBuckets & (numBuckets - 1)) != 0) {
    Panic("%s only takes powers of 2 \n", "HashTable_Alloc");
  }
  auto *ht = new (Util_SafeMalloc(-1, sizeof(HashTable), __FILE__, __LINE__)) HashTable;
  ht->numBuckets = numBuckets;
  ht->numBits = __builtin_ctz(numBuckets);
  ht->foldShift[0] = static_cast<uint8_t>(ht->numBits);
  ht->foldShift[1] = static_cast<uint8_t>(std::min(2 * ht->numBits, 32));
  ht->foldMore = ht->numBits != 0 && 2 * ht->numBits < 16;
  ht->keyType = flags & HASH_KEY_TYPE_MASK;
  ht->atomic = (flags & HASH_FLAG_ATOMIC) != 0;
  ht->copyKey = (flags & HASH_FLAG_COPYKEY) != 0;
  ht->freeFn = freeFn;
  ht->buckets = static_cast<std::atomic<HashEntry *> *>(
      Util_SafeMalloc(-1, sizeof(std::atomic<HashEntry *>) * numBuckets, __FILE__, __LINE__));
  for (uint32_t i = 0; i < numBuckets; i++) {
    new (&ht->buckets[i]) std::atomic<HashEntry *>(nullptr);
  }
  ht->numEntries.store(0, std::memory_order_relaxed);
  if (ht->atomic) {
    Atomic_Init();
  }
  return ht;
}

HashTable *HashTable_AllocOnce(HashTable **slot, uint32_t numBuckets, int32_t flags,
                               HashTableFreeEntryFn freeFn) {
  std::atomic_ref<HashTable *> ref(*slot);
  HashTable *ht = ref.load();
  if (ht != nullptr) {
    return ht;
  }
  HashTable *fresh = HashTable_Alloc(numBuckets, flags, freeFn);
  if (ref.compare_exchange_strong(ht, fresh)) {
    AtomicFence();
    return fresh;
  }
  AtomicFence();
  HashTable_Free(fresh);
  return ht;
}

void HashTable_Clear(HashTable *ht) {
  for (uint32_t b = 0; b < ht->numBuckets; b++) {
    HashEntry *e = ht->buckets[b].load(std::memory_order_relaxed);
    ht->buckets[b].store(nullptr, std::memory_order_relaxed);
    while (e != nullptr) {
      HashEntry *next = e->next;
      AddToCount(ht, -1);
      if (ht->freeFn != nullptr) {
        ht->freeFn(e->value.load(std::memory_order_relaxed));
      }
      FreeEntry(ht, e);
      e = next;
    }
  }
}

void HashTable_Free(HashTable *ht) {
  if (ht == nullptr) {
    return;
  }
  HashTable_Clear(ht);
  free(ht->buckets);
  free(ht);
}

bool HashTable_Lookup(const HashTable *ht, const void *key, void **value) {
  // Integer keys are the hot case (thread identities, lock holders, errno
  // caches): kept free of calls so that it needs no stack frame.
  if (__builtin_expect(ht->keyType == HASH_INT_KEY, 1)) {
    HashEntry *e = FindT<HASH_INT_KEY>(ht, key);
    if (e == nullptr) {
      return false;
    }
    if (value != nullptr) {
      *value = e->value.load(std::memory_order_acquire);
    }
    return true;
  }
  return LookupStringKey(ht, key, value);
}

bool HashTable_Insert(HashTable *ht, const void *key, void *value) {
  bool inserted;
  InsertInternal(ht, key, value, &inserted);
  return inserted;
}

void *HashTable_LookupOrInsert(HashTable *ht, const void *key, void *value) {
  bool inserted;
  HashEntry *e = InsertInternal(ht, key, value, &inserted);
  return inserted ? value : e->value.load(std::memory_order_acquire);
}

bool HashTable_ReplaceOrInsert(HashTable *ht, const void *key, void *value) {
  bool inserted;
  HashEntry *e = InsertInternal(ht, key, value, &inserted);
  if (inserted) {
    return false;
  }
  void *old;
  if (ht->atomic) {
    old = e->value.exchange(value);
    AtomicFence();
  } else {
    old = e->value.load(std::memory_order_relaxed);
    e->value.store(value, std::memory_order_relaxed);
  }
  ReleaseValue(ht, old, value);
  return true;
}

bool HashTable_ReplaceIfEqual(HashTable *ht, const void *key, void *oldValue, void *newValue) {
  HashEntry *e = Find(ht, key);
  if (e == nullptr) {
    return false;
  }
  if (ht->atomic) {
    void *expected = oldValue;
    bool swapped = e->value.compare_exchange_strong(expected, newValue);
    AtomicFence();
    if (!swapped) {
      return false;
    }
  } else {
    if (e->value.load(std::memory_order_relaxed) != oldValue) {
      return false;
    }
    e->value.store(newValue, std::memory_order_relaxed);
  }
  ReleaseValue(ht, oldValue, newValue);
  return true;
}

bool HashTable_Delete(HashTable *ht, const void *key) {
  HashEntry *e = Unlink(ht, key);
  if (e == nullptr) {
    return false;
  }
  if (ht->freeFn != nullptr) {
    ht->freeFn(e->value.load(std::memory_order_relaxed));
  }
  FreeEntry(ht, e);
  return true;
}

bool HashTable_LookupAndDelete(HashTable *ht, const void *key, void **value) {
  HashEntry *e = Unlink(ht, key);
  if (e == nullptr) {
    return false;
  }
  if (value != nullptr) {
    *value = e->value.load(std::memory_order_relaxed);
  }
  FreeEntry(ht, e);
  return true;
}

size_t HashTable_GetNumElements(const HashTable *ht) {
  return static_cast<size_t>(ht->numEntries.load());
}

int HashTable_ForEach(const HashTable *ht, HashTableForEachCallback cb, void *clientData) {
  return Walk(ht, [&](HashEntry *e) {
    return cb(e->key, e->value.load(std::memory_order_acquire), clientData);
  });
}

void HashTable_KeyArray(const HashTable *ht, const void ***keys, size_t *size) {
  size_t n = HashTable_GetNumElements(ht);
  *keys = nullptr;
  *size = 0;
  if (n == 0) {
    return;
  }
  auto *out =
      static_cast<const void **>(Util_SafeMalloc(-1, n * sizeof(const void *), __FILE__, __LINE__));
  size_t i = 0;
  Walk(ht, [&](HashEntry *e) {
    out[i++] = e->key;
    return i == n ? 1 : 0;
  });
  *keys = out;
  *size = i;
}

void HashTable_ToArray(const HashTable *ht, void ***values, size_t *size) {
  size_t n = HashTable_GetNumElements(ht);
  *values = nullptr;
  *size = 0;
  if (n == 0) {
    return;
  }
  auto *out = static_cast<void **>(Util_SafeMalloc(-1, n * sizeof(void *), __FILE__, __LINE__));
  size_t i = 0;
  Walk(ht, [&](HashEntry *e) {
    out[i++] = e->value.load(std::memory_order_acquire);
    return i == n ? 1 : 0;
  });
  *values = out;
  *size = i;
}

}  // extern "C"
