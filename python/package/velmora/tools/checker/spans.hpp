// Spans and pieces: the values of a report text as runs of characters. A
// Span is a run of one kind (a literal, the whole or a slice of an exact
// string, digits written here) or a foreign object that is no exact string;
// a Piece is one value with what keeps its span alive.
//
// This header opens the text machinery: spans.hpp (the values), forms.hpp
// (digits and strip() into pieces), then three ways of making a text of
// them. Which one to use:
//   - join({...}) (join.hpp) where Python makes the text without `+` (an
//     f-string, as the error line): the spans are joined with one
//     allocation; a str subclass gives its characters, and no __add__ or
//     __radd__ of anybody's runs.
//   - Sum (sum.hpp) for a text of a few operands that Python builds with
//     `a + b + ...` one step at a time (the banner, the summary): an operand
//     that is no exact str gets the interpreter's `+` in Python's order.
//   - A layout (layout.hpp) for a report text of many parts written once
//     (the master line, the device text): the same `+` semantics as Sum,
//     values read where Python reads them, and, while every part is exact,
//     joined inline with its literals sized at compile time. Its spans are
//     counted at compile time against the room of the join (Spans).
//
// Rules: a Span owns nothing: it must not outlive the literal, string or
// Piece it points into. A Piece is neither copied nor moved (its span may
// point into its own buffer) and is set by one of its set functions before
// it is read.

#ifndef TESSADYN_CHECKER_SPANS_HPP
#define TESSADYN_CHECKER_SPANS_HPP

#include "platform.hpp"
#include "refs.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// ---------------------------------------------------------------------------
// Output texts are built from spans and allocated once. A span is a run of
// characters of one kind: an ASCII string literal, a whole exact string, a
// slice of one (what strip() keeps) or digits written here. Setting one up
// reads no character: literals are spans at compile time, strings give their
// kind, length and bound on their widest character from their header.
// Anything that is not an exact string is a foreign span, which the join
// hands to its generic path.

// Set in Span::maxchar of a foreign span, above every character.
constexpr Py_UCS4 kForeign = 0x80000000u;

struct Span {
    const void* data;    // the characters; for a foreign span the object (borrowed)
    Py_ssize_t length;
    Py_UCS4 maxchar;     // widest character, the bound of its kind, or kForeign
    int kind;

    Span() = default;    // uninitialised, as a slot of Spans or Piece
    // An ASCII string literal.
    template <size_t K>
    constexpr Span(const char (&literal)[K])
        : data(literal), length(static_cast<Py_ssize_t>(K - 1)), maxchar(0x7f),
          kind(PyUnicode_1BYTE_KIND) {}
    constexpr Span(const void* chars, Py_ssize_t n, Py_UCS4 widest, int k)
        : data(chars), length(n), maxchar(widest), kind(k) {}
    // A whole string object.
    Span(PyObject* str)
    {
        if (!PyUnicode_CheckExact(str)) {
            *this = foreign(str);
            return;
        }
        data = PyUnicode_DATA(str);
        length = PyUnicode_GET_LENGTH(str);
        maxchar = PyUnicode_MAX_CHAR_VALUE(str);
        kind = PyUnicode_KIND(str);
    }
    static Span foreign(PyObject* obj) { return {obj, 0, kForeign, PyUnicode_1BYTE_KIND}; }
    PyObject* foreign_object() const
    {
        return maxchar == kForeign ? static_cast<PyObject*>(const_cast<void*>(data)) : nullptr;
    }
};

// One value of a text with what keeps it alive: a string it holds a
// reference to, or digits in its own buffer. Not copied or moved, since its
// span may point into it; a Span taken from it must not outlive it. Its span
// is set by one of the set functions before it is used.
class Piece {
public:
    Piece() {}
    Piece(const Piece&) = delete;
    Piece& operator=(const Piece&) = delete;

    const Span& span() const { return span_; }
    // The string object the span is the whole of, or nullptr.
    PyObject* whole_object() const
    {
        PyObject* owner = owner_.get();
        if (owner == nullptr || !PyUnicode_Check(owner)) {
            return owner;   // a foreign object, or digits
        }
        return span_.data == PyUnicode_DATA(owner) &&
                       span_.length == PyUnicode_GET_LENGTH(owner)
                   ? owner
                   : nullptr;
    }

    // A whole string, or any object the join decides about.
    bool set(Ref value)
    {
        owner_ = std::move(value);
        if (!owner_) {
            return false;
        }
        span_ = Span(owner_.get());
        return true;
    }
    // The characters [start, end) of the exact string `str`.
    void set_slice(Ref str, Py_ssize_t start, Py_ssize_t end);
    // `length` characters at `chars` of the exact ASCII string `str`.
    void set_ascii(Ref&& str, const Py_UCS1* chars, Py_ssize_t length)
    {
        owner_ = std::move(str);
        span_ = Span(chars, length, 0x7f, PyUnicode_1BYTE_KIND);
    }
    // The digits of `number` in base 10 or 16 (lower case), at least `Width`.
    template <unsigned Base, int Width>
    void set_digits(size_t number);
    // The hex digits of a 32-bit number, at least four.
    void set_hex4(uint32_t number);
    // A decimal digit.
    void set_digit(unsigned digit)
    {
        owner_.reset(nullptr);
        digits_[0] = static_cast<char>('0' + digit);
        span_ = Span(digits_, 1, 0x7f, PyUnicode_1BYTE_KIND);
    }

private:
    Ref owner_;
    Span span_;
    // Room for the digits of any size_t in base 10 (20 on 64-bit hosts) or 16.
    static constexpr size_t kDigitRoom = sizeof(size_t) * 2 + 4;
    char digits_[kDigitRoom];
};

void Piece::set_slice(Ref str, Py_ssize_t start, Py_ssize_t end)
{
    owner_ = std::move(str);
    PyObject* s = owner_.get();
    int kind = PyUnicode_KIND(s);
    const char* chars = static_cast<const char*>(PyUnicode_DATA(s)) + start * kind;
    Py_ssize_t length = end - start;
    Py_UCS4 widest = 0x7f;
    if (!PyUnicode_IS_ASCII(s)) {
        widest = PyUnicode_MAX_CHAR_VALUE(s);
        if (length != PyUnicode_GET_LENGTH(s)) {
            // What strip() removed may have held the widest characters; the
            // join needs the slice's own to choose the narrowest kind.
            widest = 0;
            for (Py_ssize_t i = 0; i < length; ++i) {
                Py_UCS4 c = PyUnicode_READ(kind, chars, i);
                widest = c > widest ? c : widest;
            }
        }
    }
    span_ = Span(chars, length, widest, kind);
}

// ---------------------------------------------------------------------------
// Digits written into a piece.

// "000102...feff": the two hex digits of every byte.
constexpr struct HexPairs {
    char text[513];
    constexpr HexPairs() : text()
    {
        for (int i = 0; i < 256; ++i) {
            text[2 * i] = "0123456789abcdef"[i >> 4];
            text[2 * i + 1] = "0123456789abcdef"[i & 0xf];
        }
    }
} kHexPairTable;
constexpr const char* kHexPairs = kHexPairTable.text;

TC_INLINE void Piece::set_hex4(uint32_t number)
{
    static_assert(kDigitRoom >= 8, "room for the eight hex digits of 32 bits");
    owner_.reset(nullptr);
    // Right-aligned in the buffer, two digits at a time: the low four, then
    // the high four only when they are needed.
    char* end = digits_ + 8;
    std::memcpy(end - 2, kHexPairs + 2 * (number & 0xff), 2);
    std::memcpy(end - 4, kHexPairs + 2 * ((number >> 8) & 0xff), 2);
    int count = 4;
    if ((number >> 16) != 0) {
        std::memcpy(end - 6, kHexPairs + 2 * ((number >> 16) & 0xff), 2);
        std::memcpy(end - 8, kHexPairs + 2 * (number >> 24), 2);
        count = (number >> 24) != 0 ? ((number >> 28) != 0 ? 8 : 7)
                                    : ((number >> 20) != 0 ? 6 : 5);
    }
    span_ = Span(end - count, count, 0x7f, PyUnicode_1BYTE_KIND);
}

// The most digits of a size_t in `base`.
constexpr int most_digits(unsigned base)
{
    int count = 1;
    for (size_t number = SIZE_MAX; number >= base; number /= base) {
        ++count;
    }
    return count;
}

template <unsigned Base, int Width>
void Piece::set_digits(size_t number)
{
    static_assert(Base == 10 || Base == 16);
    static_assert(most_digits(Base) <= static_cast<int>(kDigitRoom) &&
                      Width <= static_cast<int>(kDigitRoom),
                  "room for the digits written");
    static constexpr char digit[] = "0123456789abcdef";
    char* end = digits_ + sizeof digits_;
    char* at = end;
    if (Base == 16) {
        // As many digits as the number needs, at least `Width`, two at a time.
        int count = Width < 1 ? 1 : Width;
        while (count < static_cast<int>(2 * sizeof number) && (number >> (4 * count)) != 0) {
            ++count;
        }
        at -= count;
        int i = count;
        if (count == 4) {
            std::memcpy(at, kHexPairs + 2 * ((number >> 8) & 0xff), 2);
            std::memcpy(at + 2, kHexPairs + 2 * (number & 0xff), 2);
            i = 0;
        }
        for (; i >= 2; i -= 2) {
            std::memcpy(at + i - 2, kHexPairs + 2 * (number & 0xff), 2);
            number >>= 8;
        }
        if (i == 1) {
            at[0] = digit[number & 0xf];
        }
    }
    else if (number < Base && Width <= 1) {
        *--at = digit[number];
    }
    else {
        do {
            *--at = digit[number % Base];
            number /= Base;
        } while (number != 0);
        while (end - at < Width) {
            *--at = '0';
        }
    }
    owner_ = Ref();
    span_ = Span(at, end - at, 0x7f, PyUnicode_1BYTE_KIND);
}

}  // namespace

#endif  // TESSADYN_CHECKER_SPANS_HPP
