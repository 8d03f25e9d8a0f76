// tiff_module.cpp: framewick.formats._tiff, 8 and 16-bit and float TIFF reading and writing on libtiff.
//
// A private helper of the Python package (Pillow reads a 16-bit RGB TIFF as 8 bits): plain
// module functions bound through the frame's codec binding, libtiff working in memory with the
// interpreter's lock released.
//
//   read(data, max_pixels, *, eight=None) -> dict
//   write(pixels, width, height, channels, bits_or_float, *, compression='deflate', icc=None,
//         dpi=None, alpha='unassociated', predictor=True, threads=1, fd=None) -> bytes | int
//
// Pixels are rows of width * channels interleaved samples (1 grey, 2 grey + alpha, 3 RGB,
// 4 RGBA) in the machine's byte order: uint8, uint16, or float32 (`bits_or_float` 8, 16 or
// 'float'). The read dict holds width, height, channels, bits (8, 16, 32), sample_format
// ('uint' or 'float'), alpha (what the extra sample is: 'associated', 'unassociated',
// 'unspecified', or None without one), planar, tiled, big_endian, big_tiff, compression and
// photometric (the tags' numbers as stored), orientation (reported, not applied), icc and dpi
// (None where absent) and pixels, of the file's first picture. With 16-bit samples, `eight`
// (a callable) is called as eight(first_row, rows) with bytes of whole rows of the samples' top
// bytes (the 8-bit reading), top to bottom, in the same pass; "eight" in the dict says whether
// it was. Reading takes strips or tiles,
// chunky or planar, either byte order and every compression libtiff here decodes; grey, RGB,
// and JPEG-compressed YCbCr (as RGB). `max_pixels` 0 is no limit. A file libtiff refuses, or a
// layout outside these, raises TiffError (an OSError) with one line; a picture over the limit
// raises LimitError, a TiffError, before anything is decoded. `threads` (1 to 64) compress
// deflated 8 and 16-bit strips at once; the file is the same byte for byte whatever their number.
// With `fd` (an open file descriptor, of a file written from its offset 0 on), the file is
// written straight to it, the same bytes, and its size returned; a write the system refuses
// raises OSError with its errno.
#include "tiff_codec.hpp"

#include <codec.hpp>

#include <tiffio.h>

#include <cerrno>
#include <memory>
#include <string>

using namespace fw::codec;

namespace {

// ---- module state and the binding

struct Tiff {
    static constexpr const char *name = "framewick.formats._tiff";
    using Failure = tiffcodec::Failure;
    static void raise(PyObject *module, const Failure &f) noexcept {
        if (f.os_error) {
            errno = f.os_error;
            PyErr_SetFromErrno(PyExc_OSError);
            return;
        }
        set_failure(f.limit ? errors(module).limit_error : errors(module).codec_error, f.message, 300);
    }
    static void exec(PyObject *module, CodecErrors &state);  // the exceptions and constants
};

constexpr long long max_pixel_limit = 1LL << 62;

ref alpha_name(tiffcodec::Alpha alpha) {
    switch (alpha) {
    case tiffcodec::Alpha::associated: return text_value("associated");
    case tiffcodec::Alpha::unassociated: return text_value("unassociated");
    case tiffcodec::Alpha::unspecified: return text_value("unspecified");
    case tiffcodec::Alpha::none: break;
    }
    return ref::borrow(Py_None);
}

// ---- read(data, max_pixels)

ref read(PyObject *, const Args &args) {
    auto [sink] = keywords<1>(args, 2, {"eight"});
    Buffer data(args[0]);
    auto max_pixels = std::uint64_t(integer(args[1], "max_pixels", 0, max_pixel_limit));
    std::unique_ptr<tiffcodec::Reader> reader;
    {
        WithoutGil nogil;
        reader = std::make_unique<tiffcodec::Reader>(data.data(), data.size(), max_pixels);
    }
    const std::size_t size = reader->picture_bytes();
    ref pixels = fresh_bytes(size, true);  // each strip's pages populated as it is decoded
    const bool eight = sink && !sink.is(Py_None) && reader->reads_8bit();
    const std::size_t row8 = eight ? size / 2 / reader->info().height : 0;
    // Each band of 8-bit rows goes to sink(first_row, rows_bytes) with the lock taken back for
    // the call; an exception it raises ends the reading and is raised from here.
    auto hand_over = [&](std::uint32_t first, std::uint32_t rows, const std::uint8_t *band) {
        PyGILState_STATE held = PyGILState_Ensure();
        PyObject *result = nullptr;
        if (PyObject *view = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(band), Py_ssize_t(row8 * rows))) {
            result = PyObject_CallFunction(sink.ptr(), "kO", (unsigned long)first, view);
            Py_DECREF(view);
        }
        Py_XDECREF(result);
        PyGILState_Release(held);
        if (!result) throw error{};
    };
    {
        auto *out = reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(pixels.ptr()));
        WithoutGil nogil;
        if (eight) reader->read(out, hand_over);
        else reader->read(out);
    }
    const tiffcodec::Info &info = reader->info();
    Dict d;
    d.set("width", integer_value(info.width));
    d.set("height", integer_value(info.height));
    d.set("channels", integer_value(info.channels));
    d.set("bits", integer_value(info.bits));
    d.set("sample_format", text_value(info.is_float ? "float" : "uint"));
    d.set("alpha", alpha_name(info.alpha));
    d.set("planar", fw::new_bool(info.planar));
    d.set("tiled", fw::new_bool(info.tiled));
    d.set("big_endian", fw::new_bool(info.big_endian));
    d.set("big_tiff", fw::new_bool(info.big_tiff));
    d.set("compression", integer_value(info.compression));
    d.set("photometric", integer_value(info.photometric));
    d.set("orientation", integer_value(info.orientation));
    d.set("icc", bytes_or_none(info.icc));
    d.set("dpi", info.has_dpi ? fw::tuple_of(fw::new_float(info.dpi[0]), fw::new_float(info.dpi[1]))
                              : ref::borrow(Py_None));
    d.set("pixels", pixels);
    d.set("eight", fw::new_bool(eight));
    return d.take();
}

// ---- write(pixels, width, height, channels, bits_or_float, *, compression, icc, dpi, alpha, predictor)

ref write(PyObject *, const Args &args) {
    auto [compression, icc, dpi, alpha, predictor, threads, fd] =
        keywords<7>(args, 5, {"compression", "icc", "dpi", "alpha", "predictor", "threads", "fd"});
    Buffer pixels(args[0]);
    tiffcodec::Picture picture{pixels.data(), 0, 0, 0, 0};
    picture.width = std::uint32_t(integer(args[1], "width", 1, 0xffffffffLL));
    picture.height = std::uint32_t(integer(args[2], "height", 1, 0xffffffffLL));
    picture.channels = int(integer(args[3], "channels", 1, 4));
    if (PyUnicode_Check(args[4].ptr()) && PyUnicode_CompareWithASCIIString(args[4].ptr(), "float") == 0) {
        picture.bits = 32;
    } else {
        picture.bits = PyLong_Check(args[4].ptr()) ? int(PyLong_AsLong(args[4].ptr())) : 0;
        if (picture.bits != 8 && picture.bits != 16) {
            PyErr_Clear();
            throw fw::raise_format(PyExc_ValueError, "bits_or_float must be 8, 16 or 'float', not %R", args[4].ptr());
        }
    }
    const unsigned long long expected =
        (unsigned long long)picture.width * picture.height * picture.channels * (picture.bits / 8);
    if (pixels.size() != expected)
        throw fw::raise_format(PyExc_ValueError, "%zu bytes of pixels for %ux%u with %d channels of %d bits (%llu expected)",
                               pixels.size(), picture.width, picture.height, picture.channels, picture.bits, expected);

    tiffcodec::WriteOptions options;
    if (compression) options.compression = tiffcodec::Compression(choice(compression, "compression", {"deflate", "lzw", "none"}));
    options.icc = optional_bytes(icc);
    options.has_dpi = optional_pair(dpi, "dpi", 1e-3, 1e7, options.dpi);
    if (alpha && alpha.is(Py_None)) options.alpha = tiffcodec::Alpha::none;
    else if (alpha)
        options.alpha = choice(alpha, "alpha", {"unassociated", "associated"}) ? tiffcodec::Alpha::associated
                                                                               : tiffcodec::Alpha::unassociated;
    if (predictor) options.predictor = fw::truth(predictor);
    if (threads) options.threads = int(integer(threads, "threads", 1, 64));

    if (fd && !fd.is(Py_None)) {
        const int descriptor = int(integer(fd, "fd", 0, 0x7fffffff));
        std::uint64_t size;
        {
            WithoutGil nogil;
            size = tiffcodec::write_fd(picture, options, descriptor);
        }
        return check(PyLong_FromUnsignedLongLong(size));
    }
    if (options.compression == tiffcodec::Compression::none) {
        // Its size is known within a little: written straight into the bytes object returned
        // (a large block's pages are the kernel's until written), which then gives back the rest.
        const std::size_t capacity = tiffcodec::uncompressed_size_at_most(picture, options);
        ref out = check(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(capacity)));
        auto *room = reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(out.ptr()));
        std::size_t size;
        {
            WithoutGil nogil;
            size = tiffcodec::write_into(picture, options, room, capacity);
        }
        PyObject *file = out.release();
        if (_PyBytes_Resize(&file, Py_ssize_t(size)) < 0) throw error{};
        return ref::steal(file);
    }
    std::string file;
    {
        WithoutGil nogil;
        file = tiffcodec::write(picture, options);
    }
    return bytes_value(file);
}

// ---- module definition

PyMethodDef methods[] = {
    function<Tiff, read, "read">("read(data, max_pixels, *, eight=None) -> dict: the first picture of the TIFF file in data at its "
                                 "depth, and its layout and metadata."),
    function<Tiff, write, "write">("write(pixels, width, height, channels, bits_or_float, *, compression='deflate', "
                                   "icc=None, dpi=None, alpha='unassociated', predictor=True, threads=1, fd=None) -> bytes: a TIFF file "
                                   "(with fd, written to that file descriptor: its size)."),
    end_of_table,
};

void Tiff::exec(PyObject *module, CodecErrors &s) {
    tiffcodec::route_messages();
    s.codec_error = add_exception(module, "framewick.formats._tiff.TiffError", PyExc_OSError,
                                 "A TIFF file libtiff refuses, or a layout the reader does not take.");
    s.limit_error = add_exception(module, "framewick.formats._tiff.LimitError", s.codec_error,
                                  "A TIFF picture with more pixels than the caller's limit.");
    // TIFFGetVersion is several lines ("LIBTIFF, Version 4.7.0\nCopyright ..."): the first.
    std::string version = TIFFGetVersion();
    version = version.substr(0, version.find('\n'));
    check(PyModule_AddStringConstant(module, "LIBTIFF_VERSION", version.c_str()));
}

} // namespace

extern "C" PyMODINIT_FUNC PyInit__tiff(void) {
    return define<Tiff>("_tiff", "8 and 16-bit and float TIFF reading and writing with libtiff, in memory.", methods);
}
