// Owned references to runtime objects.
//
// An OwnedRef holds one strong reference and drops it when it goes out of
// scope, so every path out of a function releases what the function made.
// It is move-only and never converts to PyObject * on its own: get() lends
// the pointer, release() hands the reference on.  Borrowed references stay
// plain PyObject * pointers.
//
// The rule every file follows: a borrowed pointer lives only until the
// next call that can run Python code.  Almost any call can: an object
// protocol call (attribute, item, call, hash, comparison), a dict lookup
// or store whose keys are not all exact built-ins (a colliding key's
// __eq__ runs), and dropping a reference to an object the module does not
// own (a finaliser or weakref callback runs).  Whatever is used across
// such a call is held in an OwnedRef for that span, and whatever a
// failure needs to report (its Location, failure.h) stays with the call
// that failed, never in a global.
//
// Never give an OwnedRef static storage: its destructor would run after
// the interpreter is gone.
#ifndef SYSTEMDEFINE_REFS_H
#define SYSTEMDEFINE_REFS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace sd {

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    OwnedRef(const OwnedRef &) = delete;
    OwnedRef &operator=(const OwnedRef &) = delete;
    OwnedRef(OwnedRef &&other) noexcept : ptr_(other.release())
    {
    }
    OwnedRef &
    operator=(OwnedRef &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~OwnedRef()
    {
        Py_XDECREF(ptr_);
    }

    // Take over a new reference (may be NULL).
    static OwnedRef
    steal(PyObject *obj) noexcept
    {
        return OwnedRef(obj);
    }
    // Take a new reference to a borrowed object (may be NULL).
    static OwnedRef
    borrow(PyObject *obj) noexcept
    {
        Py_XINCREF(obj);
        return OwnedRef(obj);
    }

    PyObject *
    get() const noexcept
    {
        return ptr_;
    }
    explicit
    operator bool() const noexcept
    {
        return ptr_ != nullptr;
    }

    // Give up ownership without releasing.
    PyObject *
    release() noexcept
    {
        PyObject *obj = ptr_;
        ptr_ = nullptr;
        return obj;
    }
    // Release the held reference and take over obj (a new reference).
    void
    reset(PyObject *obj = nullptr) noexcept
    {
        PyObject *old = ptr_;
        ptr_ = obj;
        Py_XDECREF(old);
    }

private:
    explicit OwnedRef(PyObject *obj) noexcept : ptr_(obj)
    {
    }
    PyObject *ptr_ = nullptr;
};

}  // namespace sd

#endif  // SYSTEMDEFINE_REFS_H
