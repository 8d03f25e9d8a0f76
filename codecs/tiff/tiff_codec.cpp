// tiff_codec.cpp: TIFF reading and writing on libtiff at 8 and 16 bits and 32-bit float, in memory.
//
// libtiff reads and writes through our client procedures over a buffer (no temporary file), and
// reports through per-file message handlers into a fixed record: the first error becomes the
// one-line failure, warnings are dropped, nothing reaches standard error.
#include "tiff_codec.hpp"

#include <pages.hpp>

#include <tiffio.h>
#if FRAMEWICK_TIFF_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace tiffcodec {

namespace {

// ---- messages

// What libtiff said about one file: its first error, kept in a fixed buffer (handlers must not
// throw or allocate).
struct Messages {
    char error[300] = {};
    bool failed = false;

    void record(const char *module, const char *format, va_list ap) noexcept {
        if (failed) return;
        failed = true;
        int n = module && *module ? std::snprintf(error, sizeof error, "%s: ", module) : 0;
        if (n < 0 || n >= int(sizeof error)) n = 0;
        std::vsnprintf(error + n, sizeof error - std::size_t(n), format, ap);
        for (char &c : error)
            if (c == '\n' || c == '\r') c = ' ';
    }
};

int on_error(TIFF *, void *user, const char *module, const char *format, va_list ap) {
    static_cast<Messages *>(user)->record(module, format, ap);
    return 1;  // handled: the process-wide handlers are not called
}
int on_warning(TIFF *, void *, const char *, const char *, va_list) { return 1; }

// The file this thread works on, for messages libtiff sends without one.
thread_local Messages *current = nullptr;
TIFFErrorHandler previous_error = nullptr, previous_warning = nullptr;

void routed_error(const char *module, const char *format, va_list ap) {
    if (current) current->record(module, format, ap);
    else if (previous_error) previous_error(module, format, ap);
}
void routed_warning(const char *module, const char *format, va_list ap) {
    if (!current && previous_warning) previous_warning(module, format, ap);
}

// Marks this thread as working on `messages` for the life of the scope.
struct Listening {
    explicit Listening(Messages &messages) noexcept { current = &messages; }
    ~Listening() { current = nullptr; }
    Listening(const Listening &) = delete;
    Listening &operator=(const Listening &) = delete;
};

// ---- a memory file

struct Memory {
    const std::uint8_t *data = nullptr;  // reading
    std::string *out = nullptr;          // writing, or
    std::uint8_t *room = nullptr;        // writing into a block of `capacity` bytes given by the caller, or
    int fd = -1;                         // writing to a file descriptor, from its offset 0
    int os_error = 0;                    // the errno of a failed read or write of `fd`
    std::uint64_t capacity = 0;
    std::uint64_t size = 0, at = 0;
    bool failed = false;    // no memory for a larger string
    bool overflow = false;  // the caller's block was too small
};

// pread or pwrite of `count` bytes at `at` on `fd`, whole (a short transfer goes on, EINTR is
// tried again): the bytes moved, short only at the end of the file when reading; -1 with
// `os_error` set on failure.
template <class Call> tmsize_t fd_transfer(Memory *m, Call call, tmsize_t count) {
    tmsize_t done = 0;
    while (done < count) {
        const ssize_t n = call(done, std::size_t(count - done), off_t(m->at + std::uint64_t(done)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            m->os_error = errno;
            return -1;
        }
        if (n == 0) break;
        done += n;
    }
    m->at += std::uint64_t(done);
    m->size = std::max(m->size, m->at);
    return done;
}

tmsize_t mem_read(thandle_t h, void *buffer, tmsize_t count) {
    auto *m = static_cast<Memory *>(h);
    if (m->fd >= 0 && count >= 0)
        return fd_transfer(m, [&](tmsize_t done, std::size_t n, off_t at) {
            return ::pread(m->fd, static_cast<char *>(buffer) + done, n, at);
        }, count);
    const auto *base = m->room ? m->room : m->out ? reinterpret_cast<const std::uint8_t *>(m->out->data()) : m->data;
    if (count < 0 || m->at >= m->size) return 0;
    const std::uint64_t n = std::min<std::uint64_t>(std::uint64_t(count), m->size - m->at);
    std::memcpy(buffer, base + m->at, std::size_t(n));
    m->at += n;
    return tmsize_t(n);
}

tmsize_t mem_write(thandle_t h, void *buffer, tmsize_t count) {
    auto *m = static_cast<Memory *>(h);
    if (m->fd >= 0 && count >= 0)
        return fd_transfer(m, [&](tmsize_t done, std::size_t n, off_t at) {
            return ::pwrite(m->fd, static_cast<const char *>(buffer) + done, n, at);
        }, count);
    if ((!m->out && !m->room) || count < 0) return -1;
    const std::uint64_t end = m->at + std::uint64_t(count);
    if (m->room) {
        if (end > m->capacity) {
            m->overflow = true;
            return -1;
        }
        fw::populate(m->room + m->at, std::size_t(count));
        std::memcpy(m->room + m->at, buffer, std::size_t(count));
        m->at = end;
        m->size = std::max(m->size, end);
        return count;
    }
    try {
        if (end > m->out->size()) m->out->resize(std::size_t(end));
    } catch (...) {
        m->failed = true;
        return -1;
    }
    std::memcpy(m->out->data() + m->at, buffer, std::size_t(count));
    m->at = end;
    m->size = std::max(m->size, end);
    return count;
}

toff_t mem_seek(thandle_t h, toff_t offset, int whence) {
    auto *m = static_cast<Memory *>(h);
    std::uint64_t base = whence == SEEK_CUR ? m->at : whence == SEEK_END ? m->size : 0;
    m->at = base + offset;
    return m->at;
}

int mem_close(thandle_t) { return 0; }
toff_t mem_size(thandle_t h) { return static_cast<Memory *>(h)->size; }

int mem_map(thandle_t h, void **base, toff_t *size) {
    auto *m = static_cast<Memory *>(h);
    if (!m->data) return 0;
    *base = const_cast<std::uint8_t *>(m->data);
    *size = m->size;
    return 1;
}
void mem_unmap(thandle_t, void *, toff_t) {}

struct CloseTiff {
    void operator()(TIFF *t) const noexcept { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, CloseTiff>;

struct FreeOptions {
    void operator()(TIFFOpenOptions *o) const noexcept { TIFFOpenOptionsFree(o); }
};

// Opens `memory` in `mode` with `messages` as the file's handlers.
TiffPtr open(Memory &memory, const char *mode, Messages &messages) {
    std::unique_ptr<TIFFOpenOptions, FreeOptions> options(TIFFOpenOptionsAlloc());
    if (!options) throw std::bad_alloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), on_error, &messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), on_warning, &messages);
    return TiffPtr(TIFFClientOpenExt("data", mode, &memory, mem_read, mem_write, mem_seek, mem_close, mem_size,
                                     mem_map, mem_unmap, options.get()));
}

[[gnu::cold]] Failure damaged(const Messages &m, const char *otherwise) {
    return {std::string("the TIFF file is damaged (") + (m.failed ? m.error : otherwise) + ")"};
}

[[gnu::cold]] Failure unsupported(const std::string &what) { return {"the TIFF file's layout is not supported (" + what + ")"}; }

} // namespace

// ---- reading

struct Reader::State {
    Memory memory;
    Messages messages;
    TiffPtr tif;
    Info found;
    std::uint32_t colour_samples = 0;
    bool invert = false;  // min-is-white grey, turned into min-is-black
};

// 1. Refuse what is not a TIFF by its byte-order mark; 2. open it over the buffer; 3. read the
// layout of the first picture: size (pixel limit), samples, bits and format, planar or chunky,
// strips or tiles, compression (one libtiff here decodes), photometric (grey, RGB, or YCbCr
// under JPEG, which libtiff turns into RGB), the extra sample, ICC, resolution, orientation.
Reader::Reader(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels) : s_(std::make_unique<State>()) {
    State &s = *s_;
    if (size < 8 || !((data[0] == 'I' && data[1] == 'I' && (data[2] == 42 || data[2] == 43) && data[3] == 0) ||
                      (data[0] == 'M' && data[1] == 'M' && data[2] == 0 && (data[3] == 42 || data[3] == 43))))
        throw Failure{"not a TIFF file"};
    s.memory.data = data;
    s.memory.size = size;
    Listening listening(s.messages);
    s.tif = open(s.memory, "rm", s.messages);
    if (!s.tif) throw damaged(s.messages, "cannot open it");
    TIFF *tif = s.tif.get();
    Info &f = s.found;
    f.big_endian = data[0] == 'M';
    f.big_tiff = TIFFIsBigTIFF(tif);

    std::uint32_t width = 0, height = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) || !width ||
        !height)
        throw damaged(s.messages, "no picture size");
    if (max_pixels && std::uint64_t(width) * height > max_pixels)
        throw Failure{"the picture is " + std::to_string(width) + "x" + std::to_string(height) +
                          ", more than the limit of " + std::to_string(max_pixels) + " pixels",
                      true};
    f.width = width;
    f.height = height;

    std::uint16_t samples = 1, bits = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG, compression = 1,
                  photometric = 0, orientation = 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
        photometric = samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    f.compression = compression;
    f.photometric = photometric;
    f.orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
    f.planar = planar == PLANARCONFIG_SEPARATE;
    f.tiled = TIFFIsTiled(tif);

    if (!TIFFIsCODECConfigured(compression)) throw unsupported("compression (" + std::to_string(compression) + ")");
    switch (photometric) {
    case PHOTOMETRIC_MINISBLACK: s.colour_samples = 1; break;
    case PHOTOMETRIC_MINISWHITE: s.colour_samples = 1; s.invert = true; break;
    case PHOTOMETRIC_RGB: s.colour_samples = 3; break;
    case PHOTOMETRIC_YCBCR:
        if (compression != COMPRESSION_JPEG || bits != 8 || f.planar) throw unsupported("YCbCr layout");
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);  // libtiff converts to RGB
        s.colour_samples = 3;
        break;
    default: throw unsupported("photometric interpretation (" + std::to_string(photometric) + ")");
    }
    if (samples < s.colour_samples || samples > s.colour_samples + 1)
        throw unsupported(std::to_string(samples) + " samples per pixel");
    f.channels = samples;
    if (samples > s.colour_samples) {
        std::uint16_t count = 0, *types = nullptr;
        f.alpha = Alpha::unspecified;
        if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &count, &types) && count >= 1 && types) {
            if (types[0] == EXTRASAMPLE_ASSOCALPHA) f.alpha = Alpha::associated;
            else if (types[0] == EXTRASAMPLE_UNASSALPHA) f.alpha = Alpha::unassociated;
        }
    }
    if (format == SAMPLEFORMAT_IEEEFP && bits == 32) f.is_float = true;
    else if ((format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID) || (bits != 8 && bits != 16))
        throw unsupported(std::to_string(bits) + "-bit " + (format == SAMPLEFORMAT_IEEEFP ? "float"
                                                            : format == SAMPLEFORMAT_INT ? "signed"
                                                                                         : "") +
                          (format == SAMPLEFORMAT_IEEEFP || format == SAMPLEFORMAT_INT ? " " : "") + "sample format");
    if (f.is_float && s.invert) throw unsupported("min-is-white float layout");
    f.bits = bits;

    std::uint32_t icc_size = 0;
    void *icc = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &icc_size, &icc) && icc && icc_size)
        f.icc.assign(static_cast<const char *>(icc), icc_size);
    float x = 0, y = 0;
    std::uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x) && x > 0 && unit != RESUNIT_NONE) {
        if (!TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y) || !(y > 0)) y = x;
        const double scale = unit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
        f.has_dpi = true;
        f.dpi[0] = x * scale;
        f.dpi[1] = y * scale;
    }
}

Reader::~Reader() {
    if (s_ && s_->tif) {
        Listening listening(s_->messages);
        s_->tif.reset();
    }
}

const Info &Reader::info() const noexcept { return s_->found; }

std::size_t Reader::picture_bytes() const noexcept {
    const Info &f = s_->found;
    return std::size_t(f.width) * f.height * std::size_t(f.channels) * std::size_t(f.bits / 8);
}

namespace {

// Copies `rows` x `columns` samples of one plane (`sample` of `samples`) from a packed block
// into the interleaved picture.
void scatter(const std::uint8_t *from, std::size_t from_row, std::uint8_t *to, std::size_t to_row, std::uint32_t rows,
             std::uint32_t columns, int sample, int samples, int bytes) {
    for (std::uint32_t r = 0; r < rows; ++r) {
        const std::uint8_t *in = from + r * from_row;
        std::uint8_t *out = to + r * to_row + std::size_t(sample) * bytes;
        for (std::uint32_t c = 0; c < columns; ++c, in += bytes, out += std::size_t(samples) * bytes)
            std::memcpy(out, in, std::size_t(bytes));
    }
}

} // namespace

namespace {

// The top byte of each of `count` 16-bit samples: a picture's 8-bit reading.
void top_bytes(const std::uint8_t *from, std::uint8_t *to, std::size_t count) noexcept {
    const auto *in = reinterpret_cast<const std::uint16_t *>(from);
    for (std::size_t i = 0; i < count; ++i) to[i] = std::uint8_t(in[i] >> 8);
}

} // namespace

bool Reader::reads_8bit() const noexcept {
    const Info &f = s_->found;
    return f.bits == 16 && !f.is_float && !s_->invert;
}

// Strips or tiles, each decoded by libtiff (which also undoes the predictor and puts samples in
// the machine's byte order) into the picture, or into a block and copied from there where its
// layout differs (planes, tiles at the edges). The pages of each interleaved strip are asked of
// the kernel before libtiff writes them. With `eight`, each interleaved strip's top bytes are
// taken while its rows are fresh and handed over; other layouts have them taken once the
// picture is whole, in bands of 64 rows.
void Reader::read(std::uint8_t *out, const Rows8 &eight) {
    State &s = *s_;
    Listening listening(s.messages);
    TIFF *tif = s.tif.get();
    const Info &f = s.found;
    const int bytes = f.bits / 8;
    const int per_block_samples = f.planar ? 1 : f.channels;
    const std::size_t row = std::size_t(f.width) * f.channels * bytes;
    const int planes = f.planar ? f.channels : 1;
    std::vector<std::uint8_t> block;
    if (eight && !reads_8bit()) throw std::logic_error("no 8-bit reading of this layout");
    bool eight_done = false;
    std::vector<std::uint8_t> band;  // one strip's (or band's) 8-bit rows

    if (!f.tiled) {
        std::uint32_t rows_per_strip = 0;
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
        rows_per_strip = std::clamp<std::uint32_t>(rows_per_strip, 1, f.height);
        const std::uint32_t strips_per_plane = (f.height + rows_per_strip - 1) / rows_per_strip;
        if (TIFFNumberOfStrips(tif) < strips_per_plane * std::uint32_t(planes)) throw damaged(s.messages, "strips missing");
        const std::size_t block_row = std::size_t(f.width) * per_block_samples * bytes;
        if (f.planar) block.resize(block_row * rows_per_strip);
        for (int plane = 0; plane < planes; ++plane)
            for (std::uint32_t strip = 0; strip < strips_per_plane; ++strip) {
                const std::uint32_t first = strip * rows_per_strip;
                const std::uint32_t rows = std::min(rows_per_strip, f.height - first);
                const tmsize_t want = tmsize_t(block_row * rows);
                std::uint8_t *into = f.planar ? block.data() : out + first * row;
                if (!f.planar) fw::populate(into, std::size_t(want));
                const tmsize_t got =
                    TIFFReadEncodedStrip(tif, std::uint32_t(plane) * strips_per_plane + strip, into, want);
                if (got != want) throw damaged(s.messages, ("strip " + std::to_string(strip) + " is short").c_str());
                if (f.planar) {
                    scatter(into, block_row, out + first * row, row, rows, f.width, plane, f.channels, bytes);
                } else if (eight) {
                    band.resize(std::size_t(want) / 2);
                    top_bytes(into, band.data(), band.size());
                    eight(first, rows, band.data());
                }
            }
        eight_done = !f.planar;
    } else {
        std::uint32_t tile_width = 0, tile_height = 0;
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tile_width);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &tile_height);
        if (!tile_width || !tile_height) throw damaged(s.messages, "no tile size");
        const std::size_t block_row = std::size_t(tile_width) * per_block_samples * bytes;
        const tmsize_t want = tmsize_t(block_row * tile_height);
        if (TIFFTileSize64(tif) != std::uint64_t(want)) throw unsupported("tile layout");
        block.resize(std::size_t(want));
        for (int plane = 0; plane < planes; ++plane)
            for (std::uint32_t y = 0; y < f.height; y += tile_height)
                for (std::uint32_t x = 0; x < f.width; x += tile_width) {
                    const std::uint32_t tile = TIFFComputeTile(tif, x, y, 0, std::uint16_t(plane));
                    if (TIFFReadEncodedTile(tif, tile, block.data(), want) != want)
                        throw damaged(s.messages, ("tile " + std::to_string(tile) + " is short").c_str());
                    const std::uint32_t rows = std::min(tile_height, f.height - y);
                    const std::uint32_t columns = std::min(tile_width, f.width - x);
                    std::uint8_t *to = out + y * row + std::size_t(x) * f.channels * bytes;
                    if (f.planar) {
                        scatter(block.data(), block_row, to, row, rows, columns, plane, f.channels, bytes);
                    } else {
                        const std::size_t span = std::size_t(columns) * f.channels * bytes;
                        for (std::uint32_t r = 0; r < rows; ++r) std::memcpy(to + r * row, block.data() + r * block_row, span);
                    }
                }
    }

    // Min-is-white grey: the colour sample turned round (the extra sample is left as it is).
    if (s.invert) {
        const std::size_t pixels = std::size_t(f.width) * f.height;
        for (std::size_t i = 0; i < pixels; ++i) {
            if (bytes == 1) {
                out[i * f.channels] = std::uint8_t(255 - out[i * f.channels]);
            } else {
                auto *v = reinterpret_cast<std::uint16_t *>(out) + i * f.channels;
                *v = std::uint16_t(65535 - *v);
            }
        }
    }
    if (eight && !eight_done) {
        const std::size_t row8 = row / 2;
        for (std::uint32_t first = 0; first < f.height; first += 64) {
            const std::uint32_t rows = std::min<std::uint32_t>(64, f.height - first);
            band.resize(row8 * rows);
            top_bytes(out + first * row, band.data(), band.size());
            eight(first, rows, band.data());
        }
    }
}

// ---- writing

namespace {

// The rows of one strip: about 256 KB.
std::uint32_t rows_per_strip(const Picture &p) {
    const std::size_t row = std::size_t(p.width) * p.channels * (p.bits / 8);
    return std::uint32_t(std::clamp<std::size_t>((256 * 1024) / row, 1, p.height));
}

bool is_big(const Picture &p) { return double(p.width) * p.channels * (p.bits / 8) * p.height > 3.5e9; }

#if FRAMEWICK_TIFF_LIBDEFLATE

// Deflated strips of unsigned samples are made here rather than by libtiff, so that several can
// be compressed at once: the same predictor and the same deflate as libtiff's, whose own encoder
// hands a whole strip to libdeflate at level 7 for its default quality (zlib's level 6). The
// strips are then the bytes libtiff writes, and so is the file.
constexpr int deflate_level = 7;

bool own_deflate(const Picture &p, const WriteOptions &o) {
    return o.compression == Compression::deflate && (p.bits == 8 || p.bits == 16);
}

struct FreeCompressor {
    void operator()(libdeflate_compressor *c) const noexcept { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, FreeCompressor>;

// The horizontal predictor on `rows` rows: each sample less the same sample of the pixel
// before it in its row (modulo the sample's range), the first pixel of a row as it is.
template <class T>
void differenced(const std::uint8_t *from, std::uint8_t *to, std::size_t row_samples, int channels, std::uint32_t rows) {
    const T *in = reinterpret_cast<const T *>(from);
    T *out = reinterpret_cast<T *>(to);
    for (std::uint32_t r = 0; r < rows; ++r, in += row_samples, out += row_samples) {
        for (int c = 0; c < channels && std::size_t(c) < row_samples; ++c) out[c] = in[c];
        for (std::size_t i = std::size_t(channels); i < row_samples; ++i) out[i] = T(in[i] - in[i - std::size_t(channels)]);
    }
}

// The strips of a picture, compressed by up to `threads` threads (the caller's among them) and
// handed to libtiff in order as raw strips. A strip is compressed at most a few strips ahead of
// the one being written, so compressed strips waiting to be written stay few.
class StripDeflater {
public:
    StripDeflater(const Picture &p, const WriteOptions &o, std::uint32_t rows_per_strip)
        : p_(p), predictor_(o.predictor), rows_per_strip_(rows_per_strip),
          row_(std::size_t(p.width) * p.channels * (p.bits / 8)),
          count_((p.height + rows_per_strip - 1) / rows_per_strip), done_(count_), ready_(count_, 0),
          ahead_(std::size_t(std::max(1, o.threads)) * 2) {}

    // Writes every strip into `t`; false when libtiff refused one (its message is recorded).
    bool run(TIFF *t, int threads) {
        std::vector<std::thread> helpers;
        struct Joined {
            StripDeflater &d;
            std::vector<std::thread> &helpers;
            ~Joined() {
                {
                    std::lock_guard lock(d.mutex_);
                    d.stop_ = true;
                }
                d.changed_.notify_all();
                for (auto &h : helpers) h.join();
            }
        } joined{*this, helpers};
        try {
            for (int i = 1; i < threads && std::size_t(i) < count_; ++i) helpers.emplace_back([this] { help(); });
        } catch (const std::system_error &) {
            // No thread to be had: the ones started, and this one, do the work.
        }

        Work mine;
        for (std::size_t index = 0; index < count_; ++index) {
            std::vector<std::uint8_t> strip;
            {
                std::unique_lock lock(mutex_);
                while (!ready_[index]) {
                    if (failed_) throw std::bad_alloc();
                    if (next_ < count_ && next_ < written_ + ahead_) {
                        const std::size_t claimed = next_++;
                        lock.unlock();
                        compress(claimed, mine);
                        lock.lock();
                    } else {
                        changed_.wait(lock);
                    }
                }
                strip = std::move(done_[index]);
            }
            const bool ok = TIFFWriteRawStrip(t, std::uint32_t(index), strip.data(), tmsize_t(strip.size())) >= 0;
            {
                std::lock_guard lock(mutex_);
                ++written_;
            }
            changed_.notify_all();
            if (!ok) return false;
        }
        return true;
    }

private:
    // What a thread compresses with: its compressor and a block for a strip's differences.
    struct Work {
        Compressor compressor;
        std::vector<std::uint8_t> scratch;
    };

    void help() noexcept {
        Work mine;
        std::unique_lock lock(mutex_);
        for (;;) {
            if (stop_ || failed_ || next_ >= count_) return;
            if (next_ >= written_ + ahead_) {
                changed_.wait(lock);
                continue;
            }
            const std::size_t claimed = next_++;
            lock.unlock();
            compress(claimed, mine);
            lock.lock();
        }
    }

    // Compresses strip `index` and hands it over; on failure (memory) marks the run failed.
    void compress(std::size_t index, Work &w) noexcept {
        std::vector<std::uint8_t> out;
        bool ok = true;
        try {
            if (!w.compressor) w.compressor.reset(libdeflate_alloc_compressor(deflate_level));
            if (!w.compressor) throw std::bad_alloc();
            const std::uint32_t first = std::uint32_t(index) * rows_per_strip_;
            const std::uint32_t rows = std::min(rows_per_strip_, p_.height - first);
            const std::size_t size = row_ * rows;
            const std::uint8_t *data = p_.pixels + std::size_t(first) * row_;
            if (predictor_) {
                w.scratch.resize(size);
                const std::size_t samples = std::size_t(p_.width) * p_.channels;
                if (p_.bits == 16) differenced<std::uint16_t>(data, w.scratch.data(), samples, p_.channels, rows);
                else differenced<std::uint8_t>(data, w.scratch.data(), samples, p_.channels, rows);
                data = w.scratch.data();
            }
            out.resize(libdeflate_zlib_compress_bound(w.compressor.get(), size));
            const std::size_t n = libdeflate_zlib_compress(w.compressor.get(), data, size, out.data(), out.size());
            if (!n) throw std::bad_alloc();  // within the bound it cannot run out of room
            out.resize(n);
        } catch (...) {
            ok = false;
        }
        {
            std::lock_guard lock(mutex_);
            if (ok) {
                done_[index] = std::move(out);
                ready_[index] = 1;
            } else {
                failed_ = true;
            }
        }
        changed_.notify_all();
    }

    const Picture &p_;
    const bool predictor_;
    const std::uint32_t rows_per_strip_;
    const std::size_t row_, count_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<std::uint8_t>> done_;
    std::vector<char> ready_;
    std::size_t next_ = 0, written_ = 0;
    const std::size_t ahead_;
    bool stop_ = false, failed_ = false;
};

template <class Failed>
void deflate_strips(TIFF *t, const Picture &p, const WriteOptions &o, std::uint32_t rows_per_strip, Failed &failed) {
    StripDeflater deflater(p, o, rows_per_strip);
    if (!deflater.run(t, std::max(1, o.threads))) throw failed();
}

#else

bool own_deflate(const Picture &, const WriteOptions &) { return false; }
template <class Failed> void deflate_strips(TIFF *, const Picture &, const WriteOptions &, std::uint32_t, Failed &) {}

#endif

// 1. Open `memory` as a file (BigTIFF past what classic TIFF addresses); 2. the tags: size,
// samples, bits and format, photometric, the extra sample's meaning, compression with its
// predictor (horizontal for integers, floating-point for floats), ICC, resolution in inches;
// 3. strips of about 256 KB: deflated ones compressed here (in threads when asked), uncompressed
// ones written as they are, the others by libtiff, each copied first (the codec may change its
// buffer in place); 4. the directory.
void write_to(Memory &memory, const Picture &p, const WriteOptions &o) {
    Messages messages;
    Listening listening(messages);
    const int bytes = p.bits / 8;
    const std::size_t row = std::size_t(p.width) * p.channels * bytes;
    const bool big = is_big(p);
    TiffPtr tif = open(memory, big ? "w8" : "w", messages);
    if (!tif && memory.os_error) throw Failure{"cannot write the TIFF file", false, memory.os_error};
    if (!tif) throw Failure{std::string("cannot write the TIFF file (") + messages.error + ")"};
    TIFF *t = tif.get();
    auto failed = [&]() -> Failure {
        if (memory.failed) throw std::bad_alloc();
        if (memory.os_error) return {"cannot write the TIFF file", false, memory.os_error};
        if (memory.overflow) return {"cannot write the TIFF file (it outgrew the room made for it)"};
        return {std::string("cannot write the TIFF file (") + (messages.failed ? messages.error : "libtiff refused") +
                ")"};
    };

    const bool is_float = p.bits == 32;
    const std::uint32_t rows_per_strip = tiffcodec::rows_per_strip(p);
    bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, p.width) && TIFFSetField(t, TIFFTAG_IMAGELENGTH, p.height) &&
              TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(p.channels)) &&
              TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, std::uint16_t(p.bits)) &&
              TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, is_float ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT) &&
              TIFFSetField(t, TIFFTAG_PHOTOMETRIC, p.channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK) &&
              TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
              TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    if (ok && (p.channels == 2 || p.channels == 4)) {
        const std::uint16_t extra = o.alpha == Alpha::associated     ? EXTRASAMPLE_ASSOCALPHA
                                    : o.alpha == Alpha::unassociated ? EXTRASAMPLE_UNASSALPHA
                                                                     : EXTRASAMPLE_UNSPECIFIED;
        ok = TIFFSetField(t, TIFFTAG_EXTRASAMPLES, std::uint16_t(1), &extra);
    }
    const int compression = o.compression == Compression::deflate ? COMPRESSION_ADOBE_DEFLATE
                            : o.compression == Compression::lzw   ? COMPRESSION_LZW
                                                                  : COMPRESSION_NONE;
    ok = ok && TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    if (ok && compression != COMPRESSION_NONE && o.predictor)
        ok = TIFFSetField(t, TIFFTAG_PREDICTOR, is_float ? PREDICTOR_FLOATINGPOINT : PREDICTOR_HORIZONTAL);
    if (ok && !o.icc.empty()) ok = TIFFSetField(t, TIFFTAG_ICCPROFILE, std::uint32_t(o.icc.size()), o.icc.data());
    if (ok && o.has_dpi)
        ok = TIFFSetField(t, TIFFTAG_XRESOLUTION, float(o.dpi[0])) && TIFFSetField(t, TIFFTAG_YRESOLUTION, float(o.dpi[1])) &&
             TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    if (!ok) throw failed();

    if (own_deflate(p, o)) {
        deflate_strips(t, p, o, rows_per_strip, failed);
    } else if (compression == COMPRESSION_NONE) {
        // Stored as they are, in the file's (the machine's) byte order: each strip written
        // straight from the picture, as libtiff would write it after two copies.
        for (std::uint32_t first = 0, index = 0; first < p.height; first += rows_per_strip, ++index) {
            const std::uint32_t rows = std::min(rows_per_strip, p.height - first);
            auto *from = const_cast<std::uint8_t *>(p.pixels + std::size_t(first) * row);
            if (TIFFWriteRawStrip(t, index, from, tmsize_t(row * rows)) < 0) throw failed();
        }
    } else {
        std::vector<std::uint8_t> strip(row * rows_per_strip);
        for (std::uint32_t first = 0, index = 0; first < p.height; first += rows_per_strip, ++index) {
            const std::uint32_t rows = std::min(rows_per_strip, p.height - first);
            const std::size_t size = row * rows;
            std::memcpy(strip.data(), p.pixels + first * row, size);
            if (TIFFWriteEncodedStrip(t, index, strip.data(), tmsize_t(size)) < 0) throw failed();
        }
    }
    if (!TIFFWriteDirectory(t) || messages.failed) throw failed();
    tif.reset();
    if (memory.failed || memory.overflow || memory.os_error || messages.failed) throw failed();
}

} // namespace

std::string write(const Picture &p, const WriteOptions &o) {
    std::string file;
    Memory memory;
    memory.out = &file;
    // Room for the whole picture at once (untouched pages cost nothing until written): the file
    // grows in small writes, and each regrowth would copy and fault in everything so far.
    if (!is_big(p)) file.reserve(std::size_t(p.width) * p.channels * (p.bits / 8) * p.height + o.icc.size() + 65536);
    write_to(memory, p, o);
    return file;
}

std::size_t uncompressed_size_at_most(const Picture &p, const WriteOptions &o) {
    const std::size_t pixels = std::size_t(p.width) * p.channels * (p.bits / 8) * p.height;
    const std::size_t strips = (p.height + rows_per_strip(p) - 1) / rows_per_strip(p);
    // The header, the directory's entries and their values (sizes and offsets of the strips at
    // 8 bytes each, the ICC profile, rationals, per-sample values), with room to spare.
    return pixels + o.icc.size() + 16 * strips + 65536;
}

std::size_t write_into(const Picture &p, const WriteOptions &o, std::uint8_t *room, std::size_t capacity) {
    Memory memory;
    memory.room = room;
    memory.capacity = capacity;
    write_to(memory, p, o);
    return std::size_t(memory.size);
}

std::uint64_t write_fd(const Picture &p, const WriteOptions &o, int fd) {
    Memory memory;
    memory.fd = fd;
    write_to(memory, p, o);
    return memory.size;
}

void route_messages() {
    static std::once_flag once;
    std::call_once(once, [] {
        previous_error = TIFFSetErrorHandler(routed_error);
        previous_warning = TIFFSetWarningHandler(routed_warning);
    });
}

} // namespace tiffcodec
