// The code-set layer: the current character set, the engine choice, and the
// conversions between UTF-8, UTF-16LE and code-point arrays that need no
// engine.

#include <brellis/codeset.h>
#include <brellis/dynbuf.h>
#include <brellis/str.h>

#include "codesetInt.h"

#include <langinfo.h>
#include <sys/stat.h>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>

namespace {

using namespace brellis::codeset;

const char *LocaleCodeSet() {
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) {
    loc = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
  }
  if (loc == static_cast<locale_t>(nullptr)) {
    return strdup("ANSI_X3.4-1968");
  }
  char *name = strdup(nl_langinfo_l(CODESET, loc));
  freelocale(loc);
  return name;
}

const char *ComputeCodeSet() {
  const char *env = getenv("G_FILENAME_ENCODING");
  if (env != nullptr && *env != '\0') {
    const char *comma = strchr(env, ',');
    char *first = comma == nullptr ? strdup(env) : strndup(env, static_cast<size_t>(comma - env));
    if (first != nullptr && strcmp(first, "@locale") == 0) {
      free(first);
      return LocaleCodeSet();
    }
    return first;
  }
  if (getenv("G_BROKEN_FILENAMES") != nullptr) {
    return LocaleCodeSet();
  }
  return "UTF-8";
}

constexpr const char *kIcuDir = "/etc/brellis/icu";

// The iconv engine until CodeSet_Init finds ICU.
std::atomic<bool> dontUseIcu{true};

// Appends the four zero bytes that terminate a result for any unit width.
bool Finish(DynBuf *b, char **bufOut, size_t *sizeOut) {
  size_t len = b->size;
  if (!DynBuf_Append(b, "\0\0\0\0", 4)) {
    DynBuf_Destroy(b);
    return false;
  }
  DynBuf_Trim(b);
  *bufOut = static_cast<char *>(DynBuf_Detach(b));
  if (sizeOut != nullptr) {
    *sizeOut = len;
  }
  return true;
}

size_t EncodeUtf8(uint32_t c, char *out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | c >> 6);
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | c >> 12);
    out[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | c >> 18);
  out[1] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
  out[2] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

}  // namespace

namespace brellis::codeset {

bool Reserve(DynBuf *b, size_t room) {
  if (b->allocated - b->size >= room) {
    return true;
  }
  size_t want = b->size + room;
  size_t doubled = b->allocated * 2;
  return DynBuf_Enlarge(b, doubled > want ? doubled : want);
}

bool IsUtf8Name(const char *name) {
  const char *want = "utf8";
  for (const char *p = name; *p != '\0'; p++) {
    if (*p == '-' || *p == '_') {
      continue;
    }
    char lower = *p >= 'A' && *p <= 'Z' ? static_cast<char>(*p - 'A' + 'a') : *p;
    if (*want == '\0' || lower != *want) {
      return false;
    }
    want++;
  }
  return *want == '\0';
}

}  // namespace brellis::codeset

extern "C" {

const char *CodeSet_GetCurrentCodeSet(void) {
  static std::atomic<const char *> cached{nullptr};
  const char *name = cached.load(std::memory_order_acquire);
  if (name == nullptr) {
    // Concurrent first callers compute the same answer; the loser's copy is
    // kept too, which costs a few bytes once.
    name = ComputeCodeSet();
    if (name == nullptr) {
      name = "UTF-8";
    }
    const char *expected = nullptr;
    if (!cached.compare_exchange_strong(expected, name)) {
      name = expected;
    }
  }
  return name;
}

bool CodeSet_Init(const char *icuDataDir) {
  // The data file's name is the one the ICU data of this layer has always
  // had; a system ICU carries its data built in and needs no file.
  char *path =
      Str_Asprintf(nullptr, "%s/%s", icuDataDir != nullptr ? icuDataDir : kIcuDir, "icudt44l.dat");
  struct stat st;
  bool found = path != nullptr && stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
  free(path);
#ifdef BRELLIS_HAVE_ICU
  if (found) {
    IcuSetDataDirectory(icuDataDir != nullptr ? icuDataDir : kIcuDir);
    dontUseIcu.store(false);
  } else if (icuDataDir == nullptr) {
    IcuSetDataDirectory(nullptr);
    dontUseIcu.store(false);
  } else {
    dontUseIcu.store(true);
  }
#else
  (void)found;
  dontUseIcu.store(true);
#endif
  return true;
}

bool CodeSet_GenericToGeneric(const char *codeIn, const void *bufIn, size_t sizeIn,
                              const char *codeOut, unsigned int flags, char **bufOut,
                              size_t *sizeOut) {
  DynBuf b;
  DynBuf_Init(&b);
  const auto *in = static_cast<const char *>(bufIn);
  bool ok;
#ifdef BRELLIS_HAVE_ICU
  if (!dontUseIcu.load()) {
    ok = IcuConvert(codeIn, in, in == nullptr ? 0 : sizeIn, codeOut, flags, &b);
  } else
#endif
  {
    ok = IconvConvert(codeIn, in, in == nullptr ? 0 : sizeIn, codeOut, flags, &b);
  }
  if (!ok) {
    DynBuf_Destroy(&b);
    return false;
  }
  return Finish(&b, bufOut, sizeOut);
}

bool CodeSet_Validate(const void *buf, size_t size, const char *code) {
  if (size == 0) {
    return true;
  }
  const auto *in = static_cast<const char *>(buf);
#ifdef BRELLIS_HAVE_ICU
  if (!dontUseIcu.load()) {
    return IcuValidate(in, size, code);
  }
#endif
  if (IsUtf8Name(code)) {
    return IsStrictUtf8(in, size);
  }
  char *out = nullptr;
  if (!CodeSet_GenericToGeneric(code, buf, size, "UTF-8", 0, &out, nullptr)) {
    return false;
  }
  free(out);
  return true;
}

bool CodeSet_Utf8ToUtf16le(const char *bufIn, size_t sizeIn, char **bufOut, size_t *sizeOut) {
  DynBuf b;
  DynBuf_Init(&b);
  const char *end = bufIn + sizeIn;
  for (const char *p = bufIn; p < end;) {
    uint32_t c;
    int n = CodeSet_GetUtf8(p, end, &c);
    if (n == 0 || (c >= 0xD800 && c <= 0xDFFF)) {
      DynBuf_Destroy(&b);
      return false;
    }
    p += n;
    uint16_t units[2];
    size_t count = 1;
    if (c >= 0x10000) {
      units[0] = static_cast<uint16_t>(0xD800 + ((c - 0x10000) >> 10));
      units[1] = static_cast<uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      count = 2;
    } else {
      units[0] = static_cast<uint16_t>(c);
    }
    for (size_t i = 0; i < count; i++) {
      unsigned char le[2] = {static_cast<unsigned char>(units[i]),
                             static_cast<unsigned char>(units[i] >> 8)};
      if (!DynBuf_Append(&b, le, 2)) {
        DynBuf_Destroy(&b);
        return false;
      }
    }
  }
  return Finish(&b, bufOut, sizeOut);
}

bool CodeSet_Utf16leToUtf8(const char *bufIn, size_t sizeIn, char **bufOut, size_t *sizeOut) {
  if (sizeIn % 2 != 0) {
    return false;
  }
  DynBuf b;
  DynBuf_Init(&b);
  const auto *in = reinterpret_cast<const unsigned char *>(bufIn);
  size_t units = sizeIn / 2;
  for (size_t i = 0; i < units; i++) {
    uint32_t c = in[2 * i] | in[2 * i + 1] << 8;
    if (c >= 0xDC00 && c <= 0xDFFF) {
      DynBuf_Destroy(&b);
      return false;
    }
    if (c >= 0xD800 && c <= 0xDBFF) {
      uint32_t low = i + 1 < units ? (in[2 * i + 2] | in[2 * i + 3] << 8) : 0;
      if (low < 0xDC00 || low > 0xDFFF) {
        DynBuf_Destroy(&b);
        return false;
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      i++;
    }
    char enc[4];
    if (!DynBuf_Append(&b, enc, EncodeUtf8(c, enc))) {
      DynBuf_Destroy(&b);
      return false;
    }
  }
  return Finish(&b, bufOut, sizeOut);
}

bool CodeSet_Utf8ToUtf32(const char *utf8, uint32_t **utf32) {
  if (utf8 == nullptr) {
    *utf32 = nullptr;
    return true;
  }
  size_t len = strlen(utf8);
  auto *out = static_cast<uint32_t *>(malloc((len + 1) * sizeof(uint32_t)));
  if (out == nullptr) {
    return false;
  }
  const char *end = utf8 + len;
  size_t n = 0;
  for (const char *p = utf8; p < end;) {
    int l = CodeSet_GetUtf8(p, end, &out[n]);
    if (l == 0) {
      free(out);
      *utf32 = nullptr;
      return false;
    }
    p += l;
    n++;
  }
  out[n] = 0;
  *utf32 = out;
  return true;
}

bool CodeSet_Utf32ToUtf8(const uint32_t *utf32, char **utf8) {
  if (utf32 == nullptr) {
    *utf8 = nullptr;
    return true;
  }
  DynBuf b;
  DynBuf_Init(&b);
  for (const uint32_t *p = utf32; *p != 0; p++) {
    char enc[4];
    if (*p > 0x10FFFF || !DynBuf_Append(&b, enc, EncodeUtf8(*p, enc))) {
      DynBuf_Destroy(&b);
      *utf8 = nullptr;
      return false;
    }
  }
  if (!DynBuf_Append(&b, "", 1)) {
    DynBuf_Destroy(&b);
    return false;
  }
  DynBuf_Trim(&b);
  *utf8 = static_cast<char *>(DynBuf_Detach(&b));
  return true;
}

int CodeSet_GetUtf8(const char *string, const char *end, uint32_t *uchar) {
  const auto *p = reinterpret_cast<const unsigned char *>(string);
  const auto *e = reinterpret_cast<const unsigned char *>(end);
  if (p >= e) {
    return 0;
  }
  uint32_t c = *p;
  int len;
  uint32_t min;
  if (c < 0x80) {
    if (uchar != nullptr) *uchar = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    c &= 0x1F;
    min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    c &= 0x0F;
    min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    c &= 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (e - p < len) {
    return 0;
  }
  for (int i = 1; i < len; i++) {
    if ((p[i] & 0xC0) != 0x80) {
      return 0;
    }
    c = c << 6 | (p[i] & 0x3F);
  }
  if (c < min || c > 0x10FFFF) {
    return 0;
  }
  if (uchar != nullptr) *uchar = c;
  return len;
}

int CodeSet_LengthInCodePoints(const char *utf8) {
  const char *end = utf8 + strlen(utf8);
  int n = 0;
  for (const char *p = utf8; p < end; n++) {
    int len = CodeSet_GetUtf8(p, end, nullptr);
    if (len == 0) {
      return -1;
    }
    p += len;
  }
  return n;
}

}  // extern "C"
