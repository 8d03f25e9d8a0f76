// png_codec.cpp: PNG reading and writing on libpng at 8 and 16 bits.
//
// libpng reports an error by calling our handler, which must not return: it longjmps back to
// the setjmp of `guarded`. Every libpng call that can fail runs inside `guarded`, through a
// plain step function; the frames a longjmp skips (the step, libpng's own, our I/O callbacks)
// hold no object with a destructor, and the C++ failure is thrown only after `guarded` has
// returned. What must survive an error (buffers, row pointers, the output) lives in the State
// or in the caller's frame, below the setjmp.
#include "png_codec.hpp"

#include <png.h>

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <condition_variable>
#include <csetjmp>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace pngcodec {

struct Reader::State {
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_infop end = nullptr;
    const std::uint8_t *data = nullptr;
    std::size_t size = 0, at = 0;
    // A file read through its descriptor: `block` holds what was read last, `data` points in it.
    int fd = -1;
    std::uint64_t offset = 0;  // where the next block starts in the file
    std::vector<std::uint8_t> block;
    char message[240] = {};
    Info found;
    std::size_t row_bytes = 0;
    std::uint32_t next = 0;
    int passes = 1;
    std::vector<std::uint8_t> whole;  // an interlaced picture, decoded at once on the first band
    bool failed = false;              // libpng refused: its state is spent, every later call refused

    ~State() { png_destroy_read_struct(&png, &info, &end); }
};

namespace {

using State = Reader::State;

constexpr const char damaged[] = "the PNG file is damaged";
constexpr const char truncated[] = "the PNG file is truncated";
constexpr const char unreadable[] = "the PNG file cannot be read";
constexpr std::size_t block_size = 1 << 16;

// ---- libpng's callbacks: no destructors in these frames

[[noreturn]] void on_error(png_structp png, png_const_charp text) {
    auto *message = static_cast<char *>(png_get_error_ptr(png));
    std::strncpy(message, text ? text : "unknown error", 239);
    message[239] = '\0';
    png_longjmp(png, 1);
}

// Warnings are dropped: libpng carries on, and never prints.
void on_warning(png_structp, png_const_charp) {}

void on_read(png_structp png, png_bytep out, std::size_t count) {
    auto *s = static_cast<State *>(png_get_io_ptr(png));
    if (s->fd >= 0) {
        // 1. What the block holds; 2. the next block from the file, until `count` bytes are given.
        while (count > s->size - s->at) {
            const std::size_t held = s->size - s->at;
            std::memcpy(out, s->data + s->at, held);
            out += held;
            count -= held;
            ssize_t got;
            do got = pread(s->fd, s->block.data(), block_size, off_t(s->offset));
            while (got < 0 && errno == EINTR);
            if (got < 0) png_error(png, unreadable);
            if (got == 0) png_error(png, truncated);
            s->offset += std::uint64_t(got);
            s->data = s->block.data();
            s->size = std::size_t(got);
            s->at = 0;
        }
    } else if (count > s->size - s->at) {
        png_error(png, truncated);
    }
    std::memcpy(out, s->data + s->at, count);
    s->at += count;
}

// Runs `step` under libpng's error jump; false when libpng refused (the message is set).
template <class Arg> bool guarded(png_structp png, void (*step)(png_structp, Arg *), Arg *arg) noexcept {
    if (setjmp(png_jmpbuf(png))) return false;
    step(png, arg);
    return true;
}

// The one-line failure for what libpng reported into `message`.
[[gnu::cold]] Failure failure(const char *message) {
    std::string text(message);
    if (text == truncated || text == unreadable || text.starts_with("the PNG file")) return {text};
    // libpng names the chunk, e.g. "IDAT: CRC error", "Not enough image data".
    return {std::string(damaged) + " (" + text + ")"};
}

std::string latin1_to_utf8(const char *text, std::size_t length) {
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += char(c);
        } else {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The text chunks and eXIf of `info` (before the picture data, or after it) into `found`.
void collect_late(png_structp png, png_infop info, Info &found) {
    png_textp text = nullptr;
    int count = png_get_text(png, info, &text, nullptr);
    for (int i = 0; i < count; ++i) {
        const png_text &t = text[i];
        std::string key = latin1_to_utf8(t.key, std::strlen(t.key));
        const bool utf8 = t.compression == PNG_ITXT_COMPRESSION_NONE || t.compression == PNG_ITXT_COMPRESSION_zTXt;
        const std::size_t length = utf8 ? t.itxt_length : t.text_length;
        std::string value = !t.text ? std::string() : utf8 ? std::string(t.text, length) : latin1_to_utf8(t.text, length);
        found.text.emplace_back(std::move(key), std::move(value));
    }
    png_bytep exif = nullptr;
    png_uint_32 exif_length = 0;
    if (found.exif.empty() && png_get_eXIf_1(png, info, &exif_length, &exif) && exif && exif_length)
        found.exif.assign(reinterpret_cast<const char *>(exif), exif_length);
}

void collect_early(png_structp png, png_infop info, Info &found) {
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &length) && profile && length)
        found.icc.assign(reinterpret_cast<const char *>(profile), length);
    png_fixed_point gamma = 0;
    if (png_get_gAMA_fixed(png, info, &gamma) && gamma > 0) found.gamma = gamma / 100000.0;
    int intent = 0;
    if (png_get_sRGB(png, info, &intent)) found.srgb = intent;
    double *c = found.chrm;
    if (png_get_cHRM(png, info, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7])) found.has_chrm = true;
    png_uint_32 x = 0, y = 0;
    int unit = 0;
    if (png_get_pHYs(png, info, &x, &y, &unit) && unit == PNG_RESOLUTION_METER && x && y) {
        found.has_dpi = true;
        found.dpi[0] = x * 0.0254;
        found.dpi[1] = y * 0.0254;
    }
    collect_late(png, info, found);
}

// Refuses a picture of more than `max_pixels` pixels (0: no limit).
void check_limit(std::uint64_t width, std::uint64_t height, std::uint64_t max_pixels) {
    if (max_pixels && width * height > max_pixels)
        throw Failure{"the picture is " + std::to_string(width) + "x" + std::to_string(height) +
                          ", more than the limit of " + std::to_string(max_pixels) + " pixels",
                      true};
}

// The steps that run under the jump.
void step_read_info(png_structp png, State *s) { png_read_info(png, s->info); }
void step_update(png_structp png, State *s) {
    s->passes = png_set_interlace_handling(png);
    png_read_update_info(png, s->info);
}
struct Band {
    png_bytepp rows;
    png_uint_32 count;
};
void step_rows(png_structp png, Band *band) { png_read_rows(png, band->rows, nullptr, band->count); }
void step_image(png_structp png, Band *band) { png_read_image(png, band->rows); }
void step_read_end(png_structp png, State *s) { png_read_end(png, s->end); }

} // namespace

// 1. Refuse what is not a PNG by its signature, and a picture over the pixel limit by its IHDR;
// 2. read the chunks before the picture data; 4. ask for 8 or 16-bit grey, grey + alpha, RGB or RGBA:
// palettes expanded to RGB, low-depth grey to 8 bits, tRNS to an alpha channel, 16-bit samples
// swapped to the machine's order.
Reader::Reader(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels, bool check_data)
    : s_(std::make_unique<State>()) {
    s_->data = data;
    s_->size = size;
    open(data, size, max_pixels, check_data);
}

// The file's first block is read, and its signature and IHDR checked from there, as from memory.
Reader::Reader(int fd, std::uint64_t max_pixels, bool check_data) : s_(std::make_unique<State>()) {
    State &s = *s_;
    s.fd = fd;
    s.block.resize(block_size);
    ssize_t got;
    do got = pread(fd, s.block.data(), block_size, 0);
    while (got < 0 && errno == EINTR);
    if (got < 0) throw Failure{unreadable};
    s.offset = std::uint64_t(got);
    s.data = s.block.data();
    s.size = std::size_t(got);
    open(s.data, s.size, max_pixels, check_data);
}

void Reader::open(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels, bool check_data) {
    State &s = *s_;
    if (size < 8 || png_sig_cmp(data, 0, 8) != 0) throw Failure{"not a PNG file"};
    // IHDR comes first: its size is checked before libpng reads on (to the first IDAT).
    if (size >= 24 && std::memcmp(data + 12, "IHDR", 4) == 0)
        check_limit(png_get_uint_32(data + 16), png_get_uint_32(data + 20), max_pixels);
    s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, s.message, on_error, on_warning);
    if (!s.png) throw std::bad_alloc();
    s.info = png_create_info_struct(s.png);
    s.end = png_create_info_struct(s.png);
    if (!s.info || !s.end) throw std::bad_alloc();
    png_set_read_fn(s.png, &s, on_read);
    // The pixel limit below is the caller's; libpng's own default caps (a million pixels a
    // side) would refuse a long panorama the limit allows.
    png_set_user_limits(s.png, 0x7fffffff, 0x7fffffff);
    if (!guarded(s.png, step_read_info, &s)) throw failure(s.message);

    png_uint_32 width = 0, height = 0;
    int depth = 0, colour = 0, interlace = 0;
    png_get_IHDR(s.png, s.info, &width, &height, &depth, &colour, &interlace, nullptr, nullptr);
    check_limit(width, height, max_pixels);

    if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(s.png);
    if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(s.png);
    if (png_get_valid(s.png, s.info, PNG_INFO_tRNS)) {
        png_set_tRNS_to_alpha(s.png);
        s.found.transparency = true;
    }
    if (depth == 16 && std::endian::native == std::endian::little) png_set_swap(s.png);
    if (!guarded(s.png, step_update, &s)) throw failure(s.message);
    // The chunks up to the picture data were checked; from here on, only the picture data's are not.
    if (!check_data) png_set_crc_action(s.png, PNG_CRC_QUIET_USE, PNG_CRC_DEFAULT);

    Info &found = s.found;
    found.width = width;
    found.height = height;
    found.channels = png_get_channels(s.png, s.info);
    found.bits = png_get_bit_depth(s.png, s.info);
    found.interlaced = interlace != PNG_INTERLACE_NONE;
    s.row_bytes = png_get_rowbytes(s.png, s.info);
    if (found.channels < 1 || found.channels > 4 || (found.bits != 8 && found.bits != 16) ||
        s.row_bytes != std::size_t(width) * found.channels * (found.bits / 8))
        throw Failure{"the PNG file's pixel layout is not supported"};
    collect_early(s.png, s.info, found);
}

Reader::~Reader() = default;

const Info &Reader::info() const noexcept { return s_->found; }
std::size_t Reader::row_bytes() const noexcept { return s_->row_bytes; }
std::uint32_t Reader::next_row() const noexcept { return s_->next; }

// Rows of a plain picture come straight from libpng into `out`; an interlaced one is decoded
// whole on the first call (its passes cover the picture several times) and handed out from there.
void Reader::rows(std::uint32_t count, std::uint8_t *out) {
    State &s = *s_;
    if (s.failed) throw failure(s.message);
    const std::uint32_t height = s.found.height;
    if (count > height - s.next) count = height - s.next;
    if (count == 0) return;
    auto refuse = [&s] {
        s.failed = true;
        return failure(s.message);
    };
    std::vector<png_bytep> pointers;
    if (s.passes > 1) {
        if (s.whole.empty()) {
            if (count == height) {
                pointers.resize(height);
                for (std::uint32_t r = 0; r < height; ++r) pointers[r] = out + r * s.row_bytes;
            } else {
                s.whole.resize(std::size_t(height) * s.row_bytes);
                pointers.resize(height);
                for (std::uint32_t r = 0; r < height; ++r) pointers[r] = s.whole.data() + r * s.row_bytes;
            }
            Band band{pointers.data(), height};
            if (!guarded(s.png, step_image, &band)) throw refuse();
        }
        if (!s.whole.empty()) std::memcpy(out, s.whole.data() + s.next * s.row_bytes, count * s.row_bytes);
    } else {
        pointers.resize(count);
        for (std::uint32_t r = 0; r < count; ++r) pointers[r] = out + r * s.row_bytes;
        Band band{pointers.data(), count};
        if (!guarded(s.png, step_rows, &band)) throw refuse();
    }
    s.next += count;
    if (s.next == height) {
        std::vector<std::uint8_t>().swap(s.whole);
        if (!guarded(s.png, step_read_end, &s)) throw refuse();
        collect_late(s.png, s.end, s.found);
    }
}

// ---- reduction while decoding

namespace {

// How the source pixels along one side fall into the reduced pixels: a reduced pixel covers
// exactly length / reduced source pixels, so the reduced picture shows the whole picture at one
// scale however the sides divide. Each takes a part of its first source pixel, the next ones
// whole, and a part of the one after them (weights in source pixels: 1 for a whole one).
struct Span {
    std::uint32_t first, whole;  // its first source pixel, then how many whole ones follow
    float head, tail;            // the weights of the first one and of the one after the whole ones
};

// In units of 1 / reduced of a source pixel, source pixel x spans [x * reduced, (x + 1) * reduced)
// and reduced pixel j spans [j * length, (j + 1) * length): their overlaps are whole numbers.
std::vector<Span> spans(std::uint32_t length, std::uint32_t reduced) {
    std::vector<Span> out(reduced);
    const std::uint64_t n = reduced, l = length;
    for (std::uint64_t j = 0; j < n; ++j) {
        const std::uint64_t left = j * l, right = (j + 1) * l;
        const std::uint64_t x0 = left / n, x1 = (right - 1) / n;  // the first and last pixels touched
        Span &s = out[j];
        s.first = std::uint32_t(x0);
        s.head = float(std::min(right, (x0 + 1) * n) - left) / float(n);
        if (x1 == x0) {
            s.whole = 0;
            s.tail = 0;
            continue;
        }
        const std::uint64_t tail = right - x1 * n;  // the part of pixel x1 inside
        s.whole = std::uint32_t(x1 - x0 - (tail < n ? 1 : 0));
        s.tail = tail < n ? float(tail) / float(n) : 0.0f;
    }
    return out;
}

// One row across: per reduced pixel, the weighted sums of its channels. A decoded row's
// colour is multiplied by its alpha first (`premultiply`); a row of sums is already.
template <int channels, bool premultiply, class T>
void across(const T *row, const std::vector<Span> &spans, float *out) {
    auto value = [](const T *p, int k) -> std::uint32_t {
        if constexpr (premultiply) return k == channels - 1 ? p[k] : std::uint32_t(p[k]) * p[channels - 1];
        else return std::uint32_t(p[k]);
    };
    for (const Span &s : spans) {
        const T *p = row + std::size_t(s.first) * channels;
        std::uint32_t whole[channels] = {};
        float sum[channels];
        for (int k = 0; k < channels; ++k) sum[k] = s.head * float(value(p, k));
        p += channels;
        for (std::uint32_t i = 0; i < s.whole; ++i, p += channels)
            for (int k = 0; k < channels; ++k) whole[k] += value(p, k);
        if (s.tail > 0)
            for (int k = 0; k < channels; ++k) sum[k] += s.tail * float(value(p, k));
        for (int k = 0; k < channels; ++k) out[k] = sum[k] + float(whole[k]);
        out += channels;
    }
}

// A decoded row added down into `sums` (colour times alpha where there is alpha).
template <int channels, bool alpha>
void down(const std::uint8_t *row, std::size_t samples, std::uint32_t *sums) {
    if constexpr (alpha) {
        for (std::size_t i = 0; i < samples; i += channels) {
            const std::uint32_t a = row[i + channels - 1];
            for (int k = 0; k < channels - 1; ++k) sums[i + k] += row[i + k] * a;
            sums[i + channels - 1] += a;
        }
    } else {
        for (std::size_t i = 0; i < samples; ++i) sums[i] += row[i];
    }
}

// A reduced row from its sums: each mean rounded to the nearest level. `area` is the source
// pixels one reduced pixel covers.
template <int channels, bool alpha>
void put_row(const float *sums, std::size_t reduced, float area, std::uint8_t *out) {
    auto level = [](float v) { return std::uint8_t(std::min(255.0f, v + 0.5f)); };
    for (std::size_t j = 0; j < reduced; ++j, sums += channels, out += channels) {
        if constexpr (alpha) {
            const float a = sums[channels - 1];
            for (int k = 0; k < channels - 1; ++k) out[k] = a > 0 ? level(sums[k] / a) : 0;
            out[channels - 1] = level(a / area);
        } else {
            for (int k = 0; k < channels; ++k) out[k] = level(sums[k] / area);
        }
    }
}

// Bands of rows decoded in a thread of their own while the caller reduces the ones before
// (decoding, zlib's inflate and libpng's unfiltering, is most of the work: the reduction then
// costs no time of its own on a machine with a core to spare). A few bands are in hand at
// once; a failure of the decoder reaches the caller after the bands decoded before it. Where
// no thread can be started, the bands are decoded as they are asked for.
class Bands {
public:
    explicit Bands(Reader &reader) : reader_(reader) {
        for (Slot &slot : slots_) slot.pixels.resize(std::size_t(band_rows) * reader.row_bytes());
        try {
            thread_ = std::thread([this] { decode(); });
        } catch (const std::system_error &) {
            inline_ = true;
        }
    }
    ~Bands() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    Bands(const Bands &) = delete;
    Bands &operator=(const Bands &) = delete;

    // The next band's pixels, first row and count; nullptr after the last. The band before is
    // given back by this call.
    const std::uint8_t *next(std::uint32_t &first, std::uint32_t &rows) {
        if (inline_) {
            if (reader_.next_row() >= reader_.info().height) return nullptr;
            Slot &slot = slots_[0];
            first = reader_.next_row();
            rows = std::min(band_rows, reader_.info().height - first);
            reader_.rows(rows, slot.pixels.data());
            return slot.pixels.data();
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (taken_) {
            ++used_;
            taken_ = false;
            changed_.notify_all();
        }
        changed_.wait(lock, [this] { return made_ > used_ || finished_; });
        if (made_ == used_) {
            if (failure_) std::rethrow_exception(failure_);
            return nullptr;
        }
        const Slot &slot = slots_[used_ % slots];
        first = slot.first;
        rows = slot.rows;
        taken_ = true;
        return slot.pixels.data();
    }

    static constexpr std::uint32_t band_rows = 16;

private:
    static constexpr std::size_t slots = 4;
    struct Slot {
        std::vector<std::uint8_t> pixels;
        std::uint32_t first = 0, rows = 0;
    };

    void decode() noexcept {
        const std::uint32_t height = reader_.info().height;
        for (;;) {
            std::size_t at;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return made_ - used_ < slots || stop_; });
                if (stop_) return;
                at = made_ % slots;
            }
            Slot &slot = slots_[at];
            std::exception_ptr failure;
            bool last = reader_.next_row() >= height;
            if (!last) {
                try {
                    slot.first = reader_.next_row();
                    slot.rows = std::min(band_rows, height - slot.first);
                    reader_.rows(slot.rows, slot.pixels.data());
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (last || failure) {
                    failure_ = failure;
                    finished_ = true;
                } else {
                    ++made_;
                }
            }
            changed_.notify_all();
            if (last || failure) return;
        }
    }

    Reader &reader_;
    Slot slots_[slots];
    std::thread thread_;
    bool inline_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t made_ = 0, used_ = 0;  // bands decoded, and given back, so far
    bool taken_ = false, finished_ = false, stop_ = false;
    std::exception_ptr failure_;
};

// 1. Rows come in bands (decoded in a thread of their own). 2. A source row wholly inside the
// reduced row being made is added down, column by column, in integers; one that straddles two
// reduced rows is summed across on its own and shared between them by the part of it in each.
// 3. Once the source rows a reduced row covers are all in, its column sums are summed across
// and it is written.
template <int channels, bool alpha>
void reduce_as(Reader &reader, std::uint32_t width, std::uint32_t height, std::uint8_t *out) {
    const Info &info = reader.info();
    const std::vector<Span> columns = spans(info.width, width);
    const std::size_t samples = std::size_t(info.width) * channels, out_row = std::size_t(width) * channels;
    const float area = float(double(info.width) / width * (double(info.height) / height));
    std::vector<std::uint32_t> column_sums(samples);
    std::vector<float> row(out_row), current(out_row), next(out_row);
    const std::uint64_t n = height, l = info.height;
    std::uint64_t filled = 0;  // the reduced row being made
    Bands bands(reader);
    std::uint32_t y0 = 0, rows = 0;
    while (const std::uint8_t *band = bands.next(y0, rows)) {
        for (std::uint32_t r = 0; r < rows; ++r) {
            const std::uint8_t *source = band + r * reader.row_bytes();
            // Source row y spans [y * n, (y + 1) * n), reduced row i spans [i * l, (i + 1) * l).
            const std::uint64_t top = (y0 + r) * n, bottom = top + n, end = (filled + 1) * l;
            if (bottom < end) {
                down<channels, alpha>(source, samples, column_sums.data());
                continue;
            }
            const float here = float(end - top) / float(n), rest = float(bottom - end) / float(n);
            if (rest > 0) {
                across<channels, alpha>(source, columns, row.data());
                for (std::size_t k = 0; k < out_row; ++k) {
                    current[k] += here * row[k];
                    next[k] = rest * row[k];
                }
            } else {
                down<channels, alpha>(source, samples, column_sums.data());
            }
            across<channels, false>(column_sums.data(), columns, row.data());
            for (std::size_t k = 0; k < out_row; ++k) current[k] += row[k];
            put_row<channels, alpha>(current.data(), width, area, out + filled * out_row);
            ++filled;
            std::fill(column_sums.begin(), column_sums.end(), 0);
            current.swap(next);
            std::fill(next.begin(), next.end(), 0.0f);
        }
    }
}

} // namespace

void reduce(Reader &reader, std::uint32_t width, std::uint32_t height, std::uint8_t *out) {
    const Info &info = reader.info();
    if (info.bits != 8) throw Failure{"the PNG file's pixel layout is not supported for reduction"};
    // Up to 128 times smaller a side, a reduced pixel's sums (of colour times alpha) fit 32 bits.
    if (width < 1 || height < 1 || width > info.width || height > info.height ||
        info.width > std::uint64_t(width) * max_reduction || info.height > std::uint64_t(height) * max_reduction)
        throw Failure{"a reduced side must be 1 to " + std::to_string(max_reduction) +
                      " times smaller than the picture's"};
    switch (info.channels) {
    case 1: return reduce_as<1, false>(reader, width, height, out);
    case 2: return reduce_as<2, true>(reader, width, height, out);
    case 3: return reduce_as<3, false>(reader, width, height, out);
    default: return reduce_as<4, true>(reader, width, height, out);
    }
}

// ---- writing

namespace {

struct Output {
    std::string bytes;
    bool failed = false;
};

void on_write(png_structp png, png_bytep data, std::size_t count) {
    auto *out = static_cast<Output *>(png_get_io_ptr(png));
    try {
        out->bytes.append(reinterpret_cast<const char *>(data), count);
    } catch (...) {
        out->failed = true;
    }
    if (out->failed) png_error(png, "out of memory");
}
void on_flush(png_structp) {}

struct Writing {
    png_infop info;
    png_bytepp rows;
};
void step_write(png_structp png, Writing *w) {
    png_write_info(png, w->info);
    if (std::endian::native == std::endian::little) png_set_swap(png);
    png_write_image(png, w->rows);
    png_write_end(png, nullptr);
}

struct WriteStruct {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~WriteStruct() { png_destroy_write_struct(&png, &info); }
};

struct SetUp {
    const Picture *picture;
    const WriteOptions *options;
    png_infop info;
    png_textp text;
};
void step_set_up(png_structp png, SetUp *u) {
    const Picture &p = *u->picture;
    const WriteOptions &o = *u->options;
    static constexpr int colour_types[] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                           PNG_COLOR_TYPE_RGB_ALPHA};
    png_set_IHDR(png, u->info, p.width, p.height, p.bits, colour_types[p.channels - 1], PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, o.compress_level);
    if (!o.icc.empty())
        png_set_iCCP(png, u->info, "ICC profile", PNG_COMPRESSION_TYPE_BASE,
                     reinterpret_cast<png_const_bytep>(o.icc.data()), png_uint_32(o.icc.size()));
    if (o.has_dpi)
        png_set_pHYs(png, u->info, png_uint_32(o.dpi[0] / 0.0254 + 0.5), png_uint_32(o.dpi[1] / 0.0254 + 0.5),
                     PNG_RESOLUTION_METER);
    if (!o.exif.empty())
        png_set_eXIf_1(png, u->info, png_uint_32(o.exif.size()),
                       reinterpret_cast<png_bytep>(const_cast<char *>(o.exif.data())));
    if (!o.text.empty()) png_set_text(png, u->info, u->text, int(o.text.size()));
}

} // namespace

// 1. Set up IHDR, the compression level, iCCP, pHYs, eXIf and the text chunks; 2. write the
// rows (16-bit ones swapped to big-endian by libpng on a little-endian machine, on its copy
// of each row: the caller's pixels are not touched); 3. IEND.
std::string write(const Picture &picture, const WriteOptions &options) {
    Output out;
    char message[240] = {};
    WriteStruct w;
    w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, message, on_error, on_warning);
    if (!w.png) throw std::bad_alloc();
    w.info = png_create_info_struct(w.png);
    if (!w.info) throw std::bad_alloc();
    png_set_write_fn(w.png, &out, on_write, on_flush);

    std::vector<png_text> text(options.text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto &t = options.text[i];
        png_text &chunk = text[i];
        chunk.compression = t.utf8 ? PNG_ITXT_COMPRESSION_NONE : PNG_TEXT_COMPRESSION_NONE;
        chunk.key = const_cast<char *>(t.key_latin1.c_str());
        chunk.text = const_cast<char *>(t.text.c_str());
        chunk.text_length = t.utf8 ? 0 : t.text.size();
        chunk.itxt_length = t.utf8 ? t.text.size() : 0;
        chunk.lang = nullptr;
        chunk.lang_key = nullptr;
    }
    SetUp set_up{&picture, &options, w.info, text.data()};
    if (!guarded(w.png, step_set_up, &set_up)) throw Failure{std::string("cannot write the PNG file (") + message + ")"};

    const std::size_t row_bytes = std::size_t(picture.width) * picture.channels * (picture.bits / 8);
    std::vector<png_bytep> rows(picture.height);
    for (std::uint32_t r = 0; r < picture.height; ++r)
        rows[r] = const_cast<png_bytep>(picture.pixels + r * row_bytes);
    Writing writing{w.info, rows.data()};
    if (!guarded(w.png, step_write, &writing)) {
        if (out.failed) throw std::bad_alloc();
        throw Failure{std::string("cannot write the PNG file (") + message + ")"};
    }
    return std::move(out.bytes);
}

} // namespace pngcodec
