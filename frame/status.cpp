// status.cpp: the f-string rules for status texts.
#include "status.hpp"

#include "constants.hpp"

#include <algorithm>
#include <cstring>

namespace fw {

namespace {
PyObject *quiet_flag = nullptr;  // kept for the process once found or made
}

// 1. The registry module, made when absent. 2. Its `quiet`, when present, must be a context
//    variable (else TypeError: an object planted there is never called). 3. Without one, make
//    it and publish it, so the other modules and framewick.quiet find the same flag.
bool obtain_quiet_flag() noexcept {
    if (quiet_flag) return true;
    try {
        ref name = check(PyUnicode_FromString(status_registry));
        PyObject *modules = PyImport_GetModuleDict();
        PyObject *found = nullptr;
        ref registry;
        if (check(PyDict_GetItemRef(modules, name.ptr(), &found))) {
            registry = ref::steal(found);
        } else {
            registry = check(PyModule_NewObject(name.ptr()));
            check(PyDict_SetItem(modules, name.ptr(), registry.ptr()));
        }
        PyObject *flag = nullptr;
        if (check(PyObject_GetOptionalAttrString(registry.ptr(), "quiet", &flag))) {
            ref entry = ref::steal(flag);
            if (!PyContextVar_CheckExact(flag)) {
                PyErr_Format(PyExc_TypeError, "Shared registry entry %s.quiet is not a context variable (found %.200s)",
                             status_registry, Py_TYPE(flag)->tp_name);
                return false;
            }
            quiet_flag = entry.release();
            return true;
        }
        ref made = check(PyContextVar_New("framewick_quiet", Py_False));
        check(PyObject_SetAttrString(registry.ptr(), "quiet", made.ptr()));
        quiet_flag = made.release();
        return true;
    } catch (error &) {
        return false;
    }
}

void forget_quiet_flag() noexcept { Py_CLEAR(quiet_flag); }

bool quiet_now() {
    if (!quiet_flag) return false;
    PyObject *value = nullptr;
    if (PyContextVar_Get(quiet_flag, nullptr, &value) < 0) throw error{};
    ref flag = ref::steal(value);
    return value && check(PyObject_IsTrue(value));
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
