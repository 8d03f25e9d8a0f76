// lcms_module.cpp: framewick.formats._lcms, colour profile conversions on LittleCMS at 16 bits and in float.
//
// A private helper of the Python package (Pillow's ImageCms converts 8-bit pictures only): a
// plain module function bound through the frame's codec binding, LittleCMS working with the
// interpreter's lock released.
//
//   convert(pixels, width, height, channels, bits, *, source=None, target=None, intent=0,
//           black_point=False) -> (bytes, channels)
//
// Pixels are rows of width * channels interleaved samples, native-endian uint16 over the full
// range (bits 16) or float32 with 0.0-1.0 nominal (bits 32): the source profile's colour
// channels (grey 1, RGB 3, CMYK 4 at 16 bits only) and at most one more, alpha, copied across
// unchanged. `source` and `target` are ICC profiles as bytes, None for the built-in sRGB (a
// grey picture: grey on sRGB's tone curve). `intent` is the ICC rendering intent: 0 perceptual,
// 1 relative colorimetric, 2 saturation, 3 absolute colorimetric. Returns the pixels in the
// target's colour space at the same sample size, and their channels per pixel. A profile
// LittleCMS refuses, or one that does not fit the pixels, raises LcmsError (a ValueError).
#include "lcms_codec.hpp"

#include <codec.hpp>

#include <lcms2.h>

#include <memory>
#include <string>

using namespace fw::codec;

namespace {

// ---- module state and the binding

struct Lcms {
    static constexpr const char *name = "framewick.formats._lcms";
    using Failure = lcmscodec::Failure;
    static void raise(PyObject *module, const Failure &f) noexcept {
        set_failure(errors(module).codec_error, f.message, 300);
    }
    static void exec(PyObject *module, CodecErrors &state);  // the exception and constants
};

// ---- convert(pixels, width, height, channels, bits, *, source, target, intent, black_point)

ref convert(PyObject *, const Args &args) {
    auto [source, target, intent_arg, black_point] =
        keywords<4>(args, 5, {"source", "target", "intent", "black_point"});
    Buffer pixels(args[0]);
    const auto width = std::uint32_t(integer(args[1], "width", 0, 0x7fffffff));
    const auto height = std::uint32_t(integer(args[2], "height", 0, 0x7fffffff));
    const int channels = int(integer(args[3], "channels", 1, 5));
    const int bits = int(integer(args[4], "bits", 16, 32));
    if (bits != 16 && bits != 32) throw fw::raise_format(PyExc_ValueError, "bits must be 16 or 32, not %d", bits);
    const int intent = intent_arg ? int(integer(intent_arg, "intent", 0, 3)) : 0;
    bool bpc = false;
    if (black_point) {
        const int truth = PyObject_IsTrue(black_point.ptr());
        if (truth < 0) throw error{};
        bpc = truth;
    }
    const unsigned long long expected = (unsigned long long)width * height * unsigned(channels) * unsigned(bits / 8);
    if (pixels.size() != expected)
        throw fw::raise_format(PyExc_ValueError, "%zu bytes of pixels for %ux%u with %d channels of %d bits (%llu expected)",
                               pixels.size(), width, height, channels, bits, expected);
    const std::string from = optional_bytes(source), to = optional_bytes(target);
    const auto sample = bits == 32 ? lcmscodec::Sample::f32 : lcmscodec::Sample::u16;

    // 1. The transform is made without the lock (profiles parsed, the pipeline optimised);
    // 2. the result's room is taken with it; 3. the pixels are converted without it again.
    std::unique_ptr<lcmscodec::Transform> transform;
    {
        WithoutGil nogil;
        transform = std::make_unique<lcmscodec::Transform>(from, to, channels, sample, intent, bpc);
    }
    const unsigned long long size =
        (unsigned long long)width * height * unsigned(transform->out_channels()) * transform->sample_bytes();
    if (size > (unsigned long long)PY_SSIZE_T_MAX) throw (PyErr_NoMemory(), error{});
    ref out = check(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size)));
    {
        auto *target_pixels = PyBytes_AS_STRING(out.ptr());
        WithoutGil nogil;
        transform->run(pixels.data(), target_pixels, width, height);
    }
    return fw::tuple_of(out, integer_value(transform->out_channels()));
}

// ---- module definition

PyMethodDef methods[] = {
    function<Lcms, convert, "convert">(
        "convert(pixels, width, height, channels, bits, *, source=None, target=None, intent=0, black_point=False) "
        "-> (bytes, channels): 16-bit or float pixels converted from one ICC profile to another (None: sRGB)."),
    end_of_table,
};

void Lcms::exec(PyObject *module, CodecErrors &s) {
    s.codec_error = add_exception(module, "framewick.formats._lcms.LcmsError", PyExc_ValueError,
                                  "A profile LittleCMS refuses, or one that does not fit the pixels.");
    s.limit_error = nullptr;
    check(PyModule_AddIntConstant(module, "LCMS_VERSION", cmsGetEncodedCMMversion()));
}

} // namespace

extern "C" PyMODINIT_FUNC PyInit__lcms(void) {
    return define<Lcms>("_lcms", "Colour profile conversions at 16 bits and in float with LittleCMS.", methods);
}
