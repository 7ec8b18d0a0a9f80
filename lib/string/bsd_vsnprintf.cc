// The system's printf-style formatter.
//
// Output is produced as pieces (pointer, length) that point into the format,
// the padding tables and small work areas of the call, and is copied into the
// destination eight pieces at a time: literal text is never copied twice and
// padding of any length costs no more than one 16-byte table. The work areas
// are reused by the next conversion, so the pieces are also copied out at the
// end of every conversion.

#include <brellis/internal/freeDeleter.h>
#include <brellis/panic.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include <langinfo.h>
#include <sys/types.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <memory>
#include <string_view>
#include <type_traits>

#include "strInt.h"

extern "C" {

const char xdigs_lower[17] = {'0', '1', '2', '3', '4', '5', '6', '7', '8',
                              '9', 'a', 'b', 'c', 'd', 'e', 'f', '?'};
const char xdigs_upper[17] = {'0', '1', '2', '3', '4', '5', '6', '7', '8',
                              '9', 'A', 'B', 'C', 'D', 'E', 'F', '?'};
const char blanks[16] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                         ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
const char zeroes[16] = {'0', '0', '0', '0', '0', '0', '0', '0',
                         '0', '0', '0', '0', '0', '0', '0', '0'};

}  // extern "C"

namespace {

// Conversion flags of one specification.
constexpr uint32_t kAlt = 0x1;        // '#'
constexpr uint32_t kLadjust = 0x4;    // '-'
constexpr uint32_t kLong = 0x10;      // 'l'
constexpr uint32_t kLLong = 0x20;     // "ll", 'L', 'q', "I64": 64-bit or long double
constexpr uint32_t kShort = 0x40;     // 'h'
constexpr uint32_t kZeroPad = 0x80;   // '0'
constexpr uint32_t kFloat = 0x100;    // a floating-point conversion in progress
constexpr uint32_t kGroup = 0x200;    // '\''
constexpr uint32_t kSize = 0x400;     // 'z', 'Z', 'I'
constexpr uint32_t kPtrDiff = 0x800;  // 't'
constexpr uint32_t kMaxInt = 0x1000;  // 'j', and %p
constexpr uint32_t kChar = 0x2000;    // "hh"

constexpr size_t kMaxOutput = INT_MAX;
constexpr size_t kPieces = 8;
constexpr size_t kPadChunk = sizeof blanks;

// Significant digits (%e, %g) or digits after the point (%f) the float digit
// generator yields; further digits print as '0'.
constexpr int kFloatDigits = 17;

// Kinds of positional arguments, in the order of the argument-kind table.
enum ArgKind : uint8_t {
  kNone,
  kShortPtr,
  kInt,
  kUInt,
  kIntPtr,
  kLongArg,
  kULong,
  kLongPtr,
  kQuad,
  kUQuad,
  kQuadPtr,
  kPtrdiff,
  kPtrdiffPtr,
  kSizeArg,
  kSizePtr,
  kIntmax,
  kUIntmax,
  kIntmaxPtr,
  kVoidPtr,
  kCharPtr,
  kSCharPtr,
  kDouble,
  kLongDouble,
  kWint,
  kWcharPtr,
};

// One fetched positional argument. Integers and pointers share the integer
// slot, so a position read with another integer size than it was fetched
// with still gives the value C's conversion would.
struct ArgValue {
  uintmax_t u;
  double d;
  long double ld;
};

struct Piece {
  const char *data;
  size_t len;
};

// memcpy for the short pieces most formats are made of: fixed-size moves
// that overlap instead of a call.
inline void CopySmall(char *dst, const char *src, size_t len) {
  if (len <= 16) {
    if (len >= 8) {
      uint64_t a, b;
      memcpy(&a, src, 8);
      memcpy(&b, src + len - 8, 8);
      memcpy(dst, &a, 8);
      memcpy(dst + len - 8, &b, 8);
    } else if (len >= 4) {
      uint32_t a, b;
      memcpy(&a, src, 4);
      memcpy(&b, src + len - 4, 4);
      memcpy(dst, &a, 4);
      memcpy(dst + len - 4, &b, 4);
    } else if (len > 0) {
      dst[0] = src[0];
      dst[len / 2] = src[len / 2];
      dst[len - 1] = src[len - 1];
    }
    return;
  }
  memcpy(dst, src, len);
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Where the output goes: the caller's buffer, or one the sink allocates and
// grows. Counts every byte produced, whether or not it could be stored.
class Sink {
 public:
  Sink(char *buf, size_t capacity, bool allocate)
      : buf_(buf),
        capacity_(capacity),
        room_(capacity == 0 ? 0 : capacity - 1),
        allocate_(allocate) {}

  bool Put(const char *data, size_t len) {
    if (failed_) {
      return false;
    }
    if (len > kMaxOutput - produced_) {
      failed_ = true;
      return false;
    }
    produced_ += len;
    if (len == 0 || Full()) {
      return true;
    }
    pieces_[count_++] = {data, len};
    queued_ += len;
    return count_ < kPieces || Flush();
  }

  // Emits len bytes of padding from a 16-byte table.
  bool Pad(size_t len, const char *table) {
    if (len <= kPadChunk) {
      return Put(table, len);
    }
    while (len > 0) {
      if (Full()) {
        return Put(table, len);  // only counted
      }
      size_t chunk = std::min(len, kPadChunk);
      if (!Put(table, chunk)) {
        return false;
      }
      len -= chunk;
    }
    return !failed_;
  }

  // Copies the gathered pieces out. After a failure a caller's buffer still
  // gets what was produced before it; an allocated one is given up anyway.
  bool Flush() {
    if (allocate_ && count_ != 0 && !failed_ && !Reserve(written_ + queued_ + 1)) {
      count_ = 0;
    }
    if (allocate_ && failed_) {
      count_ = 0;
    }
    for (size_t i = 0; i < count_; ++i) {
      size_t len = allocate_ ? pieces_[i].len : std::min(pieces_[i].len, room_ - written_);
      CopySmall(buf_ + written_, pieces_[i].data, len);
      written_ += len;
    }
    count_ = 0;
    queued_ = 0;
    return !failed_;
  }

  // Ends the output with a NUL after what was stored, also after a failure,
  // so the buffer never shows bytes that were not written.
  void Terminate() {
    if (capacity_ != 0 && buf_ != nullptr) {
      buf_[written_] = '\0';
    }
  }

  bool failed() const { return failed_; }
  void Fail() { failed_ = true; }
  size_t produced() const { return produced_; }
  size_t written() const { return written_; }
  char *buffer() const { return buf_; }

 private:
  // A caller's buffer that is full only needs the count to go on.
  bool Full() const { return !allocate_ && written_ + queued_ >= room_; }

  bool Reserve(size_t need) {
    if (need <= capacity_) {
      return true;
    }
    // A multiple of the capacity, at least doubling it, so that output built
    // from many small conversions is not copied over and over.
    size_t multiple = (need + capacity_ - 1) / capacity_;
    size_t grown = capacity_ * std::max<size_t>(multiple, 2);
    char *p = static_cast<char *>(realloc(buf_, grown));
    if (p == nullptr) {
      failed_ = true;
      return false;
    }
    buf_ = p;
    capacity_ = grown;
    return true;
  }

  char *buf_;
  size_t capacity_;
  size_t room_;  // caller's buffer: bytes it can hold before the NUL
  bool allocate_;
  bool failed_ = false;
  size_t produced_ = 0;
  size_t written_ = 0;
  Piece pieces_[kPieces];
  size_t count_ = 0;
  size_t queued_ = 0;
};

// One conversion specification as read from the format.
struct Spec {
  uint32_t flags = 0;
  char sign = 0;  // '+', ' ' or none
  size_t width = 0;
  int prec = -1;  // -1: none
  char conv = 0;
  const char *convAt = nullptr;  // the conversion character in the format
};

enum class ParseResult { kOk, kEnd, kFail };

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Reads a run of decimal digits; fails when the value exceeds INT_MAX.
bool ReadNumber(const char *&p, int &value) {
  int64_t n = 0;
  while (IsDigit(*p)) {
    n = n * 10 + (*p++ - '0');
    if (n > INT_MAX) {
      return false;
    }
  }
  value = static_cast<int>(n);
  return true;
}

// After a '*': "N$" naming argument N, or nothing (the next argument).
// Returns the position, 0 for the next argument, -1 for a malformed one.
int ReadStarPosition(const char *&p) {
  if (!IsDigit(*p)) {
    return 0;
  }
  const char *q = p;
  int n;
  if (!ReadNumber(q, n)) {
    return -1;
  }
  if (*q != '$') {
    return 0;  // digits that follow are a width or precision of their own
  }
  if (n == 0) {
    return -1;
  }
  p = q + 1;
  return n;
}

// Reads one specification after its '%', leaving p after the conversion
// character. onStar(position) stands for each '*' (position 0 takes the next
// argument) and returns its int; onPosition(n) is told of "n$".
template <class OnStar, class OnPosition>
ParseResult ParseSpec(const char *&p, Spec &s, OnStar &&onStar, OnPosition &&onPosition) {
  for (;;) {
    char c = *p++;
    switch (c) {
      case ' ':
        if (s.sign == 0) {
          s.sign = ' ';
        }
        continue;
      case '+':
        s.sign = '+';
        continue;
      case '-':
        s.flags |= kLadjust;
        continue;
      case '#':
        s.flags |= kAlt;
        continue;
      case '\'':
        s.flags |= kGroup;
        continue;
      case '0':
        s.flags |= kZeroPad;
        continue;
      case '*': {
        int pos = ReadStarPosition(p);
        if (pos < 0) {
          return ParseResult::kFail;
        }
        int64_t w = onStar(pos);
        if (w < 0) {
          s.flags |= kLadjust;
          w = -w;
          if (w > INT_MAX) {
            return ParseResult::kFail;
          }
        }
        s.width = static_cast<size_t>(w);
        continue;
      }
      case '.':
        if (*p == '*') {
          ++p;
          int pos = ReadStarPosition(p);
          if (pos < 0) {
            return ParseResult::kFail;
          }
          int v = onStar(pos);
          s.prec = v < 0 ? -1 : v;
        } else {
          int v;
          if (!ReadNumber(p, v)) {
            return ParseResult::kFail;
          }
          s.prec = v;
        }
        continue;
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9': {
        --p;
        int n;
        if (!ReadNumber(p, n)) {
          return ParseResult::kFail;
        }
        if (*p == '$') {
          ++p;
          onPosition(n);
        } else {
          s.width = static_cast<size_t>(n);
        }
        continue;
      }
      case 'h':
        if (s.flags & kShort) {
          s.flags = (s.flags & ~kShort) | kChar;
        } else {
          s.flags |= kShort;
        }
        continue;
      case 'l':
        if (s.flags & kLong) {
          s.flags = (s.flags & ~kLong) | kLLong;
        } else {
          s.flags |= kLong;
        }
        continue;
      case 'L':
      case 'q':
        s.flags |= kLLong;
        continue;
      case 'j':
        s.flags |= kMaxInt;
        continue;
      case 'z':
      case 'Z':
        s.flags |= kSize;
        continue;
      case 't':
        s.flags |= kPtrDiff;
        continue;
      case 'I':
        if (p[0] == '6' && p[1] == '4') {
          p += 2;
          s.flags |= kLLong;
        } else if (p[0] == '3' && p[1] == '2') {
          p += 2;
        } else {
          s.flags |= kSize;
        }
        continue;
      case '\0':
        return ParseResult::kEnd;
      case 'D':
      case 'U':
      case 'O':
        s.flags |= kLong;
        s.conv = static_cast<char>(c - 'A' + 'a');
        s.convAt = p - 1;
        return ParseResult::kOk;
      default:
        s.conv = c;
        s.convAt = p - 1;
        return ParseResult::kOk;
    }
  }
}

// The argument kind a conversion reads, given its length flags.
ArgKind KindOf(const Spec &s) {
  uint32_t f = s.flags;
  switch (s.conv) {
    case 'd':
    case 'i':
      return (f & kMaxInt)    ? kIntmax
             : (f & kSize)    ? kSizeArg
             : (f & kPtrDiff) ? kPtrdiff
             : (f & kLLong)   ? kQuad
             : (f & kLong)    ? kLongArg
                              : kInt;
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      return (f & kMaxInt)    ? kUIntmax
             : (f & kSize)    ? kSizeArg
             : (f & kPtrDiff) ? kPtrdiff
             : (f & kLLong)   ? kUQuad
             : (f & kLong)    ? kULong
                              : kUInt;
    case 'p':
      return kVoidPtr;
    case 'c':
      return (f & kLong) ? kWint : kInt;
    case 'C':
      return kWint;
    case 's':
      return (f & kLong) ? kWcharPtr : kCharPtr;
    case 'S':
      return kWcharPtr;
    case 'n':
      return (f & kMaxInt)    ? kIntmaxPtr
             : (f & kSize)    ? kSizePtr
             : (f & kPtrDiff) ? kPtrdiffPtr
             : (f & kLLong)   ? kQuadPtr
             : (f & kLong)    ? kLongPtr
             : (f & kShort)   ? kShortPtr
             : (f & kChar)    ? kSCharPtr
                              : kIntPtr;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
      return (f & kLLong) ? kLongDouble : kDouble;
    default:
      return kNone;
  }
}

// What a table of values must give for an argument kind.
StrArgClass ClassOf(ArgKind kind) {
  switch (kind) {
    case kInt:
    case kUInt:
    case kWint:
      return StrArgClass::kInt32;
    case kLongArg:
    case kULong:
    case kQuad:
    case kUQuad:
    case kPtrdiff:
    case kSizeArg:
    case kIntmax:
    case kUIntmax:
      return StrArgClass::kInt64;
    case kVoidPtr:
      return StrArgClass::kPointer;
    case kCharPtr:
      return StrArgClass::kString;
    case kWcharPtr:
      return StrArgClass::kWideString;
    case kDouble:
      return StrArgClass::kDouble;
    default:
      return StrArgClass::kOther;
  }
}

// Whether a conversion's pieces point into the work areas of the call, which
// the next conversion reuses. Narrow strings and characters printed as
// themselves point into the caller's string or the format.
bool UsesWorkArea(const Spec &s) {
  switch (s.conv) {
    case 's':
      return (s.flags & kLong) != 0;
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
    case 'p':
    case 'c':
    case 'C':
    case 'S':
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
      return true;
    default:
      return false;
  }
}

// Bytes of the lenient UTF-8 form of a code point: surrogates take three
// bytes, values beyond U+10FFFF become U+FFFD.
size_t Utf8Length(uint32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : cp <= 0x10FFFF ? 4 : 3;
}

char *Utf8Encode(uint32_t cp, char *out) {
  auto byte = [](uint32_t v) { return static_cast<char>(static_cast<uint8_t>(v)); };
  if (cp > 0x10FFFF) {
    cp = 0xFFFD;
  }
  if (cp < 0x80) {
    *out++ = byte(cp);
  } else if (cp < 0x800) {
    *out++ = byte(0xC0 | (cp >> 6));
    *out++ = byte(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = byte(0xE0 | (cp >> 12));
    *out++ = byte(0x80 | ((cp >> 6) & 0x3F));
    *out++ = byte(0x80 | (cp & 0x3F));
  } else {
    *out++ = byte(0xF0 | (cp >> 18));
    *out++ = byte(0x80 | ((cp >> 12) & 0x3F));
    *out++ = byte(0x80 | ((cp >> 6) & 0x3F));
    *out++ = byte(0x80 | (cp & 0x3F));
  }
  return out;
}

// How a number's digits are laid out: integer part, point, fraction with
// zeros before and after its significant digits, and an exponent.
struct Layout {
  const char *intDigits = nullptr;
  size_t intLen = 0;
  bool group = false;
  bool point = false;
  size_t leadZeros = 0;
  const char *frac = nullptr;
  size_t fracLen = 0;
  size_t trailZeros = 0;
  const char *exp = nullptr;
  size_t expLen = 0;
};

// Numeric conventions of the calling thread's locale, read once per call
// and only when a conversion needs them. nl_langinfo hands out the locale's
// own strings, unlike localeconv, whose shared result other threads rewrite.
struct Numeric {
  std::string_view point;
  std::string_view separator;
  const char *grouping = "";
};

class Formatter {
 public:
  Formatter(char *buf, size_t capacity, bool allocate, const char *format, va_list ap)
      : sink_(buf, capacity, allocate), format_(format) {
    va_copy(ap_, ap);
    va_copy(entry_, ap);
  }
  ~Formatter() {
    if (fetch_ == nullptr) {
      va_end(ap_);
      va_end(entry_);
    }
  }
  Formatter(char *buf, size_t capacity, bool allocate, const char *format, StrArgFetch fetch,
            void *context)
      : sink_(buf, capacity, allocate), format_(format), fetch_(fetch), fetchContext_(context) {}
  Formatter(const Formatter &) = delete;
  Formatter &operator=(const Formatter &) = delete;

  int Run();
  Sink &sink() { return sink_; }

 private:
  template <class T>
  T Next();
  bool EnsureTable();
  void Fetch(ArgKind kind, ArgValue &v);
  intmax_t ReadSigned(uint32_t f);
  uintmax_t ReadUnsigned(uint32_t f);
  const Numeric &Locale();

  bool Convert(Spec &s);
  bool Integer(const Spec &s, uintmax_t magnitude, bool negative, int base, const char *digs,
               bool isSigned, bool isPointer);
  bool Float(const Spec &s);
  bool Text(const Spec &s, const char *text, size_t len);
  bool String(const Spec &s, const char *str);
  bool WideString(const Spec &s, const wchar_t *ws);
  bool WideChar(const Spec &s);
  void StoreCount(uint32_t f);

  template <class Body>
  bool Field(const Spec &s, bool zeroPadAllowed, char sign, std::string_view prefix,
             size_t precZeros, size_t bodyLen, Body &&body);
  size_t GroupedLength(size_t n, uint16_t *groups, size_t &count);
  void PutGrouped(const char *digits, const uint16_t *groups, size_t count);
  bool EmitLayout(const Spec &s, char sign, const Layout &l);

  Sink sink_;
  const char *format_;
  va_list ap_;     // sequential arguments
  va_list entry_;  // the list as it was at entry, for the positional fetch
  int64_t nextArg_ = 1;
  StrArgFetch fetch_ = nullptr;  // values from a table instead of ap_
  void *fetchContext_ = nullptr;

  // Positional arguments, once a format names one.
  ArgValue *values_ = nullptr;
  int64_t maxPosition_ = 0;
  ArgValue inlineValues_[8];
  std::unique_ptr<ArgValue[], brellis::FreeDeleter> heapValues_;
  bool failed_ = false;

  Numeric numeric_;
  bool haveNumeric_ = false;

  char work_[100];                              // integer digits, right to left
  char floatDigits_[400];                       // the float digit string
  char floatInt_[400];                          // integer part rebuilt for %g in fixed style
  char wide_[256];                              // wide-string conversion, one chunk at a time
  char mb_[MB_LEN_MAX > 16 ? MB_LEN_MAX : 16];  // %C
};

template <class T>
T Formatter::Next() {
  if (values_ != nullptr) {
    if (nextArg_ > maxPosition_) {
      ++nextArg_;
      return T{};
    }
    const ArgValue &v = values_[nextArg_++];
    if constexpr (std::is_same_v<T, double>) {
      return v.d;
    } else if constexpr (std::is_same_v<T, long double>) {
      return v.ld;
    } else if constexpr (std::is_pointer_v<T>) {
      return reinterpret_cast<T>(static_cast<uintptr_t>(v.u));
    } else {
      return static_cast<T>(v.u);
    }
  }
  ++nextArg_;
  return va_arg(ap_, T);
}

void Formatter::Fetch(ArgKind kind, ArgValue &v) {
  auto asInt = [](auto x) { return static_cast<uintmax_t>(static_cast<intmax_t>(x)); };
  auto asPtr = [](const void *p) { return static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(p)); };
  switch (kind) {
    case kNone:
    case kInt:
      v.u = asInt(va_arg(entry_, int));
      break;
    case kUInt:
      v.u = va_arg(entry_, unsigned int);
      break;
    case kWint:
      v.u = va_arg(entry_, wint_t);
      break;
    case kLongArg:
      v.u = asInt(va_arg(entry_, long));
      break;
    case kULong:
      v.u = va_arg(entry_, unsigned long);
      break;
    case kQuad:
      v.u = asInt(va_arg(entry_, long long));
      break;
    case kUQuad:
      v.u = va_arg(entry_, unsigned long long);
      break;
    case kPtrdiff:
      v.u = asInt(va_arg(entry_, ptrdiff_t));
      break;
    case kSizeArg:
      v.u = va_arg(entry_, size_t);
      break;
    case kIntmax:
      v.u = asInt(va_arg(entry_, intmax_t));
      break;
    case kUIntmax:
      v.u = va_arg(entry_, uintmax_t);
      break;
    case kShortPtr:
      v.u = asPtr(va_arg(entry_, short *));
      break;
    case kIntPtr:
      v.u = asPtr(va_arg(entry_, int *));
      break;
    case kLongPtr:
      v.u = asPtr(va_arg(entry_, long *));
      break;
    case kQuadPtr:
      v.u = asPtr(va_arg(entry_, long long *));
      break;
    case kPtrdiffPtr:
      v.u = asPtr(va_arg(entry_, ptrdiff_t *));
      break;
    case kSizePtr:
      v.u = asPtr(va_arg(entry_, size_t *));
      break;
    case kIntmaxPtr:
      v.u = asPtr(va_arg(entry_, intmax_t *));
      break;
    case kVoidPtr:
      v.u = asPtr(va_arg(entry_, void *));
      break;
    case kCharPtr:
      v.u = asPtr(va_arg(entry_, char *));
      break;
    case kSCharPtr:
      v.u = asPtr(va_arg(entry_, signed char *));
      break;
    case kWcharPtr:
      v.u = asPtr(va_arg(entry_, wchar_t *));
      break;
    case kDouble:
      v.d = va_arg(entry_, double);
      break;
    case kLongDouble:
      v.ld = va_arg(entry_, long double);
      break;
  }
}

// Scans the whole format for the kind of every argument position, then
// fetches positions 1 to the highest from the argument list as it was at
// entry, so arguments already read sequentially are read again in place.
bool Formatter::EnsureTable() {
  if (values_ != nullptr) {
    return true;
  }
  if (failed_) {
    return false;
  }
  uint8_t inlineKinds[8] = {};
  std::unique_ptr<uint8_t[], brellis::FreeDeleter> heapKinds;
  uint8_t *kinds = inlineKinds;
  size_t kindsSize = sizeof inlineKinds;
  int64_t highest = 0;
  int64_t next = 1;
  bool bad = false;

  auto record = [&](int64_t pos, ArgKind kind) {
    if (pos > INT_MAX) {
      bad = true;
      return;
    }
    size_t index = static_cast<size_t>(pos);
    if (index >= kindsSize) {
      size_t grown = std::max(2 * kindsSize, index + 1);
      auto *p = static_cast<uint8_t *>(Util_SafeMalloc(-1, grown, __FILE__, __LINE__));
      memcpy(p, kinds, kindsSize);
      memset(p + kindsSize, kNone, grown - kindsSize);
      heapKinds.reset(p);
      kinds = p;
      kindsSize = grown;
    }
    if (fetch_ != nullptr && kinds[index] != kNone &&
        ClassOf(static_cast<ArgKind>(kinds[index])) != ClassOf(kind)) {
      bad = true;
      return;
    }
    kinds[index] = kind;
    highest = std::max(highest, pos);
  };

  for (const char *p = format_;;) {
    p = strchrnul(p, '%');
    if (*p == '\0') {
      break;
    }
    ++p;
    Spec s;
    ParseResult r = ParseSpec(
        p, s,
        [&](int pos) {
          record(pos != 0 ? pos : next++, kInt);
          return 0;
        },
        [&](int n) { next = n; });
    if (r == ParseResult::kFail || bad) {
      failed_ = true;
      return false;
    }
    if (r == ParseResult::kEnd) {
      break;
    }
    ArgKind kind = KindOf(s);
    if (kind != kNone) {
      record(next++, kind);
      if (bad) {
        failed_ = true;
        return false;
      }
    }
  }

  if (highest < static_cast<int64_t>(std::size(inlineValues_))) {
    values_ = inlineValues_;
  } else {
    size_t n = static_cast<size_t>(highest) + 1;
    auto *p =
        static_cast<ArgValue *>(Util_SafeMalloc(-1, n * sizeof(ArgValue), __FILE__, __LINE__));
    heapValues_.reset(p);
    values_ = p;
  }
  // A position read with another kind than it was fetched with reads 0.
  memset(static_cast<void *>(values_), 0, (static_cast<size_t>(highest) + 1) * sizeof(ArgValue));
  for (int64_t pos = 1; pos <= highest; ++pos) {
    auto kind = static_cast<ArgKind>(kinds[pos]);
    if (fetch_ == nullptr) {
      Fetch(kind, values_[pos]);
    } else if (kind != kNone) {
      StrArgValue v{};
      if (!fetch_(fetchContext_, static_cast<int>(pos), ClassOf(kind), &v)) {
        failed_ = true;
        return false;
      }
      values_[pos].u = v.u;
      values_[pos].d = v.d;
    }
  }
  maxPosition_ = highest;
  return true;
}

intmax_t Formatter::ReadSigned(uint32_t f) {
  if (f & kMaxInt) return Next<intmax_t>();
  if (f & kSize) return static_cast<ssize_t>(Next<size_t>());
  if (f & kPtrDiff) return Next<ptrdiff_t>();
  if (f & kLLong) return Next<long long>();
  if (f & kLong) return Next<long>();
  if (f & kShort) return static_cast<short>(Next<int>());
  if (f & kChar) return static_cast<signed char>(Next<int>());
  return Next<int>();
}

uintmax_t Formatter::ReadUnsigned(uint32_t f) {
  if (f & kMaxInt) return Next<uintmax_t>();
  if (f & kSize) return Next<size_t>();
  if (f & kPtrDiff) return static_cast<size_t>(Next<ptrdiff_t>());
  if (f & kLLong) return Next<unsigned long long>();
  if (f & kLong) return Next<unsigned long>();
  if (f & kShort) return static_cast<unsigned short>(Next<unsigned int>());
  if (f & kChar) return static_cast<unsigned char>(Next<unsigned int>());
  return Next<unsigned int>();
}

const Numeric &Formatter::Locale() {
  if (!haveNumeric_) {
    const char *point = nl_langinfo(RADIXCHAR);
    const char *sep = nl_langinfo(THOUSEP);
    const char *grouping = nl_langinfo(GROUPING);
    numeric_.point = (point != nullptr && *point != '\0') ? point : ".";
    numeric_.separator = sep != nullptr ? sep : "";
    numeric_.grouping = grouping != nullptr ? grouping : "";
    haveNumeric_ = true;
  }
  return numeric_;
}

int Formatter::Run() {
  const char *fmt = format_;
  if (fetch_ != nullptr && !EnsureTable()) {
    sink_.Fail();
  }
  auto onStar = [this](int pos) -> int {
    if (pos != 0) {
      if (!EnsureTable()) {
        return 0;
      }
      return static_cast<int>(values_[pos].u);
    }
    return Next<int>();
  };
  auto onPosition = [this](int n) {
    if (EnsureTable()) {
      nextArg_ = n;
    }
  };
  for (;;) {
    const char *pct = fmt;
    while (*pct != '%' && *pct != '\0') {
      ++pct;
    }
    if (pct != fmt) {
      sink_.Put(fmt, static_cast<size_t>(pct - fmt));
    }
    if (*pct == '\0') {
      break;
    }
    fmt = pct + 1;
    Spec s;
    ParseResult r = ParseSpec(fmt, s, onStar, onPosition);
    if (r == ParseResult::kFail || failed_) {
      sink_.Fail();
    }
    if (r != ParseResult::kOk || sink_.failed()) {
      break;
    }
    if (!Convert(s) || failed_) {
      sink_.Fail();
    }
    if (sink_.failed() || (UsesWorkArea(s) && !sink_.Flush())) {
      break;
    }
  }
  sink_.Flush();
  sink_.Terminate();
  return sink_.failed() ? -1 : static_cast<int>(sink_.produced());
}

bool Formatter::Convert(Spec &s) {
  switch (s.conv) {
    case 'd':
    case 'i': {
      intmax_t v = ReadSigned(s.flags);
      uintmax_t magnitude = v < 0 ? -static_cast<uintmax_t>(v) : static_cast<uintmax_t>(v);
      return Integer(s, magnitude, v < 0, 10, xdigs_lower, true, false);
    }
    case 'u':
      return Integer(s, ReadUnsigned(s.flags), false, 10, xdigs_lower, false, false);
    case 'o':
      return Integer(s, ReadUnsigned(s.flags), false, 8, xdigs_lower, false, false);
    case 'x':
      return Integer(s, ReadUnsigned(s.flags), false, 16, xdigs_lower, false, false);
    case 'X':
      return Integer(s, ReadUnsigned(s.flags), false, 16, xdigs_upper, false, false);
    case 'p':
      s.flags |= kMaxInt;
      return Integer(s, reinterpret_cast<uintptr_t>(Next<void *>()), false, 16, xdigs_upper, false,
                     true);
    case 'c':
      if (s.flags & kLong) {
        return WideChar(s);
      }
      work_[0] = static_cast<char>(Next<int>());
      return Text(s, work_, 1);
    case 'C':
      return WideChar(s);
    case 's':
      if (s.flags & kLong) {
        return WideString(s, Next<const wchar_t *>());
      }
      return String(s, Next<const char *>());
    case 'S':
      return WideString(s, Next<const wchar_t *>());
    case 'n':
      StoreCount(s.flags);
      return true;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
      s.flags |= kFloat;
      return Float(s);
    default:
      // '%', and characters that are no conversion (among them 'a' and 'A'),
      // print as themselves.
      return Text(s, s.convAt, 1);
  }
}

template <class Body>
bool Formatter::Field(const Spec &s, bool zeroPadAllowed, char sign, std::string_view prefix,
                      size_t precZeros, size_t bodyLen, Body &&body) {
  size_t real = (sign != 0 ? 1 : 0) + prefix.size() + precZeros + bodyLen;
  size_t pad = s.width > real ? s.width - real : 0;
  bool left = (s.flags & kLadjust) != 0;
  bool zeroPad = zeroPadAllowed && (s.flags & kZeroPad) && !left;
  if (pad != 0 && !left && !zeroPad) {
    sink_.Pad(pad, blanks);
  }
  if (sign != 0) {
    sink_.Put(sign == '-' ? "-" : sign == '+' ? "+" : " ", 1);
  }
  if (!prefix.empty()) {
    sink_.Put(prefix.data(), prefix.size());
  }
  if (pad != 0 && zeroPad) {
    sink_.Pad(pad, zeroes);
  }
  if (precZeros != 0) {
    sink_.Pad(precZeros, zeroes);
  }
  body();
  if (pad != 0 && left) {
    sink_.Pad(pad, blanks);
  }
  return !sink_.failed();
}

bool Formatter::Text(const Spec &s, const char *text, size_t len) {
  return Field(s, false, 0, {}, 0, len, [&] { sink_.Put(text, len); });
}

// Splits n digits into the locale's groups, rightmost first, and returns the
// length they take with the separators between them.
size_t Formatter::GroupedLength(size_t n, uint16_t *groups, size_t &count) {
  const Numeric &num = Locale();
  const char *g = num.grouping;
  count = 0;
  size_t left = n;
  while (left > 0) {
    int size = static_cast<signed char>(*g);
    if (size <= 0 || size == SCHAR_MAX || static_cast<size_t>(size) >= left) {
      groups[count++] = static_cast<uint16_t>(left);
      break;
    }
    groups[count++] = static_cast<uint16_t>(size);
    left -= static_cast<size_t>(size);
    if (g[1] != '\0') {
      ++g;
    }
  }
  return n + (count > 0 ? count - 1 : 0) * num.separator.size();
}

void Formatter::PutGrouped(const char *digits, const uint16_t *groups, size_t count) {
  const std::string_view sep = numeric_.separator;
  for (size_t i = count; i-- > 0;) {
    sink_.Put(digits, groups[i]);
    digits += groups[i];
    if (i > 0) {
      sink_.Put(sep.data(), sep.size());
    }
  }
}

bool Formatter::Integer(const Spec &s, uintmax_t magnitude, bool negative, int base,
                        const char *digs, bool isSigned, bool isPointer) {
  char *end = work_ + sizeof work_;
  char *cp = end;
  const bool nonZero = magnitude != 0;
  if (nonZero || s.prec != 0) {
    if (base == 10 && magnitude <= UINT32_MAX) {
      // The same digits with cheaper 32-bit arithmetic.
      auto v = static_cast<uint32_t>(magnitude);
      while (v >= 100) {
        uint32_t pair = (v % 100) * 2;
        v /= 100;
        cp -= 2;
        memcpy(cp, kDigitPairs + pair, 2);
      }
      if (v >= 10) {
        cp -= 2;
        memcpy(cp, kDigitPairs + v * 2, 2);
      } else {
        *--cp = static_cast<char>('0' + v);
      }
    } else if (base == 10) {
      uintmax_t v = magnitude;
      while (v >= 100) {
        size_t pair = static_cast<size_t>(v % 100) * 2;
        v /= 100;
        cp -= 2;
        memcpy(cp, kDigitPairs + pair, 2);
      }
      if (v >= 10) {
        cp -= 2;
        memcpy(cp, kDigitPairs + v * 2, 2);
      } else {
        *--cp = static_cast<char>('0' + v);
      }
    } else if (base == 16) {
      do {
        *--cp = digs[magnitude & 15];
        magnitude >>= 4;
      } while (magnitude != 0);
    } else if (base == 8) {
      do {
        *--cp = static_cast<char>('0' + (magnitude & 7));
        magnitude >>= 3;
      } while (magnitude != 0);
    } else {
      Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
    }
  }
  if (base == 8 && (s.flags & kAlt) && (cp == end || *cp != '0')) {
    *--cp = '0';
  }
  size_t ndigits = static_cast<size_t>(end - cp);
  std::string_view prefix;
  if (base == 16 && (s.flags & kAlt) && nonZero && !isPointer) {
    prefix = digs == xdigs_upper ? "0X" : "0x";
  }
  char sign = isSigned ? (negative ? '-' : s.sign) : 0;
  size_t precZeros = s.prec >= 0 && static_cast<size_t>(s.prec) > ndigits
                         ? static_cast<size_t>(s.prec) - ndigits
                         : 0;
  bool zeroPadAllowed = s.prec < 0;
  if ((s.flags & kGroup) && base == 10 && ndigits > 1) {
    uint16_t groups[sizeof work_];
    size_t count;
    size_t len = GroupedLength(ndigits, groups, count);
    return Field(s, zeroPadAllowed, sign, prefix, precZeros, len,
                 [&] { PutGrouped(cp, groups, count); });
  }
  return Field(s, zeroPadAllowed, sign, prefix, precZeros, ndigits,
               [&] { sink_.Put(cp, ndigits); });
}

bool Formatter::EmitLayout(const Spec &s, char sign, const Layout &l) {
  const std::string_view point = l.point ? Locale().point : std::string_view{};
  uint16_t groups[sizeof floatInt_];
  size_t count = 0;
  size_t intLen = l.group ? GroupedLength(l.intLen, groups, count) : l.intLen;
  size_t len = intLen + point.size() + l.leadZeros + l.fracLen + l.trailZeros + l.expLen;
  return Field(s, true, sign, {}, 0, len, [&] {
    if (l.group) {
      PutGrouped(l.intDigits, groups, count);
    } else {
      sink_.Put(l.intDigits, l.intLen);
    }
    sink_.Put(point.data(), point.size());
    sink_.Pad(l.leadZeros, zeroes);
    sink_.Put(l.frac, l.fracLen);
    sink_.Pad(l.trailZeros, zeroes);
    sink_.Put(l.exp, l.expLen);
  });
}

bool Formatter::Float(const Spec &s) {
  double v = (s.flags & kLLong) ? static_cast<double>(Next<long double>()) : Next<double>();
  const char conv = s.conv;
  const bool upper = conv == 'E' || conv == 'F' || conv == 'G';
  const bool negative = std::signbit(v);
  if (!std::isfinite(v)) {
    static constexpr const char *kWords[2][2] = {{"-inf", "-INF"}, {"-nan", "-NAN"}};
    const char *word = kWords[std::isnan(v) ? 1 : 0][upper ? 1 : 0];
    if (!negative) {
      ++word;
    }
    return Text(s, word, strlen(word));
  }
  const double a = std::fabs(v);
  const char sign = negative ? '-' : s.sign;
  const bool alt = (s.flags & kAlt) != 0;
  const bool group = (s.flags & kGroup) != 0;
  char *const buf = floatDigits_;
  char *const bufEnd = buf + sizeof floatDigits_;
  Layout l;

  if (conv == 'f' || conv == 'F') {
    int prec = s.prec < 0 ? 6 : s.prec;
    int digits = std::min(prec, kFloatDigits);
    char *end = std::to_chars(buf, bufEnd, a, std::chars_format::fixed, digits).ptr;
    char *dot = static_cast<char *>(memchr(buf, '.', static_cast<size_t>(end - buf)));
    l.intDigits = buf;
    l.intLen = static_cast<size_t>((dot != nullptr ? dot : end) - buf);
    l.group = group;
    l.point = prec > 0 || alt;
    if (dot != nullptr) {
      l.frac = dot + 1;
      l.fracLen = static_cast<size_t>(end - dot - 1);
    }
    l.trailZeros = static_cast<size_t>(prec - digits);
    return EmitLayout(s, sign, l);
  }

  // e and g: significant digits d[.ddd] and a decimal exponent.
  int prec = s.prec < 0 ? 6 : s.prec;
  bool isG = conv == 'g' || conv == 'G';
  int64_t sig = isG ? (prec == 0 ? 1 : prec) : int64_t{prec} + 1;
  int digits = static_cast<int>(std::min<int64_t>(sig, kFloatDigits));
  char *end = std::to_chars(buf, bufEnd, a, std::chars_format::scientific, digits - 1).ptr;
  char *e = static_cast<char *>(memchr(buf, 'e', static_cast<size_t>(end - buf)));
  int exponent = 0;
  std::from_chars(e[1] == '+' ? e + 2 : e + 1, end, exponent);
  // Gather the digits at the front: "d.ddd" becomes "dddd".
  if (digits > 1) {
    memmove(buf + 1, buf + 2, static_cast<size_t>(digits - 1));
  }
  const char *d = buf;
  size_t nd = static_cast<size_t>(digits);
  *e = (conv == 'E' || conv == 'G') ? 'E' : 'e';

  if (isG && exponent >= -4 && exponent < sig) {
    // Fixed notation with sig - 1 - exponent digits after the point.
    size_t fracWanted = static_cast<size_t>(sig - 1 - exponent);
    if (exponent >= 0) {
      size_t intLen = static_cast<size_t>(exponent) + 1;
      size_t fromDigits = std::min(intLen, nd);
      memcpy(floatInt_, d, fromDigits);
      memset(floatInt_ + fromDigits, '0', intLen - fromDigits);
      l.intDigits = floatInt_;
      l.intLen = intLen;
      l.frac = d + fromDigits;
      l.fracLen = nd - fromDigits;
    } else {
      l.intDigits = "0";
      l.intLen = 1;
      l.leadZeros = static_cast<size_t>(-exponent - 1);
      l.frac = d;
      l.fracLen = nd;
    }
    l.group = group;
    if (alt) {
      l.trailZeros = fracWanted - l.leadZeros - l.fracLen;
    } else {
      while (l.fracLen > 0 && l.frac[l.fracLen - 1] == '0') {
        --l.fracLen;
      }
      if (l.fracLen == 0) {
        l.leadZeros = 0;
      }
    }
    l.point = alt || l.leadZeros + l.fracLen + l.trailZeros > 0;
    return EmitLayout(s, sign, l);
  }

  // Scientific notation with sig - 1 digits after the point.
  l.intDigits = d;
  l.intLen = 1;
  l.frac = d + 1;
  l.fracLen = nd - 1;
  if (isG && !alt) {
    while (l.fracLen > 0 && l.frac[l.fracLen - 1] == '0') {
      --l.fracLen;
    }
  } else {
    l.trailZeros = static_cast<size_t>(sig - digits);
  }
  l.point = alt || l.fracLen + l.trailZeros > 0;
  l.exp = e;
  l.expLen = static_cast<size_t>(end - e);
  return EmitLayout(s, sign, l);
}

bool Formatter::String(const Spec &s, const char *str) {
  if (str == nullptr) {
    str = "(null)";
  }
  size_t len;
  if (s.prec >= 0) {
    len = StrUtf8Cut(str, strnlen(str, static_cast<size_t>(s.prec)));
  } else {
    len = strlen(str);
  }
  return Text(s, str, len);
}

// Wide strings become UTF-8 whatever the locale. With a precision, as many
// whole characters as fit in it, and no more wide characters are read than
// could be printed.
bool Formatter::WideString(const Spec &s, const wchar_t *ws) {
  if (ws == nullptr) {
    return String(s, nullptr);
  }
  const size_t limit = s.prec >= 0 ? static_cast<size_t>(s.prec) : SIZE_MAX;
  size_t total = 0;
  size_t count = 0;
  while (total < limit && ws[count] != L'\0') {
    size_t len = Utf8Length(static_cast<uint32_t>(ws[count]));
    if (len > limit - total) {
      break;
    }
    total += len;
    ++count;
  }
  return Field(s, false, 0, {}, 0, total, [&] {
    char *out = wide_;
    for (size_t i = 0; i < count; ++i) {
      if (out + 4 > wide_ + sizeof wide_) {
        sink_.Put(wide_, static_cast<size_t>(out - wide_));
        sink_.Flush();  // the area is reused for the next chunk
        out = wide_;
      }
      out = Utf8Encode(static_cast<uint32_t>(ws[i]), out);
    }
    sink_.Put(wide_, static_cast<size_t>(out - wide_));
  });
}

bool Formatter::WideChar(const Spec &s) {
  wint_t wc = Next<wint_t>();
  mbstate_t state{};
  size_t len = wcrtomb(mb_, static_cast<wchar_t>(wc), &state);
  if (len == static_cast<size_t>(-1)) {
    return false;
  }
  return Text(s, mb_, len);
}

void Formatter::StoreCount(uint32_t f) {
  auto store = [this](auto *p) {
    if (p != nullptr) {
      *p = static_cast<std::remove_pointer_t<decltype(p)>>(sink_.produced());
    }
  };
  if (f & kMaxInt) {
    store(Next<intmax_t *>());
  } else if (f & kSize) {
    store(Next<ssize_t *>());
  } else if (f & kPtrDiff) {
    store(Next<ptrdiff_t *>());
  } else if (f & kLLong) {
    store(Next<long long *>());
  } else if (f & kLong) {
    store(Next<long *>());
  } else if (f & kShort) {
    store(Next<short *>());
  } else if (f & kChar) {
    store(Next<signed char *>());
  } else {
    store(Next<int *>());
  }
}

}  // namespace

size_t StrUtf8Cut(const char *text, size_t keep) {
  if (keep == 0) {
    return 0;
  }
  auto byte = [text](size_t i) { return static_cast<uint8_t>(text[i]); };
  size_t n = keep - 1;
  while (n > 0 && (byte(n) & 0xC0) == 0x80) {
    --n;
  }
  uint8_t lead = byte(n);
  if (lead < 0x80) {
    return keep;
  }
  int announced = std::countl_one(lead);
  return announced < 8 && static_cast<size_t>(announced) == keep - n ? keep : n;
}

namespace {

// Runs a formatter built from source (an argument list, or a fetch function
// and its context) over the caller's buffer or one it allocates.
template <class... Source>
int FormatInto(char **out, size_t size, const char *format, size_t *written, Source... source) {
  const bool allocate = *out == nullptr;
  char *buf = *out;
  size_t capacity = size;
  if (written != nullptr) {
    *written = 0;
  }
  if (allocate) {
    size_t len = strlen(format);
    capacity = len == 0 ? 1 : (len + 64) & ~size_t{63};
    buf = static_cast<char *>(malloc(capacity));
    if (buf == nullptr) {
      return -1;
    }
  }
  Formatter f(buf, capacity, allocate, format, source...);
  int n = f.Run();
  if (written != nullptr) {
    *written = f.sink().written();
  }
  if (allocate) {
    if (n < 0) {
      free(f.sink().buffer());
    } else {
      *out = f.sink().buffer();
    }
  }
  return n;
}

}  // namespace

int StrFormat(char **out, size_t size, const char *format, va_list ap, size_t *written) {
  return FormatInto(out, size, format, written, ap);
}

int StrFormatFromArgs(char **out, size_t size, const char *format, StrArgFetch fetch, void *context,
                      size_t *written) {
  return FormatInto(out, size, format, written, fetch, context);
}

extern "C" int bsd_vsnprintf(char **outbuf, size_t bufSize, const char *fmt0, va_list ap) {
  return StrFormat(outbuf, bufSize, fmt0, ap, nullptr);
}
