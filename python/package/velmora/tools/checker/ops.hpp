// The interpreter's operations on objects as the module's Python reading
// uses them: the truth test, comparisons, attribute reads, calls, str(),
// endswith()/startswith() and dict subscripts.
//
// Rules: each returns what its Python operation returns; a Ref result is a
// new reference or null with an exception set, an int result 1/0 or -1 with
// an exception set. Arguments are borrowed for the call. Shortcuts (exact
// strings, dicts, constants) are taken only where no caller's code could
// tell the difference.

#ifndef TESSADYN_CHECKER_OPS_HPP
#define TESSADYN_CHECKER_OPS_HPP

#include "platform.hpp"
#include "names.hpp"
#include "refs.hpp"

#include <algorithm>
#include <cstddef>

namespace {

// ---------------------------------------------------------------------------
// Small helpers over the C API.

// Interpreter truth test: 1, 0, or -1 with an exception set. The constants
// and exact strings and dicts, whose truth no code of a caller's can change,
// are answered here.
inline int truth(PyObject* obj)
{
    if (obj == Py_True) {
        return 1;
    }
    if (obj == Py_False || obj == Py_None) {
        return 0;
    }
    if (PyUnicode_CheckExact(obj)) {
        return PyUnicode_GET_LENGTH(obj) != 0;
    }
    if (PyDict_CheckExact(obj)) {
        return PyDict_GET_SIZE(obj) != 0;
    }
    return PyObject_IsTrue(obj);
}

// Truth of the rich comparison `a <op> b`, as an `if` statement sees it.
int compare(PyObject* a, PyObject* b, int op)
{
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    if (!result) {
        return -1;
    }
    return truth(result.get());
}

Ref getattr(PyObject* obj, PyObject* name)
{
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// obj.name(*args), with room for exactly the arguments given.
template <size_t K>
Ref call_method(PyObject* obj, PyObject* name, PyObject* const (&args)[K])
{
    PyObject* stack[K + 1];
    stack[0] = obj;
    std::copy(args, args + K, stack + 1);
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack, (K + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name()
inline Ref call_method(PyObject* obj, PyObject* name)
{
    return Ref::steal(
        PyObject_VectorcallMethod(name, &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// func(*args), with room for exactly the arguments given and a bound
// method's self before them.
template <size_t K>
Ref call(PyObject* func, PyObject* const (&args)[K])
{
    PyObject* stack[K + 1];
    stack[0] = nullptr;   // room for a bound method's self
    std::copy(args, args + K, stack + 1);
    return Ref::steal(
        PyObject_Vectorcall(func, stack + 1, K | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// func()
inline Ref call(PyObject* func)
{
    PyObject* stack[1] = {nullptr};   // room for a bound method's self
    return Ref::steal(
        PyObject_Vectorcall(func, stack + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// func(arg), the call of an output function.
inline Ref call_one(PyObject* func, PyObject* arg)
{
    PyObject* stack[2] = {nullptr, arg};   // room for a bound method's self
    return Ref::steal(
        PyObject_Vectorcall(func, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The text form of a value: str(value).
Ref text(PyObject* value) { return Ref::steal(PyObject_Str(value)); }

// text.endswith(suffix) / text.startswith(prefix) as a truth value.
int affix(PyObject* text, PyObject* affix, bool suffix)
{
    if (PyUnicode_CheckExact(text) && PyUnicode_CheckExact(affix)) {
        return static_cast<int>(PyUnicode_Tailmatch(
            text, affix, 0, PY_SSIZE_T_MAX, suffix ? 1 : -1));
    }
    Ref result = call_method(text, suffix ? N.endswith : N.startswith, {affix});
    if (!result) {
        return -1;
    }
    return truth(result.get());
}

// dict[key] of an exact dict, with the KeyError of a missing key.
Ref dict_item(PyObject* dict, PyObject* key)
{
    PyObject* value;   // always set, nullptr when missing
    int found = PyDict_GetItemRef(dict, key, &value);
    if (found == 0) {
        PyErr_SetObject(PyExc_KeyError, key);
    }
    return Ref::steal(value);
}

}  // namespace

#endif  // TESSADYN_CHECKER_OPS_HPP
