// Dictionary entries and typed values.

#include <brellis/dictionary.h>
#include <brellis/log.h>
#include <brellis/msgList.h>
#include <brellis/panic.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include <strings.h>
#include <sys/mman.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "user/dictionaryInt.h"

namespace {

constexpr size_t kNameBufSize = 1024;
constexpr size_t kIndexBuckets = 512;

char *Copy(const char *s) {
  return Util_SafeStrdup(-1, s, __FILE__, __LINE__);
}

void LinkBefore(DictLink *head, DictLink *node) {
  node->next = head;
  node->prev = head->prev;
  head->prev->next = node;
  head->prev = node;
}

void Unlink(DictLink *node) {
  node->prev->next = node->next;
  node->next->prev = node->prev;
  node->prev = node->next = node;
}

int32_t TypeOf(int typeAndFlags) {
  int32_t type = typeAndFlags & DICT_TYPE_MASK;
  if (type > DICT_TYPE_INT64) {
    Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
  }
  return type;
}

// A name the file format reads back as the same name.
bool NameIsStorable(const char *name) {
  if (name == nullptr || *name == '\0') {
    return false;
  }
  for (const char *p = name; *p != '\0'; p++) {
    if (*p == ' ' || *p == '\t' || *p == '#' || *p == '=' || *p == '\n' || *p == '\r') {
      return false;
    }
  }
  return true;
}

void RefuseName(const char *name, MsgList **messages) {
  static constexpr char kBadName[] =
      "@&!*@*@(msg.dictionary.badName)Variable name \"%s\" cannot be stored in a "
      "dictionary.\n";
  if (messages != nullptr) {
    MsgList_Append(messages, kBadName, name ? name : "");
  } else {
    Log_Warning("Dictionary: variable name \"%s\" cannot be stored in a dictionary.\n",
                name ? name : "");
  }
}

// In an unlocked encrypted dictionary, plain entries are for plain reads.
bool Visible(const Dictionary *dict, const DictEntry *e, int typeAndFlags) {
  return dict->keySafe == nullptr || !e->plain || (typeAndFlags & DICT_FLAG_PLAIN) != 0;
}

bool EqualsNoCase(const char *a, const char *b) {
  return strcasecmp(a, b) == 0;
}

int BoolText(const char *text) {
  if (text == nullptr) return -1;
  static const char *const kTrue[] = {"", "true", "t", "yes", "y", "on", "1"};
  static const char *const kFalse[] = {"false", "f", "no", "n", "off", "0"};
  for (const char *t : kTrue) {
    if (EqualsNoCase(text, t)) return 1;
  }
  for (const char *f : kFalse) {
    if (EqualsNoCase(text, f)) return 0;
  }
  return -1;
}

// strtol followed by strtoul as a platform with 32-bit longs runs them:
// outside [-2^31, 2^31) the first reports ERANGE, and the second accepts
// magnitudes up to 2^32 - 1, negated modulo 2^32.
int32_t ParseInt32(const char *text, const char **end, bool *tooBig) {
  *tooBig = false;
  const char *p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    p++;
  }
  if (!(*p >= '0' && *p <= '9')) {
    *end = text;
    return 0;
  }
  errno = 0;
  char *stop;
  unsigned long long magnitude = strtoull(p, &stop, 0);
  bool overflow = errno == ERANGE;
  *end = stop;
  if (!overflow && (negative ? magnitude <= 0x80000000ull : magnitude <= 0x7FFFFFFFull)) {
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                    : static_cast<int32_t>(magnitude);
  }
  if (!overflow && magnitude <= 0xFFFFFFFFull) {
    uint32_t u = static_cast<uint32_t>(magnitude);
    return static_cast<int32_t>(negative ? 0u - u : u);
  }
  *tooBig = true;
  return -1;  // ULONG_MAX of such a platform
}

// Shortest text that reads back as the same double; "%g" when that does.
void FormatDouble(double d, char *buf, size_t size) {
  Str_Snprintf(buf, size, "%g", d);
  if (!std::isfinite(d) || strtod(buf, nullptr) == d) {
    return;
  }
  for (int precision = 7; precision <= 17; precision++) {
    Str_Snprintf(buf, size, "%.*g", precision, d);
    if (strtod(buf, nullptr) == d) {
      return;
    }
  }
}

const char *TriText(int32_t v) {
  return v == 1 ? "true" : v == -1 ? "default" : "false";
}

// Converts text to type. def (may be NULL) is the fallback for malformed
// text; warnings name the entry and go to messages.
DictValue Convert(const char *text, int32_t type, const DictValue *def, const char *name,
                  MsgList **messages) {
  DictValue v{};
  const char *shown = text ? text : "";
  switch (type) {
    case DICT_TYPE_UNTYPED:
    case DICT_TYPE_STRING:
      v.stringValue = Copy(text);
      break;
    case DICT_TYPE_BOOL: {
      int b = BoolText(text);
      if (b >= 0) {
        v.boolValue = b == 1;
      } else {
        v.boolValue = def ? def->boolValue : false;
        MsgList_Append(messages,
                       "@&!*@*@(msg.dictionary.notBoolean)Value \"%s\" for variable \"%s\" is "
                       "not a valid boolean value. Using value \"%s\".\n",
                       shown, name, v.boolValue ? "TRUE" : "FALSE");
      }
      break;
    }
    case DICT_TYPE_INT32: {
      const char *end;
      bool tooBig;
      v.int32Value = ParseInt32(shown, &end, &tooBig);
      if (tooBig) {
        if (def) v.int32Value = def->int32Value;
        MsgList_Append(messages,
                       "@&!*@*@(msg.dictionary.integerTooBig)Value \"%s\" for variable \"%s\" "
                       "is too large. Using value \"%d\".\n",
                       shown, name, v.int32Value);
      } else if (*end != '\0') {
        if (def) v.int32Value = def->int32Value;
        MsgList_Append(messages,
                       "@&!*@*@(msg.dictionary.notInteger)Value \"%s\" for variable \"%s\" is "
                       "not a valid integer value. Using value \"%d\".\n",
                       shown, name, v.int32Value);
      }
      break;
    }
    case DICT_TYPE_INT64: {
      char *end;
      errno = 0;
      v.int64Value = static_cast<int64_t>(strtoull(shown, &end, 0));
      if (errno == ERANGE) {
        if (def) v.int64Value = def->int64Value;
        MsgList_Append(messages,
                       "@&!*@*@(msg.dictionary.integer64TooBig)Value \"%s\" for variable "
                       "\"%s\" is too large. Using value \"%lld\".\n",
                       shown, name, static_cast<long long>(v.int64Value));
      } else if (*end != '\0') {
        if (def) v.int64Value = def->int64Value;
        MsgList_Append(messages,
                       "@&!*@*@(msg.dictionary.notInteger64)Value \"%s\" for variable \"%s\" "
                       "is not a valid integer value. Using value \"%lld\".\n",
                       shown, name, static_cast<long long>(v.int64Value));
      }
      break;
    }
    case DICT_TYPE_DOUBLE: {
      char *end;
      v.doubleValue = strtod(shown, &end);
      if (*end != '\0') {
        if (def) v.doubleValue = def->doubleValue;
        MsgList_Append(messages,
                       "@&!*@*@(msg.dictionary.notFloat)Value \"%s\" for variable \"%s\" is "
                       "not a valid floating point value. Using value \"%f\".\n",
                       shown, name, v.doubleValue);
      }
      break;
    }
    case DICT_TYPE_TRISTATE: {
      int b = BoolText(text);
      if (b >= 0) {
        v.tristateValue = b;
      } else if (text != nullptr &&
                 (EqualsNoCase(text, "default") || EqualsNoCase(text, "dontcare") ||
                  EqualsNoCase(text, "auto"))) {
        v.tristateValue = -1;
      } else {
        v.tristateValue = def ? def->tristateValue : 0;
        MsgList_Append(messages,
                       "@&!*@*@(msg.dictionary.notTristate)Value \"%s\" for variable \"%s\" is "
                       "not a valid tristate value. Using value \"%s\".\n",
                       shown, name,
                       v.tristateValue == 0   ? "FALSE"
                       : v.tristateValue == 1 ? "TRUE"
                                              : "default");
      }
      break;
    }
    default:
      Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
  }
  return v;
}

DictValue ReadValue(const void *p, int32_t type) {
  DictValue v{};
  switch (type) {
    case DICT_TYPE_UNTYPED:
    case DICT_TYPE_STRING:
      v.stringValue = *static_cast<char *const *>(p);
      break;
    case DICT_TYPE_BOOL:
      v.boolValue = *static_cast<const bool *>(p);
      break;
    case DICT_TYPE_INT32:
      v.int32Value = *static_cast<const int32_t *>(p);
      break;
    case DICT_TYPE_DOUBLE:
      v.doubleValue = *static_cast<const double *>(p);
      break;
    case DICT_TYPE_TRISTATE:
      v.tristateValue = *static_cast<const int32_t *>(p);
      break;
    case DICT_TYPE_INT64:
      v.int64Value = *static_cast<const int64_t *>(p);
      break;
    default:
      Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
  }
  return v;
}

// The value as text for conversions and listings; buf holds 32 bytes.
const char *ValueText(int32_t type, const DictValue &v, char *buf) {
  switch (type) {
    case DICT_TYPE_BOOL:
      return v.boolValue ? "true" : "false";
    case DICT_TYPE_INT32:
      Str_Snprintf(buf, 32, "%d", v.int32Value);
      return buf;
    case DICT_TYPE_DOUBLE:
      FormatDouble(v.doubleValue, buf, 32);
      return buf;
    case DICT_TYPE_TRISTATE:
      return TriText(v.tristateValue);
    case DICT_TYPE_INT64:
      Str_Snprintf(buf, 32, "%lld", static_cast<long long>(v.int64Value));
      return buf;
    default:
      return v.stringValue;
  }
}

// Stores v (owned when a string) into e, which has e->type; true when the
// stored value changed.
bool StoreSameType(DictEntry *e, DictValue v) {
  bool changed;
  switch (e->type) {
    case DICT_TYPE_UNTYPED:
    case DICT_TYPE_STRING: {
      const char *old = e->value.stringValue;
      changed = (old == nullptr) != (v.stringValue == nullptr) ||
                (old != nullptr && strcmp(old, v.stringValue) != 0);
      DictionaryReleaseValue(e);
      e->value.stringValue = v.stringValue;
      break;
    }
    case DICT_TYPE_BOOL:
      changed = e->value.boolValue != v.boolValue;
      e->value.boolValue = v.boolValue;
      break;
    case DICT_TYPE_INT32:
    case DICT_TYPE_TRISTATE:
      changed = e->value.int32Value != v.int32Value;
      e->value.int32Value = v.int32Value;
      break;
    case DICT_TYPE_DOUBLE:
      // NaN never equals itself, so storing one always counts as a change.
      changed = !(e->value.doubleValue == v.doubleValue);
      e->value.doubleValue = v.doubleValue;
      break;
    default:
      changed = e->value.int64Value != v.int64Value;
      e->value.int64Value = v.int64Value;
      break;
  }
  if (changed) {
    free(e->textCache);
    e->textCache = nullptr;
  }
  return changed;
}

// Gives an untyped entry its type, converting its text.
void Type(DictEntry *e, int32_t type, const DictValue *def, MsgList **messages) {
  const char *text = e->value.stringValue;
  DictValue v = Convert(text, type, def, e->name, messages);
  if (type != DICT_TYPE_STRING) {
    DictionaryReleaseValue(e);
    e->value = v;
  } else {
    free(v.stringValue);
  }
  e->type = type;
  free(e->textCache);
  e->textCache = nullptr;
}

// Stores a caller's value of the given type into an existing entry.
bool Store(DictEntry *e, const void *value, int32_t type, MsgList **messages) {
  DictValue v = ReadValue(value, type);
  if (type == DICT_TYPE_UNTYPED) {
    if (e->type == DICT_TYPE_UNTYPED || e->type == DICT_TYPE_STRING) {
      v.stringValue = Copy(v.stringValue);
    } else {
      v = Convert(v.stringValue, e->type, nullptr, e->name, messages);
    }
    return StoreSameType(e, v);
  }
  if (e->type == DICT_TYPE_UNTYPED) {
    Type(e, type, nullptr, messages);
  }
  if (e->type == type) {
    if (type == DICT_TYPE_STRING) {
      v.stringValue = Copy(v.stringValue);
    }
    return StoreSameType(e, v);
  }
  // Another type than the entry holds: go through the text, never through
  // the bits.
  char buf[32];
  const char *text = ValueText(type, v, buf);
  return StoreSameType(e, Convert(text, e->type, nullptr, e->name, messages));
}

void FreeEntry(DictEntry *e) {
  if (DictionaryIsStringType(e->type)) {
    DictionaryReleaseValue(e);
  }
  free(e->textCache);
  if (!e->inArena) {
    free(e);
  }
}

bool FormatName(char *buf, const char *fmt, va_list ap) {
  return Str_Vsnprintf(buf, kNameBufSize, fmt, ap) >= 0;
}

// The index (see DictIndex). Names compare and hash without regard to ASCII
// letter case, eight bytes at a time.

// Sets bit 5 (0x20) of every byte of w that is an ASCII capital letter.
inline uint64_t FoldWord(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  uint64_t low7 = w & (0x7F * kOnes);
  uint64_t atLeastA = low7 + (0x80 - 'A') * kOnes;    // 0x80 set where byte >= 'A'
  uint64_t aboveZ = low7 + (0x80 - 'Z' - 1) * kOnes;  // 0x80 set where byte > 'Z'
  uint64_t upper = (atLeastA ^ aboveZ) & ~w & (0x80 * kOnes);
  return w | (upper >> 2);
}

inline uint64_t LoadWord(const char *p) {
  uint64_t w;
  memcpy(&w, p, sizeof w);
  return w;
}

// The last n (1 to 7) bytes at p, zero-extended (little-endian order, as
// LoadWord; either order would do as long as both agree).
inline uint64_t LoadTail(const char *p, size_t n) {
  uint64_t w = 0;
  for (size_t i = n; i-- > 0;) {
    w = w << 8 | static_cast<unsigned char>(p[i]);
  }
  return w;
}

uint32_t NameHashOf(std::string_view name) {
  const char *p = name.data();
  size_t n = name.size();
  uint64_t h = n * 0x9E3779B97F4A7C15ull;
  for (; n >= 8; p += 8, n -= 8) {
    h = (h ^ FoldWord(LoadWord(p))) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  }
  if (n > 0) {
    h = (h ^ FoldWord(LoadTail(p, n))) * 0xBF58476D1CE4E5B9ull;
  }
  h ^= h >> 29;
  h *= 0x94D049BB133111EBull;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

bool NamesEqual(const char *a, const char *b, size_t n) {
  for (; n >= 8; a += 8, b += 8, n -= 8) {
    if (FoldWord(LoadWord(a)) != FoldWord(LoadWord(b))) {
      return false;
    }
  }
  return n == 0 || FoldWord(LoadTail(a, n)) == FoldWord(LoadTail(b, n));
}

// The arena. Small dictionaries take blocks from malloc, growing from 4 KiB
// to 64 KiB; past that, blocks of kLargeBlock come straight from the kernel,
// and a dictionary that lets go of them leaves them in a process-wide pool
// for the next load rather than returning them: a large file loaded again
// and again (a reload, a message catalogue per thread) then touches no fresh
// page, and it is the first touch of a page, not the copying into it, that
// dominates loading such a file. Every block is zero when it is handed out
// (calloc, fresh pages, or zeroed on release), so nothing carved from it
// needs clearing.
constexpr size_t kFirstBlock = 4 * 1024;
constexpr size_t kLargestSmallBlock = 64 * 1024;
constexpr size_t kLargeBlock = 2 * 1024 * 1024;
// What the pool keeps at most (enough for a dictionary of some 150,000
// lines); blocks released beyond it go back to the kernel.
constexpr size_t kPoolLimit = 16;

struct ArenaPool {
  std::mutex lock;
  DictArenaBlock *blocks = nullptr;
  size_t count = 0;
};

// size bytes (a multiple of kLargeBlock) of fresh, zeroed pages, aligned
// to kLargeBlock so that they can be huge pages where the kernel grants
// them: a large dictionary's entries and index are then reached through a
// handful of address translations instead of one per 4 KiB, and are made
// present by a fault per 2 MiB instead of one per 4 KiB.
void *HugeAlloc(size_t size) {
  void *p =
      mmap(nullptr, size + kLargeBlock, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    Panic("MEM_ALLOC %s:%d\n", __FILE__, __LINE__);
  }
  auto start = reinterpret_cast<uintptr_t>(p);
  uintptr_t aligned = (start + kLargeBlock - 1) & ~(uintptr_t{kLargeBlock} - 1);
  if (aligned > start) {
    munmap(p, aligned - start);
  }
  munmap(reinterpret_cast<void *>(aligned + size), start + kLargeBlock - aligned);
  madvise(reinterpret_cast<void *>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void *>(aligned);
}

ArenaPool &Pool() {
  static ArenaPool pool;
  return pool;
}

DictArenaBlock *LargeBlock() {
  {
    ArenaPool &pool = Pool();
    std::lock_guard<std::mutex> hold(pool.lock);
    if (pool.blocks != nullptr) {
      DictArenaBlock *b = pool.blocks;
      pool.blocks = b->next;
      pool.count--;
      return b;
    }
  }
  return static_cast<DictArenaBlock *>(HugeAlloc(kLargeBlock));
}

void ReleaseBlock(DictArenaBlock *b) {
  // Entries, names, lines and values read from the file all lie here.
  explicit_bzero(b + 1, b->used);
  if (!b->pooled) {
    free(b);
    return;
  }
  b->used = 0;
  {
    ArenaPool &pool = Pool();
    std::lock_guard<std::mutex> hold(pool.lock);
    if (pool.count < kPoolLimit) {
      b->next = pool.blocks;
      pool.blocks = b;
      pool.count++;
      return;
    }
  }
  munmap(b, kLargeBlock);
}

// size bytes, 8-aligned and zeroed, from the dictionary's arena.
void *ArenaAlloc(Dictionary *dict, size_t size) {
  size = (size + 7) & ~size_t{7};
  DictArenaBlock *b = dict->arena;
  if (b == nullptr || b->size - b->used < size) {
    size_t usable = b == nullptr ? kFirstBlock : std::min(b->size * 2, kLargestSmallBlock);
    if (usable >= kLargestSmallBlock && size <= kLargeBlock - sizeof(DictArenaBlock)) {
      b = LargeBlock();
      b->pooled = true;
      usable = kLargeBlock - sizeof(DictArenaBlock);
    } else {
      usable = std::max(usable, size);
      b = static_cast<DictArenaBlock *>(
          Util_SafeCalloc(-1, 1, sizeof(DictArenaBlock) + usable, __FILE__, __LINE__));
    }
    b->next = dict->arena;
    b->size = usable;
    b->used = 0;
    dict->arena = b;
  }
  char *p = reinterpret_cast<char *>(b + 1) + b->used;
  b->used += size;
  return p;
}

void ArenaRelease(Dictionary *dict) {
  while (dict->arena != nullptr) {
    DictArenaBlock *next = dict->arena->next;
    ReleaseBlock(dict->arena);
    dict->arena = next;
  }
}

// count zeroed slots.
DictIndexSlot *NewSlots(size_t count) {
  size_t bytes = count * sizeof(DictIndexSlot);
  if (bytes >= kLargeBlock) {
    return static_cast<DictIndexSlot *>(HugeAlloc(bytes));
  }
  return static_cast<DictIndexSlot *>(
      Util_SafeCalloc(-1, count, sizeof(DictIndexSlot), __FILE__, __LINE__));
}

void FreeSlots(DictIndexSlot *slots, size_t count) {
  size_t bytes = count * sizeof(DictIndexSlot);
  if (bytes >= kLargeBlock) {
    munmap(slots, bytes);
  } else {
    free(slots);
  }
}

void IndexFree(DictIndex *index) {
  FreeSlots(index->slots, size_t{index->mask} + 1);
  index->slots = nullptr;
}

void IndexReset(DictIndex *index) {
  if (index->slots == nullptr) {
    index->slots = NewSlots(kIndexBuckets);
    index->mask = kIndexBuckets - 1;
  }
  memset(index->slots, 0, (size_t{index->mask} + 1) * sizeof(DictIndexSlot));
  index->count = 0;
}

// Places e in the first free slot from its hash's home on; e's name is not
// in the index yet.
void IndexPlace(DictIndexSlot *slots, uint32_t mask, DictIndexSlot slot) {
  uint32_t i = slot.hash & mask;
  while (slots[i].entry != nullptr) {
    i = (i + 1) & mask;
  }
  slots[i] = slot;
}

void IndexAdd(DictIndex *index, DictEntry *e) {
  // At most half full, so that a probe meets a free slot within a few
  // steps.
  if (2 * (index->count + 1) > index->mask + 1 && index->mask < (UINT32_MAX >> 2)) {
    uint32_t mask = index->mask * 2 + 1;
    DictIndexSlot *slots = NewSlots(size_t{mask} + 1);
    for (uint32_t i = 0; i <= index->mask; i++) {
      if (index->slots[i].entry != nullptr) {
        IndexPlace(slots, mask, index->slots[i]);
      }
    }
    FreeSlots(index->slots, size_t{index->mask} + 1);
    index->slots = slots;
    index->mask = mask;
  }
  IndexPlace(index->slots, index->mask, DictIndexSlot{e, e->nameHash});
  index->count++;
}

void IndexRemove(DictIndex *index, DictEntry *e) {
  uint32_t mask = index->mask;
  DictIndexSlot *slots = index->slots;
  uint32_t i = e->nameHash & mask;
  while (slots[i].entry != e) {
    if (slots[i].entry == nullptr) {
      return;
    }
    i = (i + 1) & mask;
  }
  // Close the gap: a later entry of the run moves into it unless its home
  // lies after the gap (cyclically), where a probe for it would not pass
  // through the gap.
  for (uint32_t j = i;;) {
    j = (j + 1) & mask;
    if (slots[j].entry == nullptr) {
      break;
    }
    uint32_t home = slots[j].hash & mask;
    bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (!stays) {
      slots[i] = slots[j];
      i = j;
    }
  }
  slots[i] = DictIndexSlot{};
  index->count--;
}

bool IsDefinedFlags(Dictionary *dict, const char *name, int flags) {
  DictEntry *e = DictionaryFind(dict, name);
  return e != nullptr && Visible(dict, e, flags);
}

}  // namespace

// ---------------------------------------------------------------------------
// Bookkeeping shared with the readers and writers.

bool DictionaryIsStringType(int32_t type) {
  return type == DICT_TYPE_UNTYPED || type == DICT_TYPE_STRING;
}

uint32_t DictionaryNameHash(std::string_view name) {
  return NameHashOf(name);
}

DictEntry *DictionaryFind(Dictionary *dict, std::string_view name) {
  return DictionaryFindHashed(dict, name, NameHashOf(name));
}

DictEntry *DictionaryFindHashed(Dictionary *dict, std::string_view name, uint32_t h) {
  const DictIndexSlot *slots = dict->index.slots;
  uint32_t mask = dict->index.mask;
  for (uint32_t i = h & mask; slots[i].entry != nullptr; i = (i + 1) & mask) {
    DictEntry *e = slots[i].entry;
    if (slots[i].hash == h && e->nameLen == name.size() &&
        NamesEqual(e->name, name.data(), name.size())) {
      return e;
    }
  }
  return nullptr;
}

namespace {

// e is zeroed and has room for the name after it.
void AddEntry(Dictionary *dict, DictEntry *e, std::string_view name, uint32_t hash, int32_t type,
              DictValue value) {
  // The name never changes once the entry exists, so it lives in the
  // entry's own allocation.
  e->name = reinterpret_cast<char *>(e + 1);
  memcpy(e->name, name.data(), name.size());
  e->nameLen = name.size();
  e->nameHash = hash;
  e->type = type;
  e->value = value;
  LinkBefore(&dict->entries, e);
  IndexAdd(&dict->index, e);
  dict->entryCount++;
}

}  // namespace

DictEntry *DictionaryAddEntry(Dictionary *dict, std::string_view name, int32_t type,
                              DictValue value) {
  auto *e = static_cast<DictEntry *>(
      Util_SafeCalloc(-1, 1, sizeof(DictEntry) + name.size() + 1, __FILE__, __LINE__));
  AddEntry(dict, e, name, NameHashOf(name), type, value);
  return e;
}

DictEntry *DictionaryAddReadEntry(Dictionary *dict, std::string_view name, uint32_t hash,
                                  std::string_view value, char *ownedValue, std::string_view text) {
  // Entry, name, line text and (unless the caller made one of its own) the
  // value in one piece of the arena, which comes zeroed: the strings' NULs
  // are there already.
  size_t valueRoom = ownedValue == nullptr ? value.size() + 1 : 0;
  auto *e = static_cast<DictEntry *>(
      ArenaAlloc(dict, sizeof(DictEntry) + name.size() + 1 + text.size() + 1 + valueRoom));
  e->inArena = true;
  char *copy = reinterpret_cast<char *>(e + 1) + name.size() + 1;
  memcpy(copy, text.data(), text.size());
  DictValue v{};
  if (ownedValue == nullptr) {
    v.stringValue = copy + text.size() + 1;
    memcpy(v.stringValue, value.data(), value.size());
    e->valueInEntry = true;
  } else {
    v.stringValue = ownedValue;
  }
  AddEntry(dict, e, name, hash, DICT_TYPE_UNTYPED, v);
  e->ownLine.text = copy;
  e->ownLine.textInEntry = true;
  e->ownLine.entry = e;
  e->ownLine.inEntry = true;
  e->line = &e->ownLine;
  LinkBefore(&dict->lines, &e->ownLine);
  return e;
}

void DictionaryReleaseValue(DictEntry *e) {
  char *value = e->value.stringValue;
  e->value.stringValue = nullptr;
  if (value == nullptr) {
    return;
  }
  explicit_bzero(value, strlen(value));
  if (!e->valueInEntry) {
    free(value);
  }
  e->valueInEntry = false;
}

void DictionaryReleaseLineText(DictLine *line) {
  if (line->text == nullptr) {
    return;
  }
  explicit_bzero(line->text, strlen(line->text));
  if (!line->textInEntry) {
    free(line->text);
  }
  line->text = nullptr;
  line->textInEntry = false;
}

void DictionaryRemoveEntry(Dictionary *dict, DictEntry *e) {
  IndexRemove(&dict->index, e);
  Unlink(e);
  if (e->line != nullptr) {
    DictLine *line = e->line;
    Unlink(line);
    DictionaryReleaseLineText(line);
    if (!line->inEntry) {
      free(line);
    }
  }
  dict->entryCount--;
  FreeEntry(e);
}

DictLine *DictionaryAppendLine(Dictionary *dict, char *text, DictEntry *entry) {
  auto *line =
      static_cast<DictLine *>(Util_SafeCalloc(-1, 1, sizeof(DictLine), __FILE__, __LINE__));
  line->text = text;
  line->entry = entry;
  if (entry != nullptr) {
    entry->line = line;
  }
  LinkBefore(&dict->lines, line);
  return line;
}

void DictionaryClear(Dictionary *dict) {
  IndexReset(&dict->index);
  // Lines first: some of them live inside their entries. What lies in the
  // arena is zeroed with its block, all at once.
  for (DictLink *l = dict->lines.next; l != &dict->lines;) {
    DictLink *next = l->next;
    auto *line = static_cast<DictLine *>(l);
    if (!line->textInEntry) {
      DictionaryReleaseLineText(line);
    }
    if (!line->inEntry) {
      free(line);
    }
    l = next;
  }
  dict->lines.next = dict->lines.prev = &dict->lines;
  for (DictLink *l = dict->entries.next; l != &dict->entries;) {
    DictLink *next = l->next;
    auto *e = static_cast<DictEntry *>(l);
    if (e->valueInEntry && e->inArena) {
      free(e->textCache);
    } else {
      FreeEntry(e);
    }
    l = next;
  }
  dict->entries.next = dict->entries.prev = &dict->entries;
  ArenaRelease(dict);
  dict->entryCount = 0;
  dict->encoding = -2;
  // Key safes and keys exist only with the security services; none is ever
  // installed here.
  dict->keySafe = nullptr;
  dict->key = nullptr;
}

const char *DictionaryCanonicalText(const DictEntry *e, char *buf) {
  switch (e->type) {
    case DICT_TYPE_UNTYPED:
    case DICT_TYPE_STRING:
      return e->value.stringValue;
    case DICT_TYPE_BOOL:
      return e->value.boolValue ? "TRUE" : "FALSE";
    case DICT_TYPE_INT32:
      Str_Snprintf(buf, 32, "%d", e->value.int32Value);
      return buf;
    case DICT_TYPE_DOUBLE:
      FormatDouble(e->value.doubleValue, buf, 32);
      return buf;
    case DICT_TYPE_TRISTATE:
      return e->value.tristateValue == -1  ? "DEFAULT"
             : e->value.tristateValue == 1 ? "TRUE"
                                           : "FALSE";
    case DICT_TYPE_INT64:
      Str_Snprintf(buf, 32, "%lld", static_cast<long long>(e->value.int64Value));
      return buf;
    default:
      Panic("Dictionary internal error - unknown parameter type\n");
  }
}

void DictionaryMoveMessages(MsgList **to, MsgList *from) {
  if (from == nullptr) {
    return;
  }
  if (to == nullptr) {
    MsgList_Free(from);
    return;
  }
  MsgList *tail = from;
  while (tail->next != nullptr) {
    tail = tail->next;
  }
  tail->next = *to;
  *to = from;
}

// ---------------------------------------------------------------------------
// The interface.

extern "C" {

Dictionary *Dictionary_Create(void) {
  auto *dict =
      static_cast<Dictionary *>(Util_SafeCalloc(-1, 1, sizeof(Dictionary), __FILE__, __LINE__));
  dict->entries.next = dict->entries.prev = &dict->entries;
  dict->lines.next = dict->lines.prev = &dict->lines;
  IndexReset(&dict->index);
  dict->encoding = -2;
  return dict;
}

void Dictionary_Free(Dictionary *dict) {
  if (dict == nullptr) {
    return;
  }
  DictionaryClear(dict);
  IndexFree(&dict->index);
  free(dict->fileName);
  free(dict);
}

void *Dictionary_Get(Dictionary *dict, const void *defaultValue, int typeAndFlags,
                     const char *name) {
  int32_t type = TypeOf(typeAndFlags);
  DictEntry *e = DictionaryFind(dict, name);
  if (e != nullptr && !Visible(dict, e, typeAndFlags)) {
    // Hidden entries keep their name: answer the default without an entry.
    return const_cast<void *>(defaultValue);
  }
  if (e == nullptr) {
    DictValue v = ReadValue(defaultValue, type);
    if (DictionaryIsStringType(type)) {
      v.stringValue = Copy(v.stringValue);
    }
    e = DictionaryAddEntry(dict, name, type, v);
    e->isDefault = true;
    e->plain = (typeAndFlags & DICT_FLAG_PLAIN) != 0;
    return &e->value;
  }
  if (e->type == DICT_TYPE_UNTYPED) {
    if (type != DICT_TYPE_UNTYPED) {
      DictValue def = ReadValue(defaultValue, type);
      Type(e, type, &def, nullptr);
    }
    return &e->value;
  }
  if (e->type == type || (type == DICT_TYPE_UNTYPED && e->type == DICT_TYPE_STRING)) {
    return &e->value;
  }
  if (!e->mismatchLogged) {
    e->mismatchLogged = true;
    Log_Warning("Dictionary: \"%s\" holds type %d, read as type %d; using the default.\n", e->name,
                e->type, type);
  }
  return const_cast<void *>(defaultValue);
}

bool Dictionary_SetWithMsgList(Dictionary *dict, const void *value, int typeAndFlags,
                               const char *name, MsgList **messages) {
  int32_t type = TypeOf(typeAndFlags);
  if (!NameIsStorable(name)) {
    RefuseName(name, messages);
    return false;
  }
  bool quiet = (typeAndFlags & DICT_FLAG_QUIET) != 0;
  DictEntry *e = DictionaryFind(dict, name);
  if (e == nullptr) {
    DictValue v = ReadValue(value, type);
    if (DictionaryIsStringType(type)) {
      v.stringValue = Copy(v.stringValue);
    }
    e = DictionaryAddEntry(dict, name, type, v);
    e->modified = !quiet;
  } else {
    bool changed = Store(e, value, type, messages);
    e->raw = false;
    e->isDefault = false;
    if (!quiet || changed) {
      e->modified = true;
    }
  }
  if (typeAndFlags & DICT_FLAG_PLAIN) e->plain = true;
  if (quiet) e->quiet = true;
  return true;
}

bool Dictionary_Set(Dictionary *dict, const void *value, int typeAndFlags, const char *name) {
  return Dictionary_SetWithMsgList(dict, value, typeAndFlags, name, nullptr);
}

bool Dictionary_IsDefined(Dictionary *dict, const char *name) {
  return IsDefinedFlags(dict, name, 0);
}

bool Dictionary_NotSet(Dictionary *dict, const char *name) {
  DictEntry *e = DictionaryFind(dict, name);
  return e == nullptr || !Visible(dict, e, 0) || e->isDefault;
}

void Dictionary_Unset(Dictionary *dict, const char *name) {
  DictEntry *e = DictionaryFind(dict, name);
  if (e != nullptr) {
    DictionaryRemoveEntry(dict, e);
  }
}

bool Dictionary_IsModified(Dictionary *dict) {
  for (DictLink *l = dict->entries.next; l != &dict->entries; l = l->next) {
    if (static_cast<DictEntry *>(l)->modified) {
      return true;
    }
  }
  return false;
}

bool Dictionary_IsEncrypted(Dictionary *dict) {
  return dict->keySafe != nullptr || (DictionaryFind(dict, "encryption.data") != nullptr &&
                                      DictionaryFind(dict, "encryption.keySafe") != nullptr);
}

bool Dictionary_Unlock(Dictionary *dict, void *, void *) {
  if (DictionaryFind(dict, "encryption.keySafe") == nullptr) {
    return true;
  }
  Log_Info("%s: no key services to unlock an encrypted dictionary.\n", "Dictionary_Unlock");
  return false;
}

const char *Dictionary_GetAsString(Dictionary *dict, const char *name) {
  DictEntry *e = DictionaryFind(dict, name);
  if (e == nullptr || !Visible(dict, e, 0)) {
    return nullptr;
  }
  if (DictionaryIsStringType(e->type)) {
    return e->value.stringValue;
  }
  char buf[32];
  const char *text = ValueText(e->type, e->value, buf);
  free(e->textCache);
  e->textCache = Copy(text);
  return e->textCache;
}

char *Dictionary_GetStringEnum(Dictionary *dict, const char *defaultValue, const char **choices,
                               const char *fmt, ...) {
  char name[kNameBufSize];
  va_list ap;
  va_start(ap, fmt);
  bool fits = FormatName(name, fmt, ap);
  va_end(ap);
  if (!fits) {
    return Copy(defaultValue);
  }
  const char *value =
      *static_cast<char **>(Dictionary_Get(dict, &defaultValue, DICT_TYPE_STRING, name));
  if (value == nullptr) {
    return nullptr;
  }
  for (const char **c = choices; *c != nullptr; c++) {
    if (EqualsNoCase(value, *c)) {
      return Copy(*c);
    }
  }
  // The notEnum warnings are not delivered anywhere, as with every read.
  return Copy(defaultValue);
}

bool Dictionary_AddFromString(Dictionary *dict, const char *string, bool strict, bool markModified,
                              MsgList **messages) {
  const char *eq = strchr(string, '=');
  char *name =
      eq ? Util_SafeStrndup(-1, string, static_cast<size_t>(eq - string), __FILE__, __LINE__)
         : Copy(string);
  const char *value = eq ? eq + 1 : "";
  bool ok = true;
  if (!NameIsStorable(name)) {
    RefuseName(name, messages);
    ok = false;
  } else if (DictEntry *e = DictionaryFind(dict, name); e == nullptr) {
    DictValue v{};
    v.stringValue = Copy(value);
    e = DictionaryAddEntry(dict, name, DICT_TYPE_UNTYPED, v);
    e->modified = markModified;
  } else if (strict) {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.alreadyDefined.string)Variable \"%s\" is already "
                   "defined.\n",
                   name);
    ok = false;
  } else {
    Store(e, &value, DICT_TYPE_UNTYPED, messages);
    e->raw = false;
    e->isDefault = false;
    if (markModified) {
      e->modified = true;
    }
  }
  free(name);
  return ok;
}

void Dictionary_Merge(Dictionary *target, Dictionary *source) {
  for (DictLink *l = source->entries.next; l != &source->entries; l = l->next) {
    auto *src = static_cast<DictEntry *>(l);
    bool srcSecret = source->keySafe != nullptr && !src->plain;
    DictEntry *dst = DictionaryFind(target, src->name);
    if (dst == nullptr) {
      if (target->keySafe == nullptr || srcSecret) {
        DictValue v = src->value;
        if (DictionaryIsStringType(src->type)) {
          v.stringValue = Copy(v.stringValue);
        }
        DictEntry *e = DictionaryAddEntry(target, src->name, src->type, v);
        e->modified = true;
        e->plain = src->plain;
      }
      continue;
    }
    bool dstSecret = target->keySafe != nullptr && !dst->plain;
    if (dstSecret && !srcSecret) {
      continue;
    }
    if (dst->type == DICT_TYPE_UNTYPED && src->type != DICT_TYPE_UNTYPED) {
      Type(dst, src->type, nullptr, nullptr);
    } else if (src->type == DICT_TYPE_UNTYPED && dst->type != DICT_TYPE_UNTYPED) {
      Type(src, dst->type, nullptr, nullptr);
    }
    if (src->type != dst->type) {
      Log_Warning("type mismatch updating %s -- not changing\n", src->name);
      continue;
    }
    Store(dst, &src->value, src->type, nullptr);
    dst->raw = false;
    dst->isDefault = false;
    dst->modified = true;
  }
}

int Dictionary_Iterate(Dictionary *dict, DictionaryIterateCallback callback, void *userData,
                       bool includeDefaults) {
  int index = 0;
  for (DictLink *l = dict->entries.next; l != &dict->entries; l = l->next) {
    auto *e = static_cast<DictEntry *>(l);
    if (e->isDefault && !includeDefaults) {
      continue;
    }
    char buf[32];
    callback(e->name, ValueText(e->type, e->value, buf), index, userData);
    index++;
  }
  return index;
}

void Dictionary_Log(Dictionary *dict) {
  bool encrypted = dict->keySafe != nullptr || dict->key != nullptr;
  for (DictLink *l = dict->entries.next; l != &dict->entries; l = l->next) {
    auto *e = static_cast<DictEntry *>(l);
    if (e->isDefault) {
      continue;
    }
    size_t len = strlen(e->name);
    if (encrypted &&
        (EqualsNoCase(e->name, "dataFileKey") || EqualsNoCase(e->name, "ancestorDataFileKeys") ||
         EqualsNoCase(e->name, "annotation") ||
         (len >= 5 && EqualsNoCase(e->name + len - 4, ".key")))) {
      Log_Info("DICT %25s = <not printed>\n", e->name);
      continue;
    }
    switch (e->type) {
      case DICT_TYPE_BOOL:
        Log_Info("DICT %25s = %s\n", e->name, e->value.boolValue ? "TRUE" : "FALSE");
        break;
      case DICT_TYPE_INT32:
      case DICT_TYPE_TRISTATE:
        Log_Info("DICT %25s = %i\n", e->name, e->value.int32Value);
        break;
      case DICT_TYPE_DOUBLE:
        Log_Info("DICT %25s = %g\n", e->name, e->value.doubleValue);
        break;
      case DICT_TYPE_INT64:
        Log_Info("DICT %25s = %lld\n", e->name, static_cast<long long>(e->value.int64Value));
        break;
      case DICT_TYPE_UNTYPED:
      case DICT_TYPE_STRING:
        Log_Info("DICT %25s = %s\n", e->name, e->value.stringValue ? e->value.stringValue : "");
        break;
      default:
        Log_Info("DICT %25s = <unknown parameter type>\n", e->name);
        break;
    }
  }
}

// Typed shorthands.

#define DICT_NAME_OR(fallback)           \
  char name[kNameBufSize];               \
  va_list ap;                            \
  va_start(ap, fmt);                     \
  bool fits = FormatName(name, fmt, ap); \
  va_end(ap);                            \
  if (!fits) {                           \
    return fallback;                     \
  }

#define DICT_GETTER(fn, ctype, dictType, flags)                                                    \
  ctype fn(Dictionary *dict, ctype defaultValue, const char *fmt, ...) {                           \
    DICT_NAME_OR(defaultValue)                                                                     \
    return *static_cast<ctype *>(Dictionary_Get(dict, &defaultValue, (dictType) | (flags), name)); \
  }

#define DICT_SETTER(fn, ctype, dictType, flags)                      \
  bool fn(Dictionary *dict, ctype value, const char *fmt, ...) {     \
    DICT_NAME_OR(false)                                              \
    return Dictionary_Set(dict, &value, (dictType) | (flags), name); \
  }

DICT_GETTER(Dictionary_GetBool, bool, DICT_TYPE_BOOL, 0)
DICT_GETTER(Dictionary_GetBoolPlain, bool, DICT_TYPE_BOOL, DICT_FLAG_PLAIN)
DICT_GETTER(Dictionary_GetInt32, int32_t, DICT_TYPE_INT32, 0)
DICT_GETTER(Dictionary_GetInt32Plain, int32_t, DICT_TYPE_INT32, DICT_FLAG_PLAIN)
DICT_GETTER(Dictionary_GetInt64, int64_t, DICT_TYPE_INT64, 0)
DICT_GETTER(Dictionary_GetInt64Plain, int64_t, DICT_TYPE_INT64, DICT_FLAG_PLAIN)
DICT_GETTER(Dictionary_GetDouble, double, DICT_TYPE_DOUBLE, 0)
DICT_SETTER(Dictionary_SetString, const char *, DICT_TYPE_STRING, 0)
DICT_SETTER(Dictionary_SetStringPlain, const char *, DICT_TYPE_STRING, DICT_FLAG_PLAIN)
DICT_SETTER(Dictionary_SetBool, bool, DICT_TYPE_BOOL, 0)
DICT_SETTER(Dictionary_SetBoolPlain, bool, DICT_TYPE_BOOL, DICT_FLAG_PLAIN)
DICT_SETTER(Dictionary_SetInt32, int32_t, DICT_TYPE_INT32, 0)
DICT_SETTER(Dictionary_SetInt32Plain, int32_t, DICT_TYPE_INT32, DICT_FLAG_PLAIN)
DICT_SETTER(Dictionary_SetInt64, int64_t, DICT_TYPE_INT64, 0)
DICT_SETTER(Dictionary_SetInt64Plain, int64_t, DICT_TYPE_INT64, DICT_FLAG_PLAIN)
DICT_SETTER(Dictionary_SetDouble, double, DICT_TYPE_DOUBLE, 0)
DICT_SETTER(Dictionary_SetUntyped, const char *, DICT_TYPE_UNTYPED, 0)

char *Dictionary_GetString(Dictionary *dict, const char *defaultValue, const char *fmt, ...) {
  DICT_NAME_OR(Copy(defaultValue))
  return Copy(*static_cast<char **>(Dictionary_Get(dict, &defaultValue, DICT_TYPE_STRING, name)));
}

char *Dictionary_GetStringPlain(Dictionary *dict, const char *defaultValue, const char *fmt, ...) {
  DICT_NAME_OR(Copy(defaultValue))
  return Copy(*static_cast<char **>(
      Dictionary_Get(dict, &defaultValue, DICT_TYPE_STRING | DICT_FLAG_PLAIN, name)));
}

int Dictionary_GetEncoding(Dictionary *dict) {
  return dict->encoding;
}

}  // extern "C"
