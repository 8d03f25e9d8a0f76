// avif_codec.hpp: AVIF reading and writing on libavif at 8, 10 and 12 bits, with no Python in sight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace avifcodec {

// A file libavif refuses (damaged, truncated, not an AVIF), a picture over the pixel limit
// (`limit`), or pixels it could not encode. `message` is one line.
struct Failure {
    std::string message;
    bool limit = false;
};

// The colour description of an AV1 picture (ITU-T H.273 code points).
struct Nclx {
    int primaries = 1, transfer = 13, matrix = 6;
    bool full_range = true;
};

// What an AVIF file says of its primary picture, read from its boxes before any AV1 decoding.
struct Info {
    std::uint32_t width = 0, height = 0;  // upright: the clean aperture, rotation and mirror applied
    int channels = 0;                     // as decoded: 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA
    int bits = 8;                         // as coded: 8, 10 or 12
    std::string icc;
    Nclx nclx;                            // meaningful for the colours only where there is no icc
    std::string exif;                     // the TIFF structure (no "Exif\0\0" marker, no offset field)
    std::string xmp;
    // The container's rotation and mirror, in the order they are applied: "rotate-90" (counter-
    // clockwise), "rotate-180", "rotate-270", "mirror-vertical" (top and bottom exchanged),
    // "mirror-horizontal" (left and right exchanged); and the EXIF orientation that describes them.
    std::vector<std::string> transforms;
    int orientation = 1;
    bool cropped = false;                 // a clean aperture cut the coded picture
};

// An AVIF file decoded: the constructor reads the boxes and checks the pixel limit against the
// coded size before any AV1 data is decoded; decode() then writes the whole picture, upright,
// interleaved, at 8 bits (uint8) for an 8-bit file, else native-endian uint16 scaled to the full
// 16-bit range (v * 65535 / (2^bits - 1), rounded). `data` must outlive the reader.
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

// Pixels to write: rows of width * channels samples, uint8 (bits 8) or native-endian uint16
// (bits 16), straight (not premultiplied) alpha.
struct Picture {
    const std::uint8_t *pixels;
    std::uint32_t width, height;
    int channels, bits;
};

// An ISO 21496-1 gain map and its metadata, as stored in an AVIF file (the input of its tone-map
// item): 8-bit pixels, grey (1 channel) or RGB (3), in the primary's stored orientation (its irot
// and imir apply to the map too). The boosts (min, max) and headrooms are log2, per channel.
struct GainMap {
    bool found = false;
    std::uint32_t width = 0, height = 0;
    int channels = 1;
    std::string pixels;                 // empty when they could not be had (`error` says why)
    double min[3] = {0, 0, 0}, max[3] = {0, 0, 0}, gamma[3] = {1, 1, 1};
    double base_offset[3] = {0, 0, 0}, alternate_offset[3] = {0, 0, 0};
    double base_headroom = 0, alternate_headroom = 0;
    bool use_base_colour_space = true;
    std::string error;                  // the gain map's own trouble: the picture itself is fine
};
// The gain map of the AVIF file in `data`, under the pixel limit (checked on the primary, which
// throws as Reader does, then on the map, which is reported). found is false when there is none.
GainMap gain_map(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels);

struct WriteOptions {
    int depth = 10;            // 8, 10 or 12
    int quality = 75;          // 0-100; 100 is lossless (RGB then coded with the identity matrix)
    int speed = 6;             // 0 (slowest) to 10
    bool subsample = false;    // 4:2:0 instead of 4:4:4 (colour pictures)
    int orientation = 1;       // the EXIF orientation the pixels are stored under: irot/imir
    std::string icc, exif, xmp;
    bool has_nclx = false;     // else sRGB, or unspecified primaries and curve beside an icc
    Nclx nclx;                 // the range is always written full
    const GainMap *gain = nullptr;  // stored as a tone-map item's input with its metadata, or none
};

// An AVIF file of the picture.
std::string write(const Picture &picture, const WriteOptions &options);

// The AV1 codecs libavif was built with ("dav1d [dec]:1.5.4, aom [enc/dec]:3.14.1, ...").
std::string codecs();
bool can_encode();

} // namespace avifcodec
