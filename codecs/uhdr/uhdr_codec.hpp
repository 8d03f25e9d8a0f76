// uhdr_codec.hpp: JPEG gain maps (Ultra HDR, ISO 21496-1) with libultrahdr, free of the interpreter (runs without the GIL).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace uhdrcodec {

// libultrahdr (or libjpeg, for the gain map's pixels) refused: its error code and message.
// `limit` is set when the refusal is the caller's pixel limit.
struct Failure {
    int code;
    std::string message;
    bool limit = false;
};

// How the gain map is applied, per channel (a single-channel map repeats its values).
struct Metadata {
    float max_content_boost[3] = {1, 1, 1};
    float min_content_boost[3] = {1, 1, 1};
    float gamma[3] = {1, 1, 1};
    float offset_sdr[3] = {0, 0, 0};
    float offset_hdr[3] = {0, 0, 0};
    float hdr_capacity_min = 1;
    float hdr_capacity_max = 1;
    bool use_base_cg = true;
};

// What a JPEG says of a gain map, read from its headers without decoding a pixel.
struct Probe {
    bool found = false;             // some sign of a gain map: hdrgm XMP, ISO 21496-1 or an MPF index
    std::string error;              // the signs are there but the gain map cannot be read
    bool xmp = false, iso = false;  // the metadata forms present (primary or gain map)
    int width = 0, height = 0;      // of the base picture
    int map_width = 0, map_height = 0, map_channels = 0;
    Metadata metadata;
    std::string exif;               // "Exif\0\0" then the TIFF header, as Pillow takes it
    std::string icc;
};
Probe probe(const std::uint8_t *data, std::size_t size);

// The gain map decoded: 8 bits a sample, 1 (L) or 3 (RGB) channels, rows packed.
struct GainMap {
    int width = 0, height = 0, channels = 1;
    std::vector<std::uint8_t> pixels;
    Metadata metadata;
};
// Throws Failure for a file without a readable gain map or one past `max_pixels` (0: no limit),
// both before a pixel is decoded.
GainMap gain_map(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels);

// An Ultra HDR JPEG from a compressed SDR base and a compressed gain map, neither re-encoded.
// `exif` (with or without its "Exif\0\0" header) and `icc` replace the base's own, when given.
std::string join(const std::uint8_t *base, std::size_t base_size, const std::uint8_t *map, std::size_t map_size,
                 const Metadata &metadata, const std::string &exif, const std::string &icc);

// The HDR rendition libultrahdr reconstructs: RGBA half floats (linear) or RGBA 10:10:10:2 (PQ).
struct Hdr {
    int width = 0, height = 0;
    bool pq = false;
    std::vector<std::uint8_t> pixels;  // 8 bytes a pixel (linear) or 4 (PQ), rows packed
};
Hdr hdr(const std::uint8_t *data, std::size_t size, bool pq, std::uint64_t max_pixels);

} // namespace uhdrcodec
