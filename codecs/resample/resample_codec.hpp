// resample_codec.hpp: a deep picture's interleaved 16-bit or float samples resampled to another
// size, all channels in one pass and in bands of rows shared by threads, with no Python in sight.
//
// The arithmetic is Pillow's for its one-band 16-bit and float pictures ("I;16", "F"), sample
// for sample: the
// same convolution filters and supports, the same weights (in double, normalised per output
// sample), the rows resampled first and rounded to 16 bits, then the columns, each sum rounded
// half away from zero and clipped to 0-65535. A picture resampled here therefore equals the one
// Pillow gives band by band, at a fraction of the time: Pillow reads each band's samples a byte
// at a time and works on one band and one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace resamplecodec {

// Pillow's convolution filters (its Resampling values 1 to 5; NEAREST, 0, is not a convolution).
enum class Filter { lanczos = 1, bilinear = 2, bicubic = 3, box = 4, hamming = 5 };

// For each output sample along one axis: the first input sample it reads, how many, and their
// weights (`size` slots an output sample, unused ones zero).
struct Weights {
    int size = 0;
    std::vector<int> first, count;
    std::vector<double> k;
};

// The weights bringing input samples `from`..`to` (a region along an axis of `in_size` samples;
// floats, as Pillow keeps a box) to `out_size` samples.
Weights weights(int in_size, float from, float to, int out_size, Filter filter);

template <class Sample> struct Picture {
    const Sample *pixels;  // rows of width * channels interleaved samples
    int width, height, channels;
    // The colour channels multiplied by the last one, alpha (0-1: a 16-bit one over 65535), as
    // they are read: a float product, a 16-bit one rounded to the nearest (half to even).
    bool premultiply = false;
};

// `source`'s region box (x0, y0, x1, y1) resampled to width x height into `out` (rows of
// width * channels samples, channels as the source's), with at most `threads` threads. 16-bit
// samples are rounded and clipped as above; float ones (Pillow's "F") are each sum as a float.
void resample(const Picture<std::uint16_t> &source, const float box[4], std::uint16_t *out, int width, int height,
              Filter filter, int threads);
void resample(const Picture<float> &source, const float box[4], float *out, int width, int height, Filter filter,
              int threads);

// `source` reduced by whole factors, as Pillow's reduce makes a float ("F") picture of it: each
// xscale x yscale block (the last ones in a row or column as far as the picture goes) becomes
// its mean, the block's sum times 1 / its pixels, as a float; `out` holds ceil(width / xscale)
// x ceil(height / yscale) pixels of the source's channels. The sums are exact (16-bit samples,
// premultiplied or not, are whole numbers), so every sample is Pillow's whatever its order of
// adding.
void reduce(const Picture<std::uint16_t> &source, int xscale, int yscale, float *out, int threads);

} // namespace resamplecodec
