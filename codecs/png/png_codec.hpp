// png_codec.hpp: PNG reading and writing on libpng at 8 and 16 bits, with no Python in sight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pngcodec {

// A file libpng refuses (damaged, truncated, not a PNG), or a picture over the pixel limit
// (`limit`). `message` is one line.
struct Failure {
    std::string message;
    bool limit = false;
};

// What a PNG file says besides its pixels. Absent chunks leave their member empty (or negative).
struct Info {
    std::uint32_t width = 0, height = 0;
    int channels = 0;  // as decoded: 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA
    int bits = 0;      // as decoded: 8 or 16 (palettes and 1, 2, 4-bit grey expanded to 8)
    bool interlaced = false;
    bool transparency = false;  // the alpha channel comes from a tRNS chunk
    std::string icc;            // iCCP, uncompressed
    std::string exif;           // eXIf
    double gamma = -1;          // gAMA, as the file gamma (0.45455 for the sRGB curve)
    int srgb = -1;              // sRGB, its rendering intent
    bool has_chrm = false;
    double chrm[8] = {};  // cHRM: white x, y, red x, y, green x, y, blue x, y
    bool has_dpi = false;
    double dpi[2] = {};  // pHYs in pixels per metre, as dots per inch
    std::vector<std::pair<std::string, std::string>> text;  // tEXt, zTXt, iTXt: key and text, UTF-8
};

// A PNG file decoded row by row, top to bottom. The constructor reads everything up to the
// picture data and checks the pixel limit from IHDR before any row is decoded; the pixels come
// in bands of rows, native-endian (uint16 samples at 16 bits), interleaved. `data` must outlive
// the reader. Not for two threads at once.
class Reader {
public:
    // With `check_data` false, the picture data chunks' CRCs are not checked (nor are they by
    // Pillow's reading): a few percent less work.
    Reader(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels, bool check_data = true);
    // The same, reading the file open as `fd` from its start, a block at a time (never the
    // whole file at once; the descriptor's offset is left as it was). `fd` must stay open.
    Reader(int fd, std::uint64_t max_pixels, bool check_data = true);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    const Info &info() const noexcept;
    std::size_t row_bytes() const noexcept;
    std::uint32_t next_row() const noexcept;

    // Decodes the next `count` rows (at most those left) into `out`, row_bytes() each; after the
    // last row, reads the chunks after the picture data (text and eXIf there join info()), so
    // a file cut short after its picture is refused too.
    void rows(std::uint32_t count, std::uint8_t *out);

    struct State;

private:
    void open(const std::uint8_t *head, std::size_t size, std::uint64_t max_pixels, bool check_data);
    std::unique_ptr<State> s_;
};

// The most a side is reduced by.
constexpr unsigned max_reduction = 128;

// Decodes the rest of an 8-bit picture band by band, never holding more than a band of it,
// into `out`: the picture reduced to `width` x `height` (each side 1 to max_reduction times
// smaller), each pixel the mean
// of the area of the picture it covers (an area average, exact at any ratio of the sides).
// Colour is weighted by alpha where there is alpha, so fully transparent pixels lend no colour
// to their neighbours.
void reduce(Reader &reader, std::uint32_t width, std::uint32_t height, std::uint8_t *out);

// Pixels to write: rows of width * channels samples, uint8 or native-endian uint16.
struct Picture {
    const std::uint8_t *pixels;
    std::uint32_t width, height;
    int channels, bits;
};

struct WriteOptions {
    std::string icc, exif;
    bool has_dpi = false;
    double dpi[2] = {};
    // Written as tEXt when the text is Latin-1, else as iTXt; keys are Latin-1.
    struct Text {
        std::string key_latin1, text;
        bool utf8;
    };
    std::vector<Text> text;
    int compress_level = 6;
};

// A PNG file of the picture (16-bit samples big-endian, as PNG stores them).
std::string write(const Picture &picture, const WriteOptions &options);

} // namespace pngcodec
