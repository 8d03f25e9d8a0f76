// jxl_module.cpp: framewick.formats._jxl, JPEG XL reading and writing on libjxl at 8 and 16 bits and in float.
//
// A private helper of the Python package (the Pillow plugin in use reads and writes 8 bits and
// embeds no ICC profile): plain module functions bound through the frame's codec binding,
// libjxl working with the interpreter's lock released.
//
//   read(data, max_pixels) -> dict
//   write(pixels, width, height, channels, bits, *, quality=90, effort=7, orientation=1,
//         icc=None, exif=None, xmp=None) -> bytes
//
// Pixels are rows of width * channels samples (1 grey, 2 grey + alpha, 3 RGB, 4 RGBA), straight
// alpha. read() returns the first frame upright (the codestream's orientation applied, and
// reported as "orientation") as uint8 for a codestream of 8 bits or fewer, native-endian uint16
// (the full 16-bit range) for deeper integers, float32 for floating-point samples: "dtype" says
// which, "bits" the depth as coded. Its dict also holds icc (the profile of the pixels),
// icc_embedded (whether the file holds that profile, rather than a colour encoding libjxl made
// it from), exif (the TIFF structure) and xmp, each None where absent.
// write() takes uint8 (bits 8), uint16 (bits 16) or float32 (bits 32) samples; quality 100 is
// lossless. `orientation` is the EXIF orientation the pixels are stored under, kept in the
// codestream (and in the EXIF tag, when the block has one). A file libjxl refuses raises JxlError
// (an OSError) with one line; a picture over the limit raises LimitError, a JxlError, from the
// basic info, before any pixel is decoded. max_pixels 0 is no limit.
#include "jxl_codec.hpp"

#include <codec.hpp>

#include <jxl/decode.h>

#include <memory>
#include <string>

using namespace fw::codec;

namespace {

// ---- module state and the binding

struct Jxl {
    static constexpr const char *name = "framewick.formats._jxl";
    using Failure = jxlcodec::Failure;
    static void raise(PyObject *module, const Failure &f) noexcept {
        set_failure(f.limit ? errors(module).limit_error : errors(module).codec_error, f.message);
    }
    static void exec(PyObject *module, CodecErrors &state);  // the exceptions and constants
};

constexpr long long max_pixel_limit = 1LL << 62;

// ---- read(data, max_pixels)

ref read(PyObject *, const Args &args) {
    positional(args, 2);
    Buffer data(args[0]);
    auto max_pixels = std::uint64_t(integer(args[1], "max_pixels", 0, max_pixel_limit));
    std::unique_ptr<jxlcodec::Reader> reader;
    {
        WithoutGil nogil;
        reader = std::make_unique<jxlcodec::Reader>(data.data(), data.size(), max_pixels);
    }
    ref pixels = fresh_bytes(reader->pixel_bytes());
    {
        auto *out = reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(pixels.ptr()));
        WithoutGil nogil;
        reader->decode(out);
    }
    const jxlcodec::Info &info = reader->info();
    static constexpr const char *dtypes[] = {"uint8", "uint16", "float32"};
    Dict d;
    d.set("width", integer_value(info.width));
    d.set("height", integer_value(info.height));
    d.set("channels", integer_value(info.channels));
    d.set("bits", integer_value(info.bits));
    d.set("float", fw::new_bool(info.floating));
    d.set("dtype", text_value(dtypes[int(info.sample)]));
    d.set("pixels", pixels);
    d.set("orientation", integer_value(info.orientation));
    d.set("transformed", fw::new_bool(info.orientation != 1));
    d.set("icc", bytes_or_none(info.icc));
    d.set("icc_embedded", fw::new_bool(info.icc_embedded));
    d.set("exif", bytes_or_none(info.exif));
    d.set("xmp", bytes_or_none(info.xmp));
    return d.take();
}

// ---- write(pixels, width, height, channels, bits, *, quality, effort, orientation, icc, exif, xmp)

ref write(PyObject *, const Args &args) {
    auto [quality, effort, orientation, icc, exif, xmp] =
        keywords<6>(args, 5, {"quality", "effort", "orientation", "icc", "exif", "xmp"});
    Buffer pixels(args[0]);
    jxlcodec::Picture picture{pixels.data(), 0, 0, 0, 0};
    picture.width = std::uint32_t(integer(args[1], "width", 1, 0x3fffffff));
    picture.height = std::uint32_t(integer(args[2], "height", 1, 0x3fffffff));
    picture.channels = int(integer(args[3], "channels", 1, 4));
    picture.bits = int(integer(args[4], "bits", 8, 32));
    if (picture.bits != 8 && picture.bits != 16 && picture.bits != 32)
        throw fw::raise_format(PyExc_ValueError, "bits must be 8, 16 or 32, not %d", picture.bits);
    const unsigned long long expected =
        (unsigned long long)picture.width * picture.height * picture.channels * (picture.bits / 8);
    if (pixels.size() != expected)
        throw fw::raise_format(PyExc_ValueError, "%zu bytes of pixels for %ux%u with %d channels of %d bits (%llu expected)",
                               pixels.size(), picture.width, picture.height, picture.channels, picture.bits, expected);
    jxlcodec::WriteOptions options;
    if (quality) options.quality = int(integer(quality, "quality", 0, 100));
    if (effort) options.effort = int(integer(effort, "effort", 1, 10));
    if (orientation) options.orientation = int(integer(orientation, "orientation", 1, 8));
    options.icc = optional_bytes(icc);
    // libjxl keeps only a profile for the pixels' own colour space, and drops any other unsaid.
    const char *space = picture.channels <= 2 ? "GRAY" : "RGB ";
    if (!options.icc.empty() && (options.icc.size() < 128 || options.icc.compare(16, 4, space) != 0))
        throw fw::raise_format(PyExc_ValueError, "the ICC profile is not one for %s pixels",
                               picture.channels <= 2 ? "grey" : "RGB");
    options.exif = optional_bytes(exif);
    options.xmp = optional_bytes(xmp);
    std::string file;
    {
        WithoutGil nogil;
        file = jxlcodec::write(picture, options);
    }
    return bytes_value(file);
}

// ---- module definition

PyMethodDef methods[] = {
    function<Jxl, read, "read">(
        "read(data, max_pixels) -> dict: the JPEG XL picture in data, upright, at its depth, and its metadata."),
    function<Jxl, write, "write">("write(pixels, width, height, channels, bits, *, quality=90, effort=7, orientation=1, "
                                  "icc=None, exif=None, xmp=None) -> bytes: a JPEG XL file of 8, 16-bit or float pixels."),
    end_of_table,
};

void Jxl::exec(PyObject *module, CodecErrors &s) {
    s.codec_error = add_exception(module, "framewick.formats._jxl.JxlError", PyExc_OSError,
                                "A JPEG XL file libjxl refuses (damaged, truncated, not a JPEG XL), or pixels it cannot encode.");
    s.limit_error = add_exception(module, "framewick.formats._jxl.LimitError", s.codec_error,
                                  "A JPEG XL picture with more pixels than the caller's limit.");
    const std::uint32_t v = JxlDecoderVersion();
    const std::string version =
        std::to_string(v / 1000000) + "." + std::to_string(v / 1000 % 1000) + "." + std::to_string(v % 1000);
    check(PyModule_AddStringConstant(module, "LIBJXL_VERSION", version.c_str()));
}

} // namespace

extern "C" PyMODINIT_FUNC PyInit__jxl(void) {
    return define<Jxl>("_jxl", "JPEG XL reading and writing at 8 and 16 bits and in float with libjxl.", methods);
}
