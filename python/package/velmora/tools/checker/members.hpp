// Member reads: obj.name through a remembered site, a load from the object
// where its class keeps the attribute in __slots__ and reads it the default
// way, the interpreter's attribute read otherwise.
//
// Rules: one MemberSite per place of reading (a name on one kind of object);
// a site remembers a type by its version tag, so any change of the type is
// seen at the next read. The result is a new reference (or null with an
// exception set), as getattr() gives.

#ifndef TESSADYN_CHECKER_MEMBERS_HPP
#define TESSADYN_CHECKER_MEMBERS_HPP

#include "platform.hpp"
#include "ops.hpp"
#include "refs.hpp"

namespace {

// The master bridge's attributes, read afresh at each use: 19 reads a line.
// Where the bridge's class keeps them in __slots__ (and reads them the
// default way) a read is a load from the object, what the interpreter's own
// specialised attribute access does; anything else is the interpreter's read.
// Measured with callgrind: the 19 reads took ~3,150 instructions of a master
// line's ~6,250.
struct MemberSite {
    PyTypeObject* type = nullptr;   // the type last seen (borrowed; with `version`)
    unsigned int version = 0;       // its version tag then; 0: not remembered
    Py_ssize_t offset = -1;         // the slot's offset, or -1: the interpreter's read
};

// Whether `name` on objects of `type` is a plain __slots__ member: the
// default attribute access, and on the type a member descriptor of an
// object slot without audit, applicable to `obj`. Remembered with the type's
// version tag, which every change of the type or its bases replaces.
void remember_member(PyTypeObject* type, PyObject* obj, PyObject* name, MemberSite& site)
{
    site = MemberSite{type, 0, -1};
#if !defined(Py_GIL_DISABLED)
    if (type->tp_getattro != PyObject_GenericGetAttr || !PyUnstable_Type_AssignVersionTag(type)) {
        return;
    }
    unsigned int version = type->tp_version_tag;
    PyObject* descr = _PyType_Lookup(type, name);
    if (version == 0 || type->tp_version_tag != version) {
        return;
    }
    site.version = version;
    if (descr == nullptr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
        return;
    }
    PyMemberDescrObject* member = reinterpret_cast<PyMemberDescrObject*>(descr);
    const PyMemberDef* def = member->d_member;
    if (def->type == Py_T_OBJECT_EX && (def->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET)) == 0 &&
        PyObject_TypeCheck(obj, PyDescr_TYPE(member))) {
        site.offset = def->offset;
    }
#else
    (void)obj;
    (void)name;
#endif
}

// obj.name, through `site`.
Ref read_member(PyObject* obj, PyObject* name, MemberSite& site)
{
    PyTypeObject* type = Py_TYPE(obj);
    if (type != site.type || site.version == 0 || type->tp_version_tag != site.version) {
        remember_member(type, obj, name, site);
    }
    if (site.offset >= 0) {
        PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + site.offset);
        if (value != nullptr) {
            return Ref::borrow(value);
        }
        // An empty slot: the interpreter's AttributeError.
    }
    return getattr(obj, name);
}

}  // namespace

#endif  // TESSADYN_CHECKER_MEMBERS_HPP
