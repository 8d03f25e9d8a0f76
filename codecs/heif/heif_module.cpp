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

#include <codec.hpp>

#include <memory>
#include <string>
#include <utility>

using fw::check;
using fw::error;
using fw::handle;
using fw::ref;
using namespace fw::codec;

namespace {

// ---- module state

struct State {
    PyObject *heif_error;
    PyObject *limit_error;
};

State &state(PyObject *module) noexcept { return *static_cast<State *>(PyModule_GetState(module)); }

// ---- the binding: libheif's refusals become HeifError, or LimitError for a security limit

struct Heif {
    static constexpr const char *name = "framewick.formats._heif";
    using Failure = heifcodec::Failure;
    static void raise(PyObject *module, const Failure &f) noexcept {
        PyObject *type = f.limit() ? state(module).limit_error : state(module).heif_error;
        // libheif's messages may span lines; the error is one line.
        std::string text;
        try {
            text = one_line(f.message);
        } catch (...) {
        }
        PyErr_Format(type, "%.400s (libheif error %d.%d)", text.c_str(), f.code, f.subcode);
    }
};

constexpr long long max_pixel_limit = 1LL << 62;

// ---- read(data, max_pixels)

ref read_impl(const Buffer &data, std::uint64_t max_pixels) {
    heifcodec::Info info;
    {
        WithoutGil nogil;
        info = heifcodec::read_info(data.data(), data.size(), max_pixels);
    }
    Dict d;
    d.set("width", integer_value(info.width));
    d.set("height", integer_value(info.height));
    d.set("mode", check(PyUnicode_FromString(info.alpha ? "RGBA" : "RGB")));
    d.set("bit_depth", integer_value(info.bit_depth));
    d.set("images", integer_value(info.images));
    d.set("depth", fw::new_bool(info.depth));
    d.set("gain_map", fw::new_bool(info.gain_map));
    d.set("thumbnails", integer_value(info.thumbnails));
    d.set("transformed", fw::new_bool(info.transformed));
    ref turns = check(PyTuple_New(Py_ssize_t(info.transforms.size())));
    for (std::size_t i = 0; i < info.transforms.size(); ++i)
        PyTuple_SET_ITEM(turns.ptr(), Py_ssize_t(i), text_value(info.transforms[i]).release());
    d.set("transforms", std::move(turns));
    d.set("exif", bytes_or_none(info.exif));
    d.set("xmp", bytes_or_none(info.xmp));
    d.set("icc", bytes_or_none(info.icc));
    d.set("colour", text_or_none(info.colour));
    d.set("colour_name", text_or_none(info.colour_name));
    d.set("brand", text_value(info.brand));
    return d.take();
}

ref read(PyObject *, const Args &args) {
    positional(args, 2);
    Buffer data(args[0]);
    auto max_pixels = std::uint64_t(integer(args[1], "max_pixels", 0, max_pixel_limit));
    return read_impl(data, max_pixels);
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

ref decode(PyObject *, const Args &args) {
    positional(args, 2, 3);
    Buffer data(args[0]);
    auto max_pixels = std::uint64_t(integer(args[1], "max_pixels", 0, max_pixel_limit));
    bool via_rgb = args.has(2) && fw::truth(args[2]);
    heifcodec::Decoded d = decode_without_gil(data, max_pixels, via_rgb);
    ref head = mode_and_size(d);
    ref pixels = rows_of(d, 0, d.height);
    return fw::tuple_of(head.item(0), head.item(1), pixels);
}

ref decoder(PyObject *, const Args &args) {
    positional(args, 2);
    Buffer data(args[0]);
    auto max_pixels = std::uint64_t(integer(args[1], "max_pixels", 0, max_pixel_limit));
    auto d = std::make_unique<heifcodec::Decoded>(decode_without_gil(data, max_pixels, false));
    ref head = mode_and_size(*d);
    ref capsule = check(PyCapsule_New(d.get(), decoder_capsule, free_decoded));
    d.release();  // the capsule owns it now
    return fw::tuple_of(head.item(0), head.item(1), capsule);
}

ref rows(PyObject *, const Args &args) {
    positional(args, 3);
    auto *d = static_cast<heifcodec::Decoded *>(PyCapsule_GetPointer(args[0].ptr(), decoder_capsule));
    if (!d) throw error{};
    int row = int(integer(args[1], "row", 0, d->height));
    int count = int(integer(args[2], "count", 0, d->height - row));
    return rows_of(*d, row, count);
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

ref encode(PyObject *, const Args &args) {
    positional(args, 9);
    Buffer pixels(args[0]);
    int channels = 3 + choice(args[1], "mode", {"RGB", "RGBA"});
    int width = int(integer(args[2], "width", 1, 1 << 30)), height = int(integer(args[3], "height", 1, 1 << 30));
    int quality = int(integer(args[4], "quality", 0, 100));
    heifcodec::Metadata metadata{optional_bytes(args[5]), optional_bytes(args[6]), optional_bytes(args[7])};
    int orientation = int(integer(args[8], "orientation", 1, 8));
    return encode_impl(pixels, channels, width, height, quality, metadata, orientation);
}

// ---- module definition

PyMethodDef methods[] = {
    function<Heif, read, "read">("read(data, max_pixels) -> dict: what the HEIF file in data holds, without decoding it."),
    function<Heif, decode, "decode">(
        "decode(data, max_pixels[, via_rgb]) -> (mode, (width, height), pixels): the primary image, upright, 8 bits."),
    function<Heif, decoder, "decoder">(
        "decoder(data, max_pixels) -> (mode, (width, height), decoded): the primary image decoded, its rows to come."),
    function<Heif, rows, "rows">("rows(decoded, row, count) -> bytes: rows of a decoded picture, RGB or RGBA, 8 bits."),
    function<Heif, encode, "encode">(
        "encode(pixels, mode, width, height, quality, exif, xmp, icc, orientation) -> bytes: an HEIC file."),
    end_of_table,
};

int exec_module(PyObject *module) noexcept {
    try {
        // libheif finds its codec plugins (libde265, x265) when initialised; never undone, as the
        // module is never unloaded.
        heif_init(nullptr);
        State &s = state(module);
        s.heif_error = add_exception(module, "framewick.formats._heif.HeifError", PyExc_OSError);
        s.limit_error = add_exception(module, "framewick.formats._heif.LimitError", s.heif_error);
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
