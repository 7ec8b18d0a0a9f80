// Conversions between named encodings on the platform's iconv.

#include <brellis/codeset.h>
#include <brellis/dynbuf.h>
#include <brellis/str.h>

#include <iconv.h>
#include <langinfo.h>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>

namespace {

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

}  // namespace

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

bool CodeSet_GenericToGeneric(const char *codeIn, const void *bufIn, size_t sizeIn,
                              const char *codeOut, unsigned int flags, char **bufOut,
                              size_t *sizeOut) {
  iconv_t cd = reinterpret_cast<iconv_t>(-1);
  if (flags != 0) {
    char *translit = Str_Asprintf(nullptr, "%s//TRANSLIT", codeOut);
    if (translit != nullptr) {
      cd = iconv_open(translit, codeIn);
      free(translit);
    }
  }
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    cd = iconv_open(codeOut, codeIn);
  }
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    return false;
  }
  DynBuf b;
  DynBuf_Init(&b);
  char *in = const_cast<char *>(static_cast<const char *>(bufIn));
  size_t left = sizeIn;
  bool ok = true;
  for (;;) {
    if (!DynBuf_Enlarge(&b, b.size + (left > 16 ? left : 16) + 4)) {
      ok = false;
      break;
    }
    char *out = b.data + b.size;
    size_t room = b.allocated - b.size - 4;
    size_t before = room;
    size_t status = iconv(cd, &in, &left, &out, &room);
    int err = errno;
    DynBuf_SetSize(&b, b.size + (before - room));
    if (status != static_cast<size_t>(-1)) {
      // Flush any shift state the target encoding keeps.
      if (!DynBuf_Enlarge(&b, b.size + 36)) {
        ok = false;
        break;
      }
      out = b.data + b.size;
      room = b.allocated - b.size - 4;
      before = room;
      iconv(cd, nullptr, nullptr, &out, &room);
      DynBuf_SetSize(&b, b.size + (before - room));
      break;
    }
    if (err == E2BIG || before != room) {
      continue;
    }
    if (err == EILSEQ && flags != 0) {
      break;
    }
    ok = false;
    break;
  }
  if (iconv_close(cd) != 0) {
    ok = false;
  }
  if (!ok || !DynBuf_Append(&b, "\0\0\0\0", 4)) {
    DynBuf_Destroy(&b);
    return false;
  }
  size_t len = b.size - 4;
  DynBuf_Trim(&b);
  *bufOut = static_cast<char *>(DynBuf_Detach(&b));
  if (sizeOut != nullptr) {
    *sizeOut = len;
  }
  return true;
}

bool CodeSet_Validate(const void *buf, size_t size, const char *code) {
  if (size == 0) {
    return true;
  }
  char *out = nullptr;
  if (!CodeSet_GenericToGeneric(code, buf, size, "UTF-8", 0, &out, nullptr)) {
    return false;
  }
  free(out);
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
