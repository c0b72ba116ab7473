// Argument parsing of the module's functions: every parameter by position or
// by keyword, with the messages the interpreter gives for a Python function.
//
// Rules: `values` holds one borrowed slot per parameter (an array of the
// Signature's size: parse_args takes no other), pre-set to the defaults
// (nullptr for required ones); on success each slot is the caller's argument
// or its default, borrowed for the call. Parameter names are
// members of N, compared by identity first. Every function of the module
// takes FASTCALL_ARGS.

#ifndef TESSADYN_CHECKER_ARGS_HPP
#define TESSADYN_CHECKER_ARGS_HPP

#include "platform.hpp"
#include "refs.hpp"

#include <cstddef>

namespace {

// ---------------------------------------------------------------------------
// Argument parsing: every parameter can be given by position or by keyword,
// with the messages the interpreter gives for a Python function.

// A function's parameters as the slow path reads them.
struct ParamList {
    const char* name;
    PyObject* const* const* params;   // &N.xxx of each parameter
    Py_ssize_t count;
    Py_ssize_t required;              // leading required ones
};

// A function's signature: `Signature sig{"name", {&N.a, &N.b}, 1}` makes a
// Signature<2>, whose parse_args takes exactly two value slots.
template <size_t K>
struct Signature {
    const char* name;
    PyObject* const* params[K];   // &N.xxx of each parameter
    Py_ssize_t required;          // leading required ones

    ParamList list() const { return {name, params, static_cast<Py_ssize_t>(K), required}; }
};
template <size_t K>
Signature(const char*, PyObject* const* const (&)[K], Py_ssize_t) -> Signature<K>;

void missing_arguments(const ParamList& sig, PyObject* const* values)
{
    Ref missing = Ref::steal(PyList_New(0));
    if (!missing) {
        return;
    }
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (values[i] == nullptr) {
            Ref quoted = Ref::steal(PyUnicode_FromFormat("'%U'", *sig.params[i]));
            if (!quoted || PyList_Append(missing.get(), quoted.get()) < 0) {
                return;
            }
        }
    }
    Py_ssize_t count = PyList_GET_SIZE(missing.get());
    Ref names;
    if (count == 1) {
        names = Ref::borrow(PyList_GET_ITEM(missing.get(), 0));
    }
    else {
        Ref last = Ref::borrow(PyList_GET_ITEM(missing.get(), count - 1));
        if (PyList_SetSlice(missing.get(), count - 1, count, nullptr) < 0) {
            return;
        }
        Ref sep = Ref::steal(PyUnicode_FromString(count > 2 ? ", " : ""));
        Ref head = sep ? Ref::steal(PyUnicode_Join(sep.get(), missing.get())) : Ref();
        if (!head) {
            return;
        }
        names = Ref::steal(PyUnicode_FromFormat(count > 2 ? "%U, and %U" : "%U and %U",
                                                head.get(), last.get()));
        if (!names) {
            return;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %U",
                 sig.name, count, count == 1 ? "" : "s", names.get());
}

// Puts keyword arguments into their slots of `values`.
bool parse_keywords(const ParamList& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** values)
{
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name);
            return false;
        }
        Py_ssize_t index = -1;
        for (Py_ssize_t i = 0; i < sig.count; ++i) {
            if (key == *sig.params[i]) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            for (Py_ssize_t i = 0; i < sig.count; ++i) {
                if (PyUnicode_Compare(key, *sig.params[i]) == 0) {
                    index = i;
                    break;
                }
            }
            if (PyErr_Occurred()) {
                return false;
            }
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.name, key);
            return false;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         sig.name, key);
            return false;
        }
        values[index] = args[nargs + k];
    }
    return true;
}

// Fills `values` (one borrowed slot per parameter, pre-set to the defaults,
// nullptr for required ones) from a vectorcall argument list.
bool parse_args_slow(const ParamList& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** values)
{
    const Py_ssize_t nparams = sig.count;
    for (Py_ssize_t i = 0; i < nargs && i < nparams; ++i) {
        values[i] = args[i];
    }
    // Keywords are checked before the positional count, as for a Python
    // function.
    if (!parse_keywords(sig, args, nargs, kwnames, values)) {
        return false;
    }
    if (nargs > nparams) {
        if (sig.required == nparams) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                         sig.name, nparams, nparams == 1 ? "" : "s", nargs,
                         nargs == 1 ? "was" : "were");
        }
        else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zd to %zd positional arguments but %zd %s given",
                         sig.name, sig.required, nparams, nargs, nargs == 1 ? "was" : "were");
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (values[i] == nullptr) {
            missing_arguments(sig, values);
            return false;
        }
    }
    return true;
}

// As parse_args_slow, into one slot per parameter; every parameter given by
// position, as the module's own calls give them, is taken here.
template <size_t K>
inline bool parse_args(const Signature<K>& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject* (&values)[K])
{
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(K)) {
        for (size_t i = 0; i < K; ++i) {
            values[i] = args[i];
        }
        return true;
    }
    return parse_args_slow(sig.list(), args, nargs, kwnames, values);
}

// Checks that a function taking no arguments got none.
bool no_args(const char* name, Py_ssize_t nargs, PyObject* kwnames)
{
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                     PyTuple_GET_ITEM(kwnames, 0));
        return false;
    }
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes 0 positional arguments but %zd %s given",
                     name, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    return true;
}

#define FASTCALL_ARGS                                                                \
    [[maybe_unused]] PyObject *module, [[maybe_unused]] PyObject *const *args, \
        Py_ssize_t nargs, PyObject *kwnames

}  // namespace

#endif  // TESSADYN_CHECKER_ARGS_HPP
