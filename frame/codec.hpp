// codec.hpp: the binding every codec module shares: one error barrier, the lock released,
// buffers, argument checks, dict building and the METH_FASTCALL function table.
//
// A codec module (framewick.formats._heif, _png, _tiff, ...) is a private helper of the Python
// package, not a framewick class: plain module functions whose shells check the arguments and
// whose bodies call a codec library with the interpreter's lock released. It describes itself
// once, as a traits struct:
//
//     struct Codec {
//         static constexpr const char *name = "framewick.formats._png";   // for SystemError texts
//         using Failure = pngcodec::Failure;                // the codec's own failure type
//         static void raise(PyObject *module, const Failure &) noexcept;  // sets the module's error
//         static void exec(PyObject *module, CodecErrors &);  // makes its exceptions, adds constants
//     };
//
// and each function is a body `ref body(PyObject *module, const Args &args)` listed in the
// module's table as `function<Codec, body, "name">(doc)`; a method of a class the module makes,
// `ref body(PyObject *module, PyObject *self, const Args &args)` as `method<Codec, body, "name">(doc)`. The body throws; the barrier turns what it throws into the
// Python exception it stands for:
//   fw::error           the Python error already set
//   Codec::Failure      Codec::raise (the module's own exception)
//   std::bad_alloc      MemoryError
//   anything else       SystemError naming the module
// The module itself is `define<Codec>("_png", doc, methods)`, returned from its PyInit: a
// CodecErrors state (the module's error and LimitError), the exec slot around `Codec::exec`,
// traverse, clear and free.
// Header-only: it needs nothing of the frame's class machinery, only object.hpp.
#pragma once

#include "object.hpp"
#include "pages.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>

namespace fw::codec {

// The frame's own names a codec module's source uses unqualified, brought in with the rest of
// this namespace by its `using namespace fw::codec`.
using fw::check;
using fw::error;
using fw::handle;
using fw::ref;

// A codec without a failure type of its own: its `Failure` is never thrown.
struct NoFailure {};

// ---- the barrier

// Runs `body` (returning a ref); what it throws becomes the Python exception it stands for.
template <class Codec, class Body> PyObject *barrier(PyObject *module, Body &&body) noexcept {
    try {
        return body().release();
    } catch (const error &) {
    } catch (const typename Codec::Failure &f) {
        Codec::raise(module, f);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_Format(PyExc_SystemError, "%s: %.200s", Codec::name, e.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s: unexpected C++ exception", Codec::name);
    }
    return nullptr;
}

// The interpreter's lock released for the life of the scope. Nothing in the scope may touch a
// Python object: copy what the codec needs into C++ values (or hold a Buffer) first.
class WithoutGil {
public:
    WithoutGil() noexcept : saved_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(saved_); }
    WithoutGil(const WithoutGil &) = delete;
    WithoutGil &operator=(const WithoutGil &) = delete;

private:
    PyThreadState *saved_;
};

// ---- buffers

// A read-only, contiguous bytes-like argument (bytes, bytearray, memoryview, a C-contiguous
// NumPy array), held for the life of the object. Its memory stays valid without the lock.
class Buffer {
public:
    explicit Buffer(handle obj, int flags = PyBUF_SIMPLE) { check(PyObject_GetBuffer(obj.ptr(), &view_, flags)); }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    const std::uint8_t *data() const noexcept { return static_cast<const std::uint8_t *>(view_.buf); }
    std::size_t size() const noexcept { return std::size_t(view_.len); }
    std::string_view view() const noexcept { return {static_cast<const char *>(view_.buf), size()}; }

protected:
    Py_buffer view_{};
};

// A writable, contiguous buffer (a bytearray, a writable C-contiguous NumPy array) that a codec
// fills with pixels; refused with BufferError when read-only or strided.
class PixelBuffer : public Buffer {
public:
    explicit PixelBuffer(handle obj) : Buffer(obj, PyBUF_WRITABLE) {}
    std::uint8_t *data() const noexcept { return static_cast<std::uint8_t *>(view_.buf); }
};

// ---- arguments

// The arguments of a METH_FASTCALL | METH_KEYWORDS call: `count` positional ones, then the
// values of the keywords named in `kwnames` (null: none).
struct Args {
    PyObject *const *items;
    Py_ssize_t count;
    PyObject *kwnames;
    const char *function;

    handle operator[](Py_ssize_t i) const noexcept { return items[i]; }
    // Whether positional argument i was given.
    bool has(Py_ssize_t i) const noexcept { return i < count; }
};

[[gnu::cold, gnu::noinline]] inline error count_error(const Args &args, Py_ssize_t low, Py_ssize_t high) {
    if (low == high)
        return raise_format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", args.function, low,
                            args.count);
    return raise_format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments (%zd given)", args.function,
                        low, high, args.count);
}

// Refuses a call with fewer than `low` or more than `high` positional arguments, or with any keyword.
inline void positional(const Args &args, Py_ssize_t low, Py_ssize_t high) {
    if (args.kwnames && PyTuple_GET_SIZE(args.kwnames))
        throw raise_format(PyExc_TypeError, "%s() takes no keyword arguments", args.function);
    if (args.count < low || args.count > high) throw count_error(args, low, high);
}
inline void positional(const Args &args, Py_ssize_t count) { positional(args, count, count); }

// Exactly `count` positional arguments and keyword-only arguments among `names`: their values,
// null where not given. An unknown or repeated keyword is a TypeError, as in Python.
template <std::size_t N>
std::array<handle, N> keywords(const Args &args, Py_ssize_t count, const std::array<const char *, N> &names) {
    if (args.count != count) throw count_error(args, count, count);
    std::array<handle, N> out{};
    const Py_ssize_t given = args.kwnames ? PyTuple_GET_SIZE(args.kwnames) : 0;
    for (Py_ssize_t k = 0; k < given; ++k) {
        PyObject *key = PyTuple_GET_ITEM(args.kwnames, k);
        std::size_t i = 0;
        while (i < N && PyUnicode_CompareWithASCIIString(key, names[i]) != 0) ++i;
        if (i == N)
            throw raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", args.function, key);
        if (out[i]) throw raise_format(PyExc_TypeError, "%s() got multiple values for argument '%U'", args.function, key);
        out[i] = args.items[count + k];
    }
    return out;
}

// An int argument in [low, high]; TypeError for a non-int, ValueError out of range.
inline long long integer(handle obj, const char *what, long long low, long long high) {
    long long v = PyLong_AsLongLong(obj.ptr());
    if (v == -1 && PyErr_Occurred()) throw error{};
    if (v < low || v > high)
        throw raise_format(PyExc_ValueError, "%s must be between %lld and %lld, not %lld", what, low, high, v);
    return v;
}

[[gnu::cold, gnu::noinline]] inline error number_error(handle obj, const char *what, double low, double high) {
    // PyErr_Format has no %g: the bounds are formatted here.
    char bounds[64];
    std::snprintf(bounds, sizeof bounds, "%g and %g", low, high);
    return raise_format(PyExc_ValueError, "%s must be between %s, not %R", what, bounds, obj.ptr());
}

// A float argument (any real number) in [low, high].
inline double number(handle obj, const char *what, double low, double high) {
    double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw error{};
    if (!(v >= low && v <= high)) throw number_error(obj, what, low, high);
    return v;
}

// None (or an absent argument): false. Else true, with `out` set from a number (both values)
// or a pair of numbers, each in [low, high]: a resolution, a scale.
inline bool optional_pair(handle obj, const char *what, double low, double high, double out[2]) {
    if (!obj || obj.is(Py_None)) return false;
    if (PyTuple_Check(obj.ptr()) || PyList_Check(obj.ptr())) {
        auto [x, y] = unpack<2>(obj);
        out[0] = number(x, what, low, high);
        out[1] = number(y, what, low, high);
    } else {
        out[0] = out[1] = number(obj, what, low, high);
    }
    return true;
}

// None (or an absent argument) as empty, else a bytes-like object copied.
inline std::string optional_bytes(handle obj) {
    if (!obj || obj.is(Py_None)) return {};
    Buffer b(obj);
    return std::string(b.view());
}

// The index in `allowed` of a str argument; anything else is a ValueError listing the choices:
// "mode must be 'RGB' or 'RGBA', not 'P'".
inline int choice(handle obj, const char *what, std::initializer_list<const char *> allowed) {
    int i = 0;
    if (PyUnicode_Check(obj.ptr()))
        for (const char *name : allowed) {
            if (PyUnicode_CompareWithASCIIString(obj.ptr(), name) == 0) return i;
            ++i;
        }
    std::string list;
    i = 0;
    for (const char *name : allowed) {
        if (i) list += ++i == int(allowed.size()) ? " or " : ", ";
        else ++i;
        (list += '\'') += name;
        list += '\'';
    }
    throw raise_format(PyExc_ValueError, "%s must be %s, not %R", what, list.c_str(), obj.ptr());
}

// ---- values and dicts

inline ref integer_value(long long v) { return check(PyLong_FromLongLong(v)); }
inline ref bytes_value(std::string_view s) { return check(PyBytes_FromStringAndSize(s.data(), Py_ssize_t(s.size()))); }
// UTF-8 text; undecodable bytes become U+FFFD.
inline ref text_value(std::string_view s) {
    return check(PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "replace"));
}
// A bytes object of `size` bytes, not cleared, for a codec to write whole: its pages asked of
// the kernel at once (pages.hpp: `fresh`), where a large picture would fault them in one by one
// as its rows are written. With `by_band`, huge pages are only preferred, and the codec
// populates each band just before writing it.
inline ref fresh_bytes(std::size_t size, bool by_band = false) {
    if (size > std::size_t(PY_SSIZE_T_MAX)) throw (PyErr_NoMemory(), error{});
    ref out = check(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size)));
    void *data = PyBytes_AS_STRING(out.ptr());
    WithoutGil released;
    if (by_band) prefer_huge_pages(data, size);
    else fresh(data, size);
    return out;
}
inline ref bytes_or_none(std::string_view s) { return s.empty() ? ref::borrow(Py_None) : bytes_value(s); }
inline ref text_or_none(std::string_view s) { return s.empty() ? ref::borrow(Py_None) : text_value(s); }

// A dict built key by key: `Dict d; d.set("width", integer_value(w)); return d.take();`
class Dict {
public:
    Dict() : dict_(check(PyDict_New())) {}
    Dict &set(const char *key, const ref &value) {
        check(PyDict_SetItemString(dict_.ptr(), key, value.ptr()));
        return *this;
    }
    Dict &set(handle key, const ref &value) {
        check(PyDict_SetItem(dict_.ptr(), key.ptr(), value.ptr()));
        return *this;
    }
    handle get() const noexcept { return dict_; }
    ref take() noexcept { return std::move(dict_); }

private:
    ref dict_;
};

// ---- the function table

// A function body: the module and the call's arguments in, a new reference out (or a throw).
using Body = ref (*)(PyObject *module, const Args &args);

// A function's name as a template argument: `function<Codec, read, "read">(doc)`.
template <std::size_t N> struct Name {
    char text[N];
    constexpr Name(const char (&s)[N]) noexcept {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

// A method body of a class the module made (`PyType_FromModuleAndSpec`): the module, the object
// and the call's arguments in, a new reference out (or a throw).
using MethodBody = ref (*)(PyObject *module, PyObject *self, const Args &args);

// The module that made `type` (a borrowed reference), or null with the error set. The module's
// classes are final (no Py_TPFLAGS_BASETYPE), so an object's type is the one the module made.
inline PyObject *module_of(PyTypeObject *type) noexcept { return PyType_GetModule(type); }

template <class Codec, Body body, Name name>
PyObject *entry(PyObject *module, PyObject *const *items, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    const Args args{items, PyVectorcall_NARGS(nargs), kwnames, name.text};
    return barrier<Codec>(module, [&] { return body(module, args); });
}

// One entry of a module's PyMethodDef table, METH_FASTCALL | METH_KEYWORDS, whose count and
// keyword errors quote `name`.
template <class Codec, Body body, Name name> PyMethodDef function(const char *doc) noexcept {
    // The interpreter calls ml_meth through the PyCFunctionFastWithKeywords type its flags name;
    // PyMethodDef stores it as a PyCFunction, hence the one cast, made here for every module.
    auto fast = &entry<Codec, body, name>;
    return {name.text, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

template <class Codec, MethodBody body, Name name>
PyObject *method_entry(PyObject *self, PyObject *const *items, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *module = module_of(Py_TYPE(self));
    if (!module) return nullptr;
    const Args args{items, PyVectorcall_NARGS(nargs), kwnames, name.text};
    return barrier<Codec>(module, [&] { return body(module, self, args); });
}

// One entry of a class's PyMethodDef table, as `function` for the module's functions: the body
// runs inside the barrier, with the module that made the class for `Codec::raise`.
template <class Codec, MethodBody body, Name name> PyMethodDef method(const char *doc) noexcept {
    auto fast = &method_entry<Codec, body, name>;
    return {name.text, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// The closing entry of a PyMethodDef table.
inline constexpr PyMethodDef end_of_table{nullptr, nullptr, 0, nullptr};

// ---- module pieces

// A new exception type `qualified_name` deriving from `base`, added to the module by its short
// name (what follows the last dot); returns a new reference for the module's state.
inline PyObject *add_exception(PyObject *module, const char *qualified_name, PyObject *base, const char *doc = nullptr) {
    ref type = check(PyErr_NewExceptionWithDoc(qualified_name, doc, base, nullptr));
    const std::string_view full(qualified_name);
    const std::size_t dot = full.rfind('.');
    check(PyModule_AddObjectRef(module, dot == full.npos ? qualified_name : qualified_name + dot + 1, type.ptr()));
    return type.release();
}

// ---- the module definition

// A codec module's state: its own exception type and, for a codec with a pixel limit, its
// LimitError (a subclass of the first, else null). Both are made by the exec slot, as are the
// classes of a codec whose objects carry methods (the RAW module's Raw and Pixels; null where
// the module has none), made with PyType_FromModuleAndSpec and held here.
struct CodecErrors {
    PyObject *codec_error;
    PyObject *limit_error;
    PyObject *types[2];
};

inline CodecErrors &errors(PyObject *module) noexcept { return *static_cast<CodecErrors *>(PyModule_GetState(module)); }

namespace detail {

// The exec slot: `Codec::exec(module, errors)` makes the module's exceptions and adds its
// constants, throwing on failure. A codec whose setup can fail in its library names the failure
// as `Codec::setup_failure`, the SystemError text for anything but a set Python error.
template <class Codec> int exec(PyObject *module) noexcept {
    try {
        Codec::exec(module, errors(module));
        return 0;
    } catch (const error &) {
    } catch (...) {
        if constexpr (requires { Codec::setup_failure; }) {
            PyErr_Format(PyExc_SystemError, "%s: %s", Codec::name, Codec::setup_failure);
        } else {
            try {
                throw;
            } catch (const std::bad_alloc &) {
                PyErr_NoMemory();
            } catch (const std::exception &e) {
                PyErr_Format(PyExc_SystemError, "%s: %.200s", Codec::name, e.what());
            } catch (...) {
                PyErr_Format(PyExc_SystemError, "%s: unexpected C++ exception", Codec::name);
            }
        }
    }
    return -1;
}

inline int traverse(PyObject *module, visitproc visit, void *arg) {
    CodecErrors &e = errors(module);
    Py_VISIT(e.codec_error);
    Py_VISIT(e.limit_error);
    for (PyObject *type : e.types) Py_VISIT(type);
    return 0;
}

inline int clear(PyObject *module) {
    CodecErrors &e = errors(module);
    Py_CLEAR(e.codec_error);
    Py_CLEAR(e.limit_error);
    for (PyObject *&type : e.types) Py_CLEAR(type);
    return 0;
}

inline void free_module(void *module) { clear(static_cast<PyObject *>(module)); }

} // namespace detail

// The module's PyInit: `short_name` ("_png"), its docstring and function table, a CodecErrors
// state, and the exec slot running `Codec::exec`. The module keeps the GIL.
template <class Codec> PyObject *define(const char *short_name, const char *doc, PyMethodDef *methods) noexcept {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void *>(&detail::exec<Codec>)},
        {Py_mod_gil, Py_MOD_GIL_USED},
        {0, nullptr},
    };
    static PyModuleDef module_def = {
        PyModuleDef_HEAD_INIT, short_name, doc,           sizeof(CodecErrors), methods, slots,
        detail::traverse,      detail::clear, detail::free_module,
    };
    return PyModuleDef_Init(&module_def);
}

// A codec library's message as one line: line breaks become single spaces, trailing space goes.
inline std::string one_line(std::string_view message) {
    std::string text;
    for (char c : message)
        if (c == '\n' || c == '\r') {
            if (!text.empty() && text.back() != ' ') text += ' ';
        } else {
            text += c;
        }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// Sets `type` with a codec's failure message made one line (at most 400 bytes of it, or
// `bound`); the message as it is when memory is short for the copy.
inline void set_failure(PyObject *type, const std::string &message, int bound = 400) noexcept {
    try {
        const std::string text = one_line(message);
        PyErr_Format(type, "%.*s", bound, text.c_str());
    } catch (...) {
        PyErr_Format(type, "%.*s", bound, message.c_str());
    }
}

} // namespace fw::codec
