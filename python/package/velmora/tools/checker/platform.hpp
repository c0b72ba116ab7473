// The platform beneath the module: the C API and the two inlining marks the
// hot paths use.
//
// Rules: included first, before any other header of the module (each of
// them includes it first: the C API must come before the standard headers);
// nothing here defines code. Each header includes the standard and system
// headers it uses itself. TC_NOINLINE keeps a function a call of its own
// (the joins, the rarely taken paths of the value forms), TC_INLINE keeps a
// short helper in its callers. Neither changes what a function does.

#ifndef TESSADYN_CHECKER_PLATFORM_HPP
#define TESSADYN_CHECKER_PLATFORM_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

#endif  // TESSADYN_CHECKER_PLATFORM_HPP
