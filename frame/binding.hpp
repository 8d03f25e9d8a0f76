// binding.hpp: binding a call's arguments to a body's parameters and converting them by annotation.
//
// A body is a C++ function whose first parameter is the Site of the call and whose further
// parameters are the function's parameters (receiver first). Their C++ types are the annotations:
//
//   C++ type   annotation  accepts                                     body receives
//   handle     (none)      any object                                  the object, borrowed
//   Str        "str"       exactly str                                 the object, borrowed
//   Tuple      "tuple"     exactly tuple                               the object, borrowed
//   Int        "int"       an exact int as it is; any other number     an exact int, owned
//                          through int() (nb_int or nb_index)
//   double     "float"     anything PyFloat_AsDouble converts          the double
//   bool       "bool"      any object, by its truth value              the truth value
//
// Conversions (Int, double, bool) run first, in signature order; then the exact-type tests
// (Str, Tuple) in signature order. A failed conversion gets a traceback entry at the
// definition's line; a failed type test gets none. The body runs only when all succeeded.
//
// A refusal is an ordinary outcome of a call, so binding, conversion and the type tests report
// it by answering false with the Python error set, as a type caster does; no C++ exception is
// thrown before the body runs (a throw costs thousands of instructions in the unwinder).
#pragma once

#include "function.hpp"
#include "status.hpp"
#include "traceback.hpp"

#include <new>
#include <source_location>
#include <tuple>
#include <utility>

namespace fw {

// Where a running body is: the line of the statement it executes, for its traceback entry, and
// the failure the body decided, for the call's outcome (status.hpp, report_outcome).
struct Site {
    const FunctionDef *fn;
    int line;
    ref failure{};
    // Marks the statement that follows as the current one.
    void here(std::source_location loc = std::source_location::current()) noexcept { line = int(loc.line()); }
    // The call failed, and `status_line` (the line the body printed for it) says so; the body
    // still returns as designed.
    void fail(handle status_line) noexcept { failure = ref::borrow(status_line); }
    // The body refuses a value with its own error: `throw at.refuse(PyExc_ValueError, text)`.
    error refuse(PyObject *type, handle message) {
        failure = ref::borrow(message);
        return raise(type, message);
    }
};

struct Str : handle {};
struct Tuple : handle {};
struct Int : ref {};

namespace detail {

// Binds positionals, keywords and defaults into `out` (borrowed); false with the count or
// keyword TypeError set.
bool bind(const FunctionDef &fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
          PyObject **out) noexcept;
// Sets the "has incorrect type" TypeError; returns false.
bool wrong_type(const FunctionDef &fn, std::size_t index, PyObject *value, Ann expected) noexcept;
// The conversions other than the exact-type fast paths: each stores the body's value in `out`
// and answers true, or answers false with the error set.
bool to_int(const FunctionDef &fn, std::size_t index, PyObject *value, Int &out) noexcept;
bool to_double(PyObject *value, double &out) noexcept;
bool to_bool(PyObject *value, bool &out) noexcept;
PyObject *unexpected_cxx_exception() noexcept;

// Arg<T>::convert(fn, index, value, out) stores the value the body receives; Arg<T>::test
// checks an exact type. Both answer false with the error set on a refusal.
template <class T> struct Arg;
template <> struct Arg<handle> {
    static constexpr Ann ann = Ann::none;
    static bool convert(const FunctionDef &, std::size_t, PyObject *v, handle &out) noexcept {
        out = v;
        return true;
    }
    static bool test(const FunctionDef &, std::size_t, PyObject *) noexcept { return true; }
};
template <> struct Arg<Str> {
    static constexpr Ann ann = Ann::str;
    static bool convert(const FunctionDef &, std::size_t, PyObject *v, Str &out) noexcept {
        out = Str{v};
        return true;
    }
    static bool test(const FunctionDef &fn, std::size_t i, PyObject *v) noexcept {
        return PyUnicode_CheckExact(v) || wrong_type(fn, i, v, Ann::str);
    }
};
template <> struct Arg<Tuple> {
    static constexpr Ann ann = Ann::tuple;
    static bool convert(const FunctionDef &, std::size_t, PyObject *v, Tuple &out) noexcept {
        out = Tuple{v};
        return true;
    }
    static bool test(const FunctionDef &fn, std::size_t i, PyObject *v) noexcept {
        return PyTuple_CheckExact(v) || wrong_type(fn, i, v, Ann::tuple);
    }
};
template <> struct Arg<Int> {
    static constexpr Ann ann = Ann::int_;
    static bool convert(const FunctionDef &fn, std::size_t i, PyObject *v, Int &out) noexcept {
        if (PyLong_CheckExact(v)) {
            out = Int{ref::borrow(v)};
            return true;
        }
        return to_int(fn, i, v, out);
    }
    static bool test(const FunctionDef &, std::size_t, PyObject *) noexcept { return true; }  // exact after conversion
};
template <> struct Arg<double> {
    static constexpr Ann ann = Ann::float_;
    static bool convert(const FunctionDef &, std::size_t, PyObject *v, double &out) noexcept {
        if (PyFloat_CheckExact(v)) {
            out = PyFloat_AS_DOUBLE(v);
            return true;
        }
        return to_double(v, out);
    }
    static bool test(const FunctionDef &, std::size_t, PyObject *) noexcept { return true; }
};
template <> struct Arg<bool> {
    static constexpr Ann ann = Ann::bool_;
    static bool convert(const FunctionDef &, std::size_t, PyObject *v, bool &out) noexcept {
        if (PyBool_Check(v)) {
            out = v == Py_True;
            return true;
        }
        return to_bool(v, out);
    }
    static bool test(const FunctionDef &, std::size_t, PyObject *) noexcept { return true; }
};

// Leaves the interpreter's recursion guard when the body's scope ends, however it ends.
struct RecursionScope {
    ~RecursionScope() { Py_LeaveRecursiveCall(); }
};

template <class F> struct Signature;
template <class... P> struct Signature<ref (*)(Site &, P...)> {
    static constexpr std::size_t arity = sizeof...(P);
    static_assert(arity >= 1 && arity <= max_params);
    using Params = std::tuple<P...>;
};

// The entry point the interpreter calls for a body: bind, convert, test, run; errors leave with
// the function's traceback entry. The body runs inside the interpreter's recursion guard: a body
// calls methods of its picture, and a picture that is itself a framewick object (or two that
// hold each other) would otherwise recurse natively until the C stack overflows; this way it
// ends in RecursionError, as the same class written in Python does.
template <auto Body, class... P, std::size_t... I>
PyObject *call(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames,
               std::index_sequence<I...>) noexcept {
    constexpr std::size_t n = sizeof...(P);
    const FunctionDef &fn = function_def(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *bound[n];
    PyObject *const *a = args;
    if (kwnames || nargs != Py_ssize_t(n)) {
        // Positionals only, some defaults used: the common short call, bound here inline.
        const Py_ssize_t m = Py_ssize_t(n) - PyTuple_GET_SIZE(fn.defaults_tuple);
        if (!kwnames && nargs >= m && nargs < Py_ssize_t(n)) {
            for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
            for (Py_ssize_t i = nargs; i < Py_ssize_t(n); ++i) bound[i] = PyTuple_GET_ITEM(fn.defaults_tuple, i - m);
        } else if (!bind(fn, args, nargs, kwnames, bound)) {
            add_traceback(fn.traceback_name_utf8.c_str(), fn.line);
            return nullptr;
        }
        a = bound;
    }
    // The && folds stop at the first refusal: conversions left to right, then the type tests.
    std::tuple<P...> values{};
    if (!(Arg<P>::convert(fn, I, a[I], std::get<I>(values)) && ...)) {
        add_traceback(fn.traceback_name_utf8.c_str(), fn.line);
        return nullptr;
    }
    if (!(Arg<P>::test(fn, I, a[I]) && ...)) return nullptr;
    Site at{&fn, fn.line};
    if (Py_EnterRecursiveCall(" while calling a framewick method")) {
        add_traceback(fn.traceback_name_utf8.c_str(), fn.line);
        return nullptr;
    }
    {
        RecursionScope guard;
        try {
            ref result = Body(at, std::move(std::get<I>(values))...);
            if (report_outcome(fn.method_name, at.failure.ptr())) return result.release();
            return nullptr;  // the listener failed: the call fails with its error, entry-less
        } catch (error &) {
        } catch (std::bad_alloc &) {
            PyErr_NoMemory();
        } catch (...) {
            unexpected_cxx_exception();
        }
    }
    add_traceback(fn.traceback_name_utf8.c_str(), at.line);
    report_outcome(fn.method_name, at.failure.ptr());
    return nullptr;
}

template <auto Body, class Params> struct Entry;
template <auto Body, class... P> struct Entry<Body, std::tuple<P...>> {
    static PyObject *entry(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
        return call<Body, P...>(callable, args, nargsf, kwnames, std::index_sequence_for<P...>{});
    }
    static constexpr BodyInfo info{&entry, sizeof...(P), {Arg<P>::ann...}};
};

} // namespace detail

// The frame's description of a body, for FunctionDef::body.
template <auto Body>
inline constexpr BodyInfo body = detail::Entry<Body, typename detail::Signature<decltype(Body)>::Params>::info;

// Runs `block`; if it raises an Exception (not a BaseException outside that family), the
// method's traceback entry is added and `handler` runs with the exception as the one being
// handled. Afterwards the exception context from before the block is in force again.
template <class Block, class Handler> void protect(Site &at, Block &&block, Handler &&handler) {
    ref saved = ref::steal(PyErr_GetHandledException());
    try {
        block();
        return;
    } catch (error &) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    }
    add_traceback(at.fn->traceback_name_utf8.c_str(), at.line);
    ref e = ref::steal(PyErr_GetRaisedException());
    PyErr_SetHandledException(e.ptr());
    try {
        handler(handle(e));
    } catch (...) {
        PyErr_SetHandledException(saved.ptr());
        throw;
    }
    PyErr_SetHandledException(saved.ptr());
}

} // namespace fw
