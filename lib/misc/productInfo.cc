// The product's identity. The version comes from the build, so that a
// release cannot show a number other than the one it was made as.

#include <brellis/internal/productInfo.h>

#ifndef BRELLIS_PRODUCT_VERSION
#define BRELLIS_PRODUCT_VERSION "XXX"
#endif

const char *ProductInfoName() {
  return "brellis-tarnwell";
}

const char *ProductInfoVersion() {
  return BRELLIS_PRODUCT_VERSION;
}
