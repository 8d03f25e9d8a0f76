// uhdr_codec.cpp: JPEG gain maps (Ultra HDR, ISO 21496-1) with libultrahdr, free of the interpreter (runs without the GIL).
#include "uhdr_codec.hpp"

#include <ultrahdr_api.h>

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace uhdrcodec {
namespace {

// ---- libultrahdr's contexts and its quiet spells

struct DecoderFree {
    void operator()(uhdr_codec_private_t *p) const noexcept { uhdr_release_decoder(p); }
};
struct EncoderFree {
    void operator()(uhdr_codec_private_t *p) const noexcept { uhdr_release_encoder(p); }
};
using Decoder = std::unique_ptr<uhdr_codec_private_t, DecoderFree>;
using Encoder = std::unique_ptr<uhdr_codec_private_t, EncoderFree>;

// A null stream buffer: what libultrahdr logs goes nowhere.
class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char *, std::streamsize n) override { return n; }
};

// libultrahdr logs its complaints to the process's std::cout, which is the command line's
// machine-readable output. While any call into it runs, std::cout writes nowhere; the first
// call in saves the stream's buffer and the last one out puts it back, so calls on several
// threads never leave it swapped.
class Quiet {
public:
    Quiet() {
        std::lock_guard lock(mutex_);
        if (depth_++ == 0) saved_ = std::cout.rdbuf(&null_);
    }
    ~Quiet() {
        std::lock_guard lock(mutex_);
        if (--depth_ == 0) std::cout.rdbuf(saved_);
    }
    Quiet(const Quiet &) = delete;
    Quiet &operator=(const Quiet &) = delete;

private:
    static inline std::mutex mutex_;
    static inline int depth_ = 0;
    static inline std::streambuf *saved_ = nullptr;
    static inline NullBuffer null_;
};

// Throws the failure when libultrahdr reports one.
void ok(const uhdr_error_info_t &e, const char *doing) {
    if (e.error_code == UHDR_CODEC_OK) return;
    std::string text = doing;
    const std::string_view detail(e.detail, e.has_detail ? strnlen(e.detail, sizeof e.detail) : 0);
    // Some refusals carry only a number (an offset) for detail: the reason is then said here.
    if (std::any_of(detail.begin(), detail.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); }))
        (text += ": ") += detail;
    else
        text += detail.empty() ? ": the data is damaged or cut short" : ": the data is damaged or cut short (at " + std::string(detail) + ")";
    throw Failure{int(e.error_code), std::move(text)};
}

uhdr_compressed_image_t compressed(const std::uint8_t *data, std::size_t size) {
    // libultrahdr takes a mutable pointer but only reads what it is given to decode or join.
    return {const_cast<std::uint8_t *>(data), size, size, UHDR_CG_UNSPECIFIED, UHDR_CT_UNSPECIFIED, UHDR_CR_UNSPECIFIED};
}

// A decoder over `data` (not copied: it must outlive the decoder), probed. `pq` and `linear` set
// the HDR rendition's form, which libultrahdr takes only before probing.
Decoder probed(const std::uint8_t *data, std::size_t size, bool linear = false, bool pq = false) {
    if (size > std::size_t(INT32_MAX)) throw Failure{UHDR_CODEC_INVALID_PARAM, "the file is too large"};
    Decoder dec(uhdr_create_decoder());
    if (!dec) throw std::bad_alloc();
    uhdr_compressed_image_t img = compressed(data, size);
    ok(uhdr_dec_set_image(dec.get(), &img), "reading the gain map");
    if (linear || pq) {
        ok(uhdr_dec_set_out_img_format(dec.get(), pq ? UHDR_IMG_FMT_32bppRGBA1010102 : UHDR_IMG_FMT_64bppRGBAHalfFloat),
           "decoding");
        ok(uhdr_dec_set_out_color_transfer(dec.get(), pq ? UHDR_CT_PQ : UHDR_CT_LINEAR), "decoding");
    }
    ok(uhdr_dec_probe(dec.get()), "reading the gain map");
    return dec;
}

Metadata metadata_of(const uhdr_gainmap_metadata_t &m) {
    Metadata out;
    std::copy_n(m.max_content_boost, 3, out.max_content_boost);
    std::copy_n(m.min_content_boost, 3, out.min_content_boost);
    std::copy_n(m.gamma, 3, out.gamma);
    std::copy_n(m.offset_sdr, 3, out.offset_sdr);
    std::copy_n(m.offset_hdr, 3, out.offset_hdr);
    out.hdr_capacity_min = m.hdr_capacity_min;
    out.hdr_capacity_max = m.hdr_capacity_max;
    out.use_base_cg = m.use_base_cg != 0;
    return out;
}

uhdr_gainmap_metadata_t metadata_of(const Metadata &m) {
    uhdr_gainmap_metadata_t out{};
    std::copy_n(m.max_content_boost, 3, out.max_content_boost);
    std::copy_n(m.min_content_boost, 3, out.min_content_boost);
    std::copy_n(m.gamma, 3, out.gamma);
    std::copy_n(m.offset_sdr, 3, out.offset_sdr);
    std::copy_n(m.offset_hdr, 3, out.offset_hdr);
    out.hdr_capacity_min = m.hdr_capacity_min;
    out.hdr_capacity_max = m.hdr_capacity_max;
    out.use_base_cg = m.use_base_cg ? 1 : 0;
    return out;
}

std::string block(const uhdr_mem_block_t *b) {
    if (!b || !b->data || !b->data_sz) return {};
    return std::string(static_cast<const char *>(b->data), b->data_sz);
}

// ---- the JPEG's marker segments

constexpr std::string_view xmp_header{"http://ns.adobe.com/xap/1.0/\0", 29};
constexpr std::string_view iso_header{"urn:iso:std:iso:ts:21496:-1\0", 28};
constexpr std::string_view exif_header{"Exif\0\0", 6};
constexpr std::string_view icc_header{"ICC_PROFILE\0", 12};

struct Segment {
    std::uint8_t marker;
    std::string_view payload;
    bool starts(std::string_view prefix) const noexcept { return payload.substr(0, prefix.size()) == prefix; }
};

// What the headers of one JPEG stream say, from SOI to its first SOS.
struct Headers {
    bool jpeg = false;       // SOI, then marker segments that stay inside the data up to an SOS
    std::vector<Segment> segments;
    int components = 0;      // of the frame (SOF)
    bool xmp = false, iso = false;
};

// 1. A JPEG opens with SOI (FF D8); each segment is FF, its marker, a big-endian length that
//    counts itself, and the payload. Fill bytes (FF FF) and the stand-alone markers are skipped.
// 2. Walking stops at SOS: the entropy-coded data follows. A length past the end, or data that
//    is no marker, leaves `jpeg` false: the stream is cut or is not a JPEG.
Headers headers(std::string_view d) {
    Headers h;
    if (d.size() < 4 || std::uint8_t(d[0]) != 0xFF || std::uint8_t(d[1]) != 0xD8) return h;
    std::size_t i = 2;
    while (i + 4 <= d.size()) {
        if (std::uint8_t(d[i]) != 0xFF) return h;
        const auto m = std::uint8_t(d[i + 1]);
        if (m == 0xFF) { ++i; continue; }
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) { i += 2; continue; }
        const std::size_t len = std::size_t(std::uint8_t(d[i + 2])) << 8 | std::uint8_t(d[i + 3]);
        if (len < 2 || i + 2 + len > d.size()) return h;
        Segment s{m, d.substr(i + 4, len - 2)};
        h.segments.push_back(s);
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC && s.payload.size() >= 6)
            h.components = std::uint8_t(s.payload[5]);
        if (m == 0xE1 && s.starts(xmp_header) && s.payload.find("hdrgm") != std::string_view::npos) h.xmp = true;
        if (m == 0xE2 && s.starts(iso_header)) h.iso = true;
        if (m == 0xDA) {
            h.jpeg = true;
            return h;
        }
        i += 2 + len;
    }
    return h;
}

std::string_view view(const std::uint8_t *data, std::size_t size) {
    return {reinterpret_cast<const char *>(data), size};
}

// ---- the gain map's pixels, with libjpeg

struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void jpeg_fail(j_common_ptr cinfo) {
    auto *e = reinterpret_cast<JpegError *>(cinfo->err);
    e->mgr.format_message(cinfo, e->message);
    std::longjmp(e->jump, 1);
}

// A warning (data cut short, a corrupt segment) fails the decode: a damaged gain map is dropped
// rather than carried with grey where the data ran out.
void jpeg_warn(j_common_ptr cinfo, int level) {
    if (level < 0) jpeg_fail(cinfo);
}

struct Decompress {
    jpeg_decompress_struct cinfo{};
    ~Decompress() { jpeg_destroy_decompress(&cinfo); }
};

// Decodes the gain map's JPEG into `out` (1 or 3 channels). Returns false, with libjpeg's
// message in `why`, when libjpeg refuses. Nothing with a destructor lives between the setjmp and
// a longjmp out of libjpeg: `out` is sized before decoding starts and only written through.
bool decode_jpeg(std::string_view data, GainMap &out, std::string &why) {
    Decompress d;
    JpegError err{};
    d.cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpeg_fail;
    err.mgr.emit_message = jpeg_warn;
    if (setjmp(err.jump)) {
        why = err.message;
        return false;
    }
    jpeg_create_decompress(&d.cinfo);
    jpeg_mem_src(&d.cinfo, reinterpret_cast<const unsigned char *>(data.data()), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&d.cinfo, TRUE);
    d.cinfo.out_color_space = d.cinfo.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&d.cinfo);
    if (int(d.cinfo.output_width) != out.width || int(d.cinfo.output_height) != out.height ||
        (d.cinfo.output_components != 1 && d.cinfo.output_components != 3)) {
        std::snprintf(err.message, sizeof err.message, "the gain map's JPEG is %ux%u with %d channels, not %dx%d",
                      d.cinfo.output_width, d.cinfo.output_height, d.cinfo.output_components, out.width, out.height);
        why = err.message;
        return false;
    }
    out.channels = d.cinfo.output_components;
    out.pixels.resize(std::size_t(out.width) * std::size_t(out.height) * std::size_t(out.channels));
    const std::size_t row = std::size_t(out.width) * std::size_t(out.channels);
    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        JSAMPROW line = out.pixels.data() + row * d.cinfo.output_scanline;
        jpeg_read_scanlines(&d.cinfo, &line, 1);
    }
    jpeg_finish_decompress(&d.cinfo);
    return true;
}

void check_limit(const char *what, std::uint64_t width, std::uint64_t height, std::uint64_t max_pixels) {
    if (max_pixels && width * height > max_pixels)
        throw Failure{UHDR_CODEC_INVALID_PARAM,
                      std::string(what) + " has " + std::to_string(width * height) + " pixels, more than the limit of " +
                          std::to_string(max_pixels),
                      true};
}

// ---- joining: the base's metadata segments

void put16(std::string &s, std::size_t at, unsigned v) {
    s[at] = char(v >> 8);
    s[at + 1] = char(v & 0xFF);
}

// The APP1 or APP2 segments that carry `payload` behind `header`: one for EXIF, as many
// ICC_PROFILE chunks as 65,519 bytes of profile each need.
std::string segments_for(std::uint8_t marker, std::string_view header, std::string_view payload) {
    std::string out;
    if (payload.empty()) return out;
    if (marker == 0xE1) {
        if (payload.size() + header.size() + 2 > 0xFFFF) throw Failure{UHDR_CODEC_INVALID_PARAM, "the EXIF block is larger than 64 KB"};
        out += '\xFF';
        out += char(marker);
        out.append(2, '\0');
        put16(out, 2, unsigned(payload.size() + header.size() + 2));
        out.append(header);
        out.append(payload);
        return out;
    }
    constexpr std::size_t chunk = 0xFFFF - 2 - 14;
    const std::size_t count = (payload.size() + chunk - 1) / chunk;
    if (count > 255) throw Failure{UHDR_CODEC_INVALID_PARAM, "the ICC profile is too large for a JPEG"};
    for (std::size_t n = 0; n < count; ++n) {
        const std::string_view part = payload.substr(n * chunk, chunk);
        const std::size_t at = out.size();
        out += '\xFF';
        out += char(marker);
        out.append(2, '\0');
        put16(out, at + 2, unsigned(part.size() + header.size() + 2 + 2));
        out.append(header);
        out += char(n + 1);
        out += char(count);
        out.append(part);
    }
    return out;
}

// The base with `exif` and `icc` in place of its own EXIF and ICC segments (each left as it is
// when not given). The new segments go after SOI and the JFIF segment, where readers look first.
std::string with_metadata(std::string_view base, const Headers &h, std::string_view exif, std::string_view icc) {
    std::string out(base.substr(0, 2));
    std::size_t last = 2;
    bool placed = false;
    for (const Segment &s : h.segments) {
        const std::size_t at = std::size_t(s.payload.data() - base.data()) - 4;
        if (!placed && s.marker != 0xE0) {
            out += segments_for(0xE1, exif_header, exif);
            out += segments_for(0xE2, icc_header, icc);
            placed = true;
        }
        const bool drop = (s.marker == 0xE1 && s.starts(exif_header) && !exif.empty()) ||
                          (s.marker == 0xE2 && s.starts(icc_header) && !icc.empty());
        out.append(base.substr(last, at - last));  // fill bytes, stand-alone markers
        if (!drop) out.append(base.substr(at, s.payload.size() + 4));
        last = at + s.payload.size() + 4;
    }
    out.append(base.substr(last));
    return out;
}

} // namespace

// ---- probe

// 1. The primary's headers decide whether there is a gain map at all: hdrgm XMP or an
//    ISO 21496-1 block. A plain JPEG, or one whose MPF index only lists previews, has none.
// 2. libultrahdr reads the rest (the MPF index, the gain map's headers, the metadata); when it
//    refuses, or the gain map's own headers are cut short, the answer carries the reason.
Probe probe(const std::uint8_t *data, std::size_t size) {
    Probe p;
    const Headers primary = headers(view(data, size));
    if (!primary.jpeg || !(primary.xmp || primary.iso)) return p;
    p.found = true;
    p.xmp = primary.xmp;
    p.iso = primary.iso;
    Quiet quiet;
    try {
        Decoder dec = probed(data, size);
        const uhdr_gainmap_metadata_t *m = uhdr_dec_get_gainmap_metadata(dec.get());
        const uhdr_mem_block_t *map = uhdr_dec_get_gainmap_image(dec.get());
        if (!m || !map || !map->data) {
            p.error = "libultrahdr found no gain map";
            return p;
        }
        const Headers gm = headers(view(static_cast<const std::uint8_t *>(map->data), map->data_sz));
        if (!gm.jpeg || (gm.components != 1 && gm.components != 3)) {
            p.error = "the gain map's JPEG is cut short or unreadable";
            return p;
        }
        p.xmp = p.xmp || gm.xmp;
        p.iso = p.iso || gm.iso;
        p.width = uhdr_dec_get_image_width(dec.get());
        p.height = uhdr_dec_get_image_height(dec.get());
        p.map_width = uhdr_dec_get_gainmap_width(dec.get());
        p.map_height = uhdr_dec_get_gainmap_height(dec.get());
        p.map_channels = gm.components;
        p.metadata = metadata_of(*m);
        p.exif = block(uhdr_dec_get_exif(dec.get()));
        if (!p.exif.empty() && p.exif.compare(0, exif_header.size(), exif_header) != 0)
            p.exif.insert(0, exif_header);
        p.icc = block(uhdr_dec_get_icc(dec.get()));
        // libultrahdr hands the profile itself; a chunk header left in front is dropped.
        if (p.icc.size() > icc_header.size() + 2 && p.icc.compare(0, icc_header.size(), icc_header) == 0)
            p.icc.erase(0, icc_header.size() + 2);
    } catch (Failure &f) {
        p.error = f.message;
    }
    return p;
}

// ---- gain_map

GainMap gain_map(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels) {
    Quiet quiet;
    Decoder dec = probed(data, size);
    const uhdr_gainmap_metadata_t *m = uhdr_dec_get_gainmap_metadata(dec.get());
    const uhdr_mem_block_t *map = uhdr_dec_get_gainmap_image(dec.get());
    if (!m || !map || !map->data) throw Failure{UHDR_CODEC_ERROR, "the file holds no gain map"};
    GainMap out;
    out.width = uhdr_dec_get_gainmap_width(dec.get());
    out.height = uhdr_dec_get_gainmap_height(dec.get());
    if (out.width <= 0 || out.height <= 0) throw Failure{UHDR_CODEC_ERROR, "the gain map has no size"};
    check_limit("the gain map", std::uint64_t(out.width), std::uint64_t(out.height), max_pixels);
    out.metadata = metadata_of(*m);
    std::string why;
    if (!decode_jpeg(view(static_cast<const std::uint8_t *>(map->data), map->data_sz), out, why))
        throw Failure{UHDR_CODEC_ERROR, "decoding the gain map: " + why};
    return out;
}

// ---- join

// 1. The given EXIF and ICC take the place of the base's own: libultrahdr keeps the base's
//    segments as they are and has no call for a profile of its own.
// 2. libultrahdr takes the base and the gain map as they are compressed, with the metadata, and
//    writes the primary (its gain map block and MPF index added) and the gain map behind it;
//    nothing is decoded or re-encoded.
// 3. libultrahdr reads the base's gamut from its profile; a base without one is sRGB, which
//    JPEG readers assume then, and is said to be BT.709 (sRGB's primaries).
std::string join(const std::uint8_t *base, std::size_t base_size, const std::uint8_t *map, std::size_t map_size,
                 const Metadata &metadata, const std::string &exif, const std::string &icc) {
    const Headers b = headers(view(base, base_size)), g = headers(view(map, map_size));
    if (!b.jpeg) throw Failure{UHDR_CODEC_INVALID_PARAM, "the base is not a JPEG"};
    if (!g.jpeg || (g.components != 1 && g.components != 3))
        throw Failure{UHDR_CODEC_INVALID_PARAM, "the gain map is not a JPEG with one or three channels"};
    std::string_view tiff = exif;
    if (tiff.substr(0, exif_header.size()) == exif_header) tiff.remove_prefix(exif_header.size());
    const std::string full = with_metadata(view(base, base_size), b, tiff, icc);
    bool profiled = !icc.empty();
    for (const Segment &s : b.segments) profiled = profiled || (s.marker == 0xE2 && s.starts(icc_header));

    Quiet quiet;
    Encoder enc(uhdr_create_encoder());
    if (!enc) throw std::bad_alloc();
    uhdr_compressed_image_t base_img = compressed(reinterpret_cast<const std::uint8_t *>(full.data()), full.size());
    if (!profiled) base_img.cg = UHDR_CG_BT_709;
    uhdr_compressed_image_t map_img = compressed(map, map_size);
    uhdr_gainmap_metadata_t m = metadata_of(metadata);
    ok(uhdr_enc_set_compressed_image(enc.get(), &base_img, UHDR_BASE_IMG), "joining the base");
    ok(uhdr_enc_set_gainmap_image(enc.get(), &map_img, &m), "joining the gain map");
    ok(uhdr_enc_set_output_format(enc.get(), UHDR_CODEC_JPG), "joining");
    ok(uhdr_encode(enc.get()), "joining");
    const uhdr_compressed_image_t *out = uhdr_get_encoded_stream(enc.get());
    if (!out || !out->data) throw Failure{UHDR_CODEC_UNKNOWN_ERROR, "libultrahdr wrote nothing"};
    return std::string(static_cast<const char *>(out->data), out->data_sz);
}

// ---- hdr

Hdr hdr(const std::uint8_t *data, std::size_t size, bool pq, std::uint64_t max_pixels) {
    Quiet quiet;
    Decoder dec = probed(data, size, !pq, pq);
    check_limit("the picture", std::uint64_t(std::max(0, uhdr_dec_get_image_width(dec.get()))),
                std::uint64_t(std::max(0, uhdr_dec_get_image_height(dec.get()))), max_pixels);
    ok(uhdr_decode(dec.get()), "decoding");
    const uhdr_raw_image_t *img = uhdr_get_decoded_image(dec.get());
    if (!img || !img->planes[UHDR_PLANE_PACKED]) throw Failure{UHDR_CODEC_UNKNOWN_ERROR, "libultrahdr decoded nothing"};
    Hdr out;
    out.width = int(img->w);
    out.height = int(img->h);
    out.pq = pq;
    const std::size_t px = pq ? 4 : 8, row = std::size_t(img->w) * px;
    out.pixels.resize(row * img->h);
    const auto *src = static_cast<const std::uint8_t *>(img->planes[UHDR_PLANE_PACKED]);
    for (std::size_t y = 0; y < img->h; ++y)
        std::memcpy(out.pixels.data() + y * row, src + y * std::size_t(img->stride[UHDR_PLANE_PACKED]) * px, row);
    return out;
}

} // namespace uhdrcodec
