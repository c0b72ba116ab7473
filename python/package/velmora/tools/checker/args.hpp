// Argument parsing of the module's functions: every parameter by position or
// by keyword, with the messages the interpreter gives for a Python function.
//
// Rules: `values` holds one borrowed slot per parameter, pre-set to the
// defaults (nullptr for required ones); on success each slot is the caller's
// argument or its default, borrowed for the call. Parameter names are
// members of N, compared by identity first. Every function of the module
// takes FASTCALL_ARGS.

#ifndef TESSADYN_CHECKER_ARGS_HPP
#define TESSADYN_CHECKER_ARGS_HPP

#include "platform.hpp"
#include "refs.hpp"

#include <initializer_list>

namespace {

// ---------------------------------------------------------------------------
// Argument parsing: every parameter can be given by position or by keyword,
// with the messages the interpreter gives for a Python function.

struct Signature {
    const char* name;
    std::initializer_list<PyObject* const*> params;   // &N.xxx of each parameter
    Py_ssize_t required;                              // leading required ones
};

void missing_arguments(const Signature& sig, PyObject* const* values)
{
    Ref missing = Ref::steal(PyList_New(0));
    if (!missing) {
        return;
    }
    Py_ssize_t i = 0;
    for (PyObject* const* param : sig.params) {
        if (i < sig.required && values[i] == nullptr) {
            Ref quoted = Ref::steal(PyUnicode_FromFormat("'%U'", *param));
            if (!quoted || PyList_Append(missing.get(), quoted.get()) < 0) {
                return;
            }
        }
        ++i;
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
bool parse_keywords(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
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
        Py_ssize_t i = 0;
        for (PyObject* const* param : sig.params) {
            if (key == *param) {
                index = i;
                break;
            }
            ++i;
        }
        if (index < 0) {
            i = 0;
            for (PyObject* const* param : sig.params) {
                if (PyUnicode_Compare(key, *param) == 0) {
                    index = i;
                    break;
                }
                ++i;
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
bool parse_args_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** values)
{
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(sig.params.size());
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

// As parse_args_slow; every parameter given by position, as the module's
// own calls give them, is taken here.
inline bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** values)
{
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(sig.params.size())) {
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            values[i] = args[i];
        }
        return true;
    }
    return parse_args_slow(sig, args, nargs, kwnames, values);
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
