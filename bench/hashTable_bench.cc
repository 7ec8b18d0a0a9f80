// Lookups of present keys in a table of 1000 entries, against
// std::unordered_map with the same keys.

#include <brellis/hashTable.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr int numKeys = 1000;

std::vector<std::string> StringKeys() {
  std::vector<std::string> keys;
  for (int i = 0; i < numKeys; i++) {
    keys.push_back("config.key." + std::to_string(i * 7919));
  }
  return keys;
}

void *IntKey(int i) {
  return reinterpret_cast<void *>(static_cast<uintptr_t>(i) * 64 + 4096);
}

// Keys in arithmetic progression, as above, land one per bucket in the
// baseline's prime-sized bucket array: its best case. Scattered 16-aligned
// pointer-like keys (a fixed pseudo-random sequence) collide in both tables
// as chance has it.
std::vector<void *> ScatteredKeys() {
  std::vector<void *> keys;
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < numKeys; i++) {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    uint64_t v = (x * 0x2545F4914F6CDD1Dull) >> 16;
    keys.push_back(reinterpret_cast<void *>(static_cast<uintptr_t>(v & ~uint64_t{15})));
  }
  return keys;
}

void ScatteredLookupOurs(benchmark::State &state) {
  std::vector<void *> keys = ScatteredKeys();
  HashTable *ht = HashTable_Alloc(1024, HASH_INT_KEY, nullptr);
  for (void *k : keys) {
    HashTable_Insert(ht, k, k);
  }
  size_t i = 0;
  for (auto _ : state) {
    void *value;
    benchmark::DoNotOptimize(HashTable_Lookup(ht, keys[i], &value));
    benchmark::DoNotOptimize(value);
    i = i + 1 == keys.size() ? 0 : i + 1;
  }
  HashTable_Free(ht);
}

void ScatteredLookupBaseline(benchmark::State &state) {
  std::vector<void *> keys = ScatteredKeys();
  std::unordered_map<uintptr_t, void *> map;
  map.reserve(1024);
  for (void *k : keys) {
    map.emplace(reinterpret_cast<uintptr_t>(k), k);
  }
  size_t i = 0;
  for (auto _ : state) {
    auto it = map.find(reinterpret_cast<uintptr_t>(keys[i]));
    benchmark::DoNotOptimize(it != map.end());
    benchmark::DoNotOptimize(it->second);
    i = i + 1 == keys.size() ? 0 : i + 1;
  }
}

void IntLookupOurs(benchmark::State &state, int flags) {
  HashTable *ht = HashTable_Alloc(1024, HASH_INT_KEY | flags, nullptr);
  for (int i = 0; i < numKeys; i++) {
    HashTable_Insert(ht, IntKey(i), IntKey(i));
  }
  int i = 0;
  for (auto _ : state) {
    void *value;
    benchmark::DoNotOptimize(HashTable_Lookup(ht, IntKey(i), &value));
    benchmark::DoNotOptimize(value);
    i = i + 1 == numKeys ? 0 : i + 1;
  }
  HashTable_Free(ht);
}

void IntLookupBaseline(benchmark::State &state) {
  std::unordered_map<uintptr_t, void *> map;
  map.reserve(1024);
  for (int i = 0; i < numKeys; i++) {
    map.emplace(reinterpret_cast<uintptr_t>(IntKey(i)), IntKey(i));
  }
  int i = 0;
  for (auto _ : state) {
    auto it = map.find(reinterpret_cast<uintptr_t>(IntKey(i)));
    benchmark::DoNotOptimize(it != map.end());
    benchmark::DoNotOptimize(it->second);
    i = i + 1 == numKeys ? 0 : i + 1;
  }
}

void StringLookupOurs(benchmark::State &state, int keyType) {
  std::vector<std::string> keys = StringKeys();
  HashTable *ht = HashTable_Alloc(1024, keyType, nullptr);
  for (const std::string &k : keys) {
    HashTable_Insert(ht, k.c_str(), nullptr);
  }
  size_t i = 0;
  for (auto _ : state) {
    void *value;
    benchmark::DoNotOptimize(HashTable_Lookup(ht, keys[i].c_str(), &value));
    benchmark::DoNotOptimize(value);
    i = i + 1 == keys.size() ? 0 : i + 1;
  }
  HashTable_Free(ht);
}

void StringLookupBaseline(benchmark::State &state) {
  std::vector<std::string> keys = StringKeys();
  std::unordered_map<std::string_view, void *> map;
  map.reserve(1024);
  for (const std::string &k : keys) {
    map.emplace(k, nullptr);
  }
  size_t i = 0;
  for (auto _ : state) {
    // The caller has a C string, as callers of the table do.
    auto it = map.find(std::string_view(keys[i].c_str()));
    benchmark::DoNotOptimize(it != map.end());
    benchmark::DoNotOptimize(it->second);
    i = i + 1 == keys.size() ? 0 : i + 1;
  }
}

BENCHMARK_CAPTURE(IntLookupOurs, plain, 0)->Name("HashLookupInt/Ours");
BENCHMARK(IntLookupBaseline)->Name("HashLookupInt/Baseline");
BENCHMARK_CAPTURE(IntLookupOurs, atomic, HASH_FLAG_ATOMIC)->Name("HashLookupIntAtomic/Ours");
BENCHMARK(IntLookupBaseline)->Name("HashLookupIntAtomic/Baseline");
BENCHMARK(ScatteredLookupOurs)->Name("HashLookupIntScattered/Ours");
BENCHMARK(ScatteredLookupBaseline)->Name("HashLookupIntScattered/Baseline");
BENCHMARK_CAPTURE(StringLookupOurs, string, HASH_STRING_KEY)->Name("HashLookupString/Ours");
BENCHMARK(StringLookupBaseline)->Name("HashLookupString/Baseline");

}  // namespace

BENCHMARK_MAIN();
