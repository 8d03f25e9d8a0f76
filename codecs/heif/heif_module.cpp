// heif_module.cpp: framewick.formats._heif, the HEIF reader and writer behind the Pillow plugin.
//
// A private helper of framewick.formats.heif (not a framewick class): plain module functions
// whose shells turn the arguments into typed values and whose bodies call heif_codec, with the
// interpreter's lock released while libheif works. Every entry point is noexcept: C++ failures
// become Python exceptions at one barrier.
//
//   read(data, max_pixels) -> dict        what the file holds, nothing decoded
//   decode(data, max_pixels[, via_rgb], *, bits=8) -> (mode, (width, height), pixels)
//   decoder(data, max_pixels, *, bits=8) -> (mode, (width, height), decoded)   the picture as decoded
//   rows(decoded, row, count) -> bytes                                 its rows in RGB(A)
//   encode(pixels, mode, width, height, quality, exif, xmp, icc, orientation, *, bits=8, depth=None,
//          gain_map=None, headroom=None, gain_map_xmp=None, tone_map=None, subsampling=None) -> bytes
//                                                       mode "L", "LA", "RGB" or "RGBA"
//   gain_map(data, max_pixels) -> dict or None                          the primary's HDR gain map
//
// `data` and `pixels` are any bytes-like object; `exif`, `xmp` and `icc` bytes-like or None.
// `bits` 16 hands out (or takes) native-endian uint16 samples: a 10 or 12-bit picture scaled by
// v * 65535 / (2^bits - 1) rounded (an 8-bit one by 257), converted to RGB by libheif at its own
// depth. encode()'s `depth` is the coded depth: 8, or 10 and 12 (x265's Main 10 and Main 12),
// 10 by default for 16-bit pixels; its `subsampling` "4:2:0" (x265's own), "4:2:2" or "4:4:4". "L" and "LA"
// are coded monochrome (4:0:0, alpha as its own image); an encoder that refuses monochrome fails
// with HeifError, and the caller may send RGB. Its `gain_map` is (pixels, mode, width, height), 8-bit "L" or
// "RGB", stored as Apple's auxiliary gain-map image with `headroom` written into its XMP (or
// `gain_map_xmp` as given, to carry one that was read); with `tone_map` (an ISO 21496-1 metadata
// payload) the map is instead the input of a tone-map item ('tmap') derived from the picture.
// gain_map() gives type (the auxiliary type URN, or "tmap"), mode ("L" or "RGB"), size,
// pixels (8 bits; None when they could not be had), transforms, xmp, exif, metadata (the tone-map
// item's payload), headroom (float or None), maker_headroom and maker_gain (Apple's maker-note
// tags 33 and 48 in the primary's EXIF, as stored, or None) and error (None, or why there are no pixels: a
// damaged or oversized gain map is reported here and never fails the picture).
// libheif's refusals raise HeifError (an OSError); a refusal by one of its security limits
// raises LimitError, a HeifError.
#include "heif_codec.hpp"

#include <codec.hpp>

#include <memory>
#include <string>
#include <utility>

using namespace fw::codec;

namespace {

// ---- module state

// ---- the binding: libheif's refusals become HeifError, or LimitError for a security limit

struct Heif {
    static constexpr const char *name = "framewick.formats._heif";
    using Failure = heifcodec::Failure;
    static void raise(PyObject *module, const Failure &f) noexcept {
        PyObject *type = f.limit() ? errors(module).limit_error : errors(module).codec_error;
        // libheif's messages may span lines; the error is one line.
        std::string text;
        try {
            text = one_line(f.message);
        } catch (...) {
        }
        PyErr_Format(type, "%.400s (libheif error %d.%d)", text.c_str(), f.code, f.subcode);
    }
    static void exec(PyObject *module, CodecErrors &state);  // the exceptions and constants
};

constexpr long long max_pixel_limit = 1LL << 62;

// The sample size of pixels handed out or taken: 8 or 16.
int choice_of_bits(handle obj) {
    if (PyLong_Check(obj.ptr())) {
        long v = PyLong_AsLong(obj.ptr());
        if (v == 8 || v == 16) return int(v);
        if (v == -1 && PyErr_Occurred()) throw error{};
    }
    throw fw::raise_format(PyExc_ValueError, "bits must be 8 or 16, not %R", obj.ptr());
}

// The coded depth: 8, 10 or 12 (as 0, 1, 2).
int choice_of_depth(handle obj) {
    if (PyLong_Check(obj.ptr())) {
        long v = PyLong_AsLong(obj.ptr());
        if (v == 8 || v == 10 || v == 12) return int(v - 8) / 2;
        if (v == -1 && PyErr_Occurred()) throw error{};
    }
    throw fw::raise_format(PyExc_ValueError, "depth must be 8, 10 or 12, not %R", obj.ptr());
}

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
    ref thumbs = check(PyTuple_New(Py_ssize_t(info.thumbs.size())));
    for (std::size_t i = 0; i < info.thumbs.size(); ++i) {
        const auto &t = info.thumbs[i];
        Dict item;
        item.set("width", integer_value(t.width));
        item.set("height", integer_value(t.height));
        item.set("mode", check(PyUnicode_FromString(t.alpha ? "RGBA" : "RGB")));
        item.set("bit_depth", integer_value(t.bit_depth));
        ref its = check(PyTuple_New(Py_ssize_t(t.transforms.size())));
        for (std::size_t j = 0; j < t.transforms.size(); ++j)
            PyTuple_SET_ITEM(its.ptr(), Py_ssize_t(j), text_value(t.transforms[j]).release());
        item.set("transforms", std::move(its));
        PyTuple_SET_ITEM(thumbs.ptr(), Py_ssize_t(i), item.take().release());
    }
    d.set("thumbs", std::move(thumbs));
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

heifcodec::Decoded decode_without_gil(const Buffer &data, std::uint64_t max_pixels, bool via_rgb, int bits,
                                      int thumbnail = -1) {
    WithoutGil nogil;
    return heifcodec::decode(data.data(), data.size(), max_pixels, via_rgb, bits, thumbnail);
}

// The `bits` keyword: 8 (the default) or 16.
int sample_bits(handle obj) {
    if (!obj || obj.is(Py_None)) return 8;
    return choice_of_bits(obj);
}

ref mode_and_size(const heifcodec::Decoded &d) {
    ref mode = check(PyUnicode_FromString(d.channels == 4 ? "RGBA" : "RGB"));
    ref w = check(PyLong_FromLong(d.width)), h = check(PyLong_FromLong(d.height));
    return fw::tuple_of(mode, fw::tuple_of(w, h));
}

// Rows [row, row + count) of a decoded picture as bytes, converted without the GIL.
ref rows_of(const heifcodec::Decoded &d, int row, int count) {
    ref pixels = fresh_bytes(std::size_t(d.width) * d.channels * std::size_t(count) * std::size_t(d.out_bits / 8));
    auto *out = reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(pixels.ptr()));
    WithoutGil nogil;
    d.rows_out(row, count, out);
    return pixels;
}

ref decode(PyObject *, const Args &args) {
    if (args.count < 2 || args.count > 3) throw fw::codec::count_error(args, 2, 3);
    auto [bits_arg] = keywords<1>(args, args.count, {"bits"});
    Buffer data(args[0]);
    auto max_pixels = std::uint64_t(integer(args[1], "max_pixels", 0, max_pixel_limit));
    bool via_rgb = args.has(2) && fw::truth(args[2]);
    int bits = sample_bits(bits_arg);
    heifcodec::Decoded d = decode_without_gil(data, max_pixels, via_rgb, bits);
    ref head = mode_and_size(d);
    ref pixels = rows_of(d, 0, d.height);
    return fw::tuple_of(head.item(0), head.item(1), pixels);
}

ref decoder(PyObject *, const Args &args) {
    auto [bits_arg, thumb_arg] = keywords<2>(args, 2, {"bits", "thumbnail"});
    Buffer data(args[0]);
    auto max_pixels = std::uint64_t(integer(args[1], "max_pixels", 0, max_pixel_limit));
    int bits = sample_bits(bits_arg);
    int thumbnail = (!thumb_arg || thumb_arg.is(Py_None)) ? -1 : int(integer(thumb_arg, "thumbnail", 0, 1 << 20));
    auto d = std::make_unique<heifcodec::Decoded>(decode_without_gil(data, max_pixels, false, bits, thumbnail));
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

// ---- encode(pixels, mode, width, height, quality, exif, xmp, icc, orientation, *, bits, depth,
//             gain_map, headroom, gain_map_xmp)

// A picture's pixels checked against its size: `width * height * channels` samples of `bits`.
heifcodec::Picture picture_of(const Buffer &pixels, int channels, int width, int height, int bits) {
    const auto row = std::size_t(width) * std::size_t(channels) * std::size_t(bits / 8);
    if (pixels.size() != row * std::size_t(height))
        throw fw::raise_format(PyExc_ValueError, "%zu bytes of pixels for %dx%d with %d channels of %d bits",
                               pixels.size(), width, height, channels, bits);
    return {pixels.data(), width, height, channels, row, bits};
}

ref encode(PyObject *, const Args &args) {
    auto [bits_arg, depth_arg, gain_arg, headroom_arg, gain_xmp_arg, tone_map_arg, subsampling_arg] = keywords<7>(
        args, 9, {"bits", "depth", "gain_map", "headroom", "gain_map_xmp", "tone_map", "subsampling"});
    Buffer pixels(args[0]);
    int channels = 1 + choice(args[1], "mode", {"L", "LA", "RGB", "RGBA"});
    int width = int(integer(args[2], "width", 1, 1 << 30)), height = int(integer(args[3], "height", 1, 1 << 30));
    int quality = int(integer(args[4], "quality", 0, 100));
    heifcodec::Metadata metadata{optional_bytes(args[5]), optional_bytes(args[6]), optional_bytes(args[7])};
    int orientation = int(integer(args[8], "orientation", 1, 8));
    int bits = sample_bits(bits_arg);
    int depth = bits == 16 ? 10 : 8;
    if (depth_arg && !depth_arg.is(Py_None)) depth = 8 + 2 * choice_of_depth(depth_arg);
    heifcodec::Picture picture = picture_of(pixels, channels, width, height, bits);
    static constexpr const char *chromas[] = {"420", "422", "444"};
    const char *chroma = nullptr;
    if (subsampling_arg && !subsampling_arg.is(Py_None))
        chroma = chromas[choice(subsampling_arg, "subsampling", {"4:2:0", "4:2:2", "4:4:4"})];
    // The gain map: its pixels held (as Buffer) for the encode, its XMP made or taken.
    std::unique_ptr<Buffer> gain_pixels;
    std::unique_ptr<heifcodec::GainMapPicture> gain;
    if (gain_arg && !gain_arg.is(Py_None)) {
        if (!PyTuple_Check(gain_arg.ptr()) || PyTuple_GET_SIZE(gain_arg.ptr()) != 4)
            throw fw::raise_format(PyExc_TypeError, "gain_map must be a (pixels, mode, width, height) tuple");
        handle item[4];
        for (Py_ssize_t i = 0; i < 4; ++i) item[i] = PyTuple_GET_ITEM(gain_arg.ptr(), i);
        gain_pixels = std::make_unique<Buffer>(item[0]);
        int gain_channels = choice(item[1], "gain map mode", {"L", "RGB"}) ? 3 : 1;
        int gw = int(integer(item[2], "gain map width", 1, 1 << 30)), gh = int(integer(item[3], "gain map height", 1, 1 << 30));
        gain = std::make_unique<heifcodec::GainMapPicture>();
        gain->picture = picture_of(*gain_pixels, gain_channels, gw, gh, 8);
        const bool has_headroom = headroom_arg && !headroom_arg.is(Py_None);
        const bool has_xmp = gain_xmp_arg && !gain_xmp_arg.is(Py_None);
        if (has_headroom && has_xmp)
            throw fw::raise_format(PyExc_ValueError, "give the gain map's headroom or its XMP, not both");
        if (has_headroom) gain->xmp = heifcodec::gain_map_xmp(number(headroom_arg, "headroom", 0.0, 1000.0));
        if (has_xmp) gain->xmp = optional_bytes(gain_xmp_arg);
        if (tone_map_arg && !tone_map_arg.is(Py_None)) {
            gain->tone_map = optional_bytes(tone_map_arg);
            if (gain->tone_map.empty()) throw fw::raise_format(PyExc_ValueError, "tone_map must not be empty");
        }
    } else if ((headroom_arg && !headroom_arg.is(Py_None)) || (gain_xmp_arg && !gain_xmp_arg.is(Py_None)) ||
               (tone_map_arg && !tone_map_arg.is(Py_None))) {
        throw fw::raise_format(PyExc_ValueError, "headroom, gain_map_xmp and tone_map need a gain_map");
    }
    std::string file;
    {
        WithoutGil nogil;
        file = heifcodec::encode(picture, quality, metadata, orientation, depth, gain.get(), chroma);
    }
    return check(PyBytes_FromStringAndSize(file.data(), Py_ssize_t(file.size())));
}

// ---- gain_map(data, max_pixels)

ref gain_map(PyObject *, const Args &args) {
    positional(args, 2);
    Buffer data(args[0]);
    auto max_pixels = std::uint64_t(integer(args[1], "max_pixels", 0, max_pixel_limit));
    heifcodec::GainMap g;
    {
        WithoutGil nogil;
        g = heifcodec::gain_map(data.data(), data.size(), max_pixels);
    }
    if (!g.found) return ref::borrow(Py_None);
    Dict d;
    d.set("type", text_value(g.type));
    d.set("mode", g.pixels.empty() ? ref::borrow(Py_None) : check(PyUnicode_FromString(g.channels == 1 ? "L" : "RGB")));
    d.set("size", fw::tuple_of(integer_value(g.width), integer_value(g.height)));
    d.set("pixels", g.pixels.empty() ? ref::borrow(Py_None) : bytes_value(g.pixels));
    ref turns = check(PyTuple_New(Py_ssize_t(g.transforms.size())));
    for (std::size_t i = 0; i < g.transforms.size(); ++i)
        PyTuple_SET_ITEM(turns.ptr(), Py_ssize_t(i), text_value(g.transforms[i]).release());
    d.set("transforms", std::move(turns));
    d.set("xmp", bytes_or_none(g.xmp));
    d.set("exif", bytes_or_none(g.exif));
    d.set("metadata", bytes_or_none(g.metadata));
    d.set("headroom", g.has_headroom ? check(PyFloat_FromDouble(g.headroom)) : ref::borrow(Py_None));
    d.set("maker_headroom", g.has_maker_headroom ? check(PyFloat_FromDouble(g.maker_headroom)) : ref::borrow(Py_None));
    d.set("maker_gain", g.has_maker_gain ? check(PyFloat_FromDouble(g.maker_gain)) : ref::borrow(Py_None));
    d.set("error", text_or_none(g.error));
    return d.take();
}

// ---- module definition

PyMethodDef methods[] = {
    function<Heif, read, "read">("read(data, max_pixels) -> dict: what the HEIF file in data holds, without decoding it."),
    function<Heif, decode, "decode">("decode(data, max_pixels[, via_rgb], *, bits=8) -> (mode, (width, height), pixels): "
                                     "the primary image, upright, 8 bits or native uint16."),
    function<Heif, decoder, "decoder">("decoder(data, max_pixels, *, bits=8, thumbnail=None) -> (mode, (width, height), "
                                       "decoded): the primary image (or its thumbnail of that index) decoded, its rows to come."),
    function<Heif, rows, "rows">(
        "rows(decoded, row, count) -> bytes: rows of a decoded picture, RGB or RGBA, at the decoder's bits."),
    function<Heif, encode, "encode">("encode(pixels, mode, width, height, quality, exif, xmp, icc, orientation, *, bits=8, "
                                     "depth=None, gain_map=None, headroom=None, gain_map_xmp=None, tone_map=None, "
                                     "subsampling=None) -> bytes: an HEIC file."),
    function<Heif, gain_map, "gain_map">(
        "gain_map(data, max_pixels) -> dict or None: the primary image's HDR gain map, decoded to 8 bits."),
    end_of_table,
};

void Heif::exec(PyObject *module, CodecErrors &s) {
    // libheif finds its codec plugins (libde265, x265) when initialised; never undone, as the
    // module is never unloaded.
    heif_init(nullptr);
    s.codec_error = add_exception(module, "framewick.formats._heif.HeifError", PyExc_OSError);
    s.limit_error = add_exception(module, "framewick.formats._heif.LimitError", s.codec_error);
    check(PyModule_AddObjectRef(module, "DECODES", heifcodec::can_decode() ? Py_True : Py_False));
    check(PyModule_AddObjectRef(module, "ENCODES", heifcodec::can_encode() ? Py_True : Py_False));
    check(PyModule_AddStringConstant(module, "LIBHEIF_VERSION", heif_get_version()));
}

} // namespace

extern "C" PyMODINIT_FUNC PyInit__heif(void) {
    return define<Heif>("_heif",
                        "HEIF reading and writing with libheif (the codec behind framewick.formats.heif).", methods);
}
