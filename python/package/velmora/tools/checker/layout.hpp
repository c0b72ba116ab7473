// The join of a fixed layout: join_text() takes a text's parts in order
// (literals, pieces, and groups a condition leaves in or out, when()); the
// literals are sized at compile time and copied with moves of known width.
//
// Rules: as for join.hpp; every part is read during the call only, and the
// parts must all be exact (the caller decides, with exact()).

namespace {

// The join of a text whose layout is fixed, written as its parts in order:
// string literals, spans, and groups of them that a condition leaves in or
// out (when()). The literals' lengths are known here, so their sizes add up
// at compile time and each is copied with moves of a known width; only the
// values are sized and copied at run time. Texts that are not all one byte a
// character go to join_sized.
template <class... Parts>
struct Group {
    bool present;
    std::tuple<const Parts&...> parts;
};

// The parts, when `present`; otherwise nothing.
template <class... Parts>
Group<Parts...> when(bool present, const Parts&... parts)
{
    return {present, std::tuple<const Parts&...>(parts...)};
}

template <size_t K>
constexpr void add_size(Sizes& sizes, const char (&)[K])
{
    sizes.length += K - 1;
    sizes.tags |= std::bit_cast<uint64_t>(SpanTags{0x7f, PyUnicode_1BYTE_KIND});
}
inline void add_size(Sizes& sizes, const Span& span) { sizes.add(span); }
template <class... Parts>
void add_size(Sizes& sizes, const Group<Parts...>& group)
{
    if (group.present) {
        std::apply([&sizes](const auto&... part) { (add_size(sizes, part), ...); }, group.parts);
    }
}

template <size_t K>
TC_INLINE void copy_part(char*& to, const char (&literal)[K])
{
    std::memcpy(to, literal, K - 1);
    to += K - 1;
}
TC_INLINE void copy_part(char*& to, const Span& span)
{
    copy_bytes(to, static_cast<const char*>(span.data), static_cast<size_t>(span.length));
    to += span.length;
}
template <class... Parts>
void copy_part(char*& to, const Group<Parts...>& group)
{
    if (group.present) {
        std::apply([&to](const auto&... part) { (copy_part(to, part), ...); }, group.parts);
    }
}

// The same into a text of two bytes a character: one-byte parts widened.
template <size_t K>
TC_INLINE void copy_part2(Py_UCS2*& to, const char (&literal)[K])
{
    widen_1_2(literal, to, K - 1);
    to += K - 1;
}
TC_INLINE void copy_part2(Py_UCS2*& to, const Span& span)
{
    if (span.kind == PyUnicode_1BYTE_KIND) {
        widen_1_2(span.data, to, span.length);
    }
    else {
        std::memcpy(to, span.data, static_cast<size_t>(span.length) * 2);
    }
    to += span.length;
}
template <class... Parts>
void copy_part2(Py_UCS2*& to, const Group<Parts...>& group)
{
    if (group.present) {
        std::apply([&to](const auto&... part) { (copy_part2(to, part), ...); }, group.parts);
    }
}

inline void add_span(Spans& spans, const Span& span) { spans << span; }
template <class... Parts>
void add_span(Spans& spans, const Group<Parts...>& group)
{
    if (group.present) {
        std::apply([&spans](const auto&... part) { (add_span(spans, Span(part)), ...); },
                   group.parts);
    }
}

template <class... Parts>
TC_NOINLINE Ref join_text(const Parts&... parts)
{
    Sizes sizes;
    (add_size(sizes, parts), ...);
    if (sizes.length > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return {};
    }
    Py_ssize_t length = static_cast<Py_ssize_t>(sizes.length);
    if (sizes.kinds() == PyUnicode_1BYTE_KIND && sizes.maxchar() <= 0xff) {
        Ref result = Ref::steal(PyUnicode_New(length, sizes.maxchar()));
        if (!result) {
            return {};
        }
        char* data = static_cast<char*>(PyUnicode_DATA(result.get()));
        (copy_part(data, parts), ...);
        return result;
    }
    if ((sizes.kinds() & PyUnicode_4BYTE_KIND) == 0 && sizes.maxchar() > 0xff &&
        sizes.maxchar() <= 0xffff) {
        // Two bytes a character, as most non-ASCII texts are.
        Ref result = Ref::steal(PyUnicode_New(length, sizes.maxchar()));
        if (!result) {
            return {};
        }
        Py_UCS2* data = PyUnicode_2BYTE_DATA(result.get());
        (copy_part2(data, parts), ...);
        return result;
    }
    Spans spans;
    (add_span(spans, parts), ...);
    return join_sized(spans.items, spans.count, sizes);
}

}  // namespace
