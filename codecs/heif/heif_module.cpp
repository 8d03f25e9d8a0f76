// heif_module.cpp: framewick.formats._heif, the HEIF reader and writer behind the Pillow plugin.
//
// A private helper of framewick.formats.heif (not a framewick class): plain module functions
// whose shells turn the arguments into typed values and whose bodies call heif_codec, with the
// interpreter's lock released while libheif works. Every entry point is noexcept: C++ failures
// become Python exceptions at one barrier.
//
//   read(data, max_pixels) -> dict        what the file holds, nothing decoded
//   decode(data, max_pixels[, via_rgb]) -> (mode, (width, height), pixels)
//   decoder(data, max_pixels) -> (mode, (width, height), decoded)   the picture as decoded
//   rows(decoded, row, count) -> bytes                                 its rows in RGB(A), 8 bits
//   encode(pixels, mode, width, height, quality, exif, xmp, icc, orientation) -> bytes
//
// `data` and `pixels` are any bytes-like object; `exif`, `xmp` and `icc` bytes-like or None.
// libheif's refusals raise HeifError (an OSError); a refusal by one of its security limits
// raises LimitError, a HeifError.
#include "heif_codec.hpp"

#include <object.hpp>

#include <memory>
#include <new>
#include <string>
#include <utility>

using fw::check;
using fw::error;
using fw::handle;
using fw::ref;

namespace {

// ---- module state

struct State {
    PyObject *heif_error;
    PyObject *limit_error;
};

State &state(PyObject *module) noexcept { return *static_cast<State *>(PyModule_GetState(module)); }

// ---- the barrier

// Sets the Python exception for a libheif refusal.
void set_failure(PyObject *module, const heifcodec::Failure &f) noexcept {
    PyObject *type = f.limit() ? state(module).limit_error : state(module).heif_error;
    // libheif's messages may span lines; the error is one line.
    std::string text;
    for (char c : f.message)
        if (c == '\n' || c == '\r') {
            if (!text.empty() && text.back() != ' ') text += ' ';
        } else {
            text += c;
        }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    PyErr_Format(type, "%.400s (libheif error %d.%d)", text.c_str(), f.code, f.subcode);
}

// Runs a body; what it throws becomes the Python exception it stands for.
template <class Body> PyObject *barrier(PyObject *module, Body &&body) noexcept {
    try {
        return body().release();
    } catch (error &) {
    } catch (heifcodec::Failure &f) {
        set_failure(module, f);
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_Format(PyExc_SystemError, "framewick.formats._heif: %.200s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "framewick.formats._heif: unexpected C++ exception");
    }
    return nullptr;
}

// The interpreter's lock released for the life of the scope (libheif does not touch Python).
class WithoutGil {
public:
    WithoutGil() noexcept : saved_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(saved_); }
    WithoutGil(const WithoutGil &) = delete;
    WithoutGil &operator=(const WithoutGil &) = delete;

private:
    PyThreadState *saved_;
};

// ---- argument conversions

// A bytes-like argument, held for the life of the call.
class Buffer {
public:
    explicit Buffer(handle obj) { check(PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE)); }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    const std::uint8_t *data() const noexcept { return static_cast<const std::uint8_t *>(view_.buf); }
    std::size_t size() const noexcept { return std::size_t(view_.len); }

private:
    Py_buffer view_{};
};

// None or a bytes-like object, copied.
std::string optional_bytes(handle obj) {
    if (obj.is(Py_None)) return {};
    Buffer b(obj);
    return std::string(reinterpret_cast<const char *>(b.data()), b.size());
}

long long as_int(handle obj, const char *what, long long low, long long high) {
    long long v = PyLong_AsLongLong(obj.ptr());
    if (v == -1 && PyErr_Occurred()) throw error{};
    if (v < low || v > high) throw fw::raise_format(PyExc_ValueError, "%s must be between %lld and %lld, not %lld", what, low, high, v);
    return v;
}

void check_count(const char *name, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs != expected)
        throw fw::raise_format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, expected, nargs);
}

ref bytes_or_none(const std::string &s) {
    if (s.empty()) return ref::borrow(Py_None);
    return check(PyBytes_FromStringAndSize(s.data(), Py_ssize_t(s.size())));
}

ref text(const std::string &s) { return check(PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "replace")); }

void set_item(handle dict, const char *key, ref value) { check(PyDict_SetItemString(dict.ptr(), key, value.ptr())); }

// ---- read(data, max_pixels)

ref read_impl(const Buffer &data, std::uint64_t max_pixels) {
    heifcodec::Info info;
    {
        WithoutGil nogil;
        info = heifcodec::read_info(data.data(), data.size(), max_pixels);
    }
    ref d = check(PyDict_New());
    set_item(d, "width", check(PyLong_FromLong(info.width)));
    set_item(d, "height", check(PyLong_FromLong(info.height)));
    set_item(d, "mode", check(PyUnicode_FromString(info.alpha ? "RGBA" : "RGB")));
    set_item(d, "bit_depth", check(PyLong_FromLong(info.bit_depth)));
    set_item(d, "images", check(PyLong_FromLong(info.images)));
    set_item(d, "depth", fw::new_bool(info.depth));
    set_item(d, "gain_map", fw::new_bool(info.gain_map));
    set_item(d, "thumbnails", check(PyLong_FromLong(info.thumbnails)));
    set_item(d, "transformed", fw::new_bool(info.transformed));
    set_item(d, "exif", bytes_or_none(info.exif));
    set_item(d, "xmp", bytes_or_none(info.xmp));
    set_item(d, "icc", bytes_or_none(info.icc));
    set_item(d, "colour", info.colour.empty() ? ref::borrow(Py_None) : text(info.colour));
    set_item(d, "colour_name", info.colour_name.empty() ? ref::borrow(Py_None) : text(info.colour_name));
    set_item(d, "brand", text(info.brand));
    return d;
}

PyObject *read(PyObject *module, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return barrier(module, [&] {
        check_count("read", nargs, 2);
        Buffer data(args[0]);
        auto max_pixels = std::uint64_t(as_int(args[1], "max_pixels", 0, (1LL << 62)));
        return read_impl(data, max_pixels);
    });
}

// ---- decode(data, max_pixels[, via_rgb]), decoder(data, max_pixels), rows(decoder, row, count)

constexpr const char *decoder_capsule = "framewick.formats._heif.decoder";

void free_decoded(PyObject *capsule) noexcept {
    delete static_cast<heifcodec::Decoded *>(PyCapsule_GetPointer(capsule, decoder_capsule));
}

heifcodec::Decoded decode_without_gil(const Buffer &data, std::uint64_t max_pixels, bool via_rgb) {
    WithoutGil nogil;
    return heifcodec::decode(data.data(), data.size(), max_pixels, via_rgb);
}

ref mode_and_size(const heifcodec::Decoded &d) {
    ref mode = check(PyUnicode_FromString(d.channels == 4 ? "RGBA" : "RGB"));
    ref w = check(PyLong_FromLong(d.width)), h = check(PyLong_FromLong(d.height));
    return fw::tuple_of(mode, fw::tuple_of(w, h));
}

// Rows [row, row + count) of a decoded picture as bytes, converted without the GIL.
ref rows_of(const heifcodec::Decoded &d, int row, int count) {
    const auto size = Py_ssize_t(d.width) * d.channels * count;
    ref pixels = check(PyBytes_FromStringAndSize(nullptr, size));
    auto *out = reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(pixels.ptr()));
    WithoutGil nogil;
    d.rows_to(row, count, out);
    return pixels;
}

PyObject *decode(PyObject *module, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return barrier(module, [&] {
        if (nargs != 2) check_count("decode", nargs, 3);
        Buffer data(args[0]);
        auto max_pixels = std::uint64_t(as_int(args[1], "max_pixels", 0, (1LL << 62)));
        bool via_rgb = nargs == 3 && fw::truth(args[2]);
        heifcodec::Decoded d = decode_without_gil(data, max_pixels, via_rgb);
        ref head = mode_and_size(d);
        ref pixels = rows_of(d, 0, d.height);
        return fw::tuple_of(head.item(0), head.item(1), pixels);
    });
}

PyObject *decoder(PyObject *module, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return barrier(module, [&] {
        check_count("decoder", nargs, 2);
        Buffer data(args[0]);
        auto max_pixels = std::uint64_t(as_int(args[1], "max_pixels", 0, (1LL << 62)));
        auto d = std::make_unique<heifcodec::Decoded>(decode_without_gil(data, max_pixels, false));
        ref head = mode_and_size(*d);
        ref capsule = check(PyCapsule_New(d.get(), decoder_capsule, free_decoded));
        d.release();  // the capsule owns it now
        return fw::tuple_of(head.item(0), head.item(1), capsule);
    });
}

PyObject *rows(PyObject *module, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return barrier(module, [&] {
        check_count("rows", nargs, 3);
        auto *d = static_cast<heifcodec::Decoded *>(PyCapsule_GetPointer(args[0], decoder_capsule));
        if (!d) throw error{};
        int row = int(as_int(args[1], "row", 0, d->height));
        int count = int(as_int(args[2], "count", 0, d->height - row));
        return rows_of(*d, row, count);
    });
}

// ---- encode(pixels, mode, width, height, quality, exif, xmp, icc, orientation)

ref encode_impl(const Buffer &pixels, int channels, int width, int height, int quality,
                const heifcodec::Metadata &metadata, int orientation) {
    const auto row = std::size_t(width) * std::size_t(channels);
    if (pixels.size() != row * std::size_t(height))
        throw fw::raise_format(PyExc_ValueError, "%zu bytes of pixels for %dx%d with %d channels", pixels.size(), width,
                               height, channels);
    std::string file;
    {
        WithoutGil nogil;
        file = heifcodec::encode({pixels.data(), width, height, channels, row}, quality, metadata, orientation);
    }
    return check(PyBytes_FromStringAndSize(file.data(), Py_ssize_t(file.size())));
}

PyObject *encode(PyObject *module, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return barrier(module, [&] {
        check_count("encode", nargs, 9);
        Buffer pixels(args[0]);
        int channels = 0;
        if (PyUnicode_Check(args[1]) && PyUnicode_CompareWithASCIIString(args[1], "RGB") == 0) channels = 3;
        else if (PyUnicode_Check(args[1]) && PyUnicode_CompareWithASCIIString(args[1], "RGBA") == 0) channels = 4;
        else throw fw::raise_format(PyExc_ValueError, "mode must be 'RGB' or 'RGBA', not %R", args[1]);
        int width = int(as_int(args[2], "width", 1, 1 << 30)), height = int(as_int(args[3], "height", 1, 1 << 30));
        int quality = int(as_int(args[4], "quality", 0, 100));
        heifcodec::Metadata metadata{optional_bytes(args[5]), optional_bytes(args[6]), optional_bytes(args[7])};
        int orientation = int(as_int(args[8], "orientation", 1, 8));
        return encode_impl(pixels, channels, width, height, quality, metadata, orientation);
    });
}

// ---- module definition

PyMethodDef methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read)), METH_FASTCALL,
     "read(data, max_pixels) -> dict: what the HEIF file in data holds, without decoding it."},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode)), METH_FASTCALL,
     "decode(data, max_pixels[, via_rgb]) -> (mode, (width, height), pixels): the primary image, upright, 8 bits."},
    {"decoder", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decoder)), METH_FASTCALL,
     "decoder(data, max_pixels) -> (mode, (width, height), decoded): the primary image decoded, its rows to come."},
    {"rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rows)), METH_FASTCALL,
     "rows(decoded, row, count) -> bytes: rows of a decoded picture, RGB or RGBA, 8 bits."},
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)), METH_FASTCALL,
     "encode(pixels, mode, width, height, quality, exif, xmp, icc, orientation) -> bytes: an HEIC file."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject *module) noexcept {
    try {
        // libheif finds its codec plugins (libde265, x265) when initialised; never undone, as the
        // module is never unloaded.
        heif_init(nullptr);
        State &s = state(module);
        s.heif_error = check(PyErr_NewException("framewick.formats._heif.HeifError", PyExc_OSError, nullptr)).release();
        s.limit_error = check(PyErr_NewException("framewick.formats._heif.LimitError", s.heif_error, nullptr)).release();
        check(PyModule_AddObjectRef(module, "HeifError", s.heif_error));
        check(PyModule_AddObjectRef(module, "LimitError", s.limit_error));
        check(PyModule_AddObjectRef(module, "DECODES", heifcodec::can_decode() ? Py_True : Py_False));
        check(PyModule_AddObjectRef(module, "ENCODES", heifcodec::can_encode() ? Py_True : Py_False));
        check(PyModule_AddStringConstant(module, "LIBHEIF_VERSION", heif_get_version()));
        return 0;
    } catch (error &) {
        return -1;
    }
}

int traverse(PyObject *module, visitproc visit, void *arg) {
    State &s = state(module);
    Py_VISIT(s.heif_error);
    Py_VISIT(s.limit_error);
    return 0;
}

int clear(PyObject *module) {
    State &s = state(module);
    Py_CLEAR(s.heif_error);
    Py_CLEAR(s.limit_error);
    return 0;
}

void free_module(void *module) { clear(static_cast<PyObject *>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_heif", "HEIF reading and writing with libheif (the codec behind framewick.formats.heif).",
    sizeof(State), methods, slots, traverse, clear, free_module,
};

} // namespace

extern "C" PyMODINIT_FUNC PyInit__heif(void) { return PyModuleDef_Init(&module_def); }
