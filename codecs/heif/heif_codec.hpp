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

// One of the primary image's thumbnails, as read from its boxes.
struct Thumbnail {
    int width = 0, height = 0;           // its own rotation and mirror applied
    bool alpha = false;
    int bit_depth = 8;
    std::vector<std::string> transforms; // its own rotations and mirrors, as `Info::transforms`
};

// What a file holds, read from its boxes without decoding a pixel.
struct Info {
    int width = 0, height = 0;          // of the primary image, its rotation and mirror applied
    bool alpha = false;
    int bit_depth = 8;                  // of the luma channel as stored
    int images = 0;                     // top-level images (thumbnails and tiles not counted)
    bool depth = false, gain_map = false;
    int thumbnails = 0;
    std::vector<Thumbnail> thumbs;      // each thumbnail, in the file's order
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
    int out_bits = 8;                         // of the rows handed out: 8, or 16 (native uint16)
    // Writes rows [row, row + count) packed (width * channels bytes each) to `out`, 8 bits a sample.
    void rows_to(int row, int count, std::uint8_t *out) const;
    // The same rows at 16 bits a sample: v * 65535 / (2^bits - 1), rounded (an 8-bit file: v * 257).
    void rows16_to(int row, int count, std::uint16_t *out) const;
    // rows_to or rows16_to as `out_bits` says; `out` holds width * channels * out_bits / 8 bytes a row.
    void rows_out(int row, int count, std::uint8_t *out) const;
};
// `via_rgb` has libheif convert to RGB itself (the reference the planar path is tested against).
// `out_bits` 16 keeps a deep picture's samples: libheif converts it to RGB at its own depth.
// `thumbnail` 0 or more decodes the primary image's thumbnail of that index instead.
Decoded decode(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels, bool via_rgb = false,
               int out_bits = 8, int thumbnail = -1);

// The HDR gain map of the primary image: Apple's auxiliary image, or the gain-map input of an
// ISO 21496-1 tone-map item ('tmap') derived from the primary.
struct GainMap {
    bool found = false;
    std::string type;                   // the auxiliary type URN, or "tmap"
    int width = 0, height = 0;          // as stored, its own rotation and mirror applied
    int channels = 1;                   // of `pixels`: 1 (coded monochrome) or 3
    std::string pixels;                 // 8 bits a sample; empty when it could not be decoded
    std::vector<std::string> transforms;
    std::string xmp, exif;              // the gain map's own metadata ("Exif\0\0" and TIFF)
    std::string metadata;               // the tone-map item's payload (ISO 21496-1), as stored
    bool has_headroom = false;
    double headroom = 0;                // HDRGainMap:HDRGainMapHeadroom from the XMP
    // Apple's maker notes in the primary's EXIF: HDRHeadroom (tag 33) and HDRGain (tag 48), as stored.
    bool has_maker_headroom = false, has_maker_gain = false;
    double maker_headroom = 0, maker_gain = 0;
    std::string error;                  // why the pixels are missing: the picture itself is fine
};
// Finds and decodes the gain map under the pixel limit (checked on the primary, then on the gain
// map before it is decoded). Only the primary's own failures throw.
GainMap gain_map(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels);

// Pixels to encode: interleaved grey (channels 1), grey + alpha (2), RGB (3) or RGBA (4), 8 bits
// a sample or native uint16 (`bits` 16), rows `stride` bytes apart. Grey is coded monochrome.
struct Picture {
    const std::uint8_t *pixels;
    int width, height, channels;
    std::size_t stride;
    int bits = 8;
};
struct Metadata {
    std::string exif, xmp, icc;
};
// An HDR gain map to store beside the primary (8-bit grey or RGB): Apple's auxiliary image, or
// with `tone_map` the gain-map input of an ISO 21496-1 tone-map item derived from the primary.
struct GainMapPicture {
    Picture picture;
    std::string xmp;                    // its XMP (the headroom), or empty
    std::string tone_map;               // the tone-map item's payload (ISO 21496-1 metadata), or empty
};
extern const char apple_gain_map_type[];  // "urn:com:apple:photo:2020:aux:hdrgainmap"
// An HEIC file of `picture` encoded with HEVC at `quality` (0-100) and `depth` bits (8; 10 or 12
// with x265's Main 10 and Main 12 profiles), the metadata embedded, the gain map (if any) linked
// to it. `orientation` (an EXIF orientation, 1 = none) is written as the irot/imir a reader
// applies: the pixels are taken as stored, as a camera's that records that orientation.
// `chroma` is the subsampling x265 codes at: "420", "422" or "444" (null: the encoder's own, 4:2:0).
std::string encode(const Picture &picture, int quality, const Metadata &metadata, int orientation, int depth = 8,
                   const GainMapPicture *gain = nullptr, const char *chroma = nullptr);

// The XMP Apple writes beside a gain map, with its headroom.
std::string gain_map_xmp(double headroom);
// A numeric tag (33 HDRHeadroom, 48 HDRGain, ...) of Apple's maker notes in `exif` ("Exif\0\0"
// and a TIFF structure, or the TIFF structure alone); false when absent or malformed.
bool apple_maker_value(const std::string &exif, int tag, double &value);
// HDRGainMap:HDRGainMapHeadroom from an XMP packet (attribute or element); false when absent or unreadable.
bool parse_headroom(const std::string &xmp, double &headroom);

// Whether the libheif plugins can decode and encode HEVC.
bool can_decode();
bool can_encode();

} // namespace heifcodec
