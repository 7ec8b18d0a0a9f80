// Encoding numbers and names, and the process's current encoding.

#include <brellis/codeset.h>
#include <brellis/hashTable.h>
#include <brellis/log.h>
#include <brellis/panic.h>
#include <brellis/unicode.h>

#include "unicodeTableInt.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

namespace brellis::unicode {

size_t UnitWidth(int encoding) {
  switch (encoding) {
    case STRING_ENCODING_UTF16_LE:
    case STRING_ENCODING_UTF16_BE:
    case STRING_ENCODING_UTF16:
    case STRING_ENCODING_UCS2:
      return 2;
    case STRING_ENCODING_UTF32_LE:
    case STRING_ENCODING_UTF32_BE:
    case STRING_ENCODING_UTF32:
    case STRING_ENCODING_UCS4:
      return 4;
    default:
      return 1;
  }
}

}  // namespace brellis::unicode

namespace {

using brellis::unicode::EncodingRow;
using brellis::unicode::kEncodingTable;

std::string Normalise(const char *name) {
  std::string out;
  for (const char *p = name; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (isalnum(c)) {
      out.push_back(static_cast<char>(tolower(c)));
    }
  }
  return out;
}

const EncodingRow *FindRow(const char *name) {
  if (strncmp(name, "windows-", 8) == 0 || strncmp(name, "Windows-", 8) == 0) {
    const char *digits = name + 8;
    bool allDigits = *digits != '\0';
    for (const char *p = digits; *p != '\0'; p++) {
      allDigits = allDigits && isdigit(static_cast<unsigned char>(*p));
    }
    if (allDigits && strlen(digits) < 9) {
      int codePage = atoi(digits);
      for (const EncodingRow &row :
           std::span(kEncodingTable, brellis::unicode::kEncodingTableSize)) {
        if (row.winCodePage == codePage) {
          return &row;
        }
      }
    }
  }
  for (const EncodingRow &row : std::span(kEncodingTable, brellis::unicode::kEncodingTableSize)) {
    for (const char *n : row.names) {
      if (n == nullptr) break;
      if (strcmp(n, name) == 0) return &row;
    }
  }
  std::string wanted = Normalise(name);
  for (const EncodingRow &row : std::span(kEncodingTable, brellis::unicode::kEncodingTableSize)) {
    for (const char *n : row.names) {
      if (n == nullptr) break;
      if (Normalise(n) == wanted) return &row;
    }
  }
  return nullptr;
}

HashTable *lookupCache;

}  // namespace

extern "C" {

int UnicodeIANALookup(const char *encodingName) {
  HashTable *cache = HashTable_AllocOnce(
      &lookupCache, 128, HASH_ISTRING_KEY | HASH_FLAG_ATOMIC | HASH_FLAG_COPYKEY, nullptr);
  void *value;
  const EncodingRow *row;
  if (HashTable_Lookup(cache, encodingName, &value)) {
    row = static_cast<const EncodingRow *>(value);
  } else {
    row = FindRow(encodingName);
    if (row == nullptr) {
      Log_Info("%s: Did not find an IANA match for encoding \"%s\"\n", "UnicodeIANALookup",
               encodingName);
      return STRING_ENCODING_UNKNOWN;
    }
    // Whoever inserts first decides for every spelling of the name.
    row = static_cast<const EncodingRow *>(
        HashTable_LookupOrInsert(cache, encodingName, const_cast<EncodingRow *>(row)));
  }
  return row->supported ? row->encoding : STRING_ENCODING_UNKNOWN;
}

int Unicode_EncodingNameToEnum(const char *encodingName) {
  return UnicodeIANALookup(encodingName);
}

int Unicode_GetCurrentEncoding(void) {
  static std::atomic<int> cached{STRING_ENCODING_UNKNOWN};
  int enc = cached.load(std::memory_order_relaxed);
  if (enc == STRING_ENCODING_UNKNOWN) {
    const char *codeSet = CodeSet_GetCurrentCodeSet();
    enc = UnicodeIANALookup(codeSet);
    if (enc == STRING_ENCODING_UNKNOWN) {
      // Names from the system and the environment must still convert: a
      // character set we cannot name is treated as UTF-8, which at worst
      // refuses some names, rather than ending the process on first use.
      int expected = STRING_ENCODING_UNKNOWN;
      if (cached.compare_exchange_strong(expected, STRING_ENCODING_UTF8)) {
        Log_Info("%s: Unsupported current character set \"%s\", using UTF-8.\n",
                 "Unicode_GetCurrentEncoding", codeSet);
      }
      return STRING_ENCODING_UTF8;
    }
    cached.store(enc, std::memory_order_relaxed);
  }
  return enc;
}

int Unicode_ResolveEncoding(int encoding) {
  return encoding == STRING_ENCODING_DEFAULT ? Unicode_GetCurrentEncoding() : encoding;
}

const char *Unicode_EncodingEnumToName(int encoding) {
  encoding = Unicode_ResolveEncoding(encoding);
  for (const EncodingRow &row : std::span(kEncodingTable, brellis::unicode::kEncodingTableSize)) {
    if (row.encoding == encoding) {
      return row.names[row.preferredName];
    }
  }
  Log_Info("%s: Unknown encoding %d.\n", "Unicode_EncodingEnumToName", encoding);
  Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
}

}  // extern "C"
