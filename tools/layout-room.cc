// A layout of SPANS spans, joined as a text beyond one byte a character:
// tools/headers-alone.sh compiles it with the room of Spans (32), which
// must compile, and with one span more, which must stop at the layout's
// compile-time count instead of overflowing the spans on the stack.
#include "layout.hpp"

#include <cstddef>
#include <utility>

namespace {

int wrap = 0;
Piece piece;

// The device text's head either way ("[c]" + ("* " + port + ":") + "[/c]",
// at most 5 spans), then one piece a span.
template <size_t... I>
Ref join_of(const Sizes& sizes, std::index_sequence<I...>)
{
    static constexpr char open[] = "[c]", close[] = "[/c]";
    Expr pre(kAlways, "* ", piece, ":");
    Expr wrapped(wrap, open, pre, close);
    return join_text_wide(sizes, either(wrap, wrapped, pre), (static_cast<void>(I), piece)...);
}

}  // namespace

Ref (*layout_join)(const Sizes&) = [](const Sizes& sizes) {
    return join_of(sizes, std::make_index_sequence<SPANS - 5>{});
};
