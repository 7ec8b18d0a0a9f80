// Text from outside: path expansion, UTF-8 validation, the conversions
// between encodings, and the message-format scanner on raw formats.
// Conversions of valid text must round-trip; the strict UTF-8 checks must
// agree with each other; the scanner must capture the same records with and
// without a caller's buffer, and records moved as a block must come back.

#include <brellis/codeset.h>
#include <brellis/msgfmt.h>
#include <brellis/unicode.h>
#include <brellis/util.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

void Expand(const std::string &text) {
  char *out = Util_ExpandString(text.c_str());
  Check(out != nullptr || text.size() > 100, "expansion of a short text gives a text");
  free(out);
}

// Encodings whose every valid text converts to UTF-8 and back unchanged.
const int kExact[] = {STRING_ENCODING_UTF8,     STRING_ENCODING_UTF16_LE,
                      STRING_ENCODING_UTF16_BE, STRING_ENCODING_UTF32_LE,
                      STRING_ENCODING_UTF32_BE, STRING_ENCODING_ISO_8859_1,
                      STRING_ENCODING_US_ASCII};

bool HasZeroUnit(const std::string &bytes, int encoding) {
  size_t width = 1;
  if (encoding == STRING_ENCODING_UTF16_LE || encoding == STRING_ENCODING_UTF16_BE) {
    width = 2;
  } else if (encoding == STRING_ENCODING_UTF32_LE || encoding == STRING_ENCODING_UTF32_BE) {
    width = 4;
  }
  for (size_t i = 0; i + width <= bytes.size(); i += width) {
    if (bytes.compare(i, width, std::string(width, '\0')) == 0) {
      return true;
    }
  }
  return false;
}

void Convert(int encoding, const std::string &bytes) {
  bool valid = Unicode_IsBufferValid(bytes.data(), static_cast<ptrdiff_t>(bytes.size()), encoding);
  if (encoding == STRING_ENCODING_UTF8) {
    bool strict = CodeSet_Validate(bytes.data(), bytes.size(), "UTF-8");
    Check(valid == strict, "the two UTF-8 checks agree");
    if (valid && bytes.find('\0') == std::string::npos) {
      Check(CodeSet_LengthInCodePoints(bytes.c_str()) >= 0, "code points of valid UTF-8");
      char *utf16 = nullptr;
      size_t size16 = 0;
      Check(CodeSet_Utf8ToUtf16le(bytes.data(), bytes.size(), &utf16, &size16),
            "valid UTF-8 converts to UTF-16");
      char *back = nullptr;
      size_t sizeBack = 0;
      Check(CodeSet_Utf16leToUtf8(utf16, size16, &back, &sizeBack) &&
                std::string(back, sizeBack) == bytes,
            "UTF-16 converts back");
      free(back);
      free(utf16);
      uint32_t *utf32 = nullptr;
      Check(CodeSet_Utf8ToUtf32(bytes.c_str(), &utf32), "valid UTF-8 converts to UTF-32");
      Check(CodeSet_Utf32ToUtf8(utf32, &back) && bytes == back, "UTF-32 converts back");
      free(back);
      free(utf32);
    }
  }
  if (!valid) {
    // The lenient conversion always gives valid UTF-8.
    char *out = nullptr;
    size_t size = 0;
    if (CodeSet_GenericToGeneric(Unicode_EncodingEnumToName(encoding), bytes.data(), bytes.size(),
                                 "UTF-8", CSGTG_TRANSLIT, &out, &size)) {
      Check(CodeSet_Validate(out, size, "UTF-8"), "lenient conversion gives valid UTF-8");
    }
    free(out);
    return;
  }
  char *utf8 = Unicode_AllocWithLength(bytes.data(), static_cast<ptrdiff_t>(bytes.size()), encoding);
  Check(utf8 != nullptr, "valid text converts");
  size_t length = 0;
  char *back = Unicode_GetAllocBytes(utf8, encoding, -1, &length);
  Check(back != nullptr, "converted text converts back");
  for (const int exact : kExact) {
    // A zero code unit ends the text on the way back.
    if (exact == encoding && !HasZeroUnit(bytes, encoding)) {
      Check(std::string(back, length) == bytes, "valid text round-trips");
    }
  }
  free(back);
  free(utf8);
}

// Raw formats go to the scanner with arguments that fit any conversion: a
// pointer to zeros is an empty narrow and wide string, and doubles are
// plentiful. Only formats naming at most 12 arguments, 8 of them doubles,
// are passed on, so no argument is read beyond those given.
struct Census {
  int highest = 0;
  int doubles = 0;
  int sequential = 0;
};

int CountSpec(void *data, const char *pos, unsigned int posSize, const char *type,
              unsigned int typeSize) {
  auto *c = static_cast<Census *>(data);
  int position = 0;
  for (unsigned int i = 0; i < posSize; i++) {
    position = position * 10 + (pos[i] - '0');
    if (position > 100) {
      return -1;
    }
  }
  c->highest = std::max(c->highest, position);
  if (typeSize > 0 && strchr("aAeEfFgG", type[typeSize - 1]) != nullptr) {
    c->doubles++;
  }
  return 0;
}

alignas(16) const uint32_t kZeros[16] = {};

bool Scan(const char *format, MsgFmt_Arg **args, int *count, char **error, void *buf,
          size_t *bufSize, ...) {
  va_list va;
  va_start(va, bufSize);
  bool ok = MsgFmt_GetArgs(format, va, args, count, error, buf, bufSize);
  va_end(va);
  return ok;
}

#define SCAN(format, args, count, error, buf, size)                                         \
  Scan(format, args, count, error, buf, size, kZeros, kZeros, kZeros, kZeros, kZeros, kZeros, \
       kZeros, kZeros, kZeros, kZeros, kZeros, kZeros, 1.5, -2.5, 1e300, 0.0, 3.0, 4.0, 5.0, 6.0)

bool SameRecords(const MsgFmt_Arg *a, const MsgFmt_Arg *b, int count) {
  for (int i = 0; i < count; i++) {
    if (a[i].type != b[i].type) {
      return false;
    }
    if (a[i].type == MSGFMT_ARG_STRING8 || a[i].type == MSGFMT_ARG_ERRSTR) {
      if ((a[i].v.string8 == nullptr) != (b[i].v.string8 == nullptr) ||
          (a[i].v.string8 != nullptr && strcmp(a[i].v.string8, b[i].v.string8) != 0)) {
        return false;
      }
    } else if (a[i].type != MSGFMT_ARG_STRING32 && a[i].v.unsigned64 != b[i].v.unsigned64) {
      return false;
    }
  }
  return true;
}

// A width or precision of a billion asks for a gigabyte of output, which
// the formatter rightly makes: formats with numbers of more than four digits
// are left to the formatter's own target, which bounds them.
bool HasHugeNumber(const std::string &format) {
  size_t run = 0;
  for (char c : format) {
    run = c >= '0' && c <= '9' ? run + 1 : 0;
    if (run > 4) {
      return true;
    }
  }
  return false;
}

void ScanFormat(const std::string &format, size_t bufSize) {
  if (HasHugeNumber(format)) {
    return;
  }
  Census census;
  if (MsgFmt_ParseWithCallbacks(nullptr, CountSpec, &census, format.c_str()) != 0 ||
      census.highest > 12 || census.doubles > 8) {
    return;
  }
  MsgFmt_Arg *args = nullptr;
  int count = 0;
  char *error = nullptr;
  bool ok = SCAN(format.c_str(), &args, &count, &error, nullptr, nullptr);
  Check(ok == (error == nullptr), "a failed scan says why, a good one does not");

  // The same scan into a caller's buffer: nothing allocated, same records.
  std::vector<uint64_t> block((bufSize + 7) / 8 + 1);
  size_t size = bufSize;
  MsgFmt_Arg *inBuf = nullptr;
  int inBufCount = 0;
  char *inBufError = nullptr;
  bool inBufOk = SCAN(format.c_str(), &inBuf, &inBufCount, &inBufError, block.data(), &size);
  Check(size <= bufSize, "a scan stays inside the caller's buffer");
  if (inBufOk) {
    Check(ok && inBufCount == count && SameRecords(args, inBuf, count),
          "a scan into a buffer captures the same");
    const char *end = reinterpret_cast<const char *>(block.data()) + size;
    MsgFmt_SwizzleArgs(inBuf, inBufCount);
    Check(MsgFmt_UnswizzleArgs(inBuf, inBufCount, end) == 0 && SameRecords(args, inBuf, count),
          "records moved as a block come back");
  }
  if (ok) {
    char *text = MsgFmt_Asprintf(nullptr, format.c_str(), args, count);
    free(text);
  }
  MsgFmt_FreeArgs(args, count);
  free(error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  static const int kEncodings[] = {
      STRING_ENCODING_UTF8,       STRING_ENCODING_UTF16_LE,    STRING_ENCODING_UTF16_BE,
      STRING_ENCODING_UTF16,      STRING_ENCODING_UTF32_LE,    STRING_ENCODING_UTF32,
      STRING_ENCODING_ISO_8859_1, STRING_ENCODING_WINDOWS_1252, STRING_ENCODING_US_ASCII,
      Unicode_EncodingNameToEnum("Shift_JIS"), Unicode_EncodingNameToEnum("EUC-KR"),
      Unicode_EncodingNameToEnum("Big5")};
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      Expand(in.ConsumeRemainingBytesAsString());
      break;
    case 1: {
      int encoding = in.PickValueInArray(kEncodings);
      Convert(encoding, in.ConsumeRemainingBytesAsString());
      break;
    }
    default: {
      size_t bufSize = in.ConsumeIntegralInRange<size_t>(0, 2048);
      ScanFormat(in.ConsumeRemainingBytesAsString(), bufSize);
      break;
    }
  }
  return 0;
}
