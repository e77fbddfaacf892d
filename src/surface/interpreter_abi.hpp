// The interpreter's configuration header describes the platform it was built
// for. A cross build that found another architecture's (a 64-bit one for a
// 32-bit target, a little-endian one for s390x) would compile, load, and then
// misread every object the interpreter hands over: it stops here instead.
#pragma once

#include <Python.h>

#include <cstddef>

static_assert(SIZEOF_VOID_P == sizeof(void*), "pyconfig.h is another architecture's: pointer size");
static_assert(SIZEOF_SIZE_T == sizeof(std::size_t), "pyconfig.h is another architecture's: size_t");
static_assert(SIZEOF_LONG == sizeof(long), "pyconfig.h is another architecture's: long");
#if defined(WORDS_BIGENDIAN) != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
#error "pyconfig.h is another architecture's: byte order"
#endif
