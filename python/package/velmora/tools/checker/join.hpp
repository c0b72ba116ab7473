// Joins: a report text made of spans with one allocation, each character
// copied once (join(), join_sized()). Spans that are not exact strings go to
// join_foreign(): the characters of a str subclass, or the TypeError of `+`
// on anything else.
//
// Rules: the join reads the spans during the call only. Joining runs nobody's
// code for exact strings; a text with a foreign span is joined only where
// its owner's __add__/__radd__ could not run (callers that must honour them
// use Sum, sum.hpp).

#ifndef TESSADYN_CHECKER_JOIN_HPP
#define TESSADYN_CHECKER_JOIN_HPP

#include "platform.hpp"
#include "refs.hpp"
#include "spans.hpp"

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#endif

namespace {

// Copies a short run of bytes with a few unaligned word moves; longer runs
// go to memcpy. Report pieces are mostly a few to twenty characters, where a
// call of memcpy costs more than the copy.
TC_INLINE void copy_bytes(char* to, const char* from, size_t n)
{
    if (n <= 8) {
        if (n >= 4) {
            uint32_t head, tail;
            std::memcpy(&head, from, 4);
            std::memcpy(&tail, from + n - 4, 4);
            std::memcpy(to, &head, 4);
            std::memcpy(to + n - 4, &tail, 4);
        }
        else if (n > 0) {
            to[0] = from[0];
            to[n / 2] = from[n / 2];
            to[n - 1] = from[n - 1];
        }
    }
    else if (n <= 16) {
        uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + n - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + n - 8, &tail, 8);
    }
    else if (n <= 32) {
        char head[16], tail[16];
        std::memcpy(head, from, 16);
        std::memcpy(tail, from + n - 16, 16);
        std::memcpy(to, head, 16);
        std::memcpy(to + n - 16, tail, 16);
    }
    else {
        std::memcpy(to, from, n);
    }
}

// Copies `length` characters into a string of another kind.
template <class From, class To>
void convert(const void* from, void* to, Py_ssize_t length)
{
    const From* __restrict source = static_cast<const From*>(from);
    To* __restrict target = static_cast<To*>(to);
    for (Py_ssize_t i = 0; i < length; ++i) {
        target[i] = static_cast<To>(source[i]);
    }
}

// One-byte to two-byte characters, the widening of most non-ASCII texts
// (ASCII literals and values beside a character beyond Latin-1): eight at a
// time where SSE2 is there.
TC_INLINE void widen_1_2(const void* from, void* to, Py_ssize_t length)
{
    const Py_UCS1* source = static_cast<const Py_UCS1*>(from);
    Py_UCS2* target = static_cast<Py_UCS2*>(to);
    Py_ssize_t i = 0;
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
    const __m128i zero = _mm_setzero_si128();
    auto widen8 = [&](Py_ssize_t at) {
        __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(source + at));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + at), _mm_unpacklo_epi8(bytes, zero));
    };
    auto widen4 = [&](Py_ssize_t at) {
        int32_t word;
        std::memcpy(&word, source + at, 4);
        __m128i wide = _mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(target + at), wide);
    };
    if (length >= 8) {
        for (; i + 8 <= length; i += 8) {
            widen8(i);
        }
        if (i < length) {
            widen8(length - 8);   // the last eight again, overlapping
        }
        return;
    }
    if (length >= 4) {
        widen4(0);
        widen4(length - 4);
        return;
    }
#endif
    for (; i < length; ++i) {
        target[i] = source[i];
    }
}

// Copies a span into the result, converting to the result's kind.
void copy_span(const Span& span, char* to, int kind)
{
    if (span.kind == kind) {
        copy_bytes(to, static_cast<const char*>(span.data),
                   static_cast<size_t>(span.length) * static_cast<size_t>(kind));
        return;
    }
    // Widening from a narrower kind, or narrowing a slice whose characters
    // fit a kind narrower than its string's.
    switch (span.kind * 4 + kind) {
    case PyUnicode_1BYTE_KIND * 4 + PyUnicode_2BYTE_KIND:
        return widen_1_2(span.data, to, span.length);
    case PyUnicode_1BYTE_KIND * 4 + PyUnicode_4BYTE_KIND:
        return convert<Py_UCS1, Py_UCS4>(span.data, to, span.length);
    case PyUnicode_2BYTE_KIND * 4 + PyUnicode_4BYTE_KIND:
        return convert<Py_UCS2, Py_UCS4>(span.data, to, span.length);
    case PyUnicode_2BYTE_KIND * 4 + PyUnicode_1BYTE_KIND:
        return convert<Py_UCS2, Py_UCS1>(span.data, to, span.length);
    case PyUnicode_4BYTE_KIND * 4 + PyUnicode_1BYTE_KIND:
        return convert<Py_UCS4, Py_UCS1>(span.data, to, span.length);
    default:
        return convert<Py_UCS4, Py_UCS2>(span.data, to, span.length);
    }
}

Ref join_foreign(const Span* spans, size_t count);

// The widest character and kind of a span lie side by side, so that the
// sizes of a text OR the two in one word per span.
struct SpanTags {
    Py_UCS4 maxchar;
    int kind;
};
static_assert(offsetof(Span, kind) == offsetof(Span, maxchar) + sizeof(Py_UCS4) &&
              sizeof(SpanTags) == sizeof(uint64_t));

inline uint64_t span_tags(const Span& span)
{
    uint64_t tags;
    std::memcpy(&tags, reinterpret_cast<const char*>(&span) + offsetof(Span, maxchar),
                sizeof tags);
    return tags;
}

// The sizes of the spans of one text: the sum of their lengths, an OR of
// their widest characters (which falls in the same kind as their maximum, the
// kinds' bounds being powers of two) and an OR of their kinds. Each length is
// at most the size of the address space, so the sum of the few spans of one
// text cannot wrap in 64 bits, also on 32-bit hosts.
struct Sizes {
    uint64_t length = 0;
    uint64_t tags = 0;   // the OR of the spans' SpanTags

    void add(const Span& span)
    {
        length += static_cast<uint64_t>(span.length);
        tags |= span_tags(span);
    }
    Py_UCS4 maxchar() const { return std::bit_cast<SpanTags>(tags).maxchar; }
    int kinds() const { return std::bit_cast<SpanTags>(tags).kind; }
};

// Joins spans of the given sizes into one new string with a single
// allocation, copying each character once. Against a join through
// _PyUnicodeWriter the one-allocation join took 15-23% fewer instructions per
// report text; with the sizes known up front and short copies done inline it
// takes about half of what it took then (callgrind: 1,449 -> ~560 per
// device text, the allocation included).
TC_NOINLINE Ref join_sized(const Span* spans, size_t count, const Sizes& sizes)
{
    if (sizes.maxchar() & kForeign) {
        return join_foreign(spans, count);
    }
    if (sizes.length > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return {};
    }
    // The OR may exceed the last code point where the kind is four bytes.
    Py_UCS4 maxchar = sizes.maxchar() > 0xffff ? 0x10ffff : sizes.maxchar();
    Ref result = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(sizes.length), maxchar));
    if (!result) {
        return {};
    }
    int kind = PyUnicode_KIND(result.get());
    char* data = static_cast<char*>(PyUnicode_DATA(result.get()));
    if (sizes.kinds() == PyUnicode_1BYTE_KIND) {
        // Every span and the result are one byte a character, as in most
        // texts: byte copies only.
        for (size_t i = 0; i < count; ++i) {
            size_t bytes = static_cast<size_t>(spans[i].length);
            copy_bytes(data, static_cast<const char*>(spans[i].data), bytes);
            data += bytes;
        }
        return result;
    }
    if (sizes.kinds() == kind) {
        for (size_t i = 0; i < count; ++i) {
            size_t bytes = static_cast<size_t>(spans[i].length) * static_cast<size_t>(kind);
            copy_bytes(data, static_cast<const char*>(spans[i].data), bytes);
            data += bytes;
        }
        return result;
    }
    for (size_t i = 0; i < count; ++i) {
        copy_span(spans[i], data, kind);
        data += spans[i].length * kind;
    }
    return result;
}

Ref join(const Span* spans, size_t count)
{
    Sizes sizes;
    for (size_t i = 0; i < count; ++i) {
        sizes.add(spans[i]);
    }
    return join_sized(spans, count, sizes);
}

// The join of texts with pieces that are not exact strings: string
// subclasses give their characters, anything else is the error of Python's
// `+` on strings.
Ref join_foreign(const Span* spans, size_t count)
{
    Span resolved[40];
    if (count > std::size(resolved)) {
        PyErr_SetString(PyExc_SystemError, "too many pieces in one text");
        return {};
    }
    for (size_t i = 0; i < count; ++i) {
        PyObject* piece = spans[i].foreign_object();
        if (piece == nullptr) {
            resolved[i] = spans[i];
            continue;
        }
        if (!PyUnicode_Check(piece)) {
            PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                         Py_TYPE(piece)->tp_name);
            return {};
        }
        resolved[i] = Span(PyUnicode_DATA(piece), PyUnicode_GET_LENGTH(piece),
                           PyUnicode_MAX_CHAR_VALUE(piece), PyUnicode_KIND(piece));
    }
    return join(resolved, count);
}

Ref join(std::initializer_list<Span> spans) { return join(spans.begin(), spans.size()); }

// Collects the spans of one text in order; its slots stay uninitialised
// until a span is added. Who adds one checks the room first: Sum asks full()
// and goes on with `+` when it is, a layout's join counts its spans at
// compile time (layout.hpp).
struct Spans {
    static constexpr size_t kRoom = 32;
    Span items[kRoom];
    size_t count = 0;

    Spans() {}
    Spans(const Spans&) = delete;
    Spans& operator=(const Spans&) = delete;

    // Adds a span; only while !full().
    Spans& operator<<(const Span& span)
    {
        assert(!full());
        items[count++] = span;
        return *this;
    }
    bool full() const { return count == kRoom; }
};

// A span as a string object of its own: `object` when the span is the whole
// of it, else a new string of the span's characters.
Ref span_object(const Span& span, PyObject* object)
{
    if (object != nullptr) {
        return Ref::borrow(object);
    }
    if (PyObject* foreign = span.foreign_object()) {
        return Ref::borrow(foreign);
    }
    return Ref::steal(PyUnicode_FromKindAndData(span.kind, span.data, span.length));
}

}  // namespace

#endif  // TESSADYN_CHECKER_JOIN_HPP
