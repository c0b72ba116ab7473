// Value forms: the digits of ints (format(value, "04x"), str(value)) and
// str.strip(), written into a Piece without new string objects where the
// value is an exact int or string; anything else takes the interpreter's
// own operation.
//
// Rules: each form returns false with an exception set on error; the piece
// is set when it returns true. The forms taking a Ref&& take over the value
// (the piece keeps it alive). Results are those of the Python operation,
// character for character.

#ifndef TESSADYN_CHECKER_FORMS_HPP
#define TESSADYN_CHECKER_FORMS_HPP

#include "platform.hpp"
#include "names.hpp"
#include "ops.hpp"
#include "refs.hpp"
#include "spans.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace {

// The compact value of an exact int, when it lies in [0, bound].
inline bool small_int(PyObject* value, Py_ssize_t bound, Py_ssize_t& small)
{
    if (!PyLong_CheckExact(value)) {
        return false;
    }
    PyLongObject* number = reinterpret_cast<PyLongObject*>(value);
    if (!PyUnstable_Long_IsCompact(number)) {
        return false;
    }
    small = PyUnstable_Long_CompactValue(number);
    return small >= 0 && small <= bound;
}

// The digits of a non-negative exact int small enough for one machine word,
// written into the piece: 1 when written, 0 when the value takes the generic
// path, -1 on error.
template <unsigned Base, int Width>
int int_digits(PyObject* value, Piece& piece)
{
    Py_ssize_t small;
    if (small_int(value, PY_SSIZE_T_MAX, small)) {
        piece.set_digits<Base, Width>(static_cast<size_t>(small));
        return 1;
    }
    // Not an int, or a negative one of a machine word.
    if (!PyLong_CheckExact(value) ||
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
        return 0;
    }
    int overflow = 0;
    long long big = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (big == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (overflow != 0 || big < 0 || static_cast<unsigned long long>(big) > SIZE_MAX) {
        return 0;
    }
    piece.set_digits<Base, Width>(static_cast<size_t>(big));
    return 1;
}

// The hex form of an identifier: format(value, "04x"). Non-negative exact
// ints are written here with the same digits, in about a tenth of the
// instructions of the format call; this is what hex04() does not do inline.
TC_NOINLINE bool hex04_other(PyObject* value, Piece& piece)
{
    int done = int_digits<16, 4>(value, piece);
    if (done != 0) {
        return done > 0;
    }
    return piece.set(Ref::steal(PyObject_Format(value, N.hex04)));
}

// IDs are exact ints of 16 (vendor) and 24 bits (device): their digits
// inline.
TC_INLINE bool hex04(PyObject* value, Piece& piece)
{
    Py_ssize_t small;
    if (small_int(value, 0x7fffffff, small)) {
        piece.set_hex4(static_cast<uint32_t>(small));
        return true;
    }
    return hex04_other(value, piece);
}

// The text form of a value: str(value); exact strings are used as they are
// and plain ints written here.
TC_NOINLINE bool text_form_other(PyObject* value, Piece& piece)
{
    int done = int_digits<10, 1>(value, piece);
    if (done != 0) {
        return done > 0;
    }
    return piece.set(text(value));
}

// Exact strings and one-digit ints (port numbers) inline.
inline bool text_form(PyObject* value, Piece& piece)
{
    if (PyUnicode_CheckExact(value)) {
        return piece.set(Ref::borrow(value));
    }
    Py_ssize_t small;
    if (small_int(value, 9, small)) {
        piece.set_digit(static_cast<unsigned>(small));
        return true;
    }
    return text_form_other(value, piece);
}

// strip() of what is not an exact ASCII string.
TC_NOINLINE bool strip_other(Ref&& value, Piece& piece)
{
    PyObject* str = value.get();
    if (!PyUnicode_CheckExact(str)) {
        return piece.set(call_method(str, N.strip));
    }
    Py_ssize_t start = 0;
    Py_ssize_t end = PyUnicode_GET_LENGTH(str);
    int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) {
        ++start;
    }
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) {
        --end;
    }
    piece.set_slice(std::move(value), start, end);
    return true;
}

// value.strip() of an exact string, taking over `value`: trimmed here with
// the white-space rule of str.strip(), without a copy.
TC_INLINE bool strip_exact(Ref&& value, Piece& piece)
{
    PyObject* str = value.get();
    if (!PyUnicode_IS_COMPACT_ASCII(str)) {
        return strip_other(std::move(value), piece);
    }
    // The characters of a compact ASCII string follow its header.
    const Py_UCS1* chars = reinterpret_cast<const Py_UCS1*>(
        reinterpret_cast<const PyASCIIObject*>(str) + 1);
    Py_ssize_t end = PyUnicode_GET_LENGTH(str);
    // Every ASCII white-space character is at most a space: a text that
    // begins and ends above it has nothing to strip, as most have.
    if (end > 0 && chars[0] > ' ' && chars[end - 1] > ' ') {
        piece.set_ascii(std::move(value), chars, end);
        return true;
    }
    const Py_UCS1* first = chars;
    const Py_UCS1* last = chars + end;
    while (first < last && _Py_ascii_whitespace[*first]) {
        ++first;
    }
    while (last > first && _Py_ascii_whitespace[last[-1]]) {
        --last;
    }
    piece.set_ascii(std::move(value), first, last - first);
    return true;
}

// value.strip(), taking over `value`: exact strings trimmed here, other
// objects get their own method called.
inline bool strip(Ref&& value, Piece& piece)
{
    if (!PyUnicode_CheckExact(value.get())) {
        return strip_other(std::move(value), piece);
    }
    return strip_exact(std::move(value), piece);
}

}  // namespace

#endif  // TESSADYN_CHECKER_FORMS_HPP
