// Lookups of present keys in a table of 1000 entries, against
// std::unordered_map with the same keys.
//
// Callers reach the table through the library's C interface, so each of our
// lookups is a call the compiler cannot see into. The baseline's lookups go
// through such a call too (BaselineLookup), so that the comparison is of the
// tables; one case also sets ours against the map's lookup inlined into the
// loop, which is what a C++ caller of the map would get.

#include <brellis/hashTable.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr int numKeys = 1000;

// noipa: nothing about the function (that it leaves registers alone, say)
// is used at the call, as for a call into a library.
template <typename Map, typename Key>
__attribute__((noipa)) bool BaselineLookup(const Map &map, Key key, void **value) {
  auto it = map.find(key);
  if (it == map.end()) {
    return false;
  }
  if (value != nullptr) {
    *value = it->second;
  }
  return true;
}

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
    void *value;
    benchmark::DoNotOptimize(BaselineLookup(map, reinterpret_cast<uintptr_t>(keys[i]), &value));
    benchmark::DoNotOptimize(value);
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

void IntLookupBaseline(benchmark::State &state, bool inlined) {
  std::unordered_map<uintptr_t, void *> map;
  map.reserve(1024);
  for (int i = 0; i < numKeys; i++) {
    map.emplace(reinterpret_cast<uintptr_t>(IntKey(i)), IntKey(i));
  }
  int i = 0;
  for (auto _ : state) {
    if (inlined) {
      auto it = map.find(reinterpret_cast<uintptr_t>(IntKey(i)));
      benchmark::DoNotOptimize(it != map.end());
      benchmark::DoNotOptimize(it->second);
    } else {
      void *value;
      benchmark::DoNotOptimize(BaselineLookup(map, reinterpret_cast<uintptr_t>(IntKey(i)), &value));
      benchmark::DoNotOptimize(value);
    }
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
    void *value;
    benchmark::DoNotOptimize(BaselineLookup(map, std::string_view(keys[i].c_str()), &value));
    benchmark::DoNotOptimize(value);
    i = i + 1 == keys.size() ? 0 : i + 1;
  }
}

BENCHMARK_CAPTURE(IntLookupOurs, plain, 0)->Name("HashLookupInt/Ours");
BENCHMARK_CAPTURE(IntLookupBaseline, call, false)->Name("HashLookupInt/Baseline");
BENCHMARK_CAPTURE(IntLookupOurs, atomic, HASH_FLAG_ATOMIC)->Name("HashLookupIntAtomic/Ours");
BENCHMARK_CAPTURE(IntLookupBaseline, call, false)->Name("HashLookupIntAtomic/Baseline");
BENCHMARK_CAPTURE(IntLookupOurs, plain, 0)->Name("HashLookupIntInlinedBaseline/Ours");
BENCHMARK_CAPTURE(IntLookupBaseline, inlined, true)->Name("HashLookupIntInlinedBaseline/Baseline");
BENCHMARK(ScatteredLookupOurs)->Name("HashLookupIntScattered/Ours");
BENCHMARK(ScatteredLookupBaseline)->Name("HashLookupIntScattered/Baseline");
BENCHMARK_CAPTURE(StringLookupOurs, string, HASH_STRING_KEY)->Name("HashLookupString/Ours");
BENCHMARK(StringLookupBaseline)->Name("HashLookupString/Baseline");

}  // namespace

BENCHMARK_MAIN();
