// Spans and pieces: the values of a report text as runs of characters. A
// Span is a run of one kind (a literal, the whole or a slice of an exact
// string, digits written here) or a foreign object that is no exact string;
// a Piece is one value with what keeps its span alive.
//
// Rules: a Span owns nothing: it must not outlive the literal, string or
// Piece it points into. A Piece is neither copied nor moved (its span may
// point into its own buffer) and is set by one of its set functions before
// it is read. exact() tells whether adding a piece can run anybody's code.

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
    operator const Span&() const { return span_; }
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
    // The digits of `number` in base 10 or 16 (lower case), at least `width`.
    template <unsigned Base>
    void set_digits(size_t number, int width);
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
    char digits_[sizeof(size_t) * 2 + 4];
};

// Whether a piece is an exact str (or digits written here): adding it runs
// nobody's code.
inline bool exact(const Piece& piece) { return piece.span().maxchar != kForeign; }

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

}  // namespace
