// Whether the vector routes are built. SSE2 is part of every x86-64 processor, so they need no
// check at run time. Building with QUOREL_WORDS_ONLY keeps to the 64-bit word routes that other
// processors use, so that those can be tested on x86-64 too.
#pragma once

#if defined(__SSE2__) && !defined(QUOREL_WORDS_ONLY)
#define QUOREL_VECTORS 1
#define QUOREL_ROUTES "vectors"
#include <emmintrin.h>
#else
#define QUOREL_VECTORS 0
#define QUOREL_ROUTES "words"
#endif
