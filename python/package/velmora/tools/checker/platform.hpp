// The platform beneath the module: the C API, the standard headers and the
// operating system's (the stack bounds of stack.hpp), and the two inlining
// marks the hot paths use.
//
// Rules: included first, before any other header of the module; nothing
// here defines code. TC_NOINLINE keeps a function a call of its own (the
// joins, the rarely taken paths of the value forms), TC_INLINE keeps a short
// helper in its callers. Neither changes what a function does.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <tuple>
#include <utility>
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#endif

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <intrin.h>
#elif defined(__linux__) || defined(__APPLE__) || defined(__FreeBSD__)
#include <pthread.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif
#endif

// Keeps a function out of its callers: the join is one call per text, and
// inlined into a caller with constant spans it draws GCC's array-bounds
// warning on branches that cannot run for them.
#if defined(_MSC_VER)
#define TC_NOINLINE __declspec(noinline)
#elif defined(__GNUC__)
#define TC_NOINLINE __attribute__((noinline))
#else
#define TC_NOINLINE
#endif

// Keeps a short helper in its callers, where the compiler would call it:
// the copies of a text's pieces, a few instructions each.
#if defined(_MSC_VER)
#define TC_INLINE __forceinline
#elif defined(__GNUC__)
#define TC_INLINE inline __attribute__((always_inline))
#else
#define TC_INLINE inline
#endif
