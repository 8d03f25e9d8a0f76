// resample_codec.cpp: see resample_codec.hpp.
//
// The output is made in bands of rows. A band resamples the input rows its output rows read
// (rows first, into a buffer of its own), then its columns; bands are independent, so threads
// take them one after another, and the whole picture's rows are never held resampled at once
// (a band's buffer is a few megabytes). Rows shared by two bands are resampled in each: a few
// per cent more work for no shared state.
//
// Every sum runs in Pillow's order with no fused multiply-add (the build turns contraction off),
// so each sample is the one Pillow's two passes give.
#include "resample_codec.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace resamplecodec {

namespace {

double sinc(double x) {
    if (x == 0.0) return 1.0;
    x = x * M_PI;
    return std::sin(x) / x;
}

struct Kernel {
    double (*at)(double);
    double support;
};

Kernel kernel(Filter filter) {
    switch (filter) {
    case Filter::box:
        return {[](double x) { return x > -0.5 && x <= 0.5 ? 1.0 : 0.0; }, 0.5};
    case Filter::bilinear:
        return {[](double x) {
                    x = x < 0.0 ? -x : x;
                    return x < 1.0 ? 1.0 - x : 0.0;
                },
                1.0};
    case Filter::hamming:
        return {[](double x) {
                    x = x < 0.0 ? -x : x;
                    if (x == 0.0) return 1.0;
                    if (x >= 1.0) return 0.0;
                    x = x * M_PI;
                    return std::sin(x) / x * (0.54f + 0.46f * std::cos(x));
                },
                1.0};
    case Filter::bicubic:
        return {[](double x) {
                    constexpr double a = -0.5;
                    x = x < 0.0 ? -x : x;
                    if (x < 1.0) return ((a + 2.0) * x - (a + 3.0)) * x * x + 1;
                    if (x < 2.0) return (((x - 5) * x + 8) * x - 4) * a;
                    return 0.0;
                },
                2.0};
    case Filter::lanczos:
        break;
    }
    return {[](double x) { return -3.0 <= x && x < 3.0 ? sinc(x) * sinc(x / 3) : 0.0; }, 3.0};
}

// A sum as a sample: for 16 bits rounded half away from zero and clipped, for float as it is.
inline void store(double sum, std::uint16_t &out) {
    if (!(sum >= 0.0)) {
        out = 0;
        return;
    }
    const int rounded = int(sum + 0.5);
    out = std::uint16_t(rounded > 65535 ? 65535 : rounded);
}
inline void store(double sum, float &out) { out = float(sum); }

// One row of `in_width` pixels resampled along x into `out` (`w.first.size()` pixels), through
// `scratch` (the row's samples as doubles).
template <int C, class T>
void row_across(const T *in, int in_width, const Weights &w, T *out, double *scratch) {
    const std::size_t n = std::size_t(in_width) * C;
    for (std::size_t i = 0; i < n; ++i) scratch[i] = in[i];
    const std::size_t width = w.first.size();
    for (std::size_t xx = 0; xx < width; ++xx) {
        const double *k = &w.k[xx * std::size_t(w.size)];
        const double *s = scratch + std::size_t(w.first[xx]) * C;
        const int count = w.count[xx];
        double sum[C] = {};
        for (int x = 0; x < count; ++x)
            for (int c = 0; c < C; ++c) sum[c] += s[std::size_t(x) * C + c] * k[x];
        for (int c = 0; c < C; ++c) store(sum[c], out[xx * C + c]);
    }
}

template <class T> void row_across(int channels, const T *in, int in_width, const Weights &w, T *out, double *scratch) {
    switch (channels) {
    case 1: return row_across<1>(in, in_width, w, out, scratch);
    case 2: return row_across<2>(in, in_width, w, out, scratch);
    case 3: return row_across<3>(in, in_width, w, out, scratch);
    default: return row_across<4>(in, in_width, w, out, scratch);
    }
}

// One output row from `count` input rows (each `n` samples, `stride` apart) weighted by `k`.
template <class T>
void row_down(const T *rows, std::size_t stride, int count, const double *k, std::size_t n, T *out, double *sum) {
    std::fill(sum, sum + n, 0.0);
    for (int y = 0; y < count; ++y) {
        const T *row = rows + std::size_t(y) * stride;
        const double ky = k[y];
        for (std::size_t i = 0; i < n; ++i) sum[i] += row[i] * ky;
    }
    for (std::size_t i = 0; i < n; ++i) store(sum[i], out[i]);
}

// A row of `pixels` pixels of C channels with its colour multiplied by its alpha, into `out`.
void premultiplied(const std::uint16_t *in, std::size_t pixels, int C, std::uint16_t *out) {
    const float unit = float(1.0 / 65535.0);
    for (std::size_t p = 0; p < pixels; ++p, in += C, out += C) {
        const float alpha = float(in[C - 1]) * unit;
        for (int c = 0; c < C - 1; ++c) out[c] = std::uint16_t(std::nearbyint(float(in[c]) * alpha));
        out[C - 1] = in[C - 1];
    }
}

void premultiplied(const float *in, std::size_t pixels, int C, float *out) {
    for (std::size_t p = 0; p < pixels; ++p, in += C, out += C) {
        const float alpha = in[C - 1] * 1.0f;
        for (int c = 0; c < C - 1; ++c) out[c] = in[c] * alpha;
        out[C - 1] = in[C - 1];
    }
}

// Row y of `source` as it is resampled: the row itself, or its premultiplied copy in `scratch`.
template <class T> const T *row_of(const Picture<T> &source, int y, T *scratch) {
    const T *row = source.pixels + std::size_t(y) * std::size_t(source.width) * source.channels;
    if (!source.premultiply) return row;
    premultiplied(row, std::size_t(source.width), source.channels, scratch);
    return scratch;
}

// The buffer a band's input rows are resampled into is kept to about this size.
constexpr std::size_t band_bytes = std::size_t(8) << 20;

} // namespace

Weights weights(int in_size, float from, float to, int out_size, Filter filter) {
    const Kernel kern = kernel(filter);
    const double scale = double(to - from) / out_size;
    const double filterscale = scale < 1.0 ? 1.0 : scale;
    const double support = kern.support * filterscale;
    Weights w;
    w.size = int(std::ceil(support)) * 2 + 1;
    w.first.resize(std::size_t(out_size));
    w.count.resize(std::size_t(out_size));
    w.k.assign(std::size_t(out_size) * std::size_t(w.size), 0.0);
    for (int xx = 0; xx < out_size; ++xx) {
        const double centre = from + (xx + 0.5) * scale;
        const double ss = 1.0 / filterscale;
        int xmin = int(centre - support + 0.5);
        if (xmin < 0) xmin = 0;
        int xmax = int(centre + support + 0.5);
        if (xmax > in_size) xmax = in_size;
        xmax -= xmin;
        double *k = &w.k[std::size_t(xx) * std::size_t(w.size)];
        double total = 0.0;
        for (int x = 0; x < xmax; ++x) {
            const double v = kern.at((x + xmin - centre + 0.5) * ss);
            k[x] = v;
            total += v;
        }
        if (total != 0.0)
            for (int x = 0; x < xmax; ++x) k[x] /= total;
        w.first[std::size_t(xx)] = xmin;
        w.count[std::size_t(xx)] = xmax < 0 ? 0 : xmax;
    }
    return w;
}

namespace {

// The rows 0..rows in bands of `band` rows, shared by at most `threads` threads: each thread
// makes its worker once (`make()`, with buffers of its own) and gives it each band it takes,
// (first, last). What a worker throws stops the others at their next band and is thrown here.
template <class Make> void in_bands(int rows, int band, int threads, Make make) {
    const int bands = (rows + band - 1) / band;
    threads = std::max(1, std::min(threads, bands));
    std::atomic<int> next{0};
    std::exception_ptr failure;
    std::mutex failed;
    auto each = [&]() {
        try {
            auto work = make();
            for (int b = next++; b < bands; b = next++) work(b * band, std::min(rows, b * band + band));
        } catch (...) {
            std::lock_guard lock(failed);
            if (!failure) failure = std::current_exception();
            next = bands;
        }
    };
    std::vector<std::thread> helpers;
    try {
        for (int t = 1; t < threads; ++t) helpers.emplace_back(each);
    } catch (const std::system_error &) {
        // no thread to be had: this one does the rest
    }
    each();
    for (auto &helper : helpers) helper.join();
    if (failure) std::rethrow_exception(failure);
}

// At most an even share of `rows` for each of `threads`, four bands each.
int shared_band(int rows, int threads) { return std::max(1, (rows + threads * 4 - 1) / (threads * 4)); }

template <class T>
void resample_any(const Picture<T> &source, const float box[4], T *out, int width, int height, Filter filter,
                  int threads) {
    const int C = source.channels;
    const bool across = width != source.width || box[0] != 0.0f || box[2] != float(width);
    const bool down = height != source.height || box[1] != 0.0f || box[3] != float(height);
    const std::size_t in_stride = std::size_t(source.width) * C, out_stride = std::size_t(width) * C;
    if (!across && !down) {
        if (!source.premultiply)
            std::memcpy(out, source.pixels, in_stride * std::size_t(source.height) * sizeof(T));
        for (int y = 0; source.premultiply && y < source.height; ++y)
            premultiplied(source.pixels + std::size_t(y) * in_stride, std::size_t(source.width), C,
                          out + std::size_t(y) * in_stride);
        return;
    }
    const Weights wx = across ? weights(source.width, box[0], box[2], width, filter) : Weights{};
    const Weights wy = weights(source.height, box[1], box[3], height, filter);

    // Output rows a band: as many as keep its resampled input rows within band_bytes (at least
    // four), and at most an even share of the rows for each thread.
    const double rows_per_row = std::max(1.0, double(box[3] - box[1]) / height);
    const double fit = (double(band_bytes) / double(out_stride * sizeof(T)) - wy.size) / rows_per_row;
    int band = int(std::clamp(fit, 4.0, double(height)));
    if (threads > 1) band = std::min(band, shared_band(height, threads));

    in_bands(height, band, threads, [&] {
        return [&, scratch = std::vector<double>(across ? in_stride : 0),
                sum = std::vector<double>(down ? out_stride : 0), rows = std::vector<T>(),
                row = std::vector<T>(source.premultiply ? in_stride : 0)](int r0, int r1) mutable {
            if (!down) {  // the band's rows are the output rows, resampled across only
                for (int r = r0; r < r1; ++r)
                    row_across(C, row_of(source, r, row.data()), source.width, wx, out + std::size_t(r) * out_stride,
                               scratch.data());
                return;
            }
            int lo = wy.first[std::size_t(r0)], hi = lo;
            for (int r = r0; r < r1; ++r) hi = std::max(hi, wy.first[std::size_t(r)] + wy.count[std::size_t(r)]);
            const T *base = source.pixels;
            std::size_t stride = in_stride;
            int origin = 0;
            if (across) {
                rows.resize(std::size_t(hi - lo) * out_stride);
                for (int y = lo; y < hi; ++y)
                    row_across(C, row_of(source, y, row.data()), source.width, wx,
                               rows.data() + std::size_t(y - lo) * out_stride, scratch.data());
                base = rows.data();
                stride = out_stride;
                origin = lo;
            } else if (source.premultiply) {  // same width: the rows read down, premultiplied
                rows.resize(std::size_t(hi - lo) * in_stride);
                for (int y = lo; y < hi; ++y)
                    premultiplied(source.pixels + std::size_t(y) * in_stride, std::size_t(source.width), C,
                                  rows.data() + std::size_t(y - lo) * in_stride);
                base = rows.data();
                origin = lo;
            }
            for (int r = r0; r < r1; ++r) {
                const std::size_t i = std::size_t(r);
                row_down(base + std::size_t(wy.first[i] - origin) * stride, stride, wy.count[i],
                         &wy.k[i * std::size_t(wy.size)], out_stride, out + i * out_stride, sum.data());
            }
        };
    });
}

} // namespace

void reduce(const Picture<std::uint16_t> &source, int xscale, int yscale, float *out, int threads) {
    const int C = source.channels, width = (source.width + xscale - 1) / xscale;
    const int height = (source.height + yscale - 1) / yscale;
    const std::size_t in_stride = std::size_t(source.width) * C;
    in_bands(height, shared_band(height, threads), threads, [&] {
        return [&, row = std::vector<std::uint16_t>(source.premultiply ? in_stride : 0),
                sums = std::vector<double>(std::size_t(width) * C)](int first, int last) mutable {
            for (int y = first; y < last; ++y) {
                std::fill(sums.begin(), sums.end(), 0.0);
                const int y0 = y * yscale, y1 = std::min(source.height, y0 + yscale);
                for (int yy = y0; yy < y1; ++yy) {
                    const std::uint16_t *in = row_of(source, yy, row.data());
                    for (int x = 0; x < width; ++x) {
                        const int x0 = x * xscale, x1 = std::min(source.width, x0 + xscale);
                        double *sum = &sums[std::size_t(x) * C];
                        for (int xx = x0; xx < x1; ++xx)
                            for (int c = 0; c < C; ++c) sum[c] += in[std::size_t(xx) * C + c];
                    }
                }
                float *o = out + std::size_t(y) * std::size_t(width) * C;
                for (int x = 0; x < width; ++x) {
                    const int x0 = x * xscale, x1 = std::min(source.width, x0 + xscale);
                    const double multiplier = 1.0 / ((x1 - x0) * (y1 - y0));
                    for (int c = 0; c < C; ++c)
                        o[std::size_t(x) * C + c] = float(sums[std::size_t(x) * C + c] * multiplier);
                }
            }
        };
    });
}

void resample(const Picture<std::uint16_t> &source, const float box[4], std::uint16_t *out, int width, int height,
              Filter filter, int threads) {
    resample_any(source, box, out, width, height, filter, threads);
}

void resample(const Picture<float> &source, const float box[4], float *out, int width, int height, Filter filter,
              int threads) {
    resample_any(source, box, out, width, height, filter, threads);
}

} // namespace resamplecodec
