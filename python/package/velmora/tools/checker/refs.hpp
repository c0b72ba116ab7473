// References and try/finally: Ref, the one owner of a strong reference, and
// the clean-up that Python's try/finally and except clauses run.
//
// Rules: a PyObject* that a function keeps beyond the call it got it from is
// held by a Ref. Ref::steal takes over a new reference (what most API calls
// return), Ref::borrow adds one to a borrowed reference; get() lends the
// object for as long as the Ref holds it, release() hands the reference on.
// A null Ref stands for "an exception is set", as a null result of the C API
// does. run_finally and while_handling leave the pending exception as Python
// would: the body's, unless the clean-up raised its own.

#ifndef TESSADYN_CHECKER_REFS_HPP
#define TESSADYN_CHECKER_REFS_HPP

#include "platform.hpp"

#include <utility>

namespace {

// ---------------------------------------------------------------------------
// Owning reference: holds one strong reference, released on destruction.

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept
    {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference (the result of most API calls).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* obj) noexcept
    {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    // Takes over a new reference in place of the one held.
    void reset(PyObject* obj) noexcept
    {
        PyObject* old = obj_;
        obj_ = obj;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Runs `body` with `raised` as the exception being handled, as the code of
// an except or finally clause runs: an exception raised by the body carries
// `raised` as __context__. The handled exception of before is restored.
template <class Body>
bool while_handling(PyObject* raised, Body&& body)
{
    PyObject* outer = PyErr_GetHandledException();
    PyErr_SetHandledException(raised);
    bool ok = body();
    PyErr_SetHandledException(outer);
    Py_XDECREF(outer);
    return ok;
}

// Runs `cleanup` after `body` the way Python's try/finally does: when the
// body failed, its exception is the one being handled while the clean-up
// runs and is raised again afterwards, unless the clean-up raised one of its
// own. Returns false when an exception is pending afterwards.
template <class Cleanup>
bool run_finally(bool body_ok, Cleanup&& cleanup)
{
    if (body_ok) {
        return cleanup();
    }
    PyObject* raised = PyErr_GetRaisedException();
    if (while_handling(raised, cleanup)) {
        PyErr_SetRaisedException(raised);
    }
    else {
        Py_DECREF(raised);
    }
    return false;
}

}  // namespace

#endif  // TESSADYN_CHECKER_REFS_HPP
