// Encoding numbers and names.

#include <brellis/codeset.h>
#include <brellis/hashTable.h>
#include <brellis/log.h>
#include <brellis/panic.h>
#include <brellis/unicode.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct EncodingRow {
  int winCodePage;
  int encoding;
  bool supported;
  int preferredName;
  const char *names[16];
};

// Searched in row order: the first row that carries a name wins.
constexpr EncodingRow kEncodings[] = {
    {65001,
     0,
     true,
     0,
     {"UTF-8", "ibm-1208", "ibm-1209", "ibm-5304", "ibm-5305", "ibm-13496", "ibm-13497",
      "ibm-17592", "ibm-17593", "cp1208"}},
    {1200,
     1,
     true,
     0,
     {"UTF-16LE", "x-utf-16le", "ibm-1202", "ibm-1203", "UTF16_LittleEndian",
      "UnicodeLittleUnmarked"}},
    {1201,
     2,
     true,
     0,
     {"UTF-16BE", "x-utf-16be", "ibm-1200", "ibm-1201", "cp1200", "cp1201", "UTF16_BigEndian",
      "UnicodeBigUnmarked"}},
    {-1, 3, true, 0, {"UTF-16"}},
    {12000, 4, true, 0, {"UTF-32LE", "UTF32_LittleEndian", "ibm-1234", "ibm-1235"}},
    {12001, 5, true, 0, {"UTF-32BE", "UTF32_BigEndian", "ibm-1232", "ibm-1233", "ibm-9424"}},
    {-1, 6, true, 0, {"UTF-32"}},
    {20127,
     7,
     true,
     4,
     {"ANSI_X3.4-1968", "iso-ir-6", "ANSI_X3.4-1986", "ISO_646.irv:1991", "ASCII", "ISO646-US",
      "US-ASCII", "us", "IBM367", "cp367", "csASCII", "646", "ascii7"}},
    {28591,
     8,
     true,
     3,
     {"ISO_8859-1:1987", "iso-ir-100", "ISO_8859-1", "ISO-8859-1", "latin1", "l1", "IBM819",
      "CP819", "csISOLatin1", "8859_1", "819"}},
    {28592,
     9,
     true,
     3,
     {"ISO_8859-2:1987", "iso-ir-101", "ISO_8859-2", "ISO-8859-2", "latin2", "l2", "csISOLatin2"}},
    {28593,
     10,
     true,
     3,
     {"ISO_8859-3:1988", "iso-ir-109", "ISO_8859-3", "ISO-8859-3", "latin3", "l3", "csISOLatin3"}},
    {28594,
     11,
     true,
     3,
     {"ISO_8859-4:1988", "iso-ir-110", "ISO_8859-4", "ISO-8859-4", "latin4", "l4", "csISOLatin4"}},
    {28595,
     12,
     true,
     3,
     {"ISO_8859-5:1988", "iso-ir-144", "ISO_8859-5", "ISO-8859-5", "cyrillic",
      "csISOLatinCyrillic"}},
    {28596,
     13,
     true,
     3,
     {"ISO_8859-6:1987", "iso-ir-127", "ISO_8859-6", "ISO-8859-6", "ECMA-114", "arabic",
      "csISOLatinArabic"}},
    {708, 13, true, 0, {"ASMO-708"}},
    {28597,
     14,
     true,
     3,
     {"ISO_8859-7:1987", "iso-ir-126", "ISO_8859-7", "ISO-8859-7", "ELOT_928", "ECMA-118", "greek",
      "greek8", "csISOLatinGreek"}},
    {28598,
     15,
     true,
     3,
     {"ISO_8859-8:1988", "iso-ir-138", "ISO_8859-8", "ISO-8859-8", "hebrew", "csISOLatinHebrew"}},
    {28599,
     16,
     true,
     3,
     {"ISO_8859-9:1989", "iso-ir-148", "ISO_8859-9", "ISO-8859-9", "latin5", "l5", "csISOLatin5"}},
    {-1,
     17,
     true,
     3,
     {"ISO_8859-10:1992", "iso-ir-157", "ISO_8859-10", "ISO-8859-10", "latin6", "l6",
      "csISOLatin6"}},
    {28603, 18, true, 0, {"ISO-8859-13"}},
    {-1,
     19,
     true,
     0,
     {"ISO-8859-14", "iso-ir-199", "ISO_8859-14:1998", "ISO_8859-14", "latin8", "iso-celtic",
      "l8"}},
    {28605, 20, true, 0, {"ISO-8859-15", "ISO_8859-15", "Latin-9"}},
    {932,
     27,
     true,
     0,
     {"Shift_JIS", "MS_Kanji", "csShiftJIS", "ibm-943_P15A-2003", "ibm-943", "x-sjis", "x-ms-cp932",
      "cp932", "cp943c", "IBM-943C", "ms932", "pck", "sjis", "ibm-943_VSUB_VPUA"}},
    {20932,
     28,
     false,
     0,
     {"EUC-JP", "Extended_UNIX_Code_Packed_Format_for_Japanese", "csEUCPkdFmtJapanese"}},
    {1250, 33, true, 0, {"windows-1250", "cp1250"}},
    {1251, 34, true, 0, {"windows-1251", "cp1251"}},
    {1252,
     35,
     true,
     0,
     {"windows-1252", "ibm-5348_P100-1997", "ibm-5348", "cp1252", "ibm-1252_P100-2000",
      "ibm-1252"}},
    {1253, 36, true, 0, {"windows-1253", "cp1253"}},
    {1254, 37, true, 0, {"windows-1254", "cp1254"}},
    {1255, 38, true, 0, {"windows-1255", "cp1255"}},
    {1256, 39, true, 0, {"windows-1256", "cp1256"}},
    {1257, 40, true, 0, {"windows-1257", "cp1257"}},
    {1258, 41, true, 0, {"windows-1258", "cp1258"}},
};

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
      for (const EncodingRow &row : kEncodings) {
        if (row.winCodePage == codePage) {
          return &row;
        }
      }
    }
  }
  for (const EncodingRow &row : kEncodings) {
    for (const char *n : row.names) {
      if (n == nullptr) break;
      if (strcmp(n, name) == 0) return &row;
    }
  }
  std::string wanted = Normalise(name);
  for (const EncodingRow &row : kEncodings) {
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

int Unicode_EncodingNameToEnum(const char *encodingName) {
  HashTable *cache = HashTable_AllocOnce(
      &lookupCache, 128, HASH_ISTRING_KEY | HASH_FLAG_ATOMIC | HASH_FLAG_COPYKEY, nullptr);
  void *value;
  const EncodingRow *row;
  if (HashTable_Lookup(cache, encodingName, &value)) {
    row = static_cast<const EncodingRow *>(value);
  } else {
    row = FindRow(encodingName);
    if (row == nullptr) {
      Log_Info("%s: Did not find an IANA match for encoding \"%s\"\n", "Unicode_EncodingNameToEnum",
               encodingName);
      return STRING_ENCODING_UNKNOWN;
    }
    row = static_cast<const EncodingRow *>(
        HashTable_LookupOrInsert(cache, encodingName, const_cast<EncodingRow *>(row)));
  }
  return row->supported ? row->encoding : STRING_ENCODING_UNKNOWN;
}

int Unicode_GetCurrentEncoding(void) {
  static std::atomic<int> cached{STRING_ENCODING_UNKNOWN};
  int enc = cached.load(std::memory_order_relaxed);
  if (enc == STRING_ENCODING_UNKNOWN) {
    enc = Unicode_EncodingNameToEnum(CodeSet_GetCurrentCodeSet());
    cached.store(enc, std::memory_order_relaxed);
  }
  return enc;
}

int Unicode_ResolveEncoding(int encoding) {
  return encoding == STRING_ENCODING_DEFAULT ? Unicode_GetCurrentEncoding() : encoding;
}

const char *Unicode_EncodingEnumToName(int encoding) {
  encoding = Unicode_ResolveEncoding(encoding);
  for (const EncodingRow &row : kEncodings) {
    if (row.encoding == encoding) {
      return row.names[row.preferredName];
    }
  }
  Log_Info("%s: Unknown encoding %d.\n", "Unicode_EncodingEnumToName", encoding);
  Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
}

}  // extern "C"
