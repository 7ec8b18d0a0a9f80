// The conversion engine on the platform's iconv.
//
// Strict conversions are one pass. Lenient ones run in two passes through
// UTF-8 so that every substitution happens at a known character boundary:
// the source is decoded with U+FFFD for each unit that does not decode, and
// the result is encoded with the target's transliteration where it has one,
// else U+FFFD, else "?", for each character the target cannot hold. Nothing
// is dropped silently and the conversion never stops early.

#include <brellis/codeset.h>
#include <brellis/str.h>

#include <iconv.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "codesetInt.h"

namespace brellis::codeset {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

class Iconv {
 public:
  Iconv(const char *to, const char *from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv &) = delete;
  Iconv &operator=(const Iconv &) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// Code units of the source, for skipping one that does not decode.
size_t SourceUnit(const char *name) {
  std::string_view n(name);
  auto has = [&](std::string_view part) {
    return n.size() >= part.size() && strncasecmp(n.data(), part.data(), part.size()) == 0;
  };
  if (has("UTF-16") || has("UCS-2") || has("ISO-10646-UCS-2")) return 2;
  if (has("UTF-32") || has("UCS-4") || has("ISO-10646-UCS-4")) return 4;
  return 1;
}

// Runs in[0..*left) through cd into out. Returns 0 when all input went
// through, else the errno of the unit that stopped it (EILSEQ, EINVAL or
// another error); *in and *left then point at that unit.
int Pump(iconv_t cd, const char **in, size_t *left, DynBuf *out) {
  size_t want = *left + 16;
  while (*left > 0) {
    if (!Reserve(out, want)) return ENOMEM;
    char *dst = out->data + out->size;
    size_t room = out->allocated - out->size;
    size_t before = room;
    char *src = const_cast<char *>(*in);
    size_t status = iconv(cd, &src, left, &dst, &room);
    int err = errno;
    *in = src;
    DynBuf_SetSize(out, out->size + (before - room));
    if (status != static_cast<size_t>(-1)) return 0;
    if (err != E2BIG) return err;
    // One output unit may not fit in what is free (a long transliteration):
    // ask for twice as much each time nothing came out.
    want = before == room ? (out->allocated - out->size) * 2 + 16 : *left + 16;
  }
  return 0;
}

// Brings a stateful target back to its initial state (ISO-2022-JP's
// ESC ( B, say), so that the output stands on its own.
bool Flush(iconv_t cd, DynBuf *out) {
  for (size_t room = 16;; room *= 2) {
    if (!Reserve(out, room)) return false;
    char *dst = out->data + out->size;
    size_t free = out->allocated - out->size;
    size_t before = free;
    if (iconv(cd, nullptr, nullptr, &dst, &free) != static_cast<size_t>(-1)) {
      DynBuf_SetSize(out, out->size + (before - free));
      return true;
    }
    if (errno != E2BIG) return false;
  }
}

bool Strict(const char *codeIn, const char *bufIn, size_t sizeIn, const char *codeOut,
            DynBuf *out) {
  Iconv cd(codeOut, codeIn);
  if (!cd.ok()) return false;
  return Pump(cd.get(), &bufIn, &sizeIn, out) == 0 && Flush(cd.get(), out);
}

// The bytes at p that start a well-formed UTF-8 sequence but do not finish
// it (at least one): one U+FFFD stands for all of them, as Unicode
// recommends, so "E2 82 41" gives U+FFFD "A" and a surrogate's "ED A0 80"
// gives three.
size_t MaximalSubpart(const unsigned char *p, size_t left) {
  unsigned lead = p[0];
  int need;
  unsigned lo = 0x80;
  unsigned hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    lo = lead == 0xE0 ? 0xA0 : 0x80;
    hi = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    lo = lead == 0xF0 ? 0x90 : 0x80;
    hi = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 1;
  }
  size_t n = 1;
  for (int i = 0; i < need && n < left && p[n] >= lo && p[n] <= hi; i++) {
    n++;
    lo = 0x80;
    hi = 0xBF;
  }
  return n;
}

// Source to UTF-8, U+FFFD for each unit that does not decode.
bool DecodeLeniently(const char *codeIn, const char *in, size_t left, DynBuf *out) {
  if (IsUtf8Name(codeIn)) {
    const char *end = in + left;
    while (in < end) {
      uint32_t c;
      int n = CodeSet_GetUtf8(in, end, &c);
      if (n > 0 && !(c >= 0xD800 && c <= 0xDFFF)) {
        if (!DynBuf_Append(out, in, static_cast<size_t>(n))) return false;
        in += n;
      } else {
        if (!DynBuf_Append(out, kReplacement, 3)) return false;
        in += MaximalSubpart(reinterpret_cast<const unsigned char *>(in),
                             static_cast<size_t>(end - in));
      }
    }
    return true;
  }
  Iconv cd("UTF-8", codeIn);
  if (!cd.ok()) return false;
  size_t unit = SourceUnit(codeIn);
  for (;;) {
    int err = Pump(cd.get(), &in, &left, out);
    if (err == 0) return true;
    if (err != EILSEQ && err != EINVAL) return false;
    if (!DynBuf_Append(out, kReplacement, 3)) return false;
    size_t skip = left < unit ? left : unit;
    in += skip;
    left -= skip;
  }
}

// UTF-8 (already clean) to the target, substituting per character.
bool EncodeLeniently(const char *in, size_t left, const char *codeOut, DynBuf *out) {
  char *translit = Str_Asprintf(nullptr, "%s//TRANSLIT", codeOut);
  Iconv withTranslit(translit != nullptr ? translit : codeOut, "UTF-8");
  free(translit);
  Iconv plain(codeOut, "UTF-8");
  iconv_t cd = withTranslit.ok() ? withTranslit.get() : plain.get();
  if (!withTranslit.ok() && !plain.ok()) return false;
  const char *end = in + left;
  for (;;) {
    int err = Pump(cd, &in, &left, out);
    if (err == 0) break;
    if (err != EILSEQ && err != EINVAL) return false;
    // The substitute goes through the same converter so that a stateful
    // target stays in step.
    const char *sub = kReplacement;
    size_t subLeft = 3;
    if (Pump(cd, &sub, &subLeft, out) != 0) {
      sub = "?";
      subLeft = 1;
      if (Pump(cd, &sub, &subLeft, out) != 0) return false;
    }
    int n = CodeSet_GetUtf8(in, end, nullptr);
    size_t skip = n > 0 ? static_cast<size_t>(n) : 1;
    in += skip;
    left -= skip;
  }
  return Flush(cd, out);
}

}  // namespace

bool IconvConvert(const char *codeIn, const char *bufIn, size_t sizeIn, const char *codeOut,
                  unsigned int flags, DynBuf *out) {
  if (flags == 0) {
    // glibc lets overlong and out-of-range forms through from UTF-8.
    if (IsUtf8Name(codeIn) && !IsStrictUtf8(bufIn, sizeIn)) return false;
    return Strict(codeIn, bufIn, sizeIn, codeOut, out);
  }
  DynBuf utf8;
  DynBuf_Init(&utf8);
  bool ok = DecodeLeniently(codeIn, bufIn, sizeIn, &utf8);
  if (ok) {
    if (IsUtf8Name(codeOut)) {
      ok = DynBuf_Append(out, utf8.data, utf8.size);
    } else {
      ok = EncodeLeniently(utf8.data, utf8.size, codeOut, out);
    }
  }
  DynBuf_Destroy(&utf8);
  return ok;
}

}  // namespace brellis::codeset
