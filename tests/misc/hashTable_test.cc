#include <brellis/hashTable.h>

#include <gtest/gtest.h>

#include "support/together.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<void *> freed;

void RecordFree(void *value) {
  freed.push_back(value);
}

void *V(uintptr_t n) {
  return reinterpret_cast<void *>(n);
}

struct TableDeleter {
  void operator()(HashTable *ht) const { HashTable_Free(ht); }
};
using Table = std::unique_ptr<HashTable, TableDeleter>;

class HashTableTest : public ::testing::Test {
 protected:
  void SetUp() override { freed.clear(); }
};

// Bucket index as the table's contract defines it, written independently.
uint32_t BucketOf(const char *key, bool foldCase, uint32_t numBuckets) {
  uint32_t h = 0;
  for (const unsigned char *s = reinterpret_cast<const unsigned char *>(key); *s; s++) {
    uint32_t c = foldCase ? static_cast<uint32_t>(tolower(*s)) : *s;
    h ^= c;
    h = (h << 5) | (h >> 27);
  }
  uint32_t bits = 0;
  while ((1u << bits) < numBuckets) {
    bits++;
  }
  while (bits > 0 && h >= numBuckets) {
    h = (h >> bits) ^ (h & (numBuckets - 1));
  }
  return bits == 0 ? 0 : h;
}

uint32_t BucketOfInt(uintptr_t key, uint32_t numBuckets) {
  uint32_t h = static_cast<uint32_t>(key) * 48271u;
  uint32_t bits = 0;
  while ((1u << bits) < numBuckets) {
    bits++;
  }
  while (bits > 0 && h >= numBuckets) {
    h = (h >> bits) ^ (h & (numBuckets - 1));
  }
  return bits == 0 ? 0 : h;
}

std::vector<std::string> WalkKeys(const HashTable *ht) {
  std::vector<std::string> keys;
  HashTable_ForEach(
      ht,
      [](const void *key, void *, void *data) {
        static_cast<std::vector<std::string> *>(data)->push_back(static_cast<const char *>(key));
        return 0;
      },
      &keys);
  return keys;
}

TEST(HashTableDeathTest, BucketCountMustBeAPowerOfTwo) {
  EXPECT_EXIT(HashTable_Alloc(100, HASH_STRING_KEY, nullptr), ::testing::ExitedWithCode(255),
              "HashTable_Alloc only takes powers of 2 \n");
  EXPECT_EXIT(HashTable_Alloc(0, HASH_STRING_KEY, nullptr), ::testing::ExitedWithCode(255),
              "HashTable_Alloc only takes powers of 2 ");
  EXPECT_EXIT(HashTable_Alloc(3, HASH_INT_KEY, nullptr), ::testing::ExitedWithCode(255),
              "HashTable_Alloc only takes powers of 2 ");
}

TEST(HashTableDeathTest, UnknownKeyTypeEndsTheProcessOnUse) {
  EXPECT_EXIT(
      {
        HashTable *ht = HashTable_Alloc(16, 5, nullptr);
        HashTable_Insert(ht, "x", nullptr);
      },
      ::testing::ExitedWithCode(255), "NOT_REACHED .*hashTable.cc:[0-9]+");
}

TEST_F(HashTableTest, OneBucketHoldsEveryKeyNewestFirst) {
  Table ht(HashTable_Alloc(1, HASH_STRING_KEY, nullptr));
  const char *keys[] = {"alpha", "beta", "gamma", "delta", ""};
  for (const char *k : keys) {
    EXPECT_TRUE(HashTable_Insert(ht.get(), k, nullptr));
  }
  EXPECT_EQ(WalkKeys(ht.get()), (std::vector<std::string>{"", "delta", "gamma", "beta", "alpha"}));
  for (const char *k : keys) {
    EXPECT_TRUE(HashTable_Lookup(ht.get(), k, nullptr)) << k;
  }
  EXPECT_FALSE(HashTable_Lookup(ht.get(), "epsilon", nullptr));
}

TEST_F(HashTableTest, WalkGoesThroughBucketsInOrderWithNewestFirst) {
  for (bool foldCase : {false, true}) {
    const uint32_t numBuckets = 8;
    Table ht(HashTable_Alloc(numBuckets, foldCase ? HASH_ISTRING_KEY : HASH_STRING_KEY, nullptr));
    std::vector<std::string> inserted;
    for (int i = 0; i < 40; i++) {
      inserted.push_back("Key" + std::to_string(i * 7919));
    }
    for (const std::string &k : inserted) {
      ASSERT_TRUE(HashTable_Insert(ht.get(), k.c_str(), nullptr));
    }
    // Expected: by bucket, then most recent insertion first.
    std::vector<std::pair<uint32_t, int>> order;
    for (int i = 0; i < static_cast<int>(inserted.size()); i++) {
      order.emplace_back(BucketOf(inserted[i].c_str(), foldCase, numBuckets), -i);
    }
    std::sort(order.begin(), order.end());
    std::vector<std::string> expected;
    for (auto &[bucket, negIndex] : order) {
      expected.push_back(inserted[-negIndex]);
    }
    EXPECT_EQ(WalkKeys(ht.get()), expected);
  }
}

TEST_F(HashTableTest, IntegerKeysFoldIntoTheirBucketsForEveryTableSize) {
  // Sizes whose folds take one to five steps, and keys whose products set
  // every bit of the hash.
  for (uint32_t numBuckets : {1u, 2u, 4u, 8u, 32u, 128u, 256u, 2048u, 65536u, 131072u}) {
    Table ht(HashTable_Alloc(numBuckets, HASH_INT_KEY, nullptr));
    std::vector<uintptr_t> inserted;
    for (uintptr_t i = 0; i < 64; i++) {
      inserted.push_back(i * 0x9E3779B1u + (i << 40));
    }
    for (uintptr_t k : inserted) {
      ASSERT_TRUE(HashTable_Insert(ht.get(), V(k), V(k)));
    }
    std::vector<std::pair<uint32_t, int>> order;
    for (int i = 0; i < static_cast<int>(inserted.size()); i++) {
      order.emplace_back(BucketOfInt(inserted[i], numBuckets), -i);
    }
    std::sort(order.begin(), order.end());
    std::vector<const void *> expected;
    for (auto &[bucket, negIndex] : order) {
      expected.push_back(V(inserted[-negIndex]));
    }
    const void **keys = nullptr;
    size_t n = 0;
    HashTable_KeyArray(ht.get(), &keys, &n);
    EXPECT_EQ(std::vector<const void *>(keys, keys + n), expected) << numBuckets << " buckets";
    free(keys);
    for (uintptr_t k : inserted) {
      void *value = nullptr;
      EXPECT_TRUE(HashTable_Lookup(ht.get(), V(k), &value));
      EXPECT_EQ(value, V(k));
    }
    EXPECT_FALSE(HashTable_Lookup(ht.get(), V(1), nullptr));
  }
}

TEST_F(HashTableTest, KeyTypesCompareAsDeclared) {
  Table icase(HashTable_Alloc(16, HASH_ISTRING_KEY, nullptr));
  EXPECT_TRUE(HashTable_Insert(icase.get(), "Name", V(1)));
  EXPECT_FALSE(HashTable_Insert(icase.get(), "NAME", V(2)));
  void *value = nullptr;
  EXPECT_TRUE(HashTable_Lookup(icase.get(), "nAmE", &value));
  EXPECT_EQ(value, V(1));
  EXPECT_EQ(HashTable_GetNumElements(icase.get()), 1u);

  Table exact(HashTable_Alloc(16, HASH_STRING_KEY, nullptr));
  EXPECT_TRUE(HashTable_Insert(exact.get(), "Name", V(1)));
  EXPECT_TRUE(HashTable_Insert(exact.get(), "NAME", V(2)));
  EXPECT_FALSE(HashTable_Lookup(exact.get(), "name", nullptr));

  // Integer keys compare by identity, not by what they might point to.
  Table ints(HashTable_Alloc(4, HASH_INT_KEY, nullptr));
  char a[] = "same";
  char b[] = "same";
  EXPECT_TRUE(HashTable_Insert(ints.get(), a, V(1)));
  EXPECT_TRUE(HashTable_Insert(ints.get(), b, V(2)));
  EXPECT_TRUE(HashTable_Insert(ints.get(), nullptr, V(3)));  // key 0 is a key like any other
  EXPECT_TRUE(HashTable_Lookup(ints.get(), nullptr, &value));
  EXPECT_EQ(value, V(3));
  EXPECT_EQ(HashTable_GetNumElements(ints.get()), 3u);
}

TEST_F(HashTableTest, InsertKeepsThePresentValue) {
  Table ht(HashTable_Alloc(16, HASH_STRING_KEY, RecordFree));
  EXPECT_TRUE(HashTable_Insert(ht.get(), "k", V(1)));
  EXPECT_FALSE(HashTable_Insert(ht.get(), "k", V(2)));
  EXPECT_EQ(HashTable_LookupOrInsert(ht.get(), "k", V(3)), V(1));
  EXPECT_EQ(HashTable_LookupOrInsert(ht.get(), "other", V(4)), V(4));
  void *value = nullptr;
  HashTable_Lookup(ht.get(), "k", &value);
  EXPECT_EQ(value, V(1));
  EXPECT_TRUE(freed.empty());
}

TEST_F(HashTableTest, ReplacementFreesOnlyAValueItLetsGo) {
  for (int flags : {HASH_STRING_KEY, HASH_STRING_KEY | HASH_FLAG_ATOMIC}) {
    freed.clear();
    Table ht(HashTable_Alloc(16, flags, RecordFree));
    EXPECT_FALSE(HashTable_ReplaceOrInsert(ht.get(), "k", V(1)));
    EXPECT_TRUE(HashTable_ReplaceOrInsert(ht.get(), "k", V(2)));
    EXPECT_EQ(freed, std::vector<void *>{V(1)});
    EXPECT_TRUE(HashTable_ReplaceOrInsert(ht.get(), "k", V(2)));  // itself: kept
    EXPECT_EQ(freed.size(), 1u);

    EXPECT_FALSE(HashTable_ReplaceIfEqual(ht.get(), "k", V(9), V(3)));
    EXPECT_FALSE(HashTable_ReplaceIfEqual(ht.get(), "absent", V(2), V(3)));
    EXPECT_EQ(freed.size(), 1u);
    EXPECT_TRUE(HashTable_ReplaceIfEqual(ht.get(), "k", V(2), V(3)));
    EXPECT_EQ(freed, (std::vector<void *>{V(1), V(2)}));
    EXPECT_TRUE(HashTable_ReplaceIfEqual(ht.get(), "k", V(3), V(3)));
    EXPECT_EQ(freed.size(), 2u);
    void *value = nullptr;
    HashTable_Lookup(ht.get(), "k", &value);
    EXPECT_EQ(value, V(3));
    EXPECT_EQ(HashTable_GetNumElements(ht.get()), 1u);
  }
}

TEST_F(HashTableTest, RemovalHandsTheValueToTheCallerOrTheFreeFunction) {
  Table ht(HashTable_Alloc(8, HASH_INT_KEY, RecordFree));
  for (uintptr_t i = 1; i <= 4; i++) {
    HashTable_Insert(ht.get(), V(i), V(i * 10));
  }
  void *value = nullptr;
  EXPECT_TRUE(HashTable_LookupAndDelete(ht.get(), V(2), &value));
  EXPECT_EQ(value, V(20));
  EXPECT_TRUE(freed.empty());
  EXPECT_FALSE(HashTable_LookupAndDelete(ht.get(), V(2), &value));
  EXPECT_TRUE(HashTable_Delete(ht.get(), V(3)));
  EXPECT_EQ(freed, std::vector<void *>{V(30)});
  EXPECT_FALSE(HashTable_Delete(ht.get(), V(3)));
  EXPECT_EQ(HashTable_GetNumElements(ht.get()), 2u);
  EXPECT_FALSE(HashTable_Lookup(ht.get(), V(3), nullptr));
  EXPECT_TRUE(HashTable_Lookup(ht.get(), V(4), nullptr));

  HashTable_Clear(ht.get());
  EXPECT_EQ(HashTable_GetNumElements(ht.get()), 0u);
  std::sort(freed.begin(), freed.end());
  EXPECT_EQ(freed, (std::vector<void *>{V(10), V(30), V(40)}));
  EXPECT_TRUE(HashTable_Insert(ht.get(), V(1), V(11)));  // usable after clearing
  HashTable_Free(ht.release());
  EXPECT_EQ(freed.back(), V(11));
}

TEST_F(HashTableTest, ForEachStopsAtTheFirstNonZeroResult) {
  Table ht(HashTable_Alloc(1, HASH_INT_KEY, nullptr));
  for (uintptr_t i = 1; i <= 3; i++) {
    HashTable_Insert(ht.get(), V(i), nullptr);
  }
  int visits = 0;
  int rc = HashTable_ForEach(
      ht.get(),
      [](const void *, void *, void *data) { return ++*static_cast<int *>(data) == 2 ? 7 : 0; },
      &visits);
  EXPECT_EQ(rc, 7);
  EXPECT_EQ(visits, 2);
  visits = 0;
  EXPECT_EQ(HashTable_ForEach(
                ht.get(),
                [](const void *, void *, void *d) {
                  ++*static_cast<int *>(d);
                  return 0;
                },
                &visits),
            0);
  EXPECT_EQ(visits, 3);
}

TEST_F(HashTableTest, ArraysFollowTheWalkOrder) {
  Table ht(HashTable_Alloc(4, HASH_INT_KEY, nullptr));
  const void **keys = reinterpret_cast<const void **>(1);
  size_t n = 99;
  HashTable_KeyArray(ht.get(), &keys, &n);
  EXPECT_EQ(keys, nullptr);
  EXPECT_EQ(n, 0u);

  for (uintptr_t i = 0; i < 12; i++) {
    HashTable_Insert(ht.get(), V(i), V(100 + i));
  }
  std::vector<std::pair<uintptr_t, uintptr_t>> walked;
  HashTable_ForEach(
      ht.get(),
      [](const void *k, void *v, void *d) {
        static_cast<std::vector<std::pair<uintptr_t, uintptr_t>> *>(d)->emplace_back(
            reinterpret_cast<uintptr_t>(k), reinterpret_cast<uintptr_t>(v));
        return 0;
      },
      &walked);
  void **values = nullptr;
  size_t nv = 0;
  HashTable_KeyArray(ht.get(), &keys, &n);
  HashTable_ToArray(ht.get(), &values, &nv);
  ASSERT_EQ(n, 12u);
  ASSERT_EQ(nv, 12u);
  for (size_t i = 0; i < n; i++) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(keys[i]), walked[i].first);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(values[i]), walked[i].second);
  }
  free(keys);
  free(values);
}

TEST_F(HashTableTest, CopiedKeysBelongToTheTable) {
  Table ht(HashTable_Alloc(8, HASH_ISTRING_KEY | HASH_FLAG_COPYKEY, nullptr));
  char key[] = "Volatile";
  HashTable_Insert(ht.get(), key, V(1));
  strcpy(key, "Changed!");
  EXPECT_TRUE(HashTable_Lookup(ht.get(), "volatile", nullptr));
  EXPECT_FALSE(HashTable_Lookup(ht.get(), "changed!", nullptr));
  std::vector<std::string> keys = WalkKeys(ht.get());
  EXPECT_EQ(keys, std::vector<std::string>{"Volatile"});
  EXPECT_TRUE(HashTable_Delete(ht.get(), "VOLATILE"));  // the copy is freed with the entry
  // Integer keys are never copied.
  Table ints(HashTable_Alloc(8, HASH_INT_KEY | HASH_FLAG_COPYKEY, nullptr));
  EXPECT_TRUE(HashTable_Insert(ints.get(), V(0x1234), V(1)));
  EXPECT_TRUE(HashTable_Lookup(ints.get(), V(0x1234), nullptr));
}

TEST_F(HashTableTest, AllocOnceHandsEveryRacerTheSameTable) {
  HashTable *slot = nullptr;
  std::vector<HashTable *> got = testsupport::RunTogether(8, [&](int) {
    return HashTable_AllocOnce(&slot, 64, HASH_INT_KEY | HASH_FLAG_ATOMIC, nullptr);
  });
  for (HashTable *ht : got) {
    EXPECT_EQ(ht, slot);
  }
  EXPECT_EQ(HashTable_AllocOnce(&slot, 64, HASH_INT_KEY, nullptr), slot);
  HashTable_Free(slot);
}

TEST_F(HashTableTest, AtomicInsertsAddEachKeyExactlyOnce) {
  Table ht(HashTable_Alloc(16, HASH_STRING_KEY | HASH_FLAG_ATOMIC | HASH_FLAG_COPYKEY, nullptr));
  constexpr int numThreads = 4;
  constexpr int numKeys = 2000;
  std::atomic<int> wins{0};
  std::vector<std::vector<void *>> seen = testsupport::RunTogether(numThreads, [&](int t) {
    std::vector<void *> present(numKeys);
    for (int k = 0; k < numKeys; k++) {
      std::string key = "key-" + std::to_string(k);
      void *mine = V(static_cast<uintptr_t>(t * numKeys + k + 1));
      present[k] = HashTable_LookupOrInsert(ht.get(), key.c_str(), mine);
      if (present[k] == mine) {
        wins++;
      }
    }
    return present;
  });
  EXPECT_EQ(wins.load(), numKeys);
  EXPECT_EQ(HashTable_GetNumElements(ht.get()), static_cast<size_t>(numKeys));
  for (int k = 0; k < numKeys; k++) {
    void *value = nullptr;
    std::string key = "key-" + std::to_string(k);
    ASSERT_TRUE(HashTable_Lookup(ht.get(), key.c_str(), &value));
    for (int t = 0; t < numThreads; t++) {
      ASSERT_EQ(seen[t][k], value) << "thread " << t << " key " << k;
    }
  }
  EXPECT_EQ(WalkKeys(ht.get()).size(), static_cast<size_t>(numKeys));
}

}  // namespace
