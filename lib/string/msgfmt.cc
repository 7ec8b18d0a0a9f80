// Message-format argument scanning: the arguments of a format captured into
// records, and the formatter run over such records.
//
// The records are captured when a message is made and formatted when it is
// shown, perhaps in another thread, long after the caller's strings are
// gone; so strings are copied, and the type of every position is fixed by
// the scan rather than trusted from whatever format is used later.

#include <brellis/err.h>
#include <brellis/msgfmt.h>
#include <brellis/panic.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "strInt.h"

static_assert(sizeof(MsgFmt_Arg) == 32, "the argument record is 32 bytes");

namespace {

constexpr char kSpecBytes[] = " #'+-.0123456789ILZhjlqtz";
constexpr char kConversions[] = "ACEFGSXacdefginopsux";
constexpr char kIdMarker[] = "@&!*@*@(";

bool IsIn(const char *set, char c) {
  return c != '\0' && strchr(set, c) != nullptr;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// A run of decimal digits at p (at most end); false past INT_MAX.
bool ReadInt(const char *&p, const char *end, int *value) {
  int64_t n = 0;
  while (p < end && IsDigit(*p)) {
    n = n * 10 + (*p++ - '0');
    if (n > INT_MAX) {
      return false;
    }
  }
  *value = static_cast<int>(n);
  return true;
}

struct ParsedSpec {
  int position = 0;
  int precision = -1;
  char length = 0;  // 'L' (64-bit), 'H' (hh), or the letter as written
  char conversion = 0;
};

// Reads position and specification text; 0, or -2 when either is malformed.
int ParseSpec(const char *pos, unsigned posSize, const char *type, unsigned typeSize,
              ParsedSpec *out) {
  const char *p = pos;
  const char *end = pos + posSize;
  if (posSize == 0 || !ReadInt(p, end, &out->position) || p != end || out->position <= 0) {
    return -2;
  }
  p = type;
  end = type + typeSize;
  while (p < end && IsIn(" #'+-0", *p)) {
    ++p;
  }
  int width;
  if (!ReadInt(p, end, &width)) {
    return -2;
  }
  if (p < end && *p == '.') {
    ++p;
    if (!ReadInt(p, end, &out->precision)) {
      return -2;
    }
  }
  auto next = [&](char c) { return p < end && *p == c; };
  if (next('I')) {
    ++p;
    if (end - p >= 2 && p[0] == '6' && p[1] == '4') {
      p += 2;
      out->length = 'L';
    } else if (end - p >= 2 && p[0] == '3' && p[1] == '2') {
      p += 2;
    } else {
      out->length = 'z';
    }
  } else if (next('Z')) {
    ++p;
    out->length = 'z';
  } else if (next('h')) {
    ++p;
    out->length = next('h') ? (++p, 'H') : 'h';
  } else if (next('l')) {
    ++p;
    out->length = next('l') ? (++p, 'L') : 'l';
  } else if (next('q')) {
    ++p;
    out->length = 'L';
  } else if (next('L') || next('j') || next('t') || next('z')) {
    out->length = *p++;
  }
  if (end - p != 1 || !IsIn(kConversions, *p)) {
    return -2;
  }
  out->conversion = *p;
  return 0;
}

// The state of one MsgFmt_GetArgs: the records, allocated or carved from
// the caller's buffer, and the error message.
struct Scan {
  MsgFmt_Arg *args = nullptr;
  int numArgs = 0;  // the highest position seen
  int maxArgs = 0;
  char *error = nullptr;
  char *buf = nullptr;  // buffer mode: start (aligned), next free byte, end
  char *bufPos = nullptr;
  char *bufEnd = nullptr;

  bool BufferMode() const { return buf != nullptr; }

  void FreeRecords() {
    if (BufferMode()) {
      bufPos = buf;
    } else {
      MsgFmt_FreeArgs(args, numArgs);
    }
    args = nullptr;
    numArgs = maxArgs = 0;
  }

  // Records the message; what was captured so far goes first.
  void Error(const char *format, ...) BRELLIS_PRINTF(2, 3) {
    FreeRecords();
    va_list ap;
    va_start(ap, format);
    if (!BufferMode()) {
      error = Str_Vasprintf(nullptr, format, ap);
      if (error == nullptr) {
        Panic("MEM_ALLOC %s:%d\n", __FILE__, __LINE__);
      }
    } else if (bufEnd > buf) {
      Str_Vsnprintf(buf, static_cast<size_t>(bufEnd - buf), format, ap);
      error = buf;
      bufPos = buf + strlen(buf) + 1;
    }
    va_end(ap);
  }

  // Bytes for a copy: from the heap, or the next aligned bytes of the buffer.
  void *Allocate(size_t size, size_t align) {
    if (!BufferMode()) {
      return malloc(size);
    }
    uintptr_t at = (reinterpret_cast<uintptr_t>(bufPos) + align - 1) & ~(align - 1);
    if (at > reinterpret_cast<uintptr_t>(bufEnd) ||
        size > reinterpret_cast<uintptr_t>(bufEnd) - at) {
      return nullptr;
    }
    bufPos = reinterpret_cast<char *>(at + size);
    return reinterpret_cast<void *>(at);
  }

  bool Grow(int position) {
    if (position <= maxArgs) {
      return true;
    }
    if (BufferMode()) {
      // Nothing else is placed in the buffer while scanning: the records
      // grow in place.
      if (static_cast<size_t>(bufEnd - buf) / sizeof(MsgFmt_Arg) < static_cast<size_t>(position)) {
        return false;
      }
      args = reinterpret_cast<MsgFmt_Arg *>(buf);
      memset(static_cast<void *>(args + maxArgs), 0, (position - maxArgs) * sizeof(MsgFmt_Arg));
      maxArgs = position;
      bufPos = buf + position * sizeof(MsgFmt_Arg);
      return true;
    }
    int64_t wanted = std::max<int64_t>(4, int64_t{position} + maxArgs);
    int grown = wanted > INT_MAX ? position : static_cast<int>(wanted);
    auto *p = static_cast<MsgFmt_Arg *>(realloc(args, grown * sizeof(MsgFmt_Arg)));
    if (p == nullptr) {
      return false;
    }
    memset(static_cast<void *>(p + maxArgs), 0, (grown - maxArgs) * sizeof(MsgFmt_Arg));
    args = p;
    maxArgs = grown;
    return true;
  }
};

int32_t TypeOf(const ParsedSpec &s) {
  switch (s.conversion) {
    case 'a':
    case 'A':
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
      return (s.length == 'L' || s.length == 'j') ? MSGFMT_ARG_INVALID : MSGFMT_ARG_FLOAT64;
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
      // long, size_t and ptrdiff_t are 64 bits wide here.
      return (s.length == 'L' || s.length == 'j' || s.length == 'l' || s.length == 'z' ||
              s.length == 't')
                 ? MSGFMT_ARG_INT64
                 : MSGFMT_ARG_INT32;
    case 'c':
    case 'C':
      return MSGFMT_ARG_INT32;
    case 'p':
      return MSGFMT_ARG_PTR;
    case 's':
      return (s.length == 'l' || s.length == 'L' || s.length == 'j') ? MSGFMT_ARG_STRING32
                                                                     : MSGFMT_ARG_STRING8;
    case 'S':
      return MSGFMT_ARG_STRING32;
    default:
      return MSGFMT_ARG_INVALID;
  }
}

int MsgFmtGetArg1(void *clientData, const char *pos, unsigned posSize, const char *type,
                  unsigned typeSize) {
  auto *scan = static_cast<Scan *>(clientData);
  ParsedSpec s;
  int status = ParseSpec(pos, posSize, type, typeSize, &s);
  if (status < 0) {
    scan->Error("MsgFmtGetArg1: bad specifier, status %d, pos \"%.*s\", type \"%.*s\"", status,
                static_cast<int>(posSize), pos, static_cast<int>(typeSize), type);
    return status;
  }
  if (!scan->Grow(s.position)) {
    scan->Error("MsgFmtGetArg1: out of memory at arg %d", s.position);
    return -1;
  }
  if (s.conversion == 'n') {
    scan->Error("MsgFmtGetArg1: %%n not supported, pos \"%.*s\", type \"%.*s\"",
                static_cast<int>(posSize), pos, static_cast<int>(typeSize), type);
    return -2;
  }
  int32_t t = TypeOf(s);
  if (t == MSGFMT_ARG_INVALID) {
    scan->Error("MsgFmtGetArg1: %%%c%c not supported, pos \"%.*s\", type \"%.*s\"", s.length,
                s.conversion, static_cast<int>(posSize), pos, static_cast<int>(typeSize), type);
    return -2;
  }
  MsgFmt_Arg &a = scan->args[s.position - 1];
  bool isString = t == MSGFMT_ARG_STRING8 || t == MSGFMT_ARG_STRING32;
  if (a.type == MSGFMT_ARG_INVALID) {
    a.type = t;
    a.p.precision = s.precision;
  } else if (a.type != t) {
    scan->Error(
        "MsgFmtGetArg1: incompatible specifiers for argument %d, old type %d, new type %d, "
        "pos \"%.*s\", type \"%.*s\"",
        s.position, a.type, t, static_cast<int>(posSize), pos, static_cast<int>(typeSize), type);
    return -2;
  } else if (isString && a.p.precision >= 0 && (s.precision < 0 || s.precision > a.p.precision)) {
    // The copy must serve the widest use of the position.
    a.p.precision = s.precision;
  }
  scan->numArgs = std::max(scan->numArgs, s.position);
  return 0;
}

// Copies what the records need of the caller's arguments.
bool Capture(Scan *scan, va_list va) {
  for (int i = 0; i < scan->numArgs; i++) {
    MsgFmt_Arg &a = scan->args[i];
    int32_t precision = a.p.precision;
    switch (a.type) {
      case MSGFMT_ARG_INVALID:
        scan->Error("MsgFmt_GetArgs: gap in arguments at position %d", i + 1);
        return false;
      case MSGFMT_ARG_INT32:
        a.v.signed32 = va_arg(va, int);
        break;
      case MSGFMT_ARG_INT64:
        a.v.signed64 = va_arg(va, int64_t);
        break;
      case MSGFMT_ARG_PTR:
        a.v.ptr = va_arg(va, void *);
        break;
      case MSGFMT_ARG_PTR32:
        a.v.unsigned64 = va_arg(va, uint32_t);
        break;
      case MSGFMT_ARG_FLOAT64:
        a.v.float64 = va_arg(va, double);
        break;
      case MSGFMT_ARG_STRING8: {
        const char *s = va_arg(va, const char *);
        a.v.string8 = nullptr;
        if (s == nullptr) {
          break;
        }
        size_t n = precision >= 0 ? strnlen(s, static_cast<size_t>(precision)) : strlen(s);
        if (s[n] != '\0') {
          n = StrUtf8Cut(s, n);  // a precision cut ends on a whole character
        }
        char *copy = static_cast<char *>(scan->Allocate(n + 1, 1));
        if (copy == nullptr) {
          scan->Error("MsgFmt_GetArgs: out of memory");
          return false;
        }
        memcpy(copy, s, n);
        copy[n] = '\0';
        a.v.string8 = copy;
        int number = Err_String2Errno(s);
        if (number != -1) {
          a.type = MSGFMT_ARG_ERRSTR;
          a.errorKind = MSGFMT_ERROR_ERRNO;
          a.errorNumber = number;
        }
        break;
      }
      case MSGFMT_ARG_STRING32: {
        const wchar_t *s = va_arg(va, const wchar_t *);
        a.v.string32 = nullptr;
        if (s == nullptr) {
          break;
        }
        size_t n = precision >= 0 ? wcsnlen(s, static_cast<size_t>(precision)) : wcslen(s);
        auto *copy =
            static_cast<wchar_t *>(scan->Allocate((n + 1) * sizeof(wchar_t), alignof(wchar_t)));
        if (copy == nullptr) {
          scan->Error("MsgFmt_GetArgs: out of memory");
          return false;
        }
        wmemcpy(copy, s, n);
        copy[n] = L'\0';
        a.v.string32 = copy;
        break;
      }
      default:
        Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
    }
  }
  for (int i = 0; i < scan->numArgs; i++) {
    scan->args[i].p.localString = nullptr;
  }
  return true;
}

bool IsStringType(int32_t type) {
  return type >= MSGFMT_ARG_STRING8 && type <= MSGFMT_ARG_ERRSTR;
}

// The text of a string record as a message shows it: a localisable string
// without its id.
const char *Shown(const MsgFmt_Arg &a) {
  if (a.p.localString != nullptr) {
    return a.p.localString;
  }
  const char *s = a.v.string8;
  if (s != nullptr && strncmp(s, kIdMarker, sizeof kIdMarker - 1) == 0) {
    const char *close = strchr(s + sizeof kIdMarker - 1, ')');
    if (close != nullptr) {
      return close + 1;
    }
  }
  return s;
}

struct Records {
  const MsgFmt_Arg *args;
  int numArgs;
};

bool FetchRecord(void *context, int position, StrArgClass cls, StrArgValue *value) {
  const auto *r = static_cast<const Records *>(context);
  if (position < 1 || position > r->numArgs) {
    return false;
  }
  const MsgFmt_Arg &a = r->args[position - 1];
  auto asInt = [](const void *p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); };
  switch (cls) {
    case StrArgClass::kInt32:
      if (a.type == MSGFMT_ARG_INT32) {
        value->u = static_cast<uint64_t>(int64_t{a.v.signed32});
        return true;
      }
      if (a.type == MSGFMT_ARG_PTR32) {
        value->u = a.v.unsigned64;
        return true;
      }
      return false;
    case StrArgClass::kInt64:
      value->u = a.v.unsigned64;
      return a.type == MSGFMT_ARG_INT64 || a.type == MSGFMT_ARG_PTR32;
    case StrArgClass::kPointer:
      value->u = asInt(a.v.ptr);
      return a.type == MSGFMT_ARG_PTR;
    case StrArgClass::kDouble:
      value->d = a.v.float64;
      return a.type == MSGFMT_ARG_FLOAT64;
    case StrArgClass::kString:
      if (a.type != MSGFMT_ARG_STRING8 && a.type != MSGFMT_ARG_ERRSTR) {
        return false;
      }
      value->u = asInt(Shown(a));
      return true;
    case StrArgClass::kWideString:
      value->u = asInt(a.v.string32);
      return a.type == MSGFMT_ARG_STRING32;
    case StrArgClass::kOther:
      return false;
  }
  return false;
}

}  // namespace

extern "C" {

int MsgFmt_ParseWithCallbacks(MsgFmt_LitFunc *litFunc, MsgFmt_SpecFunc *specFunc, void *clientData,
                              const char *format) {
  enum { kUndecided, kPositional, kSequential } style = kUndecided;
  int sequence = 0;
  const char *p = format;
  const char *literal = p;
  auto flush = [&](const char *text, const char *end) {
    return litFunc != nullptr && end > text
               ? litFunc(clientData, text, static_cast<int>(end - text))
               : 0;
  };
  while (*p != '\0') {
    if (*p != '%') {
      ++p;
      continue;
    }
    int status = flush(literal, p);
    if (status < 0) {
      return status;
    }
    if (p[1] == '%') {
      status = flush(p, p + 1);
      if (status < 0) {
        return status;
      }
      p += 2;
      literal = p;
      continue;
    }
    const char *q = p + 1;
    const char *pos = nullptr;
    size_t posSize = 0;
    if (*q >= '1' && *q <= '9') {
      const char *d = q;
      while (IsDigit(*d)) {
        ++d;
      }
      if (*d == '$') {
        pos = q;
        posSize = static_cast<size_t>(d - q);
        q = d + 1;
      }
    }
    const char *spec = q;
    while (IsIn(kSpecBytes, *q)) {
      ++q;
    }
    if (!IsIn(kConversions, *q)) {
      return -2;  // the end of the format, '*', or no conversion at all
    }
    ++q;
    auto thisStyle = pos != nullptr ? kPositional : kSequential;
    if (style == kUndecided) {
      style = thisStyle;
    } else if (style != thisStyle) {
      return -2;
    }
    char number[16];
    if (pos == nullptr) {
      auto r = std::to_chars(number, number + sizeof number, ++sequence);
      pos = number;
      posSize = static_cast<size_t>(r.ptr - number);
    }
    status = specFunc(clientData, pos, static_cast<unsigned>(posSize), spec,
                      static_cast<unsigned>(q - spec));
    if (status < 0) {
      return status;
    }
    p = q;
    literal = p;
  }
  int status = flush(literal, p);
  return status < 0 ? status : 0;
}

bool MsgFmt_GetArgs(const char *format, va_list va, MsgFmt_Arg **args, int *numArgs, char **error,
                    void *buf, size_t *bufSize) {
  Scan scan;
  if (buf != nullptr) {
    uintptr_t start = reinterpret_cast<uintptr_t>(buf);
    uintptr_t end = start + *bufSize;
    uintptr_t aligned = (start + alignof(MsgFmt_Arg) - 1) & ~(alignof(MsgFmt_Arg) - 1);
    scan.buf = scan.bufPos = reinterpret_cast<char *>(std::min(aligned, end));
    scan.bufEnd = reinterpret_cast<char *>(end);
  }
  int status = MsgFmt_ParseWithCallbacks(nullptr, MsgFmtGetArg1, &scan, format);
  bool ok = status >= 0;
  if (!ok && scan.error == nullptr) {
    if (status == -2) {
      scan.Error("MsgFmt_GetArgs: error in format string");
    } else if (status == -1) {
      scan.Error("MsgFmt_GetArgs: out of memory");
    } else {
      scan.Error("MsgFmt_GetArgs: error %d", status);
    }
  }
  if (ok) {
    va_list ap;
    va_copy(ap, va);
    ok = Capture(&scan, ap);
    va_end(ap);
  }
  if (ok && args == nullptr) {
    scan.FreeRecords();
  }
  if (args != nullptr) {
    *args = ok ? scan.args : nullptr;
  }
  if (numArgs != nullptr) {
    *numArgs = ok ? scan.numArgs : 0;
  }
  if (error != nullptr) {
    *error = ok ? nullptr : scan.error;
  } else if (buf == nullptr) {
    free(scan.error);
  }
  if (buf != nullptr) {
    *bufSize = static_cast<size_t>(scan.bufPos - static_cast<char *>(buf));
  }
  return ok;
}

void MsgFmt_FreeArgs(MsgFmt_Arg *args, int numArgs) {
  if (args == nullptr) {
    return;
  }
  for (int i = 0; i < numArgs; i++) {
    if (IsStringType(args[i].type)) {
      free(args[i].v.ptr);
    }
  }
  free(args);
}

MsgFmt_Arg *MsgFmt_CopyArgs(const MsgFmt_Arg *args, int numArgs) {
  if (args == nullptr || numArgs <= 0) {
    return nullptr;
  }
  auto *copy = static_cast<MsgFmt_Arg *>(
      Util_SafeMalloc(-1, numArgs * sizeof(MsgFmt_Arg), __FILE__, __LINE__));
  memcpy(static_cast<void *>(copy), args, numArgs * sizeof(MsgFmt_Arg));
  for (int i = 0; i < numArgs; i++) {
    MsgFmt_Arg &a = copy[i];
    a.p.localString = nullptr;
    switch (a.type) {
      case MSGFMT_ARG_STRING8:
      case MSGFMT_ARG_ERRSTR:
        a.v.string8 = Util_SafeStrdup(-1, a.v.string8, __FILE__, __LINE__);
        break;
      case MSGFMT_ARG_STRING32:
        if (a.v.string32 != nullptr) {
          size_t size = (wcslen(a.v.string32) + 1) * sizeof(wchar_t);
          a.v.string32 = static_cast<wchar_t *>(
              memcpy(Util_SafeMalloc(-1, size, __FILE__, __LINE__), a.v.string32, size));
        }
        break;
      case MSGFMT_ARG_STRING16:
        Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
      default:
        break;
    }
  }
  return copy;
}

void MsgFmt_SwizzleArgs(MsgFmt_Arg *args, int numArgs) {
  for (int i = 0; i < numArgs; i++) {
    MsgFmt_Arg &a = args[i];
    if (IsStringType(a.type)) {
      a.v.offset =
          a.v.ptr == nullptr ? 0 : static_cast<char *>(a.v.ptr) - reinterpret_cast<char *>(args);
    }
  }
}

int MsgFmt_UnswizzleArgs(MsgFmt_Arg *args, int numArgs, const void *blockEnd) {
  char *base = reinterpret_cast<char *>(args);
  const char *end = static_cast<const char *>(blockEnd);
  int64_t size = end - base;
  int64_t recordsEnd = int64_t{numArgs} * static_cast<int64_t>(sizeof(MsgFmt_Arg));
  int result = 0;
  for (int i = 0; i < numArgs; i++) {
    MsgFmt_Arg &a = args[i];
    if (!IsStringType(a.type)) {
      continue;
    }
    int64_t off = a.v.offset;
    if (off == 0) {
      a.v.ptr = nullptr;
      continue;
    }
    size_t unit = a.type == MSGFMT_ARG_STRING32   ? sizeof(wchar_t)
                  : a.type == MSGFMT_ARG_STRING16 ? sizeof(uint16_t)
                                                  : 1;
    bool ok = off >= recordsEnd && off < size && off % static_cast<int64_t>(unit) == 0;
    if (ok) {
      // NUL-terminated within the block, in the string's own units.
      ok = false;
      for (int64_t at = off; at + static_cast<int64_t>(unit) <= size;
           at += static_cast<int64_t>(unit)) {
        static const char zero[sizeof(wchar_t)] = {};
        if (memcmp(base + at, zero, unit) == 0) {
          ok = true;
          break;
        }
      }
    }
    a.v.ptr = ok ? base + off : nullptr;
    if (!ok) {
      result = -1;
    }
  }
  return result;
}

int MsgFmt_Snprintf(char **outbuf, size_t bufSize, const char *format, const MsgFmt_Arg *args,
                    int numArgs) {
  Records r{args, numArgs};
  return StrFormatFromArgs(outbuf, bufSize, format, FetchRecord, &r, nullptr);
}

char *MsgFmt_Asprintf(size_t *length, const char *format, const MsgFmt_Arg *args, int numArgs) {
  char *out = nullptr;
  int n = MsgFmt_Snprintf(&out, 0, format, args, numArgs);
  if (n < 0) {
    return nullptr;
  }
  if (length != nullptr) {
    *length = static_cast<size_t>(n);
  }
  return out;
}

}  // extern "C"
