// heif_codec.cpp: reading and writing HEIF with libheif, free of the interpreter (runs without the GIL).
#include "heif_codec.hpp"

#include "nclx_profile.hpp"

#include <libheif/heif_items.h>
#include <libheif/heif_properties.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <cstring>
#include <vector>

namespace heifcodec {
namespace {

struct ContextFree {
    void operator()(heif_context *p) const noexcept { heif_context_free(p); }
};
struct HandleFree {
    void operator()(heif_image_handle *p) const noexcept { heif_image_handle_release(p); }
};
struct NclxFree {
    void operator()(heif_color_profile_nclx *p) const noexcept { heif_nclx_color_profile_free(p); }
};
struct DecodingOptionsFree {
    void operator()(heif_decoding_options *p) const noexcept { heif_decoding_options_free(p); }
};
struct EncodingOptionsFree {
    void operator()(heif_encoding_options *p) const noexcept { heif_encoding_options_free(p); }
};
struct EncoderFree {
    void operator()(heif_encoder *p) const noexcept { heif_encoder_release(p); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<heif_image_handle, HandleFree>;
using Nclx = std::unique_ptr<heif_color_profile_nclx, NclxFree>;

// Throws the failure when libheif reports one.
void ok(const heif_error &e) {
    if (e.code != heif_error_Ok) throw Failure{int(e.code), int(e.subcode), e.message ? e.message : "unknown error"};
}

// A context over `data` (not copied: it must outlive the context), its security limits set first.
// 1. The pixel limit caps the image size libheif allocates. libheif counts coded sizes (padded
//    to the codec's blocks), so it gets a quarter and 65,536 pixels more; the caller's exact limit
//    is checked on the picture's own size by read_info.
// 2. The memory budget libheif keeps for a context grows with it (4 bytes a pixel and a
//    margin) when the limit is above its default. The other limits stay libheif's own.
Context open_context(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels) {
    Context ctx(heif_context_alloc());
    if (!ctx) throw std::bad_alloc();
    if (max_pixels) {
        const std::uint64_t coded = max_pixels + max_pixels / 4 + (1u << 16);
        heif_security_limits *limits = heif_context_get_security_limits(ctx.get());
        limits->max_image_size_pixels = coded;
        if (limits->version >= 2 && limits->max_total_memory && limits->max_total_memory < coded * 4 + (64u << 20))
            limits->max_total_memory = coded * 4 + (64u << 20);
    }
    ok(heif_context_read_from_memory_without_copy(ctx.get(), data, size, nullptr));
    return ctx;
}

// The picture the file shows: the image libheif names as primary when it is a top-level image,
// else the first top-level image. A broken primary reference may name a thumbnail (or another
// item libheif still offers as primary); a thumbnail is never taken for the picture.
Handle primary(heif_context *ctx) {
    const int count = heif_context_get_number_of_top_level_images(ctx);
    heif_item_id id = 0;
    if (heif_context_get_primary_image_ID(ctx, &id).code != heif_error_Ok || !heif_context_is_top_level_image_ID(ctx, id)) {
        if (count <= 0) throw Failure{int(heif_error_Invalid_input), 0, "the file holds no top-level image"};
        std::vector<heif_item_id> ids(static_cast<std::size_t>(count));
        if (heif_context_get_list_of_top_level_image_IDs(ctx, ids.data(), count) <= 0)
            throw Failure{int(heif_error_Invalid_input), 0, "the file holds no top-level image"};
        id = ids[0];
    }
    heif_image_handle *h = nullptr;
    ok(heif_context_get_image_handle(ctx, id, &h));
    return Handle(h);
}

// The first metadata block of `type` ("Exif", or "mime" with `content` "application/rdf+xml").
std::string metadata_block(const heif_image_handle *h, const char *type, const char *content) {
    int n = heif_image_handle_get_number_of_metadata_blocks(h, type);
    if (n <= 0) return {};
    std::vector<heif_item_id> ids(static_cast<std::size_t>(n));
    n = heif_image_handle_get_list_of_metadata_block_IDs(h, type, ids.data(), n);
    for (int i = 0; i < n; ++i) {
        if (content) {
            const char *c = heif_image_handle_get_metadata_content_type(h, ids[std::size_t(i)]);
            if (!c || std::strcmp(c, content) != 0) continue;
        }
        std::size_t size = heif_image_handle_get_metadata_size(h, ids[std::size_t(i)]);
        std::string block(size, '\0');
        if (size == 0 || heif_image_handle_get_metadata(h, ids[std::size_t(i)], block.data()).code != heif_error_Ok)
            continue;
        return block;
    }
    return {};
}

// A HEIF EXIF block starts with the offset (32 bits, big-endian) of the TIFF header that follows;
// Pillow wants "Exif\0\0" and the TIFF header. Empty when the block is too short for its offset.
std::string exif_for_pillow(const std::string &block) {
    if (block.size() < 4) return {};
    std::uint32_t offset = (std::uint32_t(std::uint8_t(block[0])) << 24) | (std::uint32_t(std::uint8_t(block[1])) << 16) |
                           (std::uint32_t(std::uint8_t(block[2])) << 8) | std::uint32_t(std::uint8_t(block[3]));
    if (offset > block.size() - 4) return {};
    std::string tiff = block.substr(4 + offset);
    if (tiff.size() < 8) return {};
    if (tiff.compare(0, 6, "Exif\0\0", 6) == 0) return tiff;
    return std::string("Exif\0\0", 6) + tiff;
}

// Whether the primary image has an HDR gain map: Apple's auxiliary image, or an ISO 21496-1
// tone-map item ('tmap') in the file.
bool has_gain_map(const heif_context *ctx, const heif_image_handle *h) {
    int n = heif_image_handle_get_number_of_auxiliary_images(h, LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA | LIBHEIF_AUX_IMAGE_FILTER_OMIT_DEPTH);
    if (n > 0) {
        std::vector<heif_item_id> ids(static_cast<std::size_t>(n));
        n = heif_image_handle_get_list_of_auxiliary_image_IDs(h, LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA | LIBHEIF_AUX_IMAGE_FILTER_OMIT_DEPTH,
                                                              ids.data(), n);
        for (int i = 0; i < n; ++i) {
            heif_image_handle *aux_raw = nullptr;
            if (heif_image_handle_get_auxiliary_image_handle(h, ids[std::size_t(i)], &aux_raw).code != heif_error_Ok) continue;
            Handle aux(aux_raw);
            const char *type = nullptr;
            if (heif_image_handle_get_auxiliary_type(aux.get(), &type).code != heif_error_Ok || !type) continue;
            bool gain = std::strstr(type, "gainmap") != nullptr;
            heif_image_handle_release_auxiliary_type(aux.get(), &type);
            if (gain) return true;
        }
    }
    int items = heif_context_get_number_of_items(ctx);
    if (items <= 0) return false;
    std::vector<heif_item_id> ids(static_cast<std::size_t>(items));
    items = heif_context_get_list_of_item_IDs(ctx, ids.data(), items);
    return std::any_of(ids.begin(), ids.begin() + std::max(items, 0),
                       [&](heif_item_id id) { return heif_item_get_item_type(ctx, id) == heif_fourcc('t', 'm', 'a', 'p'); });
}

// The primary image's rotations and mirrors, in the order a reader applies them: "rotate-90",
// "rotate-180", "rotate-270" (counter-clockwise), "mirror-vertical" (top and bottom swapped),
// "mirror-horizontal" (left and right swapped). The clean-aperture crop is not among them.
std::vector<std::string> transforms(const heif_context *ctx, const heif_image_handle *h) {
    std::vector<std::string> out;
    heif_item_id id = heif_image_handle_get_item_id(h);
    int n = heif_item_get_transformation_properties(ctx, id, nullptr, 0);
    if (n <= 0) return out;
    std::vector<heif_property_id> props(static_cast<std::size_t>(n));
    n = heif_item_get_transformation_properties(ctx, id, props.data(), n);
    for (int i = 0; i < n; ++i) {
        const heif_property_id prop = props[std::size_t(i)];
        auto type = heif_item_get_property_type(ctx, id, prop);
        if (type == heif_item_property_type_transform_mirror) {
            auto axis = heif_item_get_property_transform_mirror(ctx, id, prop);
            if (axis == heif_transform_mirror_direction_vertical) out.emplace_back("mirror-vertical");
            else if (axis == heif_transform_mirror_direction_horizontal) out.emplace_back("mirror-horizontal");
        } else if (type == heif_item_property_type_transform_rotation) {
            int angle = heif_item_get_property_transform_rotation_ccw(ctx, id, prop);
            if (angle > 0 && angle % 90 == 0 && angle < 360) out.push_back("rotate-" + std::to_string(angle));
        }
    }
    return out;
}

// Refuses a picture of more than `max_pixels` (0: no limit) before anything is decoded.
void check_pixels(int width, int height, std::uint64_t max_pixels) {
    if (max_pixels && std::uint64_t(width) * std::uint64_t(height) > max_pixels)
        throw Failure{int(heif_error_Memory_allocation_error), int(heif_suberror_Security_limit_exceeded),
                      std::to_string(width) + "x" + std::to_string(height) + " is more than " +
                          std::to_string(max_pixels) + " pixels"};
}

} // namespace

bool can_decode() { return heif_have_decoder_for_format(heif_compression_HEVC) != 0; }
bool can_encode() { return heif_have_encoder_for_format(heif_compression_HEVC) != 0; }

Info read_info(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels) {
    Context ctx = open_context(data, size, max_pixels);
    Handle h = primary(ctx.get());
    Info info;
    info.width = heif_image_handle_get_width(h.get());
    info.height = heif_image_handle_get_height(h.get());
    if (info.width <= 0 || info.height <= 0)
        throw Failure{int(heif_error_Invalid_input), 0, "the primary image has no size"};
    // libheif applies its image-size limit when it decodes; a file is refused before that.
    check_pixels(info.width, info.height, max_pixels);
    info.alpha = heif_image_handle_has_alpha_channel(h.get()) != 0;
    info.bit_depth = heif_image_handle_get_luma_bits_per_pixel(h.get());
    info.images = heif_context_get_number_of_top_level_images(ctx.get());
    info.depth = heif_image_handle_has_depth_image(h.get()) != 0;
    info.thumbnails = heif_image_handle_get_number_of_thumbnails(h.get());
    if (info.thumbnails > 0) {
        std::vector<heif_item_id> ids(static_cast<std::size_t>(info.thumbnails));
        int n = heif_image_handle_get_list_of_thumbnail_IDs(h.get(), ids.data(), info.thumbnails);
        for (int i = 0; i < n; ++i) {
            heif_image_handle *raw = nullptr;
            Thumbnail thumb;  // one libheif cannot open is listed with no size (never chosen)
            if (heif_image_handle_get_thumbnail(h.get(), ids[std::size_t(i)], &raw).code == heif_error_Ok && raw) {
                Handle t(raw);
                thumb.width = heif_image_handle_get_width(t.get());
                thumb.height = heif_image_handle_get_height(t.get());
                thumb.alpha = heif_image_handle_has_alpha_channel(t.get()) != 0;
                thumb.bit_depth = heif_image_handle_get_luma_bits_per_pixel(t.get());
                thumb.transforms = transforms(ctx.get(), t.get());
            }
            info.thumbs.push_back(std::move(thumb));
        }
    }
    info.gain_map = has_gain_map(ctx.get(), h.get());
    info.transforms = transforms(ctx.get(), h.get());
    info.transformed = !info.transforms.empty();
    info.exif = exif_for_pillow(metadata_block(h.get(), "Exif", nullptr));
    info.xmp = metadata_block(h.get(), "mime", "application/rdf+xml");
    heif_brand2 brand = heif_read_main_brand(data, int(std::min<std::size_t>(size, 64)));
    if (brand) {
        char text[5] = {char(brand >> 24), char(brand >> 16), char(brand >> 8), char(brand), 0};
        info.brand = text;
    }
    // Colour: a stored ICC profile wins; otherwise the nclx description becomes one.
    if (std::size_t n = heif_image_handle_get_raw_color_profile_size(h.get())) {
        info.icc.assign(n, '\0');
        ok(heif_image_handle_get_raw_color_profile(h.get(), info.icc.data()));
        info.colour = "icc";
    } else {
        heif_color_profile_nclx *raw = nullptr;
        if (heif_image_handle_get_nclx_color_profile(h.get(), &raw).code == heif_error_Ok && raw) {
            Nclx nclx(raw);
            info.icc = nclx_to_icc(*nclx);
            info.colour = "nclx";
            info.colour_name = nclx_name(int(nclx->color_primaries), int(nclx->transfer_characteristics));
        }
    }
    return info;
}

namespace {

// The luma weights of an nclx matrix the planar path converts (non-constant luminance, like
// BT.601, BT.709 and BT.2020); false for the others, which libheif converts itself.
bool luma_weights(int matrix, double &kr, double &kb) {
    switch (matrix) {
    case 1: kr = 0.2126; kb = 0.0722; return true;
    case 2: case 5: case 6: kr = 0.299; kb = 0.114; return true;  // unspecified is taken as BT.601
    case 4: kr = 0.30; kb = 0.11; return true;
    case 7: kr = 0.212; kb = 0.087; return true;
    case 9: kr = 0.2627; kb = 0.0593; return true;
    default: return false;
    }
}

inline std::uint32_t sample(const std::uint8_t *row, int x, bool wide) {
    return wide ? std::uint32_t(row[2 * x]) | (std::uint32_t(row[2 * x + 1]) << 8) : row[x];
}

inline std::uint8_t to_byte(double v) {
    v = v * 255.0 + 0.5;
    return std::uint8_t(v <= 0 ? 0 : v >= 255 ? 255 : int(v));
}

// The two chroma samples (and the nearer one's weight) that an output coordinate `p` takes on
// a subsampled axis: a triangle filter with the samples between two luma positions (each
// position takes 3/4 of the nearer sample and 1/4 of the next), as libjpeg's fancy upsampling;
// it stays within a level or two of libheif's own bilinear conversion (tested), one pixel
// off at most at a hard corner.
struct Tap {
    int a, b;
    double wa;
};
inline Tap horizontal_tap(int p, int n) {
    int i = p >> 1;
    int j = (p & 1) ? std::min(i + 1, n - 1) : std::max(i - 1, 0);
    return {i, j, 0.75};
}
inline Tap vertical_tap(int p, int n) {
    int i = p >> 1;
    int j = (p & 1) ? std::min(i + 1, n - 1) : std::max(i - 1, 0);
    return {i, j, 0.75};
}

} // namespace

Decoded decode(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels, bool via_rgb, int out_bits,
               int thumbnail) {
    Context ctx = open_context(data, size, max_pixels);
    Handle h = primary(ctx.get());
    if (thumbnail >= 0) {
        const int count = heif_image_handle_get_number_of_thumbnails(h.get());
        if (thumbnail >= count)
            throw Failure{int(heif_error_Usage_error), 0, "the file holds no thumbnail " + std::to_string(thumbnail)};
        std::vector<heif_item_id> ids(static_cast<std::size_t>(count));
        heif_image_handle_get_list_of_thumbnail_IDs(h.get(), ids.data(), count);
        heif_image_handle *raw = nullptr;
        ok(heif_image_handle_get_thumbnail(h.get(), ids[std::size_t(thumbnail)], &raw));
        h.reset(raw);
    }
    Decoded out;
    out.out_bits = out_bits == 16 ? 16 : 8;
    // A deep picture kept deep is converted by libheif at its own depth, as its reference
    // decoder does: the planar path rounds to 8 bits.
    bool deep = heif_image_handle_get_luma_bits_per_pixel(h.get()) > 8;
    if (deep && out.out_bits == 16) via_rgb = true;
    const bool alpha = heif_image_handle_has_alpha_channel(h.get()) != 0;
    out.channels = alpha ? 4 : 3;
    std::unique_ptr<heif_decoding_options, DecodingOptionsFree> options(heif_decoding_options_alloc());
    if (!options) throw std::bad_alloc();
    options->ignore_transformations = 0;  // irot, imir and clap are the picture's own geometry
    // 1. As coded where that is YCbCr 4:2:0, 4:2:2 or 4:4:4; otherwise RGB from libheif.
    heif_colorspace space = heif_colorspace_undefined;
    heif_chroma chroma = heif_chroma_undefined;
    if (!via_rgb && heif_image_handle_get_preferred_decoding_colorspace(h.get(), &space, &chroma).code == heif_error_Ok &&
        space == heif_colorspace_YCbCr && (chroma == heif_chroma_420 || chroma == heif_chroma_422 || chroma == heif_chroma_444)) {
        heif_image *raw = nullptr;
        ok(heif_decode_image(h.get(), &raw, heif_colorspace_YCbCr, chroma, options.get()));
        out.image.reset(raw);
        heif_color_profile_nclx *nclx_raw = nullptr;
        int matrix = 6;
        if (heif_image_get_nclx_color_profile(raw, &nclx_raw).code == heif_error_Ok && nclx_raw) {
            Nclx nclx(nclx_raw);
            matrix = int(nclx->matrix_coefficients);
            out.full_range = nclx->full_range_flag != 0;
        }
        out.width = heif_image_get_width(raw, heif_channel_Y);
        out.height = heif_image_get_height(raw, heif_channel_Y);
        const int cw = heif_image_get_width(raw, heif_channel_Cb), ch = heif_image_get_height(raw, heif_channel_Cb);
        out.bits = heif_image_get_bits_per_pixel_range(raw, heif_channel_Y);
        out.alpha_bits = alpha ? heif_image_get_bits_per_pixel_range(raw, heif_channel_Alpha) : 8;
        out.sub_x = cw < out.width ? 2 : 1;
        out.sub_y = ch < out.height ? 2 : 1;
        const bool sizes_fit = cw == (out.width + out.sub_x - 1) / out.sub_x && ch == (out.height + out.sub_y - 1) / out.sub_y &&
                               heif_image_get_bits_per_pixel_range(raw, heif_channel_Cb) == out.bits &&
                               (!alpha || heif_image_has_channel(raw, heif_channel_Alpha));
        if (luma_weights(matrix, out.kr, out.kb) && sizes_fit && out.bits >= 8 && out.bits <= 16 && out.alpha_bits >= 1 &&
            out.alpha_bits <= 16 && out.width > 0 && out.height > 0) {
            out.planar = true;
            return out;
        }
        out.image.reset();  // a layout the planar path does not take: libheif converts it
    }
    // 2. Interleaved RGB(A) from libheif, deep samples kept for scaling.
    chroma = alpha ? (deep ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RGBA)
                   : (deep ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB);
    heif_image *raw = nullptr;
    ok(heif_decode_image(h.get(), &raw, heif_colorspace_RGB, chroma, options.get()));
    out.image.reset(raw);
    out.planar = false;
    out.width = heif_image_get_width(raw, heif_channel_interleaved);
    out.height = heif_image_get_height(raw, heif_channel_interleaved);
    out.bits = heif_image_get_bits_per_pixel_range(raw, heif_channel_interleaved);
    if (out.width <= 0 || out.height <= 0 || out.bits < 8 || out.bits > 16)
        throw Failure{int(heif_error_Decoder_plugin_error), 0, "the decoder returned no usable picture"};
    return out;
}

void Decoded::rows_to(int row, int count, std::uint8_t *out) const {
    const std::size_t packed = std::size_t(width) * std::size_t(channels);
    if (!planar) {
        std::size_t stride = 0;
        const std::uint8_t *plane = heif_image_get_plane_readonly2(image.get(), heif_channel_interleaved, &stride);
        const std::uint32_t max = (1u << bits) - 1;
        for (int y = row; y < row + count; ++y) {
            const std::uint8_t *src = plane + stride * std::size_t(y);
            std::uint8_t *dst = out + packed * std::size_t(y - row);
            if (bits == 8) {
                std::memcpy(dst, src, packed);
                continue;
            }
            // 10- to 16-bit samples (little-endian) scaled to 0-255, rounded: v * 255 / max.
            for (std::size_t i = 0; i < packed; ++i) {
                std::uint32_t v = std::min<std::uint32_t>(std::uint32_t(src[2 * i]) | (std::uint32_t(src[2 * i + 1]) << 8), max);
                dst[i] = std::uint8_t((v * 255 + max / 2) / max);
            }
        }
        return;
    }
    // YCbCr to R'G'B' by the nclx matrix: R = Y + 2(1 - Kr) Cr, B = Y + 2(1 - Kb) Cb,
    // G = (Y - Kr R - Kb B) / Kg, after taking the range (full, or 16-235 and 16-240 scaled to
    // the bit depth) off the samples.
    std::size_t sy = 0, sb = 0, sr = 0, sa = 0;
    const std::uint8_t *py = heif_image_get_plane_readonly2(image.get(), heif_channel_Y, &sy);
    const std::uint8_t *pb = heif_image_get_plane_readonly2(image.get(), heif_channel_Cb, &sb);
    const std::uint8_t *pr = heif_image_get_plane_readonly2(image.get(), heif_channel_Cr, &sr);
    const std::uint8_t *pa = channels == 4 ? heif_image_get_plane_readonly2(image.get(), heif_channel_Alpha, &sa) : nullptr;
    const bool wide = bits > 8, alpha_wide = alpha_bits > 8;
    const double scale = double(1 << (bits - 8));
    const double half = double(1 << (bits - 1));
    const double y_off = full_range ? 0.0 : 16.0 * scale;
    const double y_mul = 1.0 / (full_range ? double((1u << bits) - 1) : 219.0 * scale);
    const double c_mul = 1.0 / (full_range ? double((1u << bits) - 1) : 224.0 * scale);
    const double kg = 1.0 - kr - kb;
    const double cr_r = 2 * (1 - kr), cb_b = 2 * (1 - kb);
    const double cb_g = 2 * kb * (1 - kb) / kg, cr_g = 2 * kr * (1 - kr) / kg;
    const int cw = (width + sub_x - 1) / sub_x, ch = (height + sub_y - 1) / sub_y;
    const std::uint32_t amax = (1u << alpha_bits) - 1;
    if (!wide && (!pa || !alpha_wide)) {
        // 8-bit samples: the same sums in integers. The chroma taps are quarters on each axis,
        // so a tap's value times 16 is a whole number; the coefficients carry 24 fraction bits,
        // which moves a result only where the exact value lies within 1/10000 of a level of a
        // rounding edge.
        constexpr double one = double(1 << 24);
        auto fixed = [&](double k) { return std::int64_t(std::llround(k * one)); };
        const std::int64_t ky = fixed(255.0 * y_mul), yoff = std::int64_t(y_off);
        const std::int64_t kcr_r = fixed(cr_r * c_mul * 255.0 / 16), kcb_b = fixed(cb_b * c_mul * 255.0 / 16);
        const std::int64_t kcb_g = fixed(cb_g * c_mul * 255.0 / 16), kcr_g = fixed(cr_g * c_mul * 255.0 / 16);
        const std::int64_t mid = 16 * 128, round_half = std::int64_t(1) << 23;
        auto byte = [](std::int64_t v) { v >>= 24; return std::uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
        for (int y = row; y < row + count; ++y) {
            const Tap ty = sub_y == 2 ? vertical_tap(y, ch) : Tap{y, y, 1.0};
            const std::uint8_t *yrow = py + sy * std::size_t(y);
            const std::uint8_t *b0 = pb + sb * std::size_t(ty.a), *b1 = pb + sb * std::size_t(ty.b);
            const std::uint8_t *r0 = pr + sr * std::size_t(ty.a), *r1 = pr + sr * std::size_t(ty.b);
            const int va = sub_y == 2 ? 3 : 4, vb = 4 - va;
            const std::uint8_t *arow = pa ? pa + sa * std::size_t(y) : nullptr;
            std::uint8_t *dst = out + packed * std::size_t(y - row);
            for (int x = 0; x < width; ++x) {
                const Tap tx = sub_x == 2 ? horizontal_tap(x, cw) : Tap{x, x, 1.0};
                const int ha = sub_x == 2 ? 3 : 4, hb = 4 - ha;
                const std::int64_t cb = va * (ha * b0[tx.a] + hb * b0[tx.b]) + vb * (ha * b1[tx.a] + hb * b1[tx.b]) - mid;
                const std::int64_t cr = va * (ha * r0[tx.a] + hb * r0[tx.b]) + vb * (ha * r1[tx.a] + hb * r1[tx.b]) - mid;
                const std::int64_t lum = (std::int64_t(yrow[x]) - yoff) * ky + round_half;
                dst[0] = byte(lum + kcr_r * cr);
                dst[1] = byte(lum - kcb_g * cb - kcr_g * cr);
                dst[2] = byte(lum + kcb_b * cb);
                if (arow) {
                    std::uint32_t a = std::min<std::uint32_t>(arow[x], amax);
                    dst[3] = std::uint8_t((a * 255 + amax / 2) / amax);
                }
                dst += channels;
            }
        }
        return;
    }
    for (int y = row; y < row + count; ++y) {
        const Tap ty = sub_y == 2 ? vertical_tap(y, ch) : Tap{y, y, 1.0};
        const std::uint8_t *yrow = py + sy * std::size_t(y);
        const std::uint8_t *b0 = pb + sb * std::size_t(ty.a), *b1 = pb + sb * std::size_t(ty.b);
        const std::uint8_t *r0 = pr + sr * std::size_t(ty.a), *r1 = pr + sr * std::size_t(ty.b);
        const std::uint8_t *arow = pa ? pa + sa * std::size_t(y) : nullptr;
        std::uint8_t *dst = out + packed * std::size_t(y - row);
        for (int x = 0; x < width; ++x) {
            const Tap tx = sub_x == 2 ? horizontal_tap(x, cw) : Tap{x, x, 1.0};
            auto chroma = [&](const std::uint8_t *c0, const std::uint8_t *c1) {
                double top = tx.wa * sample(c0, tx.a, wide) + (1 - tx.wa) * sample(c0, tx.b, wide);
                double bottom = tx.wa * sample(c1, tx.a, wide) + (1 - tx.wa) * sample(c1, tx.b, wide);
                return (ty.wa * top + (1 - ty.wa) * bottom - half) * c_mul;
            };
            const double lum = (double(sample(yrow, x, wide)) - y_off) * y_mul;
            const double cb = chroma(b0, b1), cr = chroma(r0, r1);
            dst[0] = to_byte(lum + cr_r * cr);
            dst[1] = to_byte(lum - cb_g * cb - cr_g * cr);
            dst[2] = to_byte(lum + cb_b * cb);
            if (arow) {
                std::uint32_t a = std::min(sample(arow, x, alpha_wide), amax);
                dst[3] = std::uint8_t((a * 255 + amax / 2) / amax);
            }
            dst += channels;
        }
    }
}

namespace {

// Apple's gain map among the primary's auxiliary images (its type names a gain map), or null.
Handle auxiliary_gain_map(const heif_image_handle *h, std::string &type) {
    const int filter = LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA | LIBHEIF_AUX_IMAGE_FILTER_OMIT_DEPTH;
    int n = heif_image_handle_get_number_of_auxiliary_images(h, filter);
    if (n <= 0) return nullptr;
    std::vector<heif_item_id> ids(static_cast<std::size_t>(n));
    n = heif_image_handle_get_list_of_auxiliary_image_IDs(h, filter, ids.data(), n);
    for (int i = 0; i < n; ++i) {
        heif_image_handle *aux_raw = nullptr;
        if (heif_image_handle_get_auxiliary_image_handle(h, ids[std::size_t(i)], &aux_raw).code != heif_error_Ok) continue;
        Handle aux(aux_raw);
        const char *name = nullptr;
        if (heif_image_handle_get_auxiliary_type(aux.get(), &name).code != heif_error_Ok || !name) continue;
        bool gain = std::strstr(name, "gainmap") != nullptr;
        if (gain) type = name;
        heif_image_handle_release_auxiliary_type(aux.get(), &name);
        if (gain) return aux;
    }
    return nullptr;
}

// The gain-map input of a tone-map item derived from `primary` (its 'dimg' references: the base,
// then the gain map), with the item's payload; 0 when there is none.
heif_item_id tone_map_input(heif_context *ctx, heif_item_id primary, std::string &payload) {
    int items = heif_context_get_number_of_items(ctx);
    if (items <= 0) return 0;
    std::vector<heif_item_id> ids(static_cast<std::size_t>(items));
    items = heif_context_get_list_of_item_IDs(ctx, ids.data(), items);
    for (int i = 0; i < items; ++i) {
        const heif_item_id tmap = ids[std::size_t(i)];
        if (heif_item_get_item_type(ctx, tmap) != heif_fourcc('t', 'm', 'a', 'p')) continue;
        for (int index = 0;; ++index) {
            std::uint32_t kind = 0;
            heif_item_id *to = nullptr;
            const std::size_t n = heif_context_get_item_references(ctx, tmap, index, &kind, &to);
            if (n == 0) break;
            heif_item_id input = 0;
            if (kind == heif_fourcc('d', 'i', 'm', 'g') && n >= 2 && to[0] == primary) input = to[1];
            heif_release_item_references(ctx, &to);
            if (!input) continue;
            std::uint8_t *data = nullptr;
            std::size_t size = 0;
            if (heif_item_get_item_data(ctx, tmap, nullptr, &data, &size).code == heif_error_Ok && data) {
                payload.assign(reinterpret_cast<const char *>(data), size);
                heif_release_item_data(ctx, &data);
            }
            return input;
        }
    }
    return 0;
}

// The gain map's pixels at 8 bits: grey when coded monochrome, else RGB.
void decode_gain_map(const heif_image_handle *h, GainMap &out) {
    heif_colorspace space = heif_colorspace_undefined;
    heif_chroma chroma = heif_chroma_undefined;
    const bool grey = heif_image_handle_get_preferred_decoding_colorspace(h, &space, &chroma).code == heif_error_Ok &&
                      space == heif_colorspace_monochrome;
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(h) > 8;
    std::unique_ptr<heif_decoding_options, DecodingOptionsFree> options(heif_decoding_options_alloc());
    if (!options) throw std::bad_alloc();
    options->ignore_transformations = 0;
    heif_image *raw = nullptr;
    ok(heif_decode_image(h, &raw, grey ? heif_colorspace_monochrome : heif_colorspace_RGB,
                         grey ? heif_chroma_monochrome : deep ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB,
                         options.get()));
    Image image(raw);
    const heif_channel channel = grey ? heif_channel_Y : heif_channel_interleaved;
    const int width = heif_image_get_width(raw, channel), height = heif_image_get_height(raw, channel);
    const int bits = heif_image_get_bits_per_pixel_range(raw, channel);
    if (width <= 0 || height <= 0 || bits < 1 || bits > 16)
        throw Failure{int(heif_error_Decoder_plugin_error), 0, "the decoder returned no usable gain map"};
    std::size_t stride = 0;
    const std::uint8_t *plane = heif_image_get_plane_readonly2(raw, channel, &stride);
    if (!plane) throw Failure{int(heif_error_Decoder_plugin_error), 0, "the decoder returned no usable gain map"};
    out.channels = grey ? 1 : 3;
    out.width = width;
    out.height = height;
    const std::size_t packed = std::size_t(width) * std::size_t(out.channels);
    const bool wide = bits > 8;
    const std::uint32_t max = (1u << bits) - 1;
    std::string pixels(packed * std::size_t(height), '\0');
    for (int y = 0; y < height; ++y) {
        const std::uint8_t *src = plane + stride * std::size_t(y);
        auto *dst = reinterpret_cast<std::uint8_t *>(pixels.data()) + packed * std::size_t(y);
        if (!wide && bits == 8) {
            std::memcpy(dst, src, packed);
            continue;
        }
        for (std::size_t i = 0; i < packed; ++i) {
            std::uint32_t v = std::min(sample(src, int(i), wide), max);
            dst[i] = std::uint8_t((v * 255 + max / 2) / max);
        }
    }
    out.pixels = std::move(pixels);
}

} // namespace

GainMap gain_map(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels) {
    // 1. The primary, under the limit, as read and decode take it: its failures are the file's.
    Context ctx = open_context(data, size, max_pixels);
    Handle h = primary(ctx.get());
    check_pixels(heif_image_handle_get_width(h.get()), heif_image_handle_get_height(h.get()), max_pixels);
    // 2. Its gain map: Apple's auxiliary image first, else a tone-map item's input. From here
    //    on a failure is the gain map's alone: reported, never thrown.
    GainMap out;
    Handle map = auxiliary_gain_map(h.get(), out.type);
    if (!map) {
        const heif_item_id input = tone_map_input(ctx.get(), heif_image_handle_get_item_id(h.get()), out.metadata);
        if (!input) return out;
        out.type = "tmap";
        heif_image_handle *raw = nullptr;
        heif_error e = heif_context_get_image_handle(ctx.get(), input, &raw);
        out.found = true;
        if (e.code != heif_error_Ok || !raw) {
            out.error = std::string("the gain map cannot be read: ") + (e.message ? e.message : "unknown error");
            return out;
        }
        map.reset(raw);
    }
    out.found = true;
    // 3. Its metadata, its size (checked against the limit before anything is decoded), then its pixels.
    out.xmp = metadata_block(map.get(), "mime", "application/rdf+xml");
    out.exif = exif_for_pillow(metadata_block(map.get(), "Exif", nullptr));
    out.has_headroom = parse_headroom(out.xmp, out.headroom);
    const std::string primary_exif = exif_for_pillow(metadata_block(h.get(), "Exif", nullptr));
    out.has_maker_headroom = apple_maker_value(primary_exif, 33, out.maker_headroom);
    out.has_maker_gain = apple_maker_value(primary_exif, 48, out.maker_gain);
    out.transforms = transforms(ctx.get(), map.get());
    out.width = heif_image_handle_get_width(map.get());
    out.height = heif_image_handle_get_height(map.get());
    if (out.width <= 0 || out.height <= 0) {
        out.error = "the gain map has no size";
        return out;
    }
    if (max_pixels && std::uint64_t(out.width) * std::uint64_t(out.height) > max_pixels) {
        out.error = "the gain map's " + std::to_string(out.width) + "x" + std::to_string(out.height) + " is more than " +
                    std::to_string(max_pixels) + " pixels";
        return out;
    }
    try {
        decode_gain_map(map.get(), out);
    } catch (const Failure &f) {
        out.pixels.clear();
        out.error = "the gain map cannot be decoded: " + f.message;
    }
    return out;
}

void Decoded::rows16_to(int row, int count, std::uint16_t *out) const {
    const std::size_t packed = std::size_t(width) * std::size_t(channels);
    if (planar || bits == 8) {
        // 8-bit samples (or the planar path's 8-bit conversion) widened: v * 257 is v * 65535 / 255.
        std::vector<std::uint8_t> line(packed);
        for (int y = row; y < row + count; ++y) {
            rows_to(y, 1, line.data());
            std::uint16_t *dst = out + packed * std::size_t(y - row);
            for (std::size_t i = 0; i < packed; ++i) dst[i] = std::uint16_t(line[i] * 257u);
        }
        return;
    }
    std::size_t stride = 0;
    const std::uint8_t *plane = heif_image_get_plane_readonly2(image.get(), heif_channel_interleaved, &stride);
    const std::uint32_t max = (1u << bits) - 1;
    for (int y = row; y < row + count; ++y) {
        const std::uint8_t *src = plane + stride * std::size_t(y);
        std::uint16_t *dst = out + packed * std::size_t(y - row);
        for (std::size_t i = 0; i < packed; ++i) {
            std::uint32_t v = std::min<std::uint32_t>(std::uint32_t(src[2 * i]) | (std::uint32_t(src[2 * i + 1]) << 8), max);
            dst[i] = std::uint16_t((v * 65535u + max / 2) / max);
        }
    }
}

void Decoded::rows_out(int row, int count, std::uint8_t *out) const {
    if (out_bits == 16) rows16_to(row, count, reinterpret_cast<std::uint16_t *>(out));
    else rows_to(row, count, out);
}

namespace {

// A libheif image of `picture` at `depth` bits: grey (and grey + alpha) as monochrome planes,
// RGB(A) interleaved; samples scaled from the picture's range to the depth's,
// v * (2^depth - 1) / (2^bits - 1) rounded.
Image image_of(const Picture &picture, int depth) {
    const bool grey = picture.channels <= 2;
    const bool wide = depth > 8;
    const heif_chroma chroma = grey ? heif_chroma_monochrome
                               : picture.channels == 4 ? (wide ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RGBA)
                                                       : (wide ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB);
    heif_image *raw = nullptr;
    ok(heif_image_create(picture.width, picture.height, grey ? heif_colorspace_monochrome : heif_colorspace_RGB, chroma, &raw));
    Image image(raw);
    // The planes and the picture's samples each takes: one interleaved plane of every sample, or
    // for grey the Y plane of sample 0 and the alpha plane of sample 1 of each pixel.
    struct Target {
        heif_channel channel;
        int first, count;  // the first sample of a pixel it takes, and how many
    };
    std::vector<Target> targets;
    if (!grey) targets.push_back({heif_channel_interleaved, 0, picture.channels});
    else {
        targets.push_back({heif_channel_Y, 0, 1});
        if (picture.channels == 2) targets.push_back({heif_channel_Alpha, 1, 1});
    }
    const std::uint32_t in_max = picture.bits == 16 ? 65535u : 255u, out_max = (1u << depth) - 1;
    const std::size_t in_sample = picture.bits == 16 ? 2 : 1, out_sample = wide ? 2 : 1;
    for (const Target &target : targets) {
        ok(heif_image_add_plane(raw, target.channel, picture.width, picture.height, depth));
        std::size_t stride = 0;
        std::uint8_t *plane = heif_image_get_plane2(raw, target.channel, &stride);
        const std::size_t per_row = std::size_t(picture.width) * std::size_t(target.count);
        for (int y = 0; y < picture.height; ++y) {
            const std::uint8_t *src = picture.pixels + picture.stride * std::size_t(y);
            std::uint8_t *dst = plane + stride * std::size_t(y);
            if (in_max == out_max && target.count == picture.channels) {
                std::memcpy(dst, src, per_row * out_sample);
                continue;
            }
            for (std::size_t i = 0; i < per_row; ++i) {
                // sample i of the target: pixel i / count, its sample first + i % count
                const std::size_t at = (i / std::size_t(target.count)) * std::size_t(picture.channels) +
                                       std::size_t(target.first) + i % std::size_t(target.count);
                std::uint32_t v;
                if (in_sample == 2) {
                    std::uint16_t w;
                    std::memcpy(&w, src + 2 * at, 2);
                    v = w;
                } else {
                    v = src[at];
                }
                const std::uint32_t o = in_max == out_max ? v : (v * out_max + in_max / 2) / in_max;
                if (wide) {
                    dst[2 * i] = std::uint8_t(o & 0xff);
                    dst[2 * i + 1] = std::uint8_t(o >> 8);
                } else {
                    dst[i] = std::uint8_t(o);
                }
            }
        }
    }
    return image;
}

// Links `gain`'s item to the primary as Apple's auxiliary gain-map image: an auxC property
// naming the type (version and flags, then the URN and its NUL) and an auxl reference.
void link_gain_map(heif_context *ctx, heif_item_id gain, heif_item_id primary) {
    std::string payload(4, '\0');
    payload.append(apple_gain_map_type, std::strlen(apple_gain_map_type) + 1);
    ok(heif_item_add_raw_property(ctx, gain, heif_fourcc('a', 'u', 'x', 'C'), nullptr,
                                  reinterpret_cast<const std::uint8_t *>(payload.data()), payload.size(), 1, nullptr));
    ok(heif_context_add_item_reference(ctx, heif_fourcc('a', 'u', 'x', 'l'), gain, primary));
}

} // namespace

const char apple_gain_map_type[] = "urn:com:apple:photo:2020:aux:hdrgainmap";

std::string encode(const Picture &picture, int quality, const Metadata &metadata, int orientation, int depth,
                   const GainMapPicture *gain, const char *chroma) {
    Context ctx(heif_context_alloc());
    if (!ctx) throw std::bad_alloc();
    // 1. The picture as a libheif image at the depth asked for (its stride is libheif's own).
    Image image = image_of(picture, depth);
    heif_image *raw = image.get();
    // 2. Colour: the ICC profile as it is; the nclx box then only says how RGB became YCbCr
    //    (BT.601, full range), with sRGB's primaries and curve when there is no profile.
    if (!metadata.icc.empty())
        ok(heif_image_set_raw_color_profile(raw, "prof", metadata.icc.data(), metadata.icc.size()));
    std::unique_ptr<heif_color_profile_nclx, NclxFree> nclx(heif_nclx_color_profile_alloc());
    if (!nclx) throw std::bad_alloc();
    nclx->matrix_coefficients = heif_matrix_coefficients_ITU_R_BT_601_6;
    nclx->full_range_flag = 1;
    nclx->color_primaries = metadata.icc.empty() ? heif_color_primaries_ITU_R_BT_709_5 : heif_color_primaries_unspecified;
    nclx->transfer_characteristics = metadata.icc.empty() ? heif_transfer_characteristic_IEC_61966_2_1
                                                          : heif_transfer_characteristic_unspecified;
    // 3. The encoder at the quality asked for; x265 takes its Main 10 or Main 12 profile from
    //    the image's depth, and the subsampling libheif converts the RGB picture to from its
    //    "chroma" parameter.
    heif_encoder *enc_raw = nullptr;
    ok(heif_context_get_encoder_for_format(ctx.get(), heif_compression_HEVC, &enc_raw));
    std::unique_ptr<heif_encoder, EncoderFree> encoder(enc_raw);
    ok(heif_encoder_set_lossy_quality(enc_raw, std::clamp(quality, 0, 100)));
    if (chroma) ok(heif_encoder_set_parameter_string(enc_raw, "chroma", chroma));
    std::unique_ptr<heif_encoding_options, EncodingOptionsFree> options(heif_encoding_options_alloc());
    if (!options) throw std::bad_alloc();
    options->save_alpha_channel = 1;
    options->output_nclx_profile = nclx.get();
    options->save_two_colr_boxes_when_ICC_and_nclx_available = 1;
    options->image_orientation = heif_orientation(std::clamp(orientation, 1, 8));
    heif_image_handle *handle_raw = nullptr;
    ok(heif_context_encode_image(ctx.get(), raw, enc_raw, options.get(), &handle_raw));
    Handle handle(handle_raw);
    // 4. The gain map: a second image, stored under the same orientation so that it lies where
    //    the picture is, made the primary's auxiliary image; the primary stays primary.
    if (gain) {
        Image map = image_of(gain->picture, 8);
        std::unique_ptr<heif_encoding_options, EncodingOptionsFree> map_options(heif_encoding_options_alloc());
        if (!map_options) throw std::bad_alloc();
        map_options->save_alpha_channel = 0;
        map_options->image_orientation = options->image_orientation;
        heif_image_handle *map_raw = nullptr;
        ok(heif_context_encode_image(ctx.get(), map.get(), enc_raw, map_options.get(), &map_raw));
        Handle map_handle(map_raw);
        const heif_item_id map_id = heif_image_handle_get_item_id(map_handle.get());
        const heif_item_id primary_id = heif_image_handle_get_item_id(handle.get());
        if (gain->tone_map.empty()) {
            link_gain_map(ctx.get(), map_id, primary_id);
        } else {
            // The tone-map item: its payload the metadata, its inputs the picture then the map.
            heif_item_id tmap = 0;
            ok(heif_context_add_item(ctx.get(), "tmap", gain->tone_map.data(), int(gain->tone_map.size()), &tmap));
            const heif_item_id inputs[2] = {primary_id, map_id};
            ok(heif_context_add_item_references(ctx.get(), heif_fourcc('d', 'i', 'm', 'g'), tmap, inputs, 2));
        }
        ok(heif_context_set_primary_image(ctx.get(), handle.get()));
        if (!gain->xmp.empty())
            ok(heif_context_add_XMP_metadata(ctx.get(), map_handle.get(), gain->xmp.data(), int(gain->xmp.size())));
    }
    // 5. Metadata, then the file.
    if (!metadata.exif.empty())
        ok(heif_context_add_exif_metadata(ctx.get(), handle.get(), metadata.exif.data(), int(metadata.exif.size())));
    if (!metadata.xmp.empty())
        ok(heif_context_add_XMP_metadata(ctx.get(), handle.get(), metadata.xmp.data(), int(metadata.xmp.size())));
    std::string file;
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = [](heif_context *, const void *data, size_t size, void *userdata) -> heif_error {
        try {
            static_cast<std::string *>(userdata)->append(static_cast<const char *>(data), size);
        } catch (...) {
            return {heif_error_Memory_allocation_error, heif_suberror_Unspecified, "out of memory"};
        }
        return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
    };
    ok(heif_context_write(ctx.get(), &writer, &file));
    return file;
}

std::string gain_map_xmp(double headroom) {
    char number[32];
    std::snprintf(number, sizeof number, "%.6g", headroom);
    return std::string("<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
                       "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
                       " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
                       "  <rdf:Description rdf:about=\"\" xmlns:HDRGainMap=\"http://ns.apple.com/HDRGainMap/1.0/\">\n"
                       "   <HDRGainMap:HDRGainMapVersion>65536</HDRGainMap:HDRGainMapVersion>\n"
                       "   <HDRGainMap:HDRGainMapHeadroom>") +
           number +
           "</HDRGainMap:HDRGainMapHeadroom>\n"
           "  </rdf:Description>\n"
           " </rdf:RDF>\n"
           "</x:xmpmeta>\n"
           "<?xpacket end=\"w\"?>";
}

namespace {

// A bounds-checked reader of a TIFF structure's numbers in its byte order.
struct TiffReader {
    const std::uint8_t *data;
    std::size_t size;
    bool big;
    bool fits(std::size_t at, std::size_t n) const { return at <= size && n <= size - at; }
    std::uint32_t u16(std::size_t at) const {
        return big ? (std::uint32_t(data[at]) << 8) | data[at + 1] : (std::uint32_t(data[at + 1]) << 8) | data[at];
    }
    std::uint32_t u32(std::size_t at) const {
        return big ? (u16(at) << 16) | u16(at + 2) : (u16(at + 2) << 16) | u16(at);
    }
    // The entry of `tag` in the IFD at `ifd` (its offset in `data`), or 0.
    std::size_t entry(std::size_t ifd, int tag) const {
        if (!fits(ifd, 2)) return 0;
        const std::size_t count = u16(ifd);
        for (std::size_t i = 0; i < count && fits(ifd + 2 + 12 * i, 12); ++i)
            if (int(u16(ifd + 2 + 12 * i)) == tag) return ifd + 2 + 12 * i;
        return 0;
    }
    // The offset of an entry's value: inline when it fits in four bytes; offsets count from `base`.
    bool value_at(std::size_t entry, std::size_t unit, std::size_t base, std::size_t &at) const {
        const std::size_t bytes = unit * u32(entry + 4);
        at = bytes <= 4 ? entry + 8 : base + u32(entry + 8);
        return u32(entry + 4) >= 1 && fits(at, unit);
    }
};

} // namespace

bool apple_maker_value(const std::string &exif, int tag, double &value) {
    // 1. The TIFF structure, its Exif IFD and the MakerNote entry in it.
    std::size_t start = exif.compare(0, 6, "Exif\0\0", 6) == 0 ? 6 : 0;
    if (exif.size() < start + 8) return false;
    const auto *base = reinterpret_cast<const std::uint8_t *>(exif.data()) + start;
    const std::size_t size = exif.size() - start;
    if (!((base[0] == 'I' && base[1] == 'I') || (base[0] == 'M' && base[1] == 'M'))) return false;
    TiffReader tiff{base, size, base[0] == 'M'};
    std::size_t pointer = tiff.entry(tiff.u32(4), 0x8769);
    if (!pointer) return false;
    std::size_t note = tiff.entry(tiff.u32(pointer + 8), 0x927C);
    if (!note) return false;
    const std::size_t note_at = tiff.u32(note + 8), note_size = tiff.u32(note + 4);
    if (note_size < 16 || !tiff.fits(note_at, note_size)) return false;
    // 2. Apple's maker note: "Apple iOS\0", a version, "MM", then an IFD whose offsets count
    //    from the note's start.
    if (std::memcmp(base + note_at, "Apple iOS\0", 10) != 0 || base[note_at + 12] != 'M' || base[note_at + 13] != 'M')
        return false;
    TiffReader apple{base + note_at, note_size, true};
    std::size_t e = apple.entry(14, tag);
    if (!e) return false;
    const int type = int(apple.u16(e + 2));
    std::size_t at = 0;
    switch (type) {
    case 3:  // SHORT
        if (!apple.value_at(e, 2, 0, at)) return false;
        value = apple.u16(at);
        break;
    case 4:  // LONG
        if (!apple.value_at(e, 4, 0, at)) return false;
        value = apple.u32(at);
        break;
    case 9:  // SLONG
        if (!apple.value_at(e, 4, 0, at)) return false;
        value = std::int32_t(apple.u32(at));
        break;
    case 5: case 10: {  // RATIONAL, SRATIONAL
        if (!apple.value_at(e, 8, 0, at)) return false;
        const std::uint32_t n = apple.u32(at), d = apple.u32(at + 4);
        if (d == 0) return false;
        value = type == 5 ? double(n) / double(d) : double(std::int32_t(n)) / double(std::int32_t(d));
        break;
    }
    default:
        return false;
    }
    return std::isfinite(value);
}

bool parse_headroom(const std::string &xmp, double &headroom) {
    // As an attribute (HDRGainMap:HDRGainMapHeadroom="1.5") or an element (...Headroom>1.5<).
    static constexpr std::string_view key = "HDRGainMap:HDRGainMapHeadroom";
    std::size_t at = xmp.find(key);
    if (at == std::string::npos) return false;
    at += key.size();
    while (at < xmp.size() && (xmp[at] == ' ' || xmp[at] == '=' || xmp[at] == '"' || xmp[at] == '\'' || xmp[at] == '>' ||
                               xmp[at] == '\n' || xmp[at] == '\t' || xmp[at] == '\r'))
        ++at;
    const char *first = xmp.data() + at, *last = xmp.data() + xmp.size();
    double value = 0;
    auto [end, status] = std::from_chars(first, last, value);
    if (status != std::errc{} || end == first || !std::isfinite(value)) return false;
    headroom = value;
    return true;
}

} // namespace heifcodec
