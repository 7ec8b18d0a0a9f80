// The conversion engine on ICU's converters, for builds that have ICU.
//
// Once selected it answers for every conversion, with ICU's own verdicts:
// its substitute characters, its validity rules and its byte-order marks.

#ifdef BRELLIS_HAVE_ICU

#include <brellis/panic.h>

#include <unicode/putil.h>
#include <unicode/ucnv.h>
#include <memory>

#include "codesetInt.h"

namespace brellis::codeset {
namespace {

struct CloseConverter {
  void operator()(UConverter *c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, CloseConverter>;

Converter Open(const char *name) {
  UErrorCode err = U_ZERO_ERROR;
  Converter c(ucnv_open(name, &err));
  if (U_FAILURE(err)) c.reset();
  return c;
}

}  // namespace

void IcuSetDataDirectory(const char *dataDir) {
  u_setDataDirectory(dataDir);
}

bool IcuConvert(const char *codeIn, const char *bufIn, size_t sizeIn, const char *codeOut,
                unsigned int flags, DynBuf *out) {
  UConverterToUCallback toU;
  UConverterFromUCallback fromU;
  switch (flags) {
    case 0:
      toU = UCNV_TO_U_CALLBACK_STOP;
      fromU = UCNV_FROM_U_CALLBACK_STOP;
      break;
    case 1:
      toU = UCNV_TO_U_CALLBACK_SUBSTITUTE;
      fromU = UCNV_FROM_U_CALLBACK_SUBSTITUTE;
      break;
    case 2:
      toU = UCNV_TO_U_CALLBACK_SKIP;
      fromU = UCNV_FROM_U_CALLBACK_SKIP;
      break;
    default:
      Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
  }
  Converter source = Open(codeIn);
  Converter target = Open(codeOut);
  if (source == nullptr || target == nullptr) return false;
  if (sizeIn == 0) return true;
  UErrorCode err = U_ZERO_ERROR;
  ucnv_setToUCallBack(source.get(), toU, nullptr, nullptr, nullptr, &err);
  ucnv_setFromUCallBack(target.get(), fromU, nullptr, nullptr, nullptr, &err);
  if (U_FAILURE(err)) return false;

  // The pivot lives across calls so that a call cut short by a full output
  // buffer resumes with the UTF-16 it had already decoded.
  UChar pivot[1024];
  UChar *pivotSource = pivot;
  UChar *pivotTarget = pivot;
  const char *in = bufIn;
  const char *inEnd = bufIn + sizeIn;
  bool reset = true;
  if (!Reserve(out, sizeIn + 4)) return false;
  for (;;) {
    char *dst = out->data + out->size;
    char *dstStart = dst;
    err = U_ZERO_ERROR;
    ucnv_convertEx(target.get(), source.get(), &dst, out->data + out->allocated, &in, inEnd, pivot,
                   &pivotSource, &pivotTarget, pivot + 1024, reset, true, &err);
    reset = false;
    DynBuf_SetSize(out, out->size + static_cast<size_t>(dst - dstStart));
    if (err == U_BUFFER_OVERFLOW_ERROR) {
      if (!Reserve(out, out->allocated)) return false;  // doubles
      continue;
    }
    return U_SUCCESS(err);
  }
}

bool IcuValidate(const char *buf, size_t size, const char *code) {
  Converter c = Open(code);
  if (c == nullptr) return false;
  UErrorCode err = U_ZERO_ERROR;
  ucnv_setToUCallBack(c.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
  if (U_FAILURE(err)) return false;
  // Measuring into no buffer: valid input overflows it; input that decodes
  // to nothing (a lone byte-order mark) succeeds outright.
  ucnv_toUChars(c.get(), nullptr, 0, buf, static_cast<int32_t>(size), &err);
  return err == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(err);
}

}  // namespace brellis::codeset

#endif  // BRELLIS_HAVE_ICU
