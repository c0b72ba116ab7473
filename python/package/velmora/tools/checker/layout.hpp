// A text's layout, written once: the parts of a report text in the order of
// the Python reading's `+`, which drive both ways of making the text. While
// every part is an exact str, adding them runs nobody's code: the layout is
// joined with one allocation (join_text), its literals sized at compile time
// and copied with moves of known width. From the first part that is anything
// else the text is the interpreter's `+`, operand by operand (Sum), with
// each value read where Python reads it.
//
// Parts: string literals; pieces (Piece); groups of parts spliced into the
// sum around them (splice()); sums held in a Python variable,
// `e = a + b + ...` while their flag (an int, or kAlways) holds, else ""
// (Expr), added as one operand and chosen between by either(); and values
// read where the text reaches them (Read), which run ahead of the text only
// while every part before them is exact (no code can then run between the
// read and its place). The pass that decides between the join and `+` also
// sizes the parts for the join; the most spans a layout can join are
// counted at compile time (MostSpans) against the room of Spans.
//
// Rules: a layout holds references to its parts, so everything it names (the
// pieces, the flags, the reads, the inner Exprs) is declared before it and
// outlives it. settle(e) marks the point at which Python computes the
// variable `e`: its sum is built there when adding it would run code, later
// (or never, when joined) otherwise. text_of(e) gives the text's value.

#ifndef TESSADYN_CHECKER_LAYOUT_HPP
#define TESSADYN_CHECKER_LAYOUT_HPP

#include "platform.hpp"
#include "join.hpp"
#include "names.hpp"
#include "refs.hpp"
#include "spans.hpp"
#include "sum.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

namespace {

// Parts that are always there, spliced into the sum around them.
template <class... Parts>
struct Splice {
    std::tuple<const Parts&...> parts;
};

template <class... Parts>
Splice<Parts...> splice(const Parts&... parts)
{
    return {std::tuple<const Parts&...>(parts...)};
}

// A value read where the text reaches it: `read(piece)` reads it into
// `piece` (false with an exception set), once.
template <class F>
class Read {
public:
    Read(Piece& piece, F read) : piece_(piece), read_(read) {}
    Read(const Read&) = delete;
    Read& operator=(const Read&) = delete;

    const Piece& piece() const { return piece_; }
    bool done() const { return done_; }
    bool run() const
    {
        done_ = true;
        return read_(piece_);
    }

private:
    Piece& piece_;
    F read_;
    mutable bool done_ = false;
};

// The flag of a part that is always there, known at compile time.
struct Always {
    constexpr explicit operator bool() const { return true; }
};
constexpr Always kAlways{};

// A sum of the Python reading held in a variable: `e = a + b + ...` while
// `present` (an int flag read when the sum is used, or kAlways), else "".
// Its Sum is made when it is built, once.
template <class Flag, class... Parts>
class Expr {
public:
    explicit Expr(const Flag& present, const Parts&... parts) : present_(present), parts_(parts...)
    {
    }
    Expr(const Expr&) = delete;
    Expr& operator=(const Expr&) = delete;

    bool present() const { return static_cast<bool>(present_); }
    const std::tuple<const Parts&...>& parts() const { return parts_; }
    // The sum once built, else nullptr.
    Sum* built() const { return sum_ ? &*sum_ : nullptr; }
    Sum& make() const { return sum_.emplace(); }

private:
    const Flag& present_;
    std::tuple<const Parts&...> parts_;
    mutable std::optional<Sum> sum_;
};

// `a if first else b` of two Exprs.
template <class A, class B>
struct Either {
    const int& first;
    const A& a;
    const B& b;
};

template <class A, class B>
Either<A, B> either(const int& first, const A& a, const B& b)
{
    return {first, a, b};
}

// ---------------------------------------------------------------------------
// The most spans a layout's parts flatten to, known at compile time: an
// Expr's parts all present, the longer of either()'s two.

template <class Part>   // a literal, a piece or a read
struct MostSpans : std::integral_constant<size_t, 1> {};
template <class... Parts>
struct MostSpans<Splice<Parts...>>
    : std::integral_constant<size_t, (size_t{0} + ... + MostSpans<Parts>::value)> {};
template <class Flag, class... Parts>
struct MostSpans<Expr<Flag, Parts...>>
    : std::integral_constant<size_t, (size_t{0} + ... + MostSpans<Parts>::value)> {};
template <class A, class B>
struct MostSpans<Either<A, B>>
    : std::integral_constant<size_t, (MostSpans<A>::value > MostSpans<B>::value
                                          ? MostSpans<A>::value
                                          : MostSpans<B>::value)> {};
template <class... Parts>
constexpr size_t kMostSpans = (size_t{0} + ... + MostSpans<Parts>::value);

// ---------------------------------------------------------------------------
// The layout flattened into literals and spans, for the join.

template <class F, size_t K>
TC_INLINE void flat(F& f, const char (&literal)[K])
{
    f(literal);
}
template <class F>
TC_INLINE void flat(F& f, const Piece& piece)
{
    f(piece.span());
}
template <class F, class R>
TC_INLINE void flat(F& f, const Read<R>& read)
{
    f(read.piece().span());
}
template <class F, class... Parts>
TC_INLINE void flat(F& f, const Splice<Parts...>& splice)
{
    std::apply([&f](const auto&... part) { (flat(f, part), ...); }, splice.parts);
}
template <class F, class Flag, class... Parts>
TC_INLINE void flat(F& f, const Expr<Flag, Parts...>& expr)
{
    if (expr.present()) {
        std::apply([&f](const auto&... part) { (flat(f, part), ...); }, expr.parts());
    }
}
template <class F, class A, class B>
TC_INLINE void flat(F& f, const Either<A, B>& either)
{
    if (either.first) {
        flat(f, either.a);
    }
    else {
        flat(f, either.b);
    }
}

// The parts copied into a text of one byte a character.
struct CopyParts {
    char*& to;
    template <size_t K>
    TC_INLINE void operator()(const char (&literal)[K])
    {
        std::memcpy(to, literal, K - 1);
        to += K - 1;
    }
    TC_INLINE void operator()(const Span& span)
    {
        copy_bytes(to, static_cast<const char*>(span.data), static_cast<size_t>(span.length));
        to += span.length;
    }
};

// The same into a text of two bytes a character: one-byte parts widened.
struct CopyParts2 {
    Py_UCS2*& to;
    template <size_t K>
    TC_INLINE void operator()(const char (&literal)[K])
    {
        widen_1_2(literal, to, K - 1);
        to += K - 1;
    }
    TC_INLINE void operator()(const Span& span)
    {
        if (span.kind == PyUnicode_1BYTE_KIND) {
            widen_1_2(span.data, to, span.length);
        }
        else {
            std::memcpy(to, span.data, static_cast<size_t>(span.length) * 2);
        }
        to += span.length;
    }
};

// The parts as spans, for the join of any other kind; join_text_wide checks
// at compile time that the layout's spans fit.
struct SpanParts {
    Spans& spans;
    template <size_t K>
    void operator()(const char (&literal)[K])
    {
        spans << Span(literal);
    }
    void operator()(const Span& span) { spans << span; }
};

// The join of a layout whose parts are all exact, of the sizes ahead() found,
// when some part is beyond one byte a character.
template <class... Parts>
TC_NOINLINE Ref join_text_wide(const Sizes& sizes, const Parts&... parts)
{
    if (sizes.length > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return {};
    }
    if ((sizes.kinds() & PyUnicode_4BYTE_KIND) == 0 && sizes.maxchar() > 0xff &&
        sizes.maxchar() <= 0xffff) {
        // Two bytes a character, as most non-ASCII texts are.
        Ref result =
            Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(sizes.length), sizes.maxchar()));
        if (!result) {
            return {};
        }
        Py_UCS2* data = PyUnicode_2BYTE_DATA(result.get());
        CopyParts2 copy{data};
        (flat(copy, parts), ...);
        return result;
    }
    static_assert(kMostSpans<Parts...> <= Spans::kRoom,
                  "more spans in a layout than one join has room for");
    Spans spans;
    SpanParts span_parts{spans};
    (flat(span_parts, parts), ...);
    return join_sized(spans.items, spans.count, sizes);
}

// The join of a layout whose parts are all exact, of the sizes ahead() found.
// Against a join through _PyUnicodeWriter the one-allocation join took 15-23%
// fewer instructions per report text. Texts of one byte a character, most of
// them, are joined inline: a call would pass every part of the layout.
template <class... Parts>
TC_INLINE Ref join_text(const Sizes& sizes, const Parts&... parts)
{
    if (sizes.kinds() != PyUnicode_1BYTE_KIND || sizes.maxchar() > 0xff ||
        sizes.length > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        return join_text_wide(sizes, parts...);
    }
    Ref result =
        Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(sizes.length), sizes.maxchar()));
    if (!result) {
        return {};
    }
    char* data = static_cast<char*>(PyUnicode_DATA(result.get()));
    CopyParts copy{data};
    (flat(copy, parts), ...);
    return result;
}

// ---------------------------------------------------------------------------
// The sizes of the parts and whether they are exact, with the reads that may
// run ahead: 1 while every part so far is exact or not yet known, 0 at a
// read that must wait for the `+` before it, -1 on error. The sizes are the
// join's (a literal's at compile time): kForeign in their widest character
// once a part is not exact.

TC_INLINE bool foreign(const Sizes& sizes) { return (sizes.maxchar() & kForeign) != 0; }

template <size_t K>
TC_INLINE int ahead(Sizes& sizes, const char (&)[K])
{
    sizes.length += K - 1;
    sizes.tags |= std::bit_cast<uint64_t>(SpanTags{0x7f, PyUnicode_1BYTE_KIND});
    return 1;
}
TC_INLINE int ahead(Sizes& sizes, const Piece& piece)
{
    sizes.add(piece.span());
    return 1;
}
template <class R>
TC_INLINE int ahead(Sizes& sizes, const Read<R>& read)
{
    if (!read.done()) {
        if (foreign(sizes)) {
            return 0;
        }
        if (!read.run()) {
            return -1;
        }
    }
    sizes.add(read.piece().span());
    return 1;
}
template <class Tuple, size_t... I>
TC_INLINE int ahead_each(Sizes& sizes, const Tuple& parts, std::index_sequence<I...>)
{
    int state = 1;
    static_cast<void>((((state = ahead(sizes, std::get<I>(parts))) > 0) && ...));
    return state;
}
template <class... Parts>
TC_INLINE int ahead_all(Sizes& sizes, const std::tuple<const Parts&...>& parts)
{
    return ahead_each(sizes, parts, std::index_sequence_for<Parts...>{});
}
template <class... Parts>
TC_INLINE int ahead(Sizes& sizes, const Splice<Parts...>& splice)
{
    return ahead_all(sizes, splice.parts);
}
template <class Flag, class... Parts>
TC_INLINE int ahead(Sizes& sizes, const Expr<Flag, Parts...>& expr)
{
    if (!expr.present()) {
        return 1;
    }
    if (expr.built() != nullptr) {
        // Built through `+`: its value may be anything.
        sizes.tags |= std::bit_cast<uint64_t>(SpanTags{kForeign, 0});
        return 1;
    }
    return ahead_all(sizes, expr.parts());
}
template <class A, class B>
TC_INLINE int ahead(Sizes& sizes, const Either<A, B>& either)
{
    return either.first ? ahead(sizes, either.a) : ahead(sizes, either.b);
}

// ---------------------------------------------------------------------------
// The layout as the interpreter's `+`: each part one operand in order (a
// group's parts spliced in, an Expr's value one operand), each read made
// where the sum reaches it.

template <class Flag, class... Parts>
TC_NOINLINE bool build(const Expr<Flag, Parts...>& expr);

template <size_t K>
bool add_operand(Sum& sum, const char (&literal)[K])
{
    return sum.add(literal);
}
inline bool add_operand(Sum& sum, const Piece& piece) { return sum.add(piece); }
template <class R>
bool add_operand(Sum& sum, const Read<R>& read)
{
    return (read.done() || read.run()) && sum.add(read.piece());
}
template <class... Parts>
bool add_operand(Sum& sum, const Splice<Parts...>& splice)
{
    return std::apply([&sum](const auto&... part) { return (add_operand(sum, part) && ...); },
                      splice.parts);
}
template <class Flag, class... Parts>
bool add_operand(Sum& sum, const Expr<Flag, Parts...>& expr)
{
    if (!expr.present()) {
        return sum.add(N.empty);
    }
    return build(expr) && sum.add(*expr.built());
}
template <class A, class B>
bool add_operand(Sum& sum, const Either<A, B>& either)
{
    return either.first ? add_operand(sum, either.a) : add_operand(sum, either.b);
}

// Builds the sum of a present Expr, once: a path taken for values that are
// not exact strings, kept out of its callers.
template <class Flag, class... Parts>
TC_NOINLINE bool build(const Expr<Flag, Parts...>& expr)
{
    if (!expr.present() || expr.built() != nullptr) {
        return true;
    }
    Sum& sum = expr.make();
    return std::apply([&sum](const auto&... part) { return (add_operand(sum, part) && ...); },
                      expr.parts());
}

// Python computes the variable `expr` here: its sum is built now when adding
// its parts would run code.
template <class Flag, class... Parts>
bool settle(const Expr<Flag, Parts...>& expr)
{
    Sizes sizes;
    int state = ahead(sizes, expr);
    if (state < 0) {
        return false;
    }
    return (state > 0 && !foreign(sizes)) || build(expr);
}

// The parts that are there whatever the values, as the join's arguments: a
// read is its piece, a splice its parts.
template <class Part>
std::tuple<const Part&> joined_parts(const Part& part)
{
    return std::tuple<const Part&>(part);
}
template <class R>
std::tuple<const Piece&> joined_parts(const Read<R>& read)
{
    return std::tuple<const Piece&>(read.piece());
}
template <class... Parts>
auto joined_parts(const Splice<Parts...>& splice)
{
    return std::apply(
        [](const auto&... part) { return std::tuple_cat(joined_parts(part)...); }, splice.parts);
}

// The interpreter's sum of a text's parts.
template <class... Parts>
TC_NOINLINE Ref sum_text(const Parts&... parts)
{
    Sum sum;
    if (!(add_operand(sum, parts) && ...)) {
        return {};
    }
    return sum.value();
}

// The value of a text: joined in one go when every part is exact (the reads
// that can run ahead run first), else the interpreter's sum.
template <class Tuple, size_t... I>
TC_INLINE Ref text_of_parts(const Tuple& parts, std::index_sequence<I...>)
{
    Sizes sizes;
    int state = ahead_each(sizes, parts, std::index_sequence<I...>{});
    if (state < 0) {
        return {};
    }
    if (state > 0 && !foreign(sizes)) {
        return std::apply([&sizes](const auto&... part) { return join_text(sizes, part...); },
                          std::tuple_cat(joined_parts(std::get<I>(parts))...));
    }
    return sum_text(std::get<I>(parts)...);
}

template <class Flag, class... Parts>
TC_INLINE Ref text_of(const Expr<Flag, Parts...>& expr)
{
    return text_of_parts(expr.parts(), std::index_sequence_for<Parts...>{});
}

}  // namespace

#endif  // TESSADYN_CHECKER_LAYOUT_HPP
