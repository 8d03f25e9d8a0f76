// jxl_codec.hpp: JPEG XL reading and writing on libjxl at 8 and 16 bits and in float, with no Python in sight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace jxlcodec {

// A file libjxl refuses (damaged, truncated, not a JPEG XL), a picture over the pixel limit
// (`limit`), or pixels it could not encode. `message` is one line: libjxl itself says nothing
// but a status, so the text is made here from where the decoder stopped.
struct Failure {
    std::string message;
    bool limit = false;
};

// The samples handed out: uint8 for a codestream of 8 bits or fewer, uint16 (scaled by libjxl
// to the full 16-bit range) for deeper integers, float32 for floating-point samples.
enum class Sample { uint8, uint16, float32 };

struct Info {
    std::uint32_t width = 0, height = 0;  // upright: the codestream's orientation applied
    int channels = 0;                     // 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA
    int bits = 8;                         // as coded
    bool floating = false;                // the samples are coded as floating point
    Sample sample = Sample::uint8;
    int orientation = 1;                  // the codestream's orientation (EXIF numbering)
    std::string icc;                      // the profile of the pixels handed out
    bool icc_embedded = false;            // the file holds that profile (else libjxl made it from the codestream's colour encoding)
    std::string exif;                     // the TIFF structure (the box's offset field dropped)
    std::string xmp;
};

// A JPEG XL file decoded: the constructor reads the codestream's headers and checks the pixel
// limit from the basic info before any pixel is decoded; decode() writes the first frame
// whole, upright, interleaved, native-endian, and completes exif and xmp (their boxes may
// follow the codestream). `data` must outlive the reader.
class Reader {
public:
    Reader(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    const Info &info() const noexcept;
    std::size_t pixel_bytes() const noexcept;
    void decode(std::uint8_t *out);

    struct State;

private:
    std::unique_ptr<State> s_;
};

// Pixels to write: rows of width * channels samples, uint8 (bits 8), native-endian uint16
// (bits 16) or float32 (bits 32), straight alpha.
struct Picture {
    const std::uint8_t *pixels;
    std::uint32_t width, height;
    int channels, bits;
};

struct WriteOptions {
    int quality = 90;      // 0-100 as libjxl maps it to a distance; 100 is lossless
    int effort = 7;        // 1 (fastest) to 10
    int orientation = 1;   // the EXIF orientation the pixels are stored under, kept in the codestream
    std::string icc, exif, xmp;  // without an icc the file says sRGB
};

// A JPEG XL file of the picture (in the container when it carries EXIF or XMP).
std::string write(const Picture &picture, const WriteOptions &options);

} // namespace jxlcodec
