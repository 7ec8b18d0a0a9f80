// Cached texts of errno values. A text, once handed out, lives until the
// process ends, so callers may keep the pointer; the second table lets a
// message that carries such a pointer be recognised as a system error and
// shown in the user's language later.

#include <brellis/err.h>
#include <brellis/hashTable.h>
#include <brellis/util.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct ErrInfo {
  int number;
  char *text;
};

constexpr uint32_t kBuckets = 2048;

// Created on first use and never freed: texts outlive every caller,
// including those on exit paths. Lookups and insertions are lock-free.
HashTable *numberTable = nullptr;
HashTable *textTable = nullptr;

HashTable *Table(HashTable **slot) {
  return HashTable_AllocOnce(slot, kBuckets, HASH_INT_KEY | HASH_FLAG_ATOMIC, nullptr);
}

const void *Key(intptr_t value) {
  return reinterpret_cast<const void *>(value);
}

// Cuts off a last UTF-8 sequence whose lead byte announces more bytes than
// follow it (strerror_r may have truncated one).
void DropPartialSequence(char *text) {
  size_t len = strlen(text);
  if (len == 0) {
    return;
  }
  size_t lead = len - 1;
  while (lead > 0 && (static_cast<uint8_t>(text[lead]) & 0xC0) == 0x80) {
    --lead;
  }
  uint8_t byte = static_cast<uint8_t>(text[lead]);
  size_t announced = byte < 0x80 ? 1 : static_cast<size_t>(std::countl_one(byte));
  if (announced != len - lead) {
    text[lead] = '\0';
  }
}

ErrInfo *NewInfo(int number) {
  char buf[2048];
  // The GNU strerror_r may return a static text instead of filling buf.
  const char *s = strerror_r(number, buf, sizeof buf);
  auto *info = static_cast<ErrInfo *>(Util_SafeMalloc(-1, sizeof(ErrInfo), __FILE__, __LINE__));
  info->number = number;
  info->text = Util_SafeStrdup(-1, s, __FILE__, __LINE__);
  DropPartialSequence(info->text);
  return info;
}

}  // namespace

extern "C" {

const char *Err_Errno2String(int errorNumber) {
  int savedErrno = errno;
  HashTable *numbers = Table(&numberTable);
  void *found = nullptr;
  if (!HashTable_Lookup(numbers, Key(errorNumber), &found)) {
    ErrInfo *fresh = NewInfo(errorNumber);
    found = HashTable_LookupOrInsert(numbers, Key(errorNumber), fresh);
    if (found != fresh) {
      free(fresh->text);
      free(fresh);
    }
  }
  auto *info = static_cast<ErrInfo *>(found);
  HashTable_LookupOrInsert(Table(&textTable), info->text, info);
  errno = savedErrno;
  return info->text;
}

const char *Err_ErrString(void) {
  return Err_Errno2String(errno);
}

int Err_String2Errno(const char *string) {
  int savedErrno = errno;
  void *found = nullptr;
  int number = -1;
  if (string != nullptr && HashTable_Lookup(Table(&textTable), string, &found)) {
    number = static_cast<ErrInfo *>(found)->number;
  }
  errno = savedErrno;
  return number;
}

}  // extern "C"
