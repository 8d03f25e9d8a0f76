// uhdr_module.cpp: framewick.formats._uhdr, JPEG gain maps (Ultra HDR, ISO 21496-1) read and joined with libultrahdr.
//
// A private helper of the Python package (not a framewick class): plain module functions whose
// shells check the arguments and whose bodies call uhdr_codec with the interpreter's lock
// released.
//
//   probe(data) -> dict | None          whether the JPEG holds a gain map, and what it says of it
//   gain_map(data, max_pixels) -> (mode, (width, height), pixels, metadata)
//   join(base, gain_map, metadata, *, exif=None, icc=None) -> bytes   an Ultra HDR JPEG
//   hdr(data, transfer, max_pixels) -> (transfer, (width, height), pixels)   the HDR rendition
//
// `data`, `base` and `gain_map` are any bytes-like object. A metadata dict has the keys
// max_content_boost, min_content_boost, gamma, offset_sdr, offset_hdr (three floats, one a
// channel; join also takes one float for all three), hdr_capacity_min, hdr_capacity_max (floats)
// and use_base_cg (bool); boosts and capacities are linear, as libultrahdr takes them.
// probe never raises for a damaged gain map: its dict then carries the reason in "error". The
// other functions raise UhdrError (an OSError); a refusal by the pixel limit raises LimitError.
#include "uhdr_codec.hpp"

#include <codec.hpp>
#include <gain_metadata.hpp>
#include <ultrahdr_api.h>

#include <cmath>
#include <string>
#include <utility>

using namespace fw::codec;

namespace {

// ---- module state

// ---- the binding: libultrahdr's refusals become UhdrError, or LimitError for the pixel limit

struct Uhdr {
    static constexpr const char *name = "framewick.formats._uhdr";
    using Failure = uhdrcodec::Failure;
    static void raise(PyObject *module, const Failure &f) noexcept {
        set_failure(f.limit ? errors(module).limit_error : errors(module).codec_error, f.message);
    }
    static void exec(PyObject *module, CodecErrors &state);  // the exceptions and constants
};

constexpr long long max_pixel_limit = 1LL << 62;

// ---- metadata, both ways

std::array<float *, 5> channel_fields(uhdrcodec::Metadata &m) noexcept {
    return {m.max_content_boost, m.min_content_boost, m.gamma, m.offset_sdr, m.offset_hdr};
}

ref float_value(double v) { return check(PyFloat_FromDouble(v)); }

ref metadata_dict(uhdrcodec::Metadata m) {
    Dict d;
    const auto fields = channel_fields(m);
    for (int k = 0; k < 5; ++k) {
        const float *v = fields[k];
        d.set(gain_channel_keys[k], fw::tuple_of(float_value(v[0]), float_value(v[1]), float_value(v[2])));
    }
    d.set("hdr_capacity_min", float_value(m.hdr_capacity_min));
    d.set("hdr_capacity_max", float_value(m.hdr_capacity_max));
    d.set("use_base_cg", fw::new_bool(m.use_base_cg));
    return d.take();
}

// The metadata a dict gives (see gain_metadata.hpp); libultrahdr checks how the values relate
// (a maximum below its minimum, a capacity below 1) and refuses with its own message.
uhdrcodec::Metadata metadata_of(handle metadata) {
    if (!PyMapping_Check(metadata.ptr()))
        throw fw::raise_format(PyExc_TypeError, "metadata must be a dict, not %.100s", Py_TYPE(metadata.ptr())->tp_name);
    uhdrcodec::Metadata m;
    gain_channels(metadata, 1e30, channel_fields(m));
    m.hdr_capacity_min = gain_number<float>(gain_entry(metadata, "hdr_capacity_min"), "hdr_capacity_min", 1e30);
    m.hdr_capacity_max = gain_number<float>(gain_entry(metadata, "hdr_capacity_max"), "hdr_capacity_max", 1e30);
    if (!(m.hdr_capacity_min > 0) || !(m.hdr_capacity_max > 0))
        throw fw::raise_format(PyExc_ValueError, "the gain map's HDR capacities must be positive");
    m.use_base_cg = fw::truth(gain_entry(metadata, "use_base_cg"));
    return m;
}

ref size_of(int width, int height) { return fw::tuple_of(integer_value(width), integer_value(height)); }

// ---- probe(data)

ref probe(PyObject *, const Args &args) {
    positional(args, 1);
    Buffer data(args[0]);
    uhdrcodec::Probe p;
    {
        WithoutGil nogil;
        p = uhdrcodec::probe(data.data(), data.size());
    }
    if (!p.found) return ref::borrow(Py_None);
    const bool ok = p.error.empty();
    Dict d;
    d.set("form", text_value(p.iso ? "iso21496" : "ultrahdr"));
    d.set("xmp", fw::new_bool(p.xmp));
    d.set("iso", fw::new_bool(p.iso));
    d.set("error", text_or_none(p.error));
    d.set("width", ok ? integer_value(p.width) : ref::borrow(Py_None));
    d.set("height", ok ? integer_value(p.height) : ref::borrow(Py_None));
    d.set("gain_map_size", ok ? size_of(p.map_width, p.map_height) : ref::borrow(Py_None));
    d.set("gain_map_channels", ok ? integer_value(p.map_channels) : ref::borrow(Py_None));
    d.set("metadata", ok ? metadata_dict(p.metadata) : ref::borrow(Py_None));
    d.set("exif", bytes_or_none(p.exif));
    d.set("icc", bytes_or_none(p.icc));
    return d.take();
}

// ---- gain_map(data, max_pixels)

ref gain_map(PyObject *, const Args &args) {
    positional(args, 2);
    Buffer data(args[0]);
    const auto max_pixels = std::uint64_t(integer(args[1], "max_pixels", 0, max_pixel_limit));
    uhdrcodec::GainMap g;
    {
        WithoutGil nogil;
        g = uhdrcodec::gain_map(data.data(), data.size(), max_pixels);
    }
    ref mode = text_value(g.channels == 1 ? "L" : "RGB");
    ref pixels = bytes_value({reinterpret_cast<const char *>(g.pixels.data()), g.pixels.size()});
    return fw::tuple_of(mode, size_of(g.width, g.height), pixels, metadata_dict(g.metadata));
}

// ---- join(base, gain_map, metadata, *, exif=None, icc=None)

ref join(PyObject *, const Args &args) {
    const auto [exif_arg, icc_arg] = keywords<2>(args, 3, {"exif", "icc"});
    Buffer base(args[0]), map(args[1]);
    const uhdrcodec::Metadata metadata = metadata_of(args[2]);
    const std::string exif = optional_bytes(exif_arg), icc = optional_bytes(icc_arg);
    std::string file;
    {
        WithoutGil nogil;
        file = uhdrcodec::join(base.data(), base.size(), map.data(), map.size(), metadata, exif, icc);
    }
    return bytes_value(file);
}

// ---- hdr(data, transfer, max_pixels)

ref hdr(PyObject *, const Args &args) {
    positional(args, 3);
    Buffer data(args[0]);
    const bool pq = choice(args[1], "transfer", {"linear", "pq"}) == 1;
    const auto max_pixels = std::uint64_t(integer(args[2], "max_pixels", 0, max_pixel_limit));
    uhdrcodec::Hdr h;
    {
        WithoutGil nogil;
        h = uhdrcodec::hdr(data.data(), data.size(), pq, max_pixels);
    }
    ref pixels = bytes_value({reinterpret_cast<const char *>(h.pixels.data()), h.pixels.size()});
    return fw::tuple_of(text_value(pq ? "pq" : "linear"), size_of(h.width, h.height), pixels);
}

// ---- module definition

PyMethodDef methods[] = {
    function<Uhdr, probe, "probe">(
        "probe(data) -> dict | None: whether the JPEG in data holds a gain map (Ultra HDR or ISO 21496-1), its "
        "sizes and metadata; a damaged gain map is answered with its reason in 'error', never raised."),
    function<Uhdr, gain_map, "gain_map">(
        "gain_map(data, max_pixels) -> (mode, (width, height), pixels, metadata): the gain map decoded, L or RGB, "
        "8 bits."),
    function<Uhdr, join, "join">(
        "join(base, gain_map, metadata, *, exif=None, icc=None) -> bytes: an Ultra HDR JPEG from a JPEG base and a "
        "JPEG gain map, neither re-encoded."),
    function<Uhdr, hdr, "hdr">(
        "hdr(data, transfer, max_pixels) -> (transfer, (width, height), pixels): the HDR rendition, 'linear' "
        "(RGBA half floats) or 'pq' (RGBA 10:10:10:2 in 32-bit little-endian words)."),
    end_of_table,
};

void Uhdr::exec(PyObject *module, CodecErrors &s) {
    s.codec_error = add_exception(module, "framewick.formats._uhdr.UhdrError", PyExc_OSError);
    s.limit_error = add_exception(module, "framewick.formats._uhdr.LimitError", s.codec_error);
    check(PyModule_AddStringConstant(module, "LIBUHDR_VERSION", UHDR_LIB_VERSION_STR));
}

} // namespace

extern "C" PyMODINIT_FUNC PyInit__uhdr(void) {
    return define<Uhdr>("_uhdr", "JPEG gain maps (Ultra HDR, ISO 21496-1) read and joined with libultrahdr.", methods);
}
