// heif_codec.hpp: reading and writing HEIF with libheif, free of the interpreter (runs without the GIL).
#pragma once

#include <libheif/heif.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace heifcodec {

// libheif refused: its error code, subcode and message. `limit` is set when one of the
// security limits (image size, tiles, memory) was what refused the file.
struct Failure {
    int code;
    int subcode;
    std::string message;
    bool limit() const noexcept { return subcode == heif_suberror_Security_limit_exceeded; }
};

struct ImageFree {
    void operator()(heif_image *p) const noexcept { heif_image_release(p); }
};
using Image = std::unique_ptr<heif_image, ImageFree>;

// What a file holds, read from its boxes without decoding a pixel.
struct Info {
    int width = 0, height = 0;          // of the primary image, its rotation and mirror applied
    bool alpha = false;
    int bit_depth = 8;                  // of the luma channel as stored
    int images = 0;                     // top-level images (thumbnails and tiles not counted)
    bool depth = false, gain_map = false;
    int thumbnails = 0;
    bool transformed = false;           // the primary image carries irot or imir
    std::vector<std::string> transforms;  // those, in order: "rotate-90" (ccw), "mirror-vertical", ...
    std::string exif;                   // "Exif\0\0" then the TIFF header, as Pillow takes it
    std::string xmp;
    std::string icc;                    // the stored profile, or one made from the nclx description
    std::string colour;                 // "icc", "nclx" or "" (none)
    std::string colour_name;            // the nclx description's name ("Display P3 (from nclx)")
    std::string brand;                  // the ftyp's major brand
};

// Reads the boxes of the file in `data` under the given pixel limit (0: libheif's own limits).
Info read_info(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels);

// The primary image decoded, its rotation and mirror applied, kept as the decoder gave it:
// Y, Cb and Cr planes (turned into RGB rows only as they are asked for, so that the picture is
// never held twice in RGB), or interleaved RGB where libheif had to convert it (monochrome,
// RGB-coded or unusual matrices).
struct Decoded {
    Image image;
    int width = 0, height = 0, channels = 3;  // channels of the rows handed out: 3 or 4
    int bits = 8, alpha_bits = 8;
    bool planar = false;                      // Y, Cb, Cr (and alpha) planes
    int sub_x = 1, sub_y = 1;                 // chroma subsampling of the planes
    double kr = 0.299, kb = 0.114;            // the nclx matrix's luma weights
    bool full_range = true;
    // Writes rows [row, row + count) packed (width * channels bytes each) to `out`, 8 bits a sample.
    void rows_to(int row, int count, std::uint8_t *out) const;
};
// `via_rgb` has libheif convert to RGB itself (the reference the planar path is tested against).
Decoded decode(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels, bool via_rgb = false);

// Pixels to encode: 8-bit interleaved RGB (channels 3) or RGBA (4), rows `stride` bytes apart.
struct Picture {
    const std::uint8_t *pixels;
    int width, height, channels;
    std::size_t stride;
};
struct Metadata {
    std::string exif, xmp, icc;
};
// An HEIC file of `picture` encoded with HEVC at `quality` (0-100), the metadata embedded.
// `orientation` (an EXIF orientation, 1 = none) is written as the irot/imir a reader applies:
// the pixels are taken as stored, as a camera's that records that orientation.
std::string encode(const Picture &picture, int quality, const Metadata &metadata, int orientation);

// Whether the libheif plugins can decode and encode HEVC.
bool can_decode();
bool can_encode();

} // namespace heifcodec
