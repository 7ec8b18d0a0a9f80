// The line layer of dictionary files.

#include <brellis/dictll.h>
#include <brellis/escape.h>
#include <brellis/internal/dictLineParse.h>
#include <brellis/panic.h>
#include <brellis/util.h>

#include <sys/types.h>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

enum ByteClass : unsigned char {
  kName = 1,
  kBareValue = 2,
  kQuotedValue = 4,
};

constexpr std::array<unsigned char, 256> kClasses = [] {
  std::array<unsigned char, 256> t{};
  for (int c = 0; c < 256; c++) {
    bool blank = c == '\t' || c == ' ';
    unsigned char bits = 0;
    if (c != 0 && !blank && c != '#' && c != '=') bits |= kName;
    if (c != 0 && !blank && c != '#') bits |= kBareValue;
    if (c != 0 && c != '"') bits |= kQuotedValue;
    t[static_cast<size_t>(c)] = bits;
  }
  return t;
}();

struct EscapeTable {
  int bytes[256];
};

constexpr EscapeTable kEscapedOnWrite = [] {
  EscapeTable t{};
  for (int c = 0; c < 256; c++) {
    t.bytes[c] = (c <= 0x08) || (c >= 0x0A && c <= 0x1F) || c == '"' || c == '|' || c == 0x7F;
  }
  return t;
}();

bool Is(unsigned char c, ByteClass cls) {
  return (kClasses[c] & cls) != 0;
}
bool IsBlank(unsigned char c) {
  return c == ' ' || c == '\t';
}

// The span of a run of bytes of one class starting at p.
const unsigned char *Run(const unsigned char *p, ByteClass cls) {
  while (Is(*p, cls)) {
    p++;
  }
  return p;
}

const unsigned char *SkipBlanks(const unsigned char *p) {
  while (IsBlank(*p)) {
    p++;
  }
  return p;
}

}  // namespace

namespace brellis {

bool DictLineParse(const char *line, DictLineSpans *spans) {
  const auto *p = SkipBlanks(reinterpret_cast<const unsigned char *>(line));
  const unsigned char *nameStart = p;
  p = Run(p, kName);
  const unsigned char *nameEnd = p;
  p = SkipBlanks(p);
  if (nameStart == nameEnd || *p != '=') {
    return false;
  }
  p = SkipBlanks(p + 1);
  const unsigned char *valueStart;
  const unsigned char *valueEnd;
  if (*p == '"') {
    valueStart = p + 1;
    valueEnd = Run(valueStart, kQuotedValue);
    if (*valueEnd != '"') {
      return false;
    }
    p = valueEnd + 1;
  } else {
    valueStart = p;
    valueEnd = Run(p, kBareValue);
    p = valueEnd;
  }
  p = SkipBlanks(p);
  if (*p != '\0' && *p != '#') {
    return false;
  }
  spans->name = reinterpret_cast<const char *>(nameStart);
  spans->nameLen = static_cast<size_t>(nameEnd - nameStart);
  spans->value = reinterpret_cast<const char *>(valueStart);
  spans->valueLen = static_cast<size_t>(valueEnd - valueStart);
  return true;
}

char *DictLineUnescape(const char *value, size_t len) {
  // Most values hold no escape at all: a plain copy is all they need.
  if (memchr(value, '|', len) == nullptr) {
    auto *copy = static_cast<char *>(malloc(len + 1));
    if (copy == nullptr) {
      Panic("MEM_ALLOC %s:%d\n", __FILE__, __LINE__);
    }
    memcpy(copy, value, len);
    copy[len] = '\0';
    return copy;
  }
  void *unescaped = Escape_Undo('|', value, len, nullptr);
  if (unescaped == nullptr) {
    Panic("MEM_ALLOC %s:%d\n", __FILE__, __LINE__);
  }
  return static_cast<char *>(unescaped);
}

}  // namespace brellis

extern "C" {

void DictLL_ParseLine(const char *line, char **name, char **value) {
  *name = nullptr;
  *value = nullptr;
  brellis::DictLineSpans spans;
  if (!brellis::DictLineParse(line, &spans)) {
    return;
  }
  *value = brellis::DictLineUnescape(spans.value, spans.valueLen);
  *name = Util_SafeStrndup(-1, spans.name, spans.nameLen, __FILE__, __LINE__);
}

const char *DictLL_UnmarshalLine(const char *buf, size_t bufSize, char **line, char **name,
                                 char **value) {
  *line = nullptr;
  *name = nullptr;
  *value = nullptr;
  if (bufSize == 0) {
    return nullptr;
  }
  const char *nl = static_cast<const char *>(memchr(buf, '\n', bufSize));
  size_t lineLen = nl == nullptr ? bufSize : static_cast<size_t>(nl - buf);
  auto *copy = static_cast<char *>(Util_SafeMalloc(-1, lineLen + 1, __FILE__, __LINE__));
  memcpy(copy, buf, lineLen);
  copy[lineLen] = '\0';
  DictLL_ParseLine(copy, name, value);
  *line = copy;
  return nl == nullptr ? buf + bufSize : nl + 1;
}

bool DictLL_MarshalLine(DynBuf *output, const char *name, const char *value) {
  if (name == nullptr) {
    return DynBuf_Append(output, value, strlen(value)) && DynBuf_Append(output, "\n", 1);
  }
  size_t escapedLen = 0;
  char *escaped = nullptr;
  if (value != nullptr && *value != '\0') {
    escaped = static_cast<char *>(
        Escape_Do("|", kEscapedOnWrite.bytes, value, strlen(value), &escapedLen));
    if (escaped == nullptr) {
      return false;
    }
  }
  size_t before = output->size;
  bool ok = DynBuf_Append(output, name, strlen(name)) && DynBuf_Append(output, " = \"", 4) &&
            DynBuf_Append(output, escaped, escapedLen) && DynBuf_Append(output, "\"\n", 2);
  free(escaped);
  if (!ok) {
    DynBuf_SetSize(output, before);
  }
  return ok;
}

int DictLL_ReadLine(FILE *stream, char **line, char **name, char **value) {
  *line = nullptr;
  *name = nullptr;
  *value = nullptr;
  DynBuf b;
  DynBuf_Init(&b);
  bool any = false;
  bool failed = false;
  flockfile(stream);
  for (;;) {
    int c = getc_unlocked(stream);
    if (c == EOF) {
      failed = ferror_unlocked(stream) != 0;
      break;
    }
    any = true;
    if (c == '\n') {
      break;
    }
    if (c == '\r') {
      int next = getc_unlocked(stream);
      if (next != '\n' && next != EOF) {
        ungetc(next, stream);
      }
      break;
    }
    if (b.size == b.allocated && !DynBuf_Enlarge(&b, b.size + 1)) {
      failed = true;
      errno = ENOMEM;
      break;
    }
    b.data[b.size++] = static_cast<char>(c);
  }
  funlockfile(stream);
  if (failed) {
    int savedErrno = errno;
    DynBuf_Destroy(&b);
    errno = savedErrno;
    return 0;
  }
  if (!any) {
    DynBuf_Destroy(&b);
    return 1;
  }
  if (!DynBuf_Append(&b, "", 1)) {
    Panic("MEM_ALLOC %s:%d\n", __FILE__, __LINE__);
  }
  *line = static_cast<char *>(DynBuf_Detach(&b));
  DictLL_ParseLine(*line, name, value);
  return 2;
}

bool DictLL_WriteLine(FILE *stream, const char *name, const char *value) {
  DynBuf b;
  DynBuf_Init(&b);
  if (!DictLL_MarshalLine(&b, name, value)) {
    DynBuf_Destroy(&b);
    errno = ENOMEM;
    return false;
  }
  bool ok = fwrite(b.data, 1, b.size, stream) == b.size;
  int savedErrno = errno;
  DynBuf_Destroy(&b);
  errno = savedErrno;
  return ok;
}

bool DictLL_ReadUTF8BOM(FILE *stream) {
  if (stream == stdin) {
    return false;
  }
  static constexpr unsigned char kBom[3] = {0xEF, 0xBB, 0xBF};
  off_t start = ftello(stream);
  unsigned char got[3];
  size_t n = 0;
  while (n < 3) {
    int c = getc(stream);
    if (c == EOF) {
      break;
    }
    got[n++] = static_cast<unsigned char>(c);
    if (got[n - 1] != kBom[n - 1]) {
      break;
    }
  }
  if (n == 3 && memcmp(got, kBom, 3) == 0) {
    return true;
  }
  clearerr(stream);
  if (start < 0 || fseeko(stream, start, SEEK_SET) != 0) {
    // Not seekable: push back what we can (one byte is guaranteed).
    while (n > 0) {
      ungetc(got[--n], stream);
    }
  }
  return false;
}

}  // extern "C"
