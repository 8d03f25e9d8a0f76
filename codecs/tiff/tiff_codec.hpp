// tiff_codec.hpp: TIFF reading and writing on libtiff at 8 and 16 bits and 32-bit float, in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tiffcodec {

// A file libtiff refuses or a layout this reader does not take, or a picture over the pixel
// limit (`limit`). `message` is one line.
struct Failure {
    std::string message;
    bool limit = false;
    int os_error = 0;  // the system's errno, when writing a file descriptor failed
};

enum class Alpha { none, associated, unassociated, unspecified };

// What the first picture (directory) of a TIFF file holds, as it will be decoded.
struct Info {
    std::uint32_t width = 0, height = 0;
    int channels = 0;    // 1 grey, 2 grey + extra sample, 3 RGB, 4 RGB + extra sample
    int bits = 0;        // 8, 16 (unsigned) or 32 (float)
    bool is_float = false;
    Alpha alpha = Alpha::none;  // what the extra sample is
    bool planar = false, tiled = false, big_endian = false, big_tiff = false;
    int compression = 1;        // TIFFTAG_COMPRESSION
    int photometric = 0;        // TIFFTAG_PHOTOMETRIC as stored
    int orientation = 1;        // TIFFTAG_ORIENTATION, reported, not applied
    std::string icc;
    bool has_dpi = false;
    double dpi[2] = {};
};

// A TIFF file over `data` (which must outlive the reader), opened and checked: the layout is
// one this reader decodes and the pixel limit holds, before anything is decoded.
class Reader {
public:
    Reader(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    const Info &info() const noexcept;
    // Bytes of the decoded picture: width * height * channels samples.
    std::size_t picture_bytes() const noexcept;
    // Whether read() can give the picture's 8-bit reading too: 16-bit unsigned samples.
    bool reads_8bit() const noexcept;
    // Rows [first, first + rows) of the 8-bit reading: the top byte of each sample.
    using Rows8 = std::function<void(std::uint32_t first, std::uint32_t rows, const std::uint8_t *pixels)>;
    // Decodes the picture into `out` (picture_bytes()), interleaved, native-endian samples; with
    // `eight` (only where reads_8bit()), its 8-bit reading handed over too, top to bottom, in
    // bands of whole rows. What `eight` throws ends the reading.
    void read(std::uint8_t *out, const Rows8 &eight = {});

    struct State;

private:
    std::unique_ptr<State> s_;
};

enum class Compression { deflate, lzw, none };

struct Picture {
    const std::uint8_t *pixels;  // interleaved, native-endian
    std::uint32_t width, height;
    int channels, bits;          // bits 8, 16 or 32 (float)
};

struct WriteOptions {
    Compression compression = Compression::deflate;
    std::string icc;
    bool has_dpi = false;
    double dpi[2] = {};
    Alpha alpha = Alpha::unassociated;  // for 2 or 4 channels; none writes "unspecified"
    bool predictor = true;
    int threads = 1;  // deflated 8 and 16-bit strips compressed by this many threads at most
};

std::string write(const Picture &picture, const WriteOptions &options);

// An uncompressed file written straight into the caller's block (`capacity` bytes, none of them
// cleared first, at least `uncompressed_size_at_most`): no copy of the file is made. Returns its
// size.
std::size_t uncompressed_size_at_most(const Picture &picture, const WriteOptions &options);
std::size_t write_into(const Picture &picture, const WriteOptions &options, std::uint8_t *room, std::size_t capacity);

// The file written straight to the open file descriptor `fd` from its offset 0 on (nothing of it
// held in memory); the same bytes as `write`. A failed write throws a Failure with `os_error`.
// Returns its size.
std::uint64_t write_fd(const Picture &picture, const WriteOptions &options, int fd);

// libtiff's process-wide message handlers, routed once: while a thread reads or writes through
// this codec, messages without a file go to that file's record; otherwise to the handlers that
// were there before (so other users of libtiff in the process see no change).
void route_messages();

} // namespace tiffcodec
