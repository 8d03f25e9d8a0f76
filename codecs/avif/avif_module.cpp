// avif_module.cpp: framewick.formats._avif, 8, 10 and 12-bit AVIF reading and writing on libavif.
//
// A private helper of the Python package (Pillow's AVIF plugin stops at 8 bits): plain module
// functions bound through the frame's codec binding, libavif working with the interpreter's
// lock released.
//
//   read(data, max_pixels) -> dict
//   write(pixels, width, height, channels, bits, *, depth=10, quality=75, speed=6,
//         subsampling="4:4:4", orientation=1, icc=None, nclx=None, exif=None, xmp=None,
//         gain_map=None, gain_map_metadata=None) -> bytes
//   gain_map(data, max_pixels) -> dict or None
//
// gain_map() gives the ISO 21496-1 gain map (the input of the file's tone-map item) as mode ("L"
// or "RGB"), size, pixels (8 bits, in the primary's stored orientation: its irot and imir apply
// to the map too; None when they could not be had), metadata (as framewick.formats._uhdr gives
// it: boosts and capacities as ratios) and error (the map's own trouble, or None: a damaged map
// never fails the picture). write() stores such a map and metadata (the same dict) with the picture.
//
// Pixels are rows of width * channels samples (1 grey, 2 grey + alpha, 3 RGB, 4 RGBA), straight
// alpha. read() returns them upright (the clean aperture, irot and imir applied) as uint8 for an
// 8-bit file, else as native-endian uint16 scaled to the full 16-bit range by
// v * 65535 / (2^bits - 1) rounded; "bits" says the depth as coded, "dtype" the samples' type.
// Its dict also holds icc, nclx (primaries, transfer, matrix, range; None beside an ICC profile,
// which then says the colours), exif (the TIFF structure, without JPEG's "Exif\0\0" marker),
// xmp, transformed, transforms (as the HEIF reader names them), orientation (the EXIF
// orientation those transforms stand for) and cropped.
// write() takes uint8 (bits 8) or uint16 (bits 16) samples, scales them to `depth` by the same
// rule and codes them full range, YUV 4:4:4 unless subsampling is "4:2:0" (grey as 4:0:0).
// Quality 100 is lossless: RGB then goes through the identity matrix. `orientation` is the EXIF
// orientation the pixels are stored under, written as irot/imir (and into the EXIF tag, when the
// block has one). nclx is a dict as read() gives (its range is ignored) or a (primaries,
// transfer, matrix) tuple; without it the file says sRGB, or leaves primaries and curve to an icc.
// A file libavif refuses raises AvifError (an OSError) with one line; a picture over the limit
// raises LimitError, an AvifError, before any AV1 data is decoded. max_pixels 0 is no limit.
#include "avif_codec.hpp"

#include <codec.hpp>
#include <gain_metadata.hpp>

#include <avif/avif.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>

using namespace fw::codec;

namespace {

// ---- module state and the binding

struct Avif {
    static constexpr const char *name = "framewick.formats._avif";
    using Failure = avifcodec::Failure;
    static void raise(PyObject *module, const Failure &f) noexcept {
        set_failure(f.limit ? errors(module).limit_error : errors(module).codec_error, f.message);
    }
    static void exec(PyObject *module, CodecErrors &state);  // the exceptions and constants
};

constexpr long long max_pixel_limit = 1LL << 62;

// ---- read(data, max_pixels)

ref nclx_dict(const avifcodec::Nclx &n) {
    Dict d;
    d.set("primaries", integer_value(n.primaries));
    d.set("transfer", integer_value(n.transfer));
    d.set("matrix", integer_value(n.matrix));
    d.set("range", text_value(n.full_range ? "full" : "limited"));
    return d.take();
}

ref read(PyObject *, const Args &args) {
    positional(args, 2);
    Buffer data(args[0]);
    auto max_pixels = std::uint64_t(integer(args[1], "max_pixels", 0, max_pixel_limit));
    std::unique_ptr<avifcodec::Reader> reader;
    {
        WithoutGil nogil;
        reader = std::make_unique<avifcodec::Reader>(data.data(), data.size(), max_pixels);
    }
    const avifcodec::Info &info = reader->info();
    ref pixels = fresh_bytes(reader->pixel_bytes());
    {
        auto *out = reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(pixels.ptr()));
        WithoutGil nogil;
        reader->decode(out);
    }
    Dict d;
    d.set("width", integer_value(info.width));
    d.set("height", integer_value(info.height));
    d.set("channels", integer_value(info.channels));
    d.set("bits", integer_value(info.bits));
    d.set("dtype", text_value(info.bits > 8 ? "uint16" : "uint8"));
    d.set("pixels", pixels);
    d.set("icc", bytes_or_none(info.icc));
    d.set("nclx", info.icc.empty() ? nclx_dict(info.nclx) : ref::borrow(Py_None));
    d.set("exif", bytes_or_none(info.exif));
    d.set("xmp", bytes_or_none(info.xmp));
    d.set("transformed", fw::new_bool(!info.transforms.empty()));
    ref turns = check(PyTuple_New(Py_ssize_t(info.transforms.size())));
    for (std::size_t i = 0; i < info.transforms.size(); ++i)
        PyTuple_SET_ITEM(turns.ptr(), Py_ssize_t(i), text_value(info.transforms[i]).release());
    d.set("transforms", turns);
    d.set("orientation", integer_value(info.orientation));
    d.set("cropped", fw::new_bool(info.cropped));
    return d.take();
}

// ---- gain_map(data, max_pixels)

// The metadata as framewick.formats._uhdr gives and takes it (gain_metadata.hpp): boosts and
// capacities as ratios, where the file stores them as log2.
std::array<double *, 5> channel_fields(avifcodec::GainMap &g) {
    return {g.max, g.min, g.gamma, g.base_offset, g.alternate_offset};
}

ref gain_map(PyObject *, const Args &args) {
    positional(args, 2);
    Buffer data(args[0]);
    auto max_pixels = std::uint64_t(integer(args[1], "max_pixels", 0, max_pixel_limit));
    avifcodec::GainMap g;
    {
        WithoutGil nogil;
        g = avifcodec::gain_map(data.data(), data.size(), max_pixels);
    }
    if (!g.found) return ref::borrow(Py_None);
    if (g.error.empty() && !(g.alternate_headroom > g.base_headroom))
        g.error = "its base picture is the HDR rendition, which framewick does not carry";
    Dict m;
    const auto fields = channel_fields(g);
    for (int k = 0; k < 5; ++k) {
        const double *v = fields[k];
        auto value = [&](int c) { return fw::new_float(k < 2 ? std::exp2(v[c]) : v[c]); };
        m.set(gain_channel_keys[k], fw::tuple_of(value(0), value(1), value(2)));
    }
    m.set("hdr_capacity_min", fw::new_float(std::exp2(std::max(0.0, g.base_headroom))));
    m.set("hdr_capacity_max", fw::new_float(std::exp2(g.alternate_headroom)));
    m.set("use_base_cg", fw::new_bool(g.use_base_colour_space));
    Dict d;
    const bool have = g.error.empty() && !g.pixels.empty();
    d.set("mode", have ? text_value(g.channels == 1 ? "L" : "RGB") : ref::borrow(Py_None));
    d.set("size", fw::tuple_of(integer_value(g.width), integer_value(g.height)));
    d.set("pixels", have ? bytes_value(g.pixels) : ref::borrow(Py_None));
    d.set("metadata", m.take());
    d.set("error", g.error.empty() ? ref::borrow(Py_None) : text_value(g.error));
    return d.take();
}

// ---- write(pixels, width, height, channels, bits, *, depth, quality, speed, subsampling,
//            orientation, icc, nclx, exif, xmp, gain_map, gain_map_metadata)

// The gain map and its metadata (as gain_map() gives it: per channel one number or three;
// boosts, gamma and capacities positive) for write().
void gain_argument(handle map, handle metadata, avifcodec::GainMap &g, std::unique_ptr<Buffer> &held) {
    if (!PyTuple_Check(map.ptr()) || PyTuple_GET_SIZE(map.ptr()) != 4)
        throw fw::raise_format(PyExc_TypeError, "gain_map must be a (pixels, mode, width, height) tuple");
    if (!metadata || metadata.is(Py_None) || !PyMapping_Check(metadata.ptr()))
        throw fw::raise_format(PyExc_TypeError, "gain_map needs gain_map_metadata, a dict");
    held = std::make_unique<Buffer>(PyTuple_GET_ITEM(map.ptr(), 0));
    g.channels = choice(PyTuple_GET_ITEM(map.ptr(), 1), "gain map mode", {"L", "RGB"}) ? 3 : 1;
    g.width = std::uint32_t(integer(PyTuple_GET_ITEM(map.ptr(), 2), "gain map width", 1, 65536));
    g.height = std::uint32_t(integer(PyTuple_GET_ITEM(map.ptr(), 3), "gain map height", 1, 65536));
    if (held->size() != std::size_t(g.width) * g.height * std::size_t(g.channels))
        throw fw::raise_format(PyExc_ValueError, "%zu bytes of gain map for %ux%u with %d channels", held->size(), g.width,
                               g.height, g.channels);
    g.pixels.assign(reinterpret_cast<const char *>(held->data()), held->size());
    const auto fields = channel_fields(g);
    gain_channels(metadata, 1e9, fields);
    for (int k = 0; k < 2; ++k)
        for (int c = 0; c < 3; ++c) fields[k][c] = std::log2(fields[k][c]);  // boosts stored as log2
    const double low = gain_number<double>(gain_entry(metadata, "hdr_capacity_min"), "hdr_capacity_min", 1e9);
    const double high = gain_number<double>(gain_entry(metadata, "hdr_capacity_max"), "hdr_capacity_max", 1e9);
    if (!(low >= 1) || !(high > low))
        throw fw::raise_format(PyExc_ValueError, "the gain map's HDR capacities must be 1 or more, the maximum the larger");
    g.base_headroom = std::log2(low);
    g.alternate_headroom = std::log2(high);
    g.use_base_colour_space = fw::truth(gain_entry(metadata, "use_base_cg"));
    g.found = true;
}

// A code point of an nclx: an int from 0 to 255.
int code_point(handle obj, const char *what) { return int(integer(obj, what, 0, 255)); }

// nclx: None, a dict with primaries, transfer and matrix (as read() gives it), or a 3-tuple.
bool nclx_argument(handle obj, avifcodec::Nclx &out) {
    if (!obj || obj.is(Py_None)) return false;
    static constexpr const char *keys[3] = {"primaries", "transfer", "matrix"};
    int *fields[3] = {&out.primaries, &out.transfer, &out.matrix};
    if (PyDict_Check(obj.ptr())) {
        for (int i = 0; i < 3; ++i) {
            PyObject *value = nullptr;
            if (PyDict_GetItemStringRef(obj.ptr(), keys[i], &value) < 0) throw error{};
            ref held = ref::steal(value);
            if (!held) throw fw::raise_format(PyExc_ValueError, "nclx has no '%s'", keys[i]);
            *fields[i] = code_point(held, keys[i]);
        }
    } else if (PyTuple_Check(obj.ptr()) && PyTuple_GET_SIZE(obj.ptr()) == 3) {
        for (int i = 0; i < 3; ++i) *fields[i] = code_point(PyTuple_GET_ITEM(obj.ptr(), i), keys[i]);
    } else {
        throw fw::raise_format(PyExc_TypeError, "nclx must be a dict or a (primaries, transfer, matrix) tuple, not %T",
                               obj.ptr());
    }
    return true;
}

ref write(PyObject *, const Args &args) {
    auto [depth, quality, speed, subsampling, orientation, icc, nclx, exif, xmp, gain_arg, gain_metadata] = keywords<11>(
        args, 5, {"depth", "quality", "speed", "subsampling", "orientation", "icc", "nclx", "exif", "xmp", "gain_map",
                  "gain_map_metadata"});
    Buffer pixels(args[0]);
    avifcodec::Picture picture{pixels.data(), 0, 0, 0, 0};
    picture.width = std::uint32_t(integer(args[1], "width", 1, 65536));
    picture.height = std::uint32_t(integer(args[2], "height", 1, 65536));
    picture.channels = int(integer(args[3], "channels", 1, 4));
    picture.bits = int(integer(args[4], "bits", 8, 16));
    if (picture.bits != 8 && picture.bits != 16)
        throw fw::raise_format(PyExc_ValueError, "bits must be 8 or 16, not %d", picture.bits);
    const unsigned long long expected =
        (unsigned long long)picture.width * picture.height * picture.channels * (picture.bits / 8);
    if (pixels.size() != expected)
        throw fw::raise_format(PyExc_ValueError, "%zu bytes of pixels for %ux%u with %d channels of %d bits (%llu expected)",
                               pixels.size(), picture.width, picture.height, picture.channels, picture.bits, expected);
    avifcodec::WriteOptions options;
    if (depth) {
        options.depth = int(integer(depth, "depth", 8, 12));
        if (options.depth != 8 && options.depth != 10 && options.depth != 12)
            throw fw::raise_format(PyExc_ValueError, "depth must be 8, 10 or 12, not %d", options.depth);
    }
    if (quality) options.quality = int(integer(quality, "quality", 0, 100));
    if (speed) options.speed = int(integer(speed, "speed", 0, 10));
    if (subsampling) options.subsample = choice(subsampling, "subsampling", {"4:4:4", "4:2:0"}) == 1;
    if (orientation) options.orientation = int(integer(orientation, "orientation", 1, 8));
    options.icc = optional_bytes(icc);
    options.has_nclx = nclx_argument(nclx, options.nclx);
    options.exif = optional_bytes(exif);
    options.xmp = optional_bytes(xmp);
    avifcodec::GainMap gain;
    std::unique_ptr<Buffer> gain_pixels;
    if (gain_arg && !gain_arg.is(Py_None)) {
        gain_argument(gain_arg, gain_metadata, gain, gain_pixels);
        options.gain = &gain;
    } else if (gain_metadata && !gain_metadata.is(Py_None)) {
        throw fw::raise_format(PyExc_ValueError, "gain_map_metadata needs a gain_map");
    }
    std::string file;
    {
        WithoutGil nogil;
        file = avifcodec::write(picture, options);
    }
    return bytes_value(file);
}

// ---- module definition

PyMethodDef methods[] = {
    function<Avif, read, "read">(
        "read(data, max_pixels) -> dict: the AVIF picture in data, upright, at its depth (16-bit samples above 8 bits), "
        "and its metadata."),
    function<Avif, write, "write">(
        "write(pixels, width, height, channels, bits, *, depth=10, quality=75, speed=6, subsampling='4:4:4', "
        "orientation=1, icc=None, nclx=None, exif=None, xmp=None, gain_map=None, gain_map_metadata=None) -> bytes: "
        "an AVIF file of 8 or 16-bit pixels, with an ISO 21496-1 gain map when given."),
    function<Avif, gain_map, "gain_map">(
        "gain_map(data, max_pixels) -> dict or None: the AVIF file's ISO 21496-1 gain map, 8 bits, as stored."),
    end_of_table,
};

void Avif::exec(PyObject *module, CodecErrors &s) {
    s.codec_error = add_exception(module, "framewick.formats._avif.AvifError", PyExc_OSError,
                                 "An AVIF file libavif refuses (damaged, truncated, not an AVIF), or pixels it cannot encode.");
    s.limit_error = add_exception(module, "framewick.formats._avif.LimitError", s.codec_error,
                                  "An AVIF picture with more pixels than the caller's limit.");
    check(PyModule_AddStringConstant(module, "LIBAVIF_VERSION", avifVersion()));
    check(PyModule_AddStringConstant(module, "CODECS", avifcodec::codecs().c_str()));
    check(PyModule_AddObjectRef(module, "ENCODES", avifcodec::can_encode() ? Py_True : Py_False));
}

} // namespace

extern "C" PyMODINIT_FUNC PyInit__avif(void) {
    return define<Avif>("_avif", "8, 10 and 12-bit AVIF reading and writing with libavif.", methods);
}
