// Sum: a text built as Python's `a + b + c ...` builds it, collecting exact
// strings for one join and switching to the interpreter's `+`, operand by
// operand, from the first operand that is anything else.
//
// Rules: operands are added in Python's order, each only after the ones
// before it were added (their code may run at that point). A collected span
// points into its string, piece or inner sum: those must outlive the sum
// (declare the sum after them). A sum added to another is one operand.

#ifndef TESSADYN_CHECKER_SUM_HPP
#define TESSADYN_CHECKER_SUM_HPP

#include "platform.hpp"
#include "join.hpp"
#include "refs.hpp"
#include "spans.hpp"

#include <cstddef>
#include <utility>

namespace {

// A text built the way `a + b + c ...` builds it in Python. While every
// operand is an exact str the operands are only collected and joined with one
// allocation at the end: concatenating exact strings runs nobody's code. From
// the first operand that is anything else (a str subclass, which may bring
// __radd__ or __add__, or no str at all) the sum is the interpreter's `+`,
// applied operand by operand in order, so such methods run with the operands
// and at the point at which Python runs them; callers compute each operand
// only after adding the ones before it. A sum made earlier is added to
// another as one operand, as the variable holding it would be in Python.
// A collected span points into its string: what it points into (a piece, a
// reference, an inner sum) must outlive the sum.
class Sum {
public:
    template <size_t K>
    bool add(const char (&literal)[K])
    {
        return add(Span(literal), nullptr);
    }
    bool add(const Piece& piece) { return add(piece.span(), piece.whole_object()); }
    bool add(PyObject* str) { return add(Span(str), str); }
    // Adds one operand; false with an exception set when `+` failed.
    bool add(const Span& span, PyObject* object)
    {
        if (!adding_ && span.maxchar != kForeign && spans_.count > 0 && !spans_.full()) {
            spans_ << span;
            sizes_.add(span);
            return true;
        }
        return add_operand(span, object);
    }
    // The first operand, or the interpreter's `+` with one more operand,
    // switching to it first when the collected operands are all there was.
    TC_NOINLINE bool add_operand(const Span& span, PyObject* object)
    {
        if (!adding_) {
            if (span.maxchar != kForeign && !spans_.full()) {
                if (spans_.count == 0) {
                    first_ = object;
                }
                spans_ << span;
                sizes_.add(span);
                return true;
            }
            if (spans_.count == 0) {
                // The first operand is the value so far, not added to anything.
                adding_ = true;
                value_ = span_object(span, object);
                return static_cast<bool>(value_);
            }
            if (!start_adding()) {
                return false;
            }
        }
        Ref operand = span_object(span, object);
        value_ = operand ? Ref::steal(PyNumber_Add(value_.get(), operand.get())) : Ref();
        return static_cast<bool>(value_);
    }
    bool add(const Sum& inner)
    {
        if (inner.adding_) {
            return add(inner.value_.get());   // the inner sum keeps its value
        }
        if (!adding_ && spans_.count + inner.spans_.count <= Spans::kRoom) {
            if (spans_.count == 0) {
                first_ = inner.first_;
            }
            for (size_t i = 0; i < inner.spans_.count; ++i) {
                spans_ << inner.spans_.items[i];
                sizes_.add(inner.spans_.items[i]);
            }
            return true;
        }
        // `+` in use (or too many pieces to collect): the inner value as one operand.
        if (!adding_ && spans_.count > 0 && !start_adding()) {
            return false;
        }
        Ref joined = inner.value();
        if (!joined || !adding_) {
            adding_ = true;
            value_ = std::move(joined);
            return static_cast<bool>(value_);
        }
        value_ = Ref::steal(PyNumber_Add(value_.get(), joined.get()));
        return static_cast<bool>(value_);
    }
    // The sum's value: a new reference, or null with an exception set.
    Ref value() const
    {
        if (adding_) {
            return Ref::borrow(value_.get());
        }
        if (spans_.count == 1) {
            return span_object(spans_.items[0], first_);
        }
        return join_sized(spans_.items, spans_.count, sizes_);
    }

private:
    bool start_adding()
    {
        value_ = value();
        adding_ = true;
        return static_cast<bool>(value_);
    }

    Spans spans_;
    Sizes sizes_;
    PyObject* first_ = nullptr;   // the object the first span is the whole of
    Ref value_;                   // the value so far, once `+` is in use
    bool adding_ = false;
};

}  // namespace

#endif  // TESSADYN_CHECKER_SUM_HPP
