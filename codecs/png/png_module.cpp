// png_module.cpp: framewick.formats._png, 8 and 16-bit PNG reading and writing on libpng.
//
// A private helper of the Python package (Pillow reads a 48 or 64-bit PNG as 8 bits): plain
// module functions bound through the frame's codec binding, libpng working with the
// interpreter's lock released.
//
//   read(data, max_pixels) -> dict          the whole picture and what the file says of it
//   decoder(data, max_pixels) -> (dict, decoder)   the same without pixels, rows to come (text
//                                           and eXIf after the picture data are checked, not reported)
//   rows(decoder, count) -> bytes           the next `count` rows (fewer at the end, b"" after)
//   reduced(source, max_pixels, width, height) -> dict    an 8-bit picture decoded band by
//                                           band and reduced to width x height as it comes (an
//                                           area average): what read() says (text and eXIf
//                                           after the picture data included), with `pixels`
//                                           the reduced picture; `source` is the file's bytes
//                                           or an open file descriptor (int), read from its
//                                           start a block at a time; the picture data chunks'
//                                           CRCs are not checked (nor are they by Pillow's reading)
//   write(pixels, width, height, channels, bits, *, icc=None, dpi=None, exif=None, text=None,
//         compress_level=6) -> bytes
//
// Pixels are rows of width * channels samples (1 grey, 2 grey + alpha, 3 RGB, 4 RGBA),
// uint8 or native-endian uint16. The read dict holds width, height, channels, bits,
// interlaced, transparency (alpha made from tRNS), icc, exif, gamma, srgb, chrm and dpi (None
// where the file has no such chunk), text (a dict) and, from read(), pixels. `exif` is what
// eXIf holds, the TIFF structure without JPEG's "Exif\0\0" marker (write() drops one given).
// `max_pixels` 0 is no limit. A file libpng refuses raises PngError (an OSError) with one
// line; a picture over the limit raises LimitError, a PngError, before any row is decoded.
#include "png_codec.hpp"

#include <codec.hpp>

#include <png.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <utility>

using namespace fw::codec;

namespace {

// ---- module state and the binding

struct Png {
    static constexpr const char *name = "framewick.formats._png";
    using Failure = pngcodec::Failure;
    static void raise(PyObject *module, const Failure &f) noexcept {
        set_failure(f.limit ? errors(module).limit_error : errors(module).codec_error, f.message, 300);
    }
    static void exec(PyObject *module, CodecErrors &state);  // the exceptions and constants
};

constexpr long long max_pixel_limit = 1LL << 62;

// ---- read(data, max_pixels), decoder(data, max_pixels)

ref head(const pngcodec::Info &info) {
    Dict d;
    d.set("width", integer_value(info.width));
    d.set("height", integer_value(info.height));
    d.set("channels", integer_value(info.channels));
    d.set("bits", integer_value(info.bits));
    d.set("interlaced", fw::new_bool(info.interlaced));
    d.set("transparency", fw::new_bool(info.transparency));
    d.set("icc", bytes_or_none(info.icc));
    d.set("exif", bytes_or_none(info.exif));
    d.set("gamma", info.gamma > 0 ? fw::new_float(info.gamma) : ref::borrow(Py_None));
    d.set("srgb", info.srgb >= 0 ? integer_value(info.srgb) : ref::borrow(Py_None));
    ref chrm = ref::borrow(Py_None);
    if (info.has_chrm) {
        chrm = check(PyTuple_New(8));
        for (int i = 0; i < 8; ++i) PyTuple_SET_ITEM(chrm.ptr(), i, fw::new_float(info.chrm[i]).release());
    }
    d.set("chrm", chrm);
    d.set("dpi", info.has_dpi ? fw::tuple_of(fw::new_float(info.dpi[0]), fw::new_float(info.dpi[1]))
                              : ref::borrow(Py_None));
    Dict text;
    for (const auto &[key, value] : info.text) text.set(text_value(key), text_value(value));
    d.set("text", text.take());
    return d.take();
}

// A new bytes object for `rows` rows of the reader's picture; MemoryError past what fits.
ref row_space(const pngcodec::Reader &reader, std::uint32_t rows) {
    const std::size_t row = reader.row_bytes();
    if (rows && row > std::size_t(PY_SSIZE_T_MAX) / rows) throw (PyErr_NoMemory(), error{});
    return fresh_bytes(row * rows);
}

std::unique_ptr<pngcodec::Reader> open_reader(const Buffer &data, const Args &args) {
    auto max_pixels = std::uint64_t(integer(args[1], "max_pixels", 0, max_pixel_limit));
    WithoutGil nogil;
    return std::make_unique<pngcodec::Reader>(data.data(), data.size(), max_pixels);
}

ref read(PyObject *, const Args &args) {
    positional(args, 2);
    Buffer data(args[0]);
    auto reader = open_reader(data, args);
    const std::uint32_t height = reader->info().height;
    ref pixels = row_space(*reader, height);
    {
        auto *out = reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(pixels.ptr()));
        WithoutGil nogil;
        reader->rows(height, out);
    }
    ref d = head(reader->info());
    check(PyDict_SetItemString(d.ptr(), "pixels", pixels.ptr()));
    return d;
}

// A decoder: the reader and the bytes it reads from, held together; `busy` refuses a second
// thread while one decodes without the lock.
struct Decoder {
    Buffer data;
    std::unique_ptr<pngcodec::Reader> reader;
    std::atomic<bool> busy{false};
    explicit Decoder(handle source) : data(source) {}
};

constexpr const char *decoder_capsule = "framewick.formats._png.decoder";

void free_decoder(PyObject *capsule) noexcept {
    delete static_cast<Decoder *>(PyCapsule_GetPointer(capsule, decoder_capsule));
}

ref decoder(PyObject *, const Args &args) {
    positional(args, 2);
    auto d = std::make_unique<Decoder>(args[0]);
    d->reader = open_reader(d->data, args);
    ref info = head(d->reader->info());
    ref capsule = check(PyCapsule_New(d.get(), decoder_capsule, free_decoder));
    d.release();  // the capsule owns it now
    return fw::tuple_of(info, capsule);
}

ref rows(PyObject *, const Args &args) {
    positional(args, 2);
    auto *d = static_cast<Decoder *>(PyCapsule_GetPointer(args[0].ptr(), decoder_capsule));
    if (!d) throw error{};
    auto count = std::uint32_t(integer(args[1], "count", 0, 0x7fffffff));
    pngcodec::Reader &reader = *d->reader;
    count = std::min(count, reader.info().height - reader.next_row());
    ref pixels = row_space(reader, count);
    if (d->busy.exchange(true)) throw fw::raise_format(PyExc_RuntimeError, "the PNG decoder is in use by another thread");
    struct Free {
        Decoder *d;
        ~Free() { d->busy = false; }
    } free{d};
    auto *out = reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(pixels.ptr()));
    WithoutGil nogil;
    reader.rows(count, out);
    return pixels;
}

// ---- reduced(source, max_pixels, factor)

ref reduced(PyObject *, const Args &args) {
    positional(args, 4);
    auto max_pixels = std::uint64_t(integer(args[1], "max_pixels", 0, max_pixel_limit));
    const auto width = std::uint32_t(integer(args[2], "width", 1, 0x7fffffff));
    const auto height = std::uint32_t(integer(args[3], "height", 1, 0x7fffffff));
    std::unique_ptr<Buffer> data;
    int fd = -1;
    if (PyLong_Check(args[0].ptr())) {
        fd = int(integer(args[0], "fd", 0, 0x7fffffff));
    } else {
        data = std::make_unique<Buffer>(args[0]);
    }
    std::unique_ptr<pngcodec::Reader> reader;
    {
        WithoutGil nogil;
        reader = fd >= 0 ? std::make_unique<pngcodec::Reader>(fd, max_pixels, false)
                         : std::make_unique<pngcodec::Reader>(data->data(), data->size(), max_pixels, false);
    }
    const pngcodec::Info &info = reader->info();
    if (info.bits != 8) throw Png::Failure{"the PNG file's pixel layout is not supported for reduction"};
    if (width > info.width || height > info.height || info.width > std::uint64_t(width) * pngcodec::max_reduction ||
        info.height > std::uint64_t(height) * pngcodec::max_reduction)
        throw fw::raise_format(PyExc_ValueError, "a reduced size of %ux%u does not fit the picture's %ux%u (each side "
                               "1 to %u times smaller)", width, height, info.width, info.height, pngcodec::max_reduction);
    ref pixels = fresh_bytes(std::size_t(width) * height * info.channels);
    {
        auto *out = reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(pixels.ptr()));
        WithoutGil nogil;
        pngcodec::reduce(*reader, width, height, out);
    }
    ref d = head(info);
    check(PyDict_SetItemString(d.ptr(), "pixels", pixels.ptr()));
    return d;
}

// ---- write(pixels, width, height, channels, bits, *, icc, dpi, exif, text, compress_level)

// text: None or a dict of str to str; keys of 1 to 79 Latin-1 characters, as PNG requires.
void text_argument(handle obj, std::vector<pngcodec::WriteOptions::Text> &out) {
    if (!obj || obj.is(Py_None)) return;
    if (!PyDict_Check(obj.ptr())) throw fw::raise_format(PyExc_TypeError, "text must be a dict of str, not %T", obj.ptr());
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj.ptr(), &at, &key, &value)) {
        if (!PyUnicode_Check(key) || !PyUnicode_Check(value))
            throw fw::raise_format(PyExc_TypeError, "text must be a dict of str, not holding %R: %R", key, value);
        ref latin1 = ref::steal(PyUnicode_AsLatin1String(key));
        const Py_ssize_t length = latin1 ? PyBytes_GET_SIZE(latin1.ptr()) : 0;
        if (!latin1 || length < 1 || length > 79) {
            PyErr_Clear();
            throw fw::raise_format(PyExc_ValueError, "a PNG text key is 1 to 79 Latin-1 characters, not %R", key);
        }
        pngcodec::WriteOptions::Text t{PyBytes_AS_STRING(latin1.ptr()), {}, false};
        if (ref text = ref::steal(PyUnicode_AsLatin1String(value))) {
            t.text.assign(PyBytes_AS_STRING(text.ptr()), std::size_t(PyBytes_GET_SIZE(text.ptr())));
        } else {
            PyErr_Clear();
            Py_ssize_t size = 0;
            const char *utf8 = PyUnicode_AsUTF8AndSize(value, &size);
            if (!utf8) throw error{};
            t.text.assign(utf8, std::size_t(size));
            t.utf8 = true;
        }
        out.push_back(std::move(t));
    }
}

ref write(PyObject *, const Args &args) {
    auto [icc, dpi, exif, text, level] = keywords<5>(args, 5, {"icc", "dpi", "exif", "text", "compress_level"});
    Buffer pixels(args[0]);
    pngcodec::Picture picture{pixels.data(), 0, 0, 0, 0};
    picture.width = std::uint32_t(integer(args[1], "width", 1, 0x7fffffff));
    picture.height = std::uint32_t(integer(args[2], "height", 1, 0x7fffffff));
    picture.channels = int(integer(args[3], "channels", 1, 4));
    picture.bits = int(integer(args[4], "bits", 8, 16));
    if (picture.bits != 8 && picture.bits != 16)
        throw fw::raise_format(PyExc_ValueError, "bits must be 8 or 16, not %d", picture.bits);
    const unsigned long long expected =
        (unsigned long long)picture.width * picture.height * picture.channels * (picture.bits / 8);
    if (pixels.size() != expected)
        throw fw::raise_format(PyExc_ValueError, "%zu bytes of pixels for %ux%u with %d channels of %d bits (%llu expected)",
                               pixels.size(), picture.width, picture.height, picture.channels, picture.bits, expected);
    pngcodec::WriteOptions options;
    options.icc = optional_bytes(icc);
    options.exif = optional_bytes(exif);
    // eXIf holds the TIFF structure itself; the "Exif\0\0" marker of JPEG's APP1 is dropped.
    if (options.exif.starts_with(std::string_view("Exif\0\0", 6))) options.exif.erase(0, 6);
    options.has_dpi = optional_pair(dpi, "dpi", 1e-3, 1e7, options.dpi);
    text_argument(text, options.text);
    if (level) options.compress_level = int(integer(level, "compress_level", 0, 9));
    std::string file;
    {
        WithoutGil nogil;
        file = pngcodec::write(picture, options);
    }
    return bytes_value(file);
}

// ---- module definition

PyMethodDef methods[] = {
    function<Png, read, "read">("read(data, max_pixels) -> dict: the PNG picture in data at its depth, and its metadata."),
    function<Png, decoder, "decoder">(
        "decoder(data, max_pixels) -> (dict, decoder): what read() says before the picture data; rows() decodes it."),
    function<Png, rows, "rows">("rows(decoder, count) -> bytes: the next count rows (fewer at the end)."),
    function<Png, reduced, "reduced">(
        "reduced(source, max_pixels, width, height) -> dict: an 8-bit PNG picture reduced to width x height as it "
        "is decoded."),
    function<Png, write, "write">("write(pixels, width, height, channels, bits, *, icc=None, dpi=None, exif=None, "
                                  "text=None, compress_level=6) -> bytes: a PNG file of 8 or 16-bit pixels."),
    end_of_table,
};

void Png::exec(PyObject *module, CodecErrors &s) {
    s.codec_error = add_exception(module, "framewick.formats._png.PngError", PyExc_OSError,
                                "A PNG file libpng refuses (damaged, truncated, not a PNG).");
    s.limit_error = add_exception(module, "framewick.formats._png.LimitError", s.codec_error,
                                  "A PNG picture with more pixels than the caller's limit.");
    check(PyModule_AddStringConstant(module, "LIBPNG_VERSION", png_get_libpng_ver(nullptr)));
}

} // namespace

extern "C" PyMODINIT_FUNC PyInit__png(void) {
    return define<Png>("_png", "8 and 16-bit PNG reading and writing with libpng.", methods);
}
