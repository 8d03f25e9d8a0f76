// status.cpp: the f-string rules for status texts.
#include "status.hpp"

#include "constants.hpp"

#include <algorithm>
#include <cstring>

namespace fw {

namespace {
// Kept for the claiming interpreter once found (see forget_status_sink).
PyObject *quiet_flag = nullptr;
PyObject *listener = nullptr;
PyObject *line_name = nullptr, *outcome_name = nullptr;
PyObject *refused = nullptr;  // the sink's record of refusals, heard with or without a listener

// The sink's context variable `name`; TypeError when it is anything else.
ref sink_variable(handle sink, const char *name) {
    ref value = check(PyObject_GetAttrString(sink.ptr(), name));
    if (!PyContextVar_CheckExact(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s.%s is not a context variable (found %.200s)", status_sink, name,
                     value.type()->tp_name);
        throw error{};
    }
    return value;
}

// The caller's listener (a new reference), or null when there is none.
PyObject *current_listener() {
    PyObject *value = nullptr;
    if (!listener) return nullptr;
    if (PyContextVar_Get(listener, Py_None, &value) < 0) throw error{};
    if (value == Py_None) {
        Py_DECREF(value);
        return nullptr;
    }
    return value;
}
} // namespace

// 1. Import the sink (a module already in sys.modules is taken as it is).
// 2. Take both variables; anything but a context variable is refused, never called.
bool obtain_status_sink() noexcept {
    if (quiet_flag) return true;
    try {
        ref sink = check(PyImport_ImportModule(status_sink));  // the submodule, as sys.modules has it
        ref flag = sink_variable(sink, "quiet_flag");
        ref heard = sink_variable(sink, "listener");
        ref record = check(PyObject_GetAttrString(sink.ptr(), "refused"));
        if (!PyCallable_Check(record.ptr())) {
            PyErr_Format(PyExc_TypeError, "%s.refused is not callable (found %.200s)", status_sink, record.type()->tp_name);
            return false;
        }
        ref line = check(PyUnicode_InternFromString("line"));
        ref outcome = check(PyUnicode_InternFromString("outcome"));
        quiet_flag = flag.release();
        listener = heard.release();
        line_name = line.release();
        outcome_name = outcome.release();
        refused = record.release();
        return true;
    } catch (error &) {
        return false;
    }
}

void forget_status_sink() noexcept {
    Py_CLEAR(quiet_flag);
    Py_CLEAR(listener);
    Py_CLEAR(line_name);
    Py_CLEAR(outcome_name);
    Py_CLEAR(refused);
}

bool quiet_now() {
    if (!quiet_flag) return false;
    PyObject *value = nullptr;
    if (PyContextVar_Get(quiet_flag, nullptr, &value) < 0) throw error{};
    ref flag = ref::steal(value);
    return value && check(PyObject_IsTrue(value));
}

bool status_taken(handle line) {
    if (quiet_now()) return true;
    ref heard = ref::steal(current_listener());
    if (!heard) return false;
    ref took = check(PyObject_CallMethodOneArg(heard.ptr(), line_name, line.ptr()));
    return check(PyObject_IsTrue(took.ptr()));
}

// 1. No listener: nothing to do (the common case, one context lookup). 2. A returned call is
//    heard as done or failed with its line; an error hearing it is the call's error. 3. A raised
//    call is heard with its exception, which is then raised again; an error while hearing it is
//    reported as unraisable, since the call's own error is the one the caller must see.
bool report_outcome(PyObject *method, PyObject *line) noexcept {
    const bool raised = PyErr_Occurred() != nullptr;
    if (!listener) return !raised;
    ref exc = ref::steal(raised ? PyErr_GetRaisedException() : nullptr);
    if (raised && line) {  // a refusal (rare): recorded for the caller's context in any case
        PyObject *args[] = {method, line, exc.ptr()};
        PyObject *result = PyObject_Vectorcall(refused, args, 3, nullptr);
        if (!result) PyErr_WriteUnraisable(method);
        Py_XDECREF(result);
    }
    PyObject *heard = nullptr;
    try {
        heard = current_listener();
    } catch (error &) {
        if (!raised) return false;
        PyErr_WriteUnraisable(method);
    }
    if (heard) {
        ref owner = ref::steal(heard);
        PyObject *args[] = {heard, method, line ? line : Py_None, exc ? exc.ptr() : Py_None};
        PyObject *result = PyObject_VectorcallMethod(outcome_name, args, 4, nullptr);
        if (!result) {
            if (!raised) return false;
            PyErr_WriteUnraisable(method);
        }
        Py_XDECREF(result);
    }
    if (raised) {
        PyErr_SetRaisedException(exc.release());
        return false;
    }
    return true;
}

} // namespace fw

namespace fw::detail {

ref text_of(handle v) {
    PyTypeObject *t = v.type();
    if (t == &PyUnicode_Type) return ref::borrow(v);
    if (t == &PyLong_Type || t == &PyFloat_Type) return check(PyObject_Repr(v.ptr()));
    return check(PyObject_Format(v.ptr(), empty_str.ptr()));
}

ref text_of(as_float v) {
    char *text = PyOS_double_to_string(v.value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) throw error{};
    PyObject *s = PyUnicode_FromString(text);
    PyMem_Free(text);
    return check(s);
}

namespace {

template <class From, class To> void widen(const void *src, Py_ssize_t n, void *dst) {
    const From *s = static_cast<const From *>(src);
    std::copy(s, s + n, static_cast<To *>(dst));
}

// Copies `text` into the fresh `out` at character `at`. `out` is not shared yet and its kind is
// at least as wide as the text's, so the characters are written straight into its buffer.
void copy_into(PyObject *out, Py_ssize_t at, PyObject *text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int to = PyUnicode_KIND(out), from = PyUnicode_KIND(text);
    char *dst = static_cast<char *>(PyUnicode_DATA(out)) + at * to;
    const void *src = PyUnicode_DATA(text);
    if (from == to) {
        std::memcpy(dst, src, std::size_t(n) * std::size_t(to));
    } else if (from == PyUnicode_1BYTE_KIND && to == PyUnicode_2BYTE_KIND) {
        widen<Py_UCS1, Py_UCS2>(src, n, dst);
    } else if (from == PyUnicode_1BYTE_KIND) {
        widen<Py_UCS1, Py_UCS4>(src, n, dst);
    } else {
        widen<Py_UCS2, Py_UCS4>(src, n, dst);
    }
}

} // namespace

// 1. Add up the lengths and take the widest character kind (each piece is in its narrowest
//    kind, so the widest is the narrowest for the whole). 2. One allocation. 3. Copy each piece
//    in, widened where its kind is narrower.
ref join_texts(const ref *texts, std::size_t n) {
    if (n == 1 && PyUnicode_CheckExact(texts[0].ptr())) return texts[0];
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *t = texts[i].ptr();
        const Py_ssize_t len = PyUnicode_GET_LENGTH(t);
        if (len > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
            throw error{};
        }
        length += len;
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(t));
    }
    ref out = check(PyUnicode_New(length, maxchar));
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        copy_into(out.ptr(), at, texts[i].ptr());
        at += PyUnicode_GET_LENGTH(texts[i].ptr());
    }
    return out;
}

} // namespace fw::detail
