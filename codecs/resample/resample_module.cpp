// resample_module.cpp: framewick.formats._resample, a deep picture's 16-bit or float samples
// resampled to another size in one pass over all its channels, with threads (see resample_codec.hpp).
//
//   resample(pixels, width, height, channels, out, out_width, out_height, box, filter, *, threads=1, bits=16,
//            premultiply=False) -> None
//
// `pixels`: width * height * channels native-endian samples, interleaved (a C-contiguous NumPy
// array of shape (height, width, channels) will do), uint16 for `bits` 16, float32 for 32;
// `out`: a writable buffer of out_width * out_height * channels of them, filled; `box`: the region of the picture brought
// to the new size, (x0, y0, x1, y1) in pixels within it; `filter`: Pillow's number of a
// convolution filter (1 LANCZOS, 2 BILINEAR, 3 BICUBIC, 4 BOX, 5 HAMMING); `threads`: at most
// this many work at once; `premultiply`: the colour channels are multiplied by the last, alpha,
// as they are read (see resample_codec.hpp), and come out so. Each sample equals the one
// Pillow's resize gives for that channel (premultiplied) as an "I;16" (or "F") picture with the
// same size, filter and box.
//
//   reduce(pixels, width, height, channels, out, xscale, yscale, *, threads=1, premultiply=False) -> None
//
// 16-bit `pixels` reduced by whole factors into `out`, float32 samples of ceil(width / xscale) x
// ceil(height / yscale) pixels: each sample Pillow's reduce of that channel as an "F" picture.
#include "resample_codec.hpp"

#include <codec.hpp>

using namespace fw::codec;

namespace {

struct Resample {
    static constexpr const char *name = "framewick.formats._resample";
    using Failure = NoFailure;
    static void raise(PyObject *, const Failure &) noexcept {}
    static void exec(PyObject *, CodecErrors &) {}
};

ref resample(PyObject *, const Args &args) {
    auto [threads_arg, bits_arg, premultiply_arg] = keywords<3>(args, 9, {"threads", "bits", "premultiply"});
    Buffer pixels(args[0]);
    const int width = int(integer(args[1], "width", 1, 0x7fffffff));
    const int height = int(integer(args[2], "height", 1, 0x7fffffff));
    const int channels = int(integer(args[3], "channels", 1, 4));
    PixelBuffer out(args[4]);
    const int out_width = int(integer(args[5], "out_width", 1, 0x7fffffff));
    const int out_height = int(integer(args[6], "out_height", 1, 0x7fffffff));
    auto [x0, y0, x1, y1] = unpack<4>(args[7]);
    float box[4] = {float(number(x0, "box", 0, width)), float(number(y0, "box", 0, height)),
                    float(number(x1, "box", 0, width)), float(number(y1, "box", 0, height))};
    if (!(box[2] - box[0] >= 1.0f / 8192 && box[3] - box[1] >= 1.0f / 8192))
        throw fw::raise_format(PyExc_ValueError, "the box must have a width and a height");
    const auto filter = static_cast<resamplecodec::Filter>(integer(args[8], "filter", 1, 5));
    const int threads = threads_arg ? int(integer(threads_arg, "threads", 1, 64)) : 1;
    const int bits = bits_arg ? int(integer(bits_arg, "bits", 16, 32)) : 16;
    const bool premultiply = premultiply_arg && fw::truth(premultiply_arg);
    if (premultiply && channels != 2 && channels != 4)
        throw fw::raise_format(PyExc_ValueError, "premultiply takes 2 or 4 channels, not %d", channels);
    if (bits != 16 && bits != 32) throw fw::raise_format(PyExc_ValueError, "bits must be 16 or 32, not %d", bits);
    const unsigned long long sample = unsigned(bits / 8);
    const unsigned long long in_bytes = sample * unsigned(width) * unsigned(height) * unsigned(channels);
    const unsigned long long out_bytes = sample * unsigned(out_width) * unsigned(out_height) * unsigned(channels);
    if (pixels.size() != in_bytes)
        throw fw::raise_format(PyExc_ValueError, "%zu bytes of pixels for %dx%d with %d channels (%llu expected)",
                               pixels.size(), width, height, channels, in_bytes);
    if (out.size() != out_bytes)
        throw fw::raise_format(PyExc_ValueError, "%zu bytes to fill for %dx%d with %d channels (%llu expected)",
                               out.size(), out_width, out_height, channels, out_bytes);
    {
        WithoutGil nogil;
        if (bits == 16) {
            const resamplecodec::Picture<std::uint16_t> source{
                reinterpret_cast<const std::uint16_t *>(pixels.data()), width, height, channels, premultiply};
            resamplecodec::resample(source, box, reinterpret_cast<std::uint16_t *>(out.data()), out_width, out_height,
                                    filter, threads);
        } else {
            const resamplecodec::Picture<float> source{reinterpret_cast<const float *>(pixels.data()), width, height,
                                                       channels, premultiply};
            resamplecodec::resample(source, box, reinterpret_cast<float *>(out.data()), out_width, out_height, filter,
                                    threads);
        }
    }
    return ref::borrow(Py_None);
}

// ---- reduce(pixels, width, height, channels, out, xscale, yscale, *, threads=1, premultiply=False)

ref reduce(PyObject *, const Args &args) {
    auto [threads_arg, premultiply_arg] = keywords<2>(args, 7, {"threads", "premultiply"});
    Buffer pixels(args[0]);
    const int width = int(integer(args[1], "width", 1, 0x7fffffff));
    const int height = int(integer(args[2], "height", 1, 0x7fffffff));
    const int channels = int(integer(args[3], "channels", 1, 4));
    PixelBuffer out(args[4]);
    const int xscale = int(integer(args[5], "xscale", 1, width));
    const int yscale = int(integer(args[6], "yscale", 1, height));
    const int threads = threads_arg ? int(integer(threads_arg, "threads", 1, 64)) : 1;
    const bool premultiply = premultiply_arg && fw::truth(premultiply_arg);
    if (premultiply && channels != 2 && channels != 4)
        throw fw::raise_format(PyExc_ValueError, "premultiply takes 2 or 4 channels, not %d", channels);
    const unsigned long long in_bytes = 2ULL * unsigned(width) * unsigned(height) * unsigned(channels);
    const unsigned long long out_bytes = 4ULL * unsigned((width + xscale - 1) / xscale) *
                                         unsigned((height + yscale - 1) / yscale) * unsigned(channels);
    if (pixels.size() != in_bytes)
        throw fw::raise_format(PyExc_ValueError, "%zu bytes of pixels for %dx%d with %d channels (%llu expected)",
                               pixels.size(), width, height, channels, in_bytes);
    if (out.size() != out_bytes)
        throw fw::raise_format(PyExc_ValueError, "%zu bytes to fill for the reduced picture (%llu expected)",
                               out.size(), out_bytes);
    {
        WithoutGil nogil;
        const resamplecodec::Picture<std::uint16_t> source{reinterpret_cast<const std::uint16_t *>(pixels.data()),
                                                           width, height, channels, premultiply};
        resamplecodec::reduce(source, xscale, yscale, reinterpret_cast<float *>(out.data()), threads);
    }
    return ref::borrow(Py_None);
}

PyMethodDef methods[] = {
    function<Resample, resample, "resample">(
        "resample(pixels, width, height, channels, out, out_width, out_height, box, filter, *, threads=1, bits=16, "
        "premultiply=False) -> None: "
        "interleaved 16-bit or float samples resampled to another size into out, as Pillow resamples each band."),
    function<Resample, reduce, "reduce">(
        "reduce(pixels, width, height, channels, out, xscale, yscale, *, threads=1, premultiply=False) -> None: "
        "interleaved 16-bit samples reduced by whole factors into float32 out, as Pillow reduces each band as F."),
    end_of_table,
};

} // namespace

extern "C" PyMODINIT_FUNC PyInit__resample(void) {
    return define<Resample>("_resample", "Deep pictures resampled at depth, all channels in one pass.", methods);
}
