// Module-namespace look-ups: a global name of the module's Python reading,
// looked up at each use in the module namespace, then in the built-ins,
// with the NameError of Python code when missing; and the call of a global
// name, which enters the module's own function directly while the name
// still holds it.
//
// Rules: a name the module looks up is a row of TC_GLOBALS. The remembered
// slots are borrowed from the namespace and emptied on every change of it
// (a dict watcher); a slot is only used through lookup(), which hands out a
// reference of its own. Code that may run between a look-up and its use
// (any call out of the module) may rebind the name: look it up again after.

#ifndef TESSADYN_CHECKER_LOOKUPS_HPP
#define TESSADYN_CHECKER_LOOKUPS_HPP

#include "platform.hpp"
#include "names.hpp"
#include "ops.hpp"
#include "refs.hpp"

#include <cstddef>

namespace {


// A METH_FASTCALL | METH_KEYWORDS function of this module.
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The module-level names the module's own code looks up at each use.
#define TC_GLOBALS(X)                                                                   \
    X(Dict2Obj) X(_IoddDrv) X(IoddUtility) X(__version__) X(__baseversion__) X(_state) \
    X(check) X(_discover) X(_list_master) X(_get_master) X(_print_master) X(_get_text)  \
    X(_print_dev)

enum class G {
#define TC_GLOBAL_ENUM(name) name,
    TC_GLOBALS(TC_GLOBAL_ENUM)
#undef TC_GLOBAL_ENUM
};

PyObject* global_name(G global)
{
    PyObject* const* names[] = {
#define TC_GLOBAL_NAME(name) &N.name,
        TC_GLOBALS(TC_GLOBAL_NAME)
#undef TC_GLOBAL_NAME
    };
    return *names[static_cast<int>(global)];
}

// Module-namespace look-ups are remembered until the namespace changes, one
// slot per name: a dict watcher on the namespace empties every slot on every
// change, so a rebound name is seen at its next use. Without a free watcher
// every look-up goes to the dict. Measured with callgrind (200 masters x 8
// devices): the memory saved about 9% of a check()'s instructions as a scan
// of remembered names; as slots a look-up costs a dozen instructions, against
// about 75 for that scan at _get_text's position.
struct GlobalSlot {
    PyObject* value;        // borrowed: the namespace holds it while unchanged
    FastcallFunction own;   // the module's own function bound to the name, if it is one
};

struct LookupCache {
    int watcher = -1;
    PyObject* dict = nullptr;    // the watched namespace (borrowed)
    size_t changes = 0;          // twice the times the slots were emptied
#define TC_GLOBAL_COUNT(name) +1
    GlobalSlot slots[0 TC_GLOBALS(TC_GLOBAL_COUNT)];
#undef TC_GLOBAL_COUNT
};
LookupCache g_lookups;

void forget_lookups()
{
    for (GlobalSlot& slot : g_lookups.slots) {
        slot = {nullptr, nullptr};
    }
    g_lookups.changes += 2;
}

int namespace_changed(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*)
{
    if (dict == g_lookups.dict) {
        forget_lookups();
        if (event == PyDict_EVENT_DEALLOCATED) {
            g_lookups.dict = nullptr;
        }
    }
    return 0;
}

// Starts remembering look-ups in `dict`, the module namespace.
void watch_namespace(PyObject* dict)
{
    if (g_lookups.watcher < 0) {
        g_lookups.watcher = PyDict_AddWatcher(namespace_changed);
    }
    if (g_lookups.watcher < 0 || PyDict_Watch(g_lookups.watcher, dict) < 0) {
        PyErr_Clear();
        return;
    }
    g_lookups.dict = dict;
    forget_lookups();
}

// The implementation of `func` when it is one of this module's own
// functions, bound to `module`; otherwise nullptr.
FastcallFunction own_function(PyObject* module, PyObject* func)
{
    if (!PyCFunction_Check(func) || PyCFunction_GET_SELF(func) != module) {
        return nullptr;
    }
    return reinterpret_cast<FastcallFunction>(
        reinterpret_cast<void (*)(void)>(PyCFunction_GET_FUNCTION(func)));
}

// The remembered slot of a name, or nullptr when it must be looked up.
inline const GlobalSlot* remembered(PyObject* module, G global)
{
    if (module != g_module || g_lookups.dict == nullptr) {
        return nullptr;
    }
    const GlobalSlot* slot = &g_lookups.slots[static_cast<int>(global)];
    return slot->value != nullptr ? slot : nullptr;
}

// Looks a name up in the module namespace, then in the built-ins, like a
// global name in Python code; a missing name is a NameError. `own` receives
// the implementation when the name holds one of the module's own functions.
Ref lookup_slow(PyObject* module, G global, FastcallFunction* own)
{
    PyObject* name = global_name(global);
    PyObject* dict = PyModule_GetDict(module);
    if (dict == nullptr) {
        return {};
    }
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(dict, name, &value);
    if (found > 0) {
        FastcallFunction impl = own_function(module, value);
        if (own != nullptr) {
            *own = impl;
        }
        if (dict == g_lookups.dict && module == g_module) {
            g_lookups.slots[static_cast<int>(global)] = {value, impl};
        }
        return Ref::steal(value);
    }
    if (found < 0) {
        return {};
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins != nullptr) {
        found = PyDict_GetItemRef(builtins, name, &value);
        if (found != 0) {
            if (found > 0 && own != nullptr) {
                *own = own_function(module, value);
            }
            return Ref::steal(found > 0 ? value : nullptr);
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

inline Ref lookup(PyObject* module, G global, FastcallFunction* own = nullptr)
{
    if (const GlobalSlot* slot = remembered(module, global)) {
        if (own != nullptr) {
            *own = slot->own;
        }
        return Ref::borrow(slot->value);
    }
    if (own != nullptr) {
        *own = nullptr;
    }
    return lookup_slow(module, global, own);
}

// Looks `name` up in the module namespace and calls it with `args` (their
// number known at compile time, as call() takes them). While the name still
// holds the module's own function, that function is entered directly, without
// the call machinery of a builtin: about 11% of a check()'s instructions.
template <size_t K>
Ref call_global(PyObject* module, G name, PyObject* const (&args)[K])
{
    FastcallFunction own = nullptr;
    Ref func = lookup(module, name, &own);
    if (!func) {
        return {};
    }
    if (own != nullptr) {
        return Ref::steal(own(module, args, static_cast<Py_ssize_t>(K), nullptr));
    }
    return call(func.get(), args);
}

}  // namespace

#endif  // TESSADYN_CHECKER_LOOKUPS_HPP
