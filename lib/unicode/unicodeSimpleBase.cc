// Conversions of Unicode strings at the borders.
//
// Invalid bytes handed to Unicode_AllocWithLength become U+FFFD like any
// lenient conversion; the process ends only when the encoding itself cannot
// be converted from.
//
// UTF-8, US-ASCII and ISO-8859-1 are handled here directly, since they are
// what configuration files hold and they need no converter; every other
// encoding goes through CodeSet_GenericToGeneric.

#include <brellis/codeset.h>
#include <brellis/escape.h>
#include <brellis/internal/strictUtf8.h>
#include <brellis/log.h>
#include <brellis/panic.h>
#include <brellis/unicode.h>
#include <brellis/util.h>

#include "unicodeTableInt.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using brellis::unicode::UnitWidth;

size_t LengthInBytes(const void *buffer, ptrdiff_t length, int encoding) {
  if (length >= 0) {
    return static_cast<size_t>(length);
  }
  size_t width = UnitWidth(encoding);
  const auto *p = static_cast<const unsigned char *>(buffer);
  size_t n = 0;
  for (;;) {
    bool zero = true;
    for (size_t i = 0; i < width; i++) {
      zero = zero && p[n + i] == 0;
    }
    if (zero) {
      return n;
    }
    n += width;
  }
}

// Strict UTF-8 as the converters see it: no surrogates either.
bool ValidUtf8(const char *s, size_t len) {
  return brellis::IsStrictUtf8(s, len);
}

bool ValidAscii(const char *s, size_t len) {
  for (size_t i = 0; i < len; i++) {
    if (static_cast<unsigned char>(s[i]) >= 0x80) {
      return false;
    }
  }
  return true;
}

char *Latin1ToUtf8(const char *s, size_t len) {
  auto *out = static_cast<char *>(Util_SafeMalloc(-1, len * 2 + 1, __FILE__, __LINE__));
  size_t o = 0;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      out[o++] = static_cast<char>(c);
    } else {
      out[o++] = static_cast<char>(0xC0 | c >> 6);
      out[o++] = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  out[o] = '\0';
  return out;
}

// NULL when some code point is above U+00FF.
char *Utf8ToLatin1(const char *s, size_t len, size_t *retLength) {
  auto *out = static_cast<char *>(Util_SafeMalloc(-1, len + 4, __FILE__, __LINE__));
  const char *end = s + len;
  size_t o = 0;
  while (s < end) {
    uint32_t c;
    int n = CodeSet_GetUtf8(s, end, &c);
    if (n == 0 || c > 0xFF) {
      free(out);
      return nullptr;
    }
    out[o++] = static_cast<char>(c);
    s += n;
  }
  memset(out + o, 0, 4);
  if (retLength != nullptr) {
    *retLength = o;
  }
  return out;
}

}  // namespace

extern "C" {

bool Unicode_IsBufferValid(const void *buffer, ptrdiff_t length, int encoding) {
  if (buffer == nullptr) {
    return true;
  }
  encoding = Unicode_ResolveEncoding(encoding);
  const auto *s = static_cast<const char *>(buffer);
  switch (encoding) {
    case STRING_ENCODING_US_ASCII:
      return ValidAscii(s, length < 0 ? strlen(s) : static_cast<size_t>(length));
    case STRING_ENCODING_UTF8:
      return ValidUtf8(s, LengthInBytes(buffer, length, encoding));
    case STRING_ENCODING_ISO_8859_1:
      return true;
    case STRING_ENCODING_UNKNOWN:
      return false;
    default:
      return CodeSet_Validate(buffer, LengthInBytes(buffer, length, encoding),
                              Unicode_EncodingEnumToName(encoding));
  }
}

char *Unicode_AllocWithLength(const void *buffer, ptrdiff_t length, int encoding) {
  if (buffer == nullptr) {
    return nullptr;
  }
  encoding = Unicode_ResolveEncoding(encoding);
  size_t len = LengthInBytes(buffer, length, encoding);
  const auto *s = static_cast<const char *>(buffer);
  char *result = nullptr;
  if (len == 0) {
    // Empty in every encoding, also one no converter here can open (the
    // validity check passes it for the same reason).
    result = static_cast<char *>(Util_SafeCalloc(-1, 1, 1, __FILE__, __LINE__));
  } else if ((encoding == STRING_ENCODING_UTF8 && ValidUtf8(s, len)) ||
      (encoding == STRING_ENCODING_US_ASCII && ValidAscii(s, len))) {
    // memchr keeps the copy inside the length even without a NUL there.
    const void *nul = memchr(s, '\0', len);
    size_t n = nul == nullptr ? len : static_cast<size_t>(static_cast<const char *>(nul) - s);
    result = static_cast<char *>(Util_SafeMalloc(-1, n + 1, __FILE__, __LINE__));
    memcpy(result, s, n);
    result[n] = '\0';
  } else if (encoding == STRING_ENCODING_ISO_8859_1) {
    result = Latin1ToUtf8(s, len);
  } else if (encoding >= 0) {
    if (!CodeSet_GenericToGeneric(Unicode_EncodingEnumToName(encoding), s, len, "UTF-8",
                                  CSGTG_TRANSLIT, &result, nullptr)) {
      result = nullptr;
    }
  }
  if (result == nullptr) {
    char *escaped = Unicode_EscapeBuffer(buffer, static_cast<ptrdiff_t>(len), encoding);
    Log_Info("%s: Couldn't convert invalid buffer [%s] from %s to Unicode.\n",
             "Unicode_AllocWithLength", escaped ? escaped : "(couldn't escape bytes)",
             encoding >= 0 ? Unicode_EncodingEnumToName(encoding) : "unknown");
    free(escaped);
    Panic("PANIC %s:%d\n", __FILE__, __LINE__);
  }
  return result;
}

char *Unicode_GetAllocBytes(const char *str, int encoding, ptrdiff_t lengthInBytes,
                            size_t *retLength) {
  if (str == nullptr) {
    return nullptr;
  }
  encoding = Unicode_ResolveEncoding(encoding);
  size_t len = lengthInBytes < 0 ? strlen(str) : static_cast<size_t>(lengthInBytes);
  switch (encoding) {
    case STRING_ENCODING_UTF8:
    case STRING_ENCODING_US_ASCII: {
      if (encoding == STRING_ENCODING_US_ASCII && !ValidAscii(str, len)) {
        return nullptr;
      }
      auto *out = static_cast<char *>(Util_SafeMalloc(-1, len + 1, __FILE__, __LINE__));
      memcpy(out, str, len);
      out[len] = '\0';
      if (retLength != nullptr) {
        *retLength = len;
      }
      return out;
    }
    case STRING_ENCODING_ISO_8859_1:
      return Utf8ToLatin1(str, len, retLength);
    case STRING_ENCODING_UTF16_LE: {
      char *out = nullptr;
      return CodeSet_Utf8ToUtf16le(str, len, &out, retLength) ? out : nullptr;
    }
    case STRING_ENCODING_UNKNOWN:
      return nullptr;
    default: {
      if (len == 0) {
        // Empty in every encoding, as on the way in.
        if (retLength != nullptr) {
          *retLength = 0;
        }
        return static_cast<char *>(Util_SafeCalloc(-1, 4, 1, __FILE__, __LINE__));
      }
      char *out = nullptr;
      if (!CodeSet_GenericToGeneric("UTF-8", str, len, Unicode_EncodingEnumToName(encoding), 0,
                                    &out, retLength)) {
        return nullptr;
      }
      return out;
    }
  }
}

char *Unicode_EscapeBuffer(const void *buffer, ptrdiff_t lengthInBytes, int encoding) {
  static const auto kEscapes = [] {
    struct Table {
      int bytes[256];
    } t{};
    for (int i = 0; i < 256; i++) {
      t.bytes[i] = i < 0x20 || i == '\\' || i >= 0x7F;
    }
    return t;
  }();
  size_t len = LengthInBytes(buffer, lengthInBytes, Unicode_ResolveEncoding(encoding));
  return static_cast<char *>(Escape_Do("\\x", kEscapes.bytes, buffer, len, nullptr));
}

char *Unicode_Duplicate(const char *str) {
  return Util_SafeStrdup(-1, str, __FILE__, __LINE__);
}

void Unicode_Free(char *str) {
  free(str);
}

}  // extern "C"
