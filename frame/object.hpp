// object.hpp: owning and borrowed references, and the exception that carries "a Python error is set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

namespace fw {

// Thrown after a C-API call failed: the interpreter's error indicator is set and nothing else
// needs to be carried. Caught once, at the boundary where the interpreter called us.
struct error {};

class ref;

// A borrowed reference: never touches the reference count.
class handle {
public:
    constexpr handle() noexcept = default;
    constexpr handle(PyObject *p) noexcept : p_(p) {}

    PyObject *ptr() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(handle other) const noexcept { return p_ == other.p_; }
    PyTypeObject *type() const noexcept { return Py_TYPE(p_); }

    ref attr(handle name) const;
    void set_attr(handle name, handle value) const;
    ref item(Py_ssize_t i) const;

    // Calls with positional arguments; `call_kw` takes a tuple of keyword names whose values are
    // the last arguments, as in a vectorcall.
    template <class... A> ref operator()(A &&...args) const;
    template <class... A> ref call_kw(handle kwnames, A &&...args) const;
    // obj.name(args...) without building a bound method.
    template <class... A> ref method(handle name, A &&...args) const;
    template <class... A> ref method_kw(handle name, handle kwnames, A &&...args) const;

protected:
    PyObject *p_ = nullptr;
};

// An owning reference: releases its object when it goes out of scope.
class ref : public handle {
public:
    constexpr ref() noexcept = default;
    ref(const ref &o) noexcept : handle(o.p_) { Py_XINCREF(p_); }
    ref(ref &&o) noexcept : handle(o.p_) { o.p_ = nullptr; }
    ~ref() { Py_XDECREF(p_); }
    ref &operator=(ref o) noexcept { std::swap(p_, o.p_); return *this; }

    static ref steal(PyObject *p) noexcept { ref r; r.p_ = p; return r; }
    static ref borrow(handle h) noexcept { Py_XINCREF(h.ptr()); return steal(h.ptr()); }
    // Hands the reference to the caller.
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }
};

// Steals a new reference from a C-API call; throws when the call failed.
inline ref check(PyObject *p) {
    if (!p) throw error{};
    return ref::steal(p);
}
// For C-API calls that answer -1 on failure.
inline int check(int status) {
    if (status < 0) throw error{};
    return status;
}

// Sets an exception and hands back the C++ exception to throw: `throw raise(PyExc_ValueError, msg)`.
inline error raise(PyObject *type, handle message) {
    PyErr_SetObject(type, message.ptr());
    return error{};
}
template <class... A> error raise_format(PyObject *type, const char *format, A... args) {
    PyErr_Format(type, format, args...);
    return error{};
}

inline handle none() noexcept { return Py_None; }
inline ref new_float(double v) { return check(PyFloat_FromDouble(v)); }
inline ref new_bool(bool v) noexcept { return ref::borrow(v ? Py_True : Py_False); }
inline bool truth(handle h) { return check(PyObject_IsTrue(h.ptr())) != 0; }
// a == b as a truth value. Two exact strs compare by text directly (their == cannot be
// overridden), which skips the rich-comparison dispatch on the methods' hot paths.
inline bool equal(handle a, handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) return PyUnicode_Equal(a.ptr(), b.ptr()) == 1;
    return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ)) != 0;
}
inline bool compare(handle a, handle b, int op) { return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), op)) != 0; }

// A new tuple of the given objects: `tuple_of(left, top, right, bottom)`.
// Filled in place rather than through PyTuple_Pack's variadic loop: this is on hot paths (crop).
template <class... A> ref tuple_of(const A &...items) {
    ref t = check(PyTuple_New(Py_ssize_t(sizeof...(A))));
    [[maybe_unused]] Py_ssize_t i = 0;
    (PyTuple_SET_ITEM(t.ptr(), i++, Py_NewRef(handle(items).ptr())), ...);
    return t;
}

// Unpacks an iterable into exactly N values, as `a, b, c = value` does (same ValueError texts).
template <std::size_t N> std::array<ref, N> unpack(handle value) {
    ref it = check(PyObject_GetIter(value.ptr()));
    std::array<ref, N> out;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", N, i);
            throw error{};
        }
        out[i] = ref::steal(item);
    }
    if (PyObject *extra = PyIter_Next(it.ptr())) {
        Py_DECREF(extra);
        // Like the interpreter, a tuple, list or dict also says how many it had.
        if (PyTuple_CheckExact(value.ptr()) || PyList_CheckExact(value.ptr()) || PyDict_CheckExact(value.ptr()))
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu, got %zd)", N,
                         PyObject_Length(value.ptr()));
        else
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", N);
        throw error{};
    }
    if (PyErr_Occurred()) throw error{};
    return out;
}

namespace detail {
inline PyObject *as_ptr(handle h) noexcept { return h.ptr(); }

template <class... A>
ref vectorcall(PyObject *callable, PyObject *kwnames, A &&...args) {
    // Slot 0 stays free so that a bound method can prepend its receiver without copying.
    PyObject *argv[] = {nullptr, as_ptr(args)...};
    size_t n = sizeof...(A) - (kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0);
    return check(PyObject_Vectorcall(callable, argv + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}
template <class... A>
ref vectorcall_method(PyObject *name, PyObject *self, PyObject *kwnames, A &&...args) {
    PyObject *argv[] = {self, as_ptr(args)...};
    size_t n = 1 + sizeof...(A) - (kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0);
    return check(PyObject_VectorcallMethod(name, argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}
} // namespace detail

inline ref handle::attr(handle name) const { return check(PyObject_GetAttr(p_, name.ptr())); }
inline void handle::set_attr(handle name, handle value) const { check(PyObject_SetAttr(p_, name.ptr(), value.ptr())); }
inline ref handle::item(Py_ssize_t i) const { return check(PySequence_GetItem(p_, i)); }

template <class... A> ref handle::operator()(A &&...args) const {
    return detail::vectorcall(p_, nullptr, std::forward<A>(args)...);
}
template <class... A> ref handle::call_kw(handle kwnames, A &&...args) const {
    return detail::vectorcall(p_, kwnames.ptr(), std::forward<A>(args)...);
}
template <class... A> ref handle::method(handle name, A &&...args) const {
    return detail::vectorcall_method(name.ptr(), p_, nullptr, std::forward<A>(args)...);
}
template <class... A> ref handle::method_kw(handle name, handle kwnames, A &&...args) const {
    return detail::vectorcall_method(name.ptr(), p_, kwnames.ptr(), std::forward<A>(args)...);
}

} // namespace fw
