// Why this header exists: the log names the product in its header block,
// and the message layer in front of every console post and in the panic
// message; both must show the same name and version, so they come from one
// place. Internal to the library; not installed.
#ifndef BRELLIS_INTERNAL_PRODUCTINFO_H
#define BRELLIS_INTERNAL_PRODUCTINFO_H

// The product's name, "brellis-tarnwell". Static storage.
const char *ProductInfoName();

// The product's version as the build states it ("XXX" for a build that
// states none). Static storage.
const char *ProductInfoVersion();

#endif
