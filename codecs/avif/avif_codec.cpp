// avif_codec.cpp: AVIF reading and writing on libavif at 8, 10 and 12 bits.
//
// libavif hands the coded picture over as it is stored: the container's clean aperture (clap),
// rotation (irot) and mirror (imir) are only described. The reader applies them, in that order,
// while it copies the converted rows out, so a turned picture costs one copy and no more.
#include "avif_codec.hpp"

#include <avif/avif.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>

namespace avifcodec {
namespace {

struct DecoderFree {
    void operator()(avifDecoder *p) const noexcept { avifDecoderDestroy(p); }
};
struct EncoderFree {
    void operator()(avifEncoder *p) const noexcept { avifEncoderDestroy(p); }
};
struct ImageFree {
    void operator()(avifImage *p) const noexcept { avifImageDestroy(p); }
};
using Image = std::unique_ptr<avifImage, ImageFree>;

int threads() noexcept { return int(std::clamp(std::thread::hardware_concurrency(), 1u, 64u)); }

// ---- failures

constexpr const char truncated[] = "the AVIF file is truncated";

// The one-line failure for a decoding result: truncation by itself, anything else as damage
// with libavif's own words (its result, then its diagnostic when it gave one).
[[gnu::cold]] Failure refused(avifResult result, const avifDiagnostics &diag) {
    // Reading from memory fails only past the end of the data.
    if (result == AVIF_RESULT_TRUNCATED_DATA || result == AVIF_RESULT_IO_ERROR) return {truncated};
    if (result == AVIF_RESULT_OUT_OF_MEMORY) throw std::bad_alloc();
    std::string text = std::string("the AVIF file is damaged (") + avifResultToString(result);
    if (diag.error[0]) (text += ": ") += std::string(diag.error, strnlen(diag.error, sizeof diag.error));
    return {text + ")"};
}

[[gnu::cold]] Failure not_written(const char *what, avifResult result, const avifDiagnostics *diag) {
    std::string text = std::string("libavif could not ") + what + " (" + avifResultToString(result);
    if (diag && diag->error[0]) (text += ": ") += std::string(diag->error, strnlen(diag->error, sizeof diag->error));
    return {text + ")"};
}

// ---- orientation

// The EXIF orientation of a rotation (quarter turns counter-clockwise) followed by a mirror
// (-1 none, 0 top and bottom exchanged, 1 left and right exchanged).
int orientation_of(int angle, int axis) noexcept {
    static constexpr int table[3][4] = {{1, 8, 3, 6}, {4, 5, 2, 7}, {2, 7, 4, 5}};
    return table[axis + 1][angle & 3];
}

// The rotation and mirror that record an EXIF orientation (its inverse above).
void transforms_of(int orientation, int &angle, int &axis) noexcept {
    static constexpr int angles[9] = {0, 0, 0, 2, 0, 1, 3, 1, 1};
    static constexpr int axes[9] = {-1, -1, 1, -1, 0, 0, -1, 1, -1};
    angle = angles[orientation];
    axis = axes[orientation];
}

// ---- samples

// v from [0, from] to [0, to], rounded to nearest: the exact rule both ways between depths.
inline std::uint32_t rescale(std::uint32_t v, std::uint32_t from, std::uint32_t to) noexcept {
    return (std::min(v, from) * to + from / 2) / from;
}

// Whether the data starts an ftyp box that it does not hold whole.
bool cut_in_ftyp(const std::uint8_t *data, std::size_t size) noexcept {
    if (size < 8 || std::memcmp(data + 4, "ftyp", 4) != 0) return false;
    const std::uint32_t box = std::uint32_t(data[0]) << 24 | std::uint32_t(data[1]) << 16 | std::uint32_t(data[2]) << 8 | data[3];
    return size < box;
}

using DecoderPtr = std::unique_ptr<avifDecoder, DecoderFree>;

// A decoder over the AVIF file in `data` with its boxes parsed (sizes, depth, colour, metadata
// and transforms; no AV1 data decoded), set to decode `content` later. Throws for a file that is
// not AVIF or that libavif refuses, and (a limit error) for a primary over max_pixels (0: none).
// Files from cameras and older encoders miss boxes that strict parsing asks for (pixi, a clap
// within bounds); they are read as their makers' readers read them.
DecoderPtr parsed(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels, avifImageContentTypeFlags content) {
    const avifROData head{data, size};
    if (!avifPeekCompatibleFileType(&head)) throw Failure{cut_in_ftyp(data, size) ? truncated : "not an AVIF file"};
    DecoderPtr decoder(avifDecoderCreate());
    avifDecoder *dec = decoder.get();
    if (!dec) throw std::bad_alloc();
    dec->maxThreads = threads();
    dec->strictFlags = AVIF_STRICT_DISABLED;
    dec->imageContentToDecode = content;
    avifResult r = avifDecoderSetIOMemory(dec, data, size);
    if (r != AVIF_RESULT_OK) throw refused(r, dec->diag);
    r = avifDecoderParse(dec);
    if (r != AVIF_RESULT_OK) throw refused(r, dec->diag);
    const avifImage *image = dec->image;
    if (max_pixels && std::uint64_t(image->width) * image->height > max_pixels)
        throw Failure{std::to_string(image->width) + "x" + std::to_string(image->height) + ", more than the limit of " +
                          std::to_string(max_pixels) + " pixels",
                      true};
    return decoder;
}

} // namespace

// ---- reading

struct Reader::State {
    DecoderPtr decoder;
    Info found;
    std::uint32_t coded_width = 0, coded_height = 0;
    avifCropRect crop{};
    int angle = 0, axis = -1;
    bool alpha = false, grey = false;
};

Reader::Reader(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels) : s_(std::make_unique<State>()) {
    // 1. The boxes only, and the limit on what would be decoded.
    s_->decoder = parsed(data, size, max_pixels, AVIF_IMAGE_CONTENT_DECODE_DEFAULT);
    avifDecoder *dec = s_->decoder.get();
    const avifImage *image = dec->image;
    Info &info = s_->found;
    s_->coded_width = image->width;
    s_->coded_height = image->height;
    if (!image->width || !image->height) throw Failure{"the AVIF file is damaged (its picture has no size)"};
    if (image->depth != 8 && image->depth != 10 && image->depth != 12)
        throw Failure{"the AVIF file is damaged (a depth of " + std::to_string(image->depth) + " bits)"};
    info.bits = int(image->depth);
    s_->grey = image->yuvFormat == AVIF_PIXEL_FORMAT_YUV400;
    s_->alpha = dec->alphaPresent != AVIF_FALSE;
    info.channels = (s_->grey ? 1 : 3) + (s_->alpha ? 1 : 0);
    // 3. Colour and metadata. The Exif item's payload is handed over from its TIFF header on.
    info.icc.assign(reinterpret_cast<const char *>(image->icc.data), image->icc.size);
    info.nclx = {int(image->colorPrimaries), int(image->transferCharacteristics), int(image->matrixCoefficients),
                 image->yuvRange == AVIF_RANGE_FULL};
    if (image->exif.size) {
        std::size_t offset = 0;
        if (avifGetExifTiffHeaderOffset(image->exif.data, image->exif.size, &offset) != AVIF_RESULT_OK) offset = 0;
        info.exif.assign(reinterpret_cast<const char *>(image->exif.data) + offset, image->exif.size - offset);
    }
    info.xmp.assign(reinterpret_cast<const char *>(image->xmp.data), image->xmp.size);
    // 4. The geometry: clean aperture (a crop out of bounds is ignored, as lenient readers do),
    //    then rotation, then mirror.
    s_->crop = {0, 0, image->width, image->height};
    if (image->transformFlags & AVIF_TRANSFORM_CLAP) {
        avifCropRect crop;
        avifDiagnostics diag{};
        if (avifCropRectFromCleanApertureBox(&crop, &image->clap, image->width, image->height, &diag) && crop.width &&
            crop.height) {
            info.cropped = crop.width != image->width || crop.height != image->height;
            s_->crop = crop;
        }
    }
    if (image->transformFlags & AVIF_TRANSFORM_IROT) s_->angle = image->irot.angle & 3;
    if (image->transformFlags & AVIF_TRANSFORM_IMIR) s_->axis = image->imir.axis ? 1 : 0;
    if (s_->angle) info.transforms.push_back("rotate-" + std::to_string(90 * s_->angle));
    if (s_->axis == 0) info.transforms.emplace_back("mirror-vertical");
    if (s_->axis == 1) info.transforms.emplace_back("mirror-horizontal");
    info.orientation = orientation_of(s_->angle, s_->axis);
    const bool turned = s_->angle & 1;
    info.width = turned ? s_->crop.height : s_->crop.width;
    info.height = turned ? s_->crop.width : s_->crop.height;
}

Reader::~Reader() = default;

const Info &Reader::info() const noexcept { return s_->found; }

std::size_t Reader::pixel_bytes() const noexcept {
    const Info &i = s_->found;
    return std::size_t(i.width) * i.height * std::size_t(i.channels) * (i.bits > 8 ? 2 : 1);
}

void Reader::decode(std::uint8_t *out) {
    avifDecoder *dec = s_->decoder.get();
    const Info &info = s_->found;
    // 1. The AV1 data; the picture must be what the boxes announced, or the sizes above are wrong.
    avifResult r = avifDecoderNextImage(dec);
    if (r != AVIF_RESULT_OK) throw refused(r, dec->diag);
    const avifImage *image = dec->image;
    if (image->width != s_->coded_width || image->height != s_->coded_height || int(image->depth) != info.bits ||
        (image->yuvFormat == AVIF_PIXEL_FORMAT_YUV400) != s_->grey || (image->alphaPlane != nullptr) != s_->alpha)
        throw Failure{"the AVIF file is damaged (its AV1 picture differs from what its boxes say)"};
    // 2. To RGB (or grey) at the coded depth: straight into `out` when nothing is cut or turned.
    const bool wide = info.bits > 8;
    const std::size_t sample = wide ? 2 : 1, pixel = sample * std::size_t(info.channels);
    const bool direct = s_->angle == 0 && s_->axis < 0 && !info.cropped;
    std::vector<std::uint8_t> whole;
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, image);
    static constexpr avifRGBFormat formats[5] = {AVIF_RGB_FORMAT_RGB, AVIF_RGB_FORMAT_GRAY, AVIF_RGB_FORMAT_GRAYA,
                                                 AVIF_RGB_FORMAT_RGB, AVIF_RGB_FORMAT_RGBA};
    rgb.format = formats[info.channels];
    rgb.depth = std::uint32_t(info.bits);
    rgb.maxThreads = threads();
    // Deep pictures take libavif's own bilinear upsampling, more precise than libyuv's.
    rgb.chromaUpsampling = AVIF_CHROMA_UPSAMPLING_BEST_QUALITY;
    rgb.avoidLibYUV = wide ? AVIF_TRUE : AVIF_FALSE;
    rgb.rowBytes = std::uint32_t(pixel * image->width);
    if (direct) {
        rgb.pixels = out;
    } else {
        whole.resize(std::size_t(rgb.rowBytes) * image->height);
        rgb.pixels = whole.data();
    }
    r = avifImageYUVToRGB(image, &rgb);
    if (r == AVIF_RESULT_OUT_OF_MEMORY) throw std::bad_alloc();
    if (r != AVIF_RESULT_OK) throw not_written("convert the picture to RGB", r, nullptr);
    // 3. Deep samples to the full 16-bit range.
    if (wide) {
        const std::uint32_t top = (1u << info.bits) - 1;
        const std::size_t count = std::size_t(rgb.rowBytes / 2) * image->height;
        auto *v = reinterpret_cast<std::uint16_t *>(rgb.pixels);
        for (std::size_t i = 0; i < count; ++i) v[i] = std::uint16_t(rescale(v[i], top, 65535));
    }
    if (direct) return;
    // 4. Cut and turned: output pixel (x, y) comes from the crop's pixel at origin + x*dx + y*dy,
    //    undoing the mirror, then the rotation.
    const long long w0 = s_->crop.width, h0 = s_->crop.height, w = info.width, h = info.height;
    auto source = [&](long long x, long long y) {
        if (s_->axis == 0) y = h - 1 - y;
        if (s_->axis == 1) x = w - 1 - x;
        switch (s_->angle) {
        case 1: return std::pair{w0 - 1 - y, x};
        case 2: return std::pair{w0 - 1 - x, h0 - 1 - y};
        case 3: return std::pair{y, h0 - 1 - x};
        default: return std::pair{x, y};
        }
    };
    const auto [ox, oy] = source(0, 0);
    const auto [ax, ay] = source(1, 0);
    const auto [bx, by] = source(0, 1);
    const long long stride = rgb.rowBytes, size = (long long)pixel;
    const long long step = (ax - ox) * size + (ay - oy) * stride, down = (bx - ox) * size + (by - oy) * stride;
    const std::uint8_t *origin = whole.data() + (s_->crop.y + oy) * stride + (s_->crop.x + ox) * size;
    for (long long y = 0; y < h; ++y) {
        const std::uint8_t *src = origin + y * down;
        std::uint8_t *dst = out + std::size_t(y) * std::size_t(w) * pixel;
        for (long long x = 0; x < w; ++x, src += step, dst += pixel) std::memcpy(dst, src, pixel);
    }
}

// ---- the gain map

namespace {

// A fraction's value; false for a zero denominator.
bool value_of(const avifSignedFraction &f, double &v) {
    if (!f.d) return false;
    v = double(f.n) / double(f.d);
    return true;
}
bool value_of(const avifUnsignedFraction &f, double &v) {
    if (!f.d) return false;
    v = double(f.n) / double(f.d);
    return true;
}

} // namespace

GainMap gain_map(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels) {
    GainMap out;
    // 1. The boxes: the primary's failures and size are the file's; the map alone is decoded (the
    //    picture is read elsewhere).
    DecoderPtr decoder = parsed(data, size, max_pixels, AVIF_IMAGE_CONTENT_GAIN_MAP);
    avifDecoder *dec = decoder.get();
    const avifImage *image = dec->image;
    const avifGainMap *gm = image->gainMap;
    if (!gm) return out;
    out.found = true;
    // 2. The metadata, every fraction with a denominator.
    bool whole = value_of(gm->baseHdrHeadroom, out.base_headroom) && value_of(gm->alternateHdrHeadroom, out.alternate_headroom);
    for (int c = 0; c < 3; ++c)
        whole = whole && value_of(gm->gainMapMin[c], out.min[c]) && value_of(gm->gainMapMax[c], out.max[c]) &&
                value_of(gm->gainMapGamma[c], out.gamma[c]) && value_of(gm->baseOffset[c], out.base_offset[c]) &&
                value_of(gm->alternateOffset[c], out.alternate_offset[c]);
    out.use_base_colour_space = gm->useBaseColorSpace != AVIF_FALSE;
    if (!whole) {
        out.error = "its tone-map metadata divides by zero";
        return out;
    }
    // 3. Its pixels: the size checked against the limit before they are decoded where the boxes
    //    give it, and after in any case.
    auto over = [&](std::uint32_t w, std::uint32_t h) {
        if (!max_pixels || std::uint64_t(w) * h <= max_pixels) return false;
        out.error = "the gain map's " + std::to_string(w) + "x" + std::to_string(h) + " is more than " +
                    std::to_string(max_pixels) + " pixels";
        return true;
    };
    if (gm->image && over(gm->image->width, gm->image->height)) return out;
    avifResult r = avifDecoderNextImage(dec);
    const avifImage *map = dec->image->gainMap ? dec->image->gainMap->image : nullptr;
    if (r != AVIF_RESULT_OK || !map || !map->yuvPlanes[AVIF_CHAN_Y] || !map->width || !map->height) {
        out.error = "the gain map cannot be decoded";
        if (r != AVIF_RESULT_OK) out.error += std::string(" (") + avifResultToString(r) + ")";
        return out;
    }
    if (over(map->width, map->height)) return out;
    out.width = map->width;
    out.height = map->height;
    out.channels = map->yuvFormat == AVIF_PIXEL_FORMAT_YUV400 ? 1 : 3;
    std::string pixels(std::size_t(out.width) * out.height * std::size_t(out.channels), '\0');
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, map);
    rgb.format = out.channels == 1 ? AVIF_RGB_FORMAT_GRAY : AVIF_RGB_FORMAT_RGB;
    rgb.depth = 8;
    rgb.pixels = reinterpret_cast<std::uint8_t *>(pixels.data());
    rgb.rowBytes = out.width * std::uint32_t(out.channels);
    r = avifImageYUVToRGB(map, &rgb);
    if (r == AVIF_RESULT_OUT_OF_MEMORY) throw std::bad_alloc();
    if (r != AVIF_RESULT_OK) {
        out.error = std::string("the gain map cannot be converted (") + avifResultToString(r) + ")";
        return out;
    }
    out.pixels = std::move(pixels);
    return out;
}

// ---- writing

namespace {

// The gain map as libavif stores it: 8-bit YUV (grey as 4:0:0, RGB as 4:4:4 full range), with
// its metadata as fractions.
avifGainMap *gain_map_of(const GainMap &gain) {
    std::unique_ptr<avifGainMap, void (*)(avifGainMap *)> gm(avifGainMapCreate(), avifGainMapDestroy);
    if (!gm) throw std::bad_alloc();
    const bool grey = gain.channels == 1;
    gm->image = avifImageCreate(gain.width, gain.height, 8, grey ? AVIF_PIXEL_FORMAT_YUV400 : AVIF_PIXEL_FORMAT_YUV444);
    if (!gm->image) throw std::bad_alloc();
    gm->image->yuvRange = AVIF_RANGE_FULL;
    gm->image->colorPrimaries = AVIF_COLOR_PRIMARIES_UNSPECIFIED;
    gm->image->transferCharacteristics = AVIF_TRANSFER_CHARACTERISTICS_UNSPECIFIED;
    gm->image->matrixCoefficients = grey ? AVIF_MATRIX_COEFFICIENTS_UNSPECIFIED : AVIF_MATRIX_COEFFICIENTS_BT601;
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, gm->image);
    rgb.format = grey ? AVIF_RGB_FORMAT_GRAY : AVIF_RGB_FORMAT_RGB;
    rgb.depth = 8;
    rgb.pixels = reinterpret_cast<std::uint8_t *>(const_cast<char *>(gain.pixels.data()));
    rgb.rowBytes = gain.width * std::uint32_t(gain.channels);
    avifResult r = avifImageRGBToYUV(gm->image, &rgb);
    if (r == AVIF_RESULT_OUT_OF_MEMORY) throw std::bad_alloc();
    if (r != AVIF_RESULT_OK) throw not_written("convert the gain map to YUV", r, nullptr);
    bool fits = avifDoubleToUnsignedFraction(gain.base_headroom, &gm->baseHdrHeadroom) &&
                avifDoubleToUnsignedFraction(gain.alternate_headroom, &gm->alternateHdrHeadroom);
    for (int c = 0; c < 3; ++c)
        fits = fits && avifDoubleToSignedFraction(gain.min[c], &gm->gainMapMin[c]) &&
               avifDoubleToSignedFraction(gain.max[c], &gm->gainMapMax[c]) &&
               avifDoubleToUnsignedFraction(gain.gamma[c], &gm->gainMapGamma[c]) &&
               avifDoubleToSignedFraction(gain.base_offset[c], &gm->baseOffset[c]) &&
               avifDoubleToSignedFraction(gain.alternate_offset[c], &gm->alternateOffset[c]);
    if (!fits) throw Failure{"the gain map's metadata does not fit ISO 21496-1's fractions"};
    gm->useBaseColorSpace = gain.use_base_colour_space ? AVIF_TRUE : AVIF_FALSE;
    return gm.release();
}

} // namespace

std::string write(const Picture &picture, const WriteOptions &options) {
    const bool grey = picture.channels <= 2, alpha = picture.channels == 2 || picture.channels == 4;
    const bool lossless = options.quality >= AVIF_QUALITY_LOSSLESS;
    const avifPixelFormat format = grey ? AVIF_PIXEL_FORMAT_YUV400
                                        : options.subsample ? AVIF_PIXEL_FORMAT_YUV420 : AVIF_PIXEL_FORMAT_YUV444;
    Image image(avifImageCreate(picture.width, picture.height, std::uint32_t(options.depth), format));
    if (!image) throw std::bad_alloc();
    // 1. Colour: the profile as given; the nclx as given, else sRGB (primaries and curve left
    //    unspecified beside a profile). Lossless RGB is coded as it is (identity matrix).
    image->yuvRange = AVIF_RANGE_FULL;
    Nclx nclx = options.has_nclx ? options.nclx : options.icc.empty() ? Nclx{1, 13, 6, true} : Nclx{2, 2, 6, true};
    if (lossless && format == AVIF_PIXEL_FORMAT_YUV444) nclx.matrix = AVIF_MATRIX_COEFFICIENTS_IDENTITY;
    image->colorPrimaries = avifColorPrimaries(nclx.primaries);
    image->transferCharacteristics = avifTransferCharacteristics(nclx.transfer);
    image->matrixCoefficients = avifMatrixCoefficients(nclx.matrix);
    auto ok = [](avifResult r, const char *what) {
        if (r == AVIF_RESULT_OUT_OF_MEMORY) throw std::bad_alloc();
        if (r != AVIF_RESULT_OK) throw not_written(what, r, nullptr);
    };
    if (!options.icc.empty())
        ok(avifImageSetProfileICC(image.get(), reinterpret_cast<const std::uint8_t *>(options.icc.data()), options.icc.size()),
           "store the ICC profile");
    // 2. Metadata. libavif turns an EXIF orientation into irot/imir; the orientation asked for
    //    replaces it, in the boxes and in the EXIF tag alike, so that every reader turns alike.
    std::string_view exif(options.exif);
    if (exif.starts_with(std::string_view("Exif\0\0", 6))) exif.remove_prefix(6);
    if (!exif.empty())
        ok(avifImageSetMetadataExif(image.get(), reinterpret_cast<const std::uint8_t *>(exif.data()), exif.size()),
           "store the EXIF block");
    if (!options.xmp.empty())
        ok(avifImageSetMetadataXMP(image.get(), reinterpret_cast<const std::uint8_t *>(options.xmp.data()), options.xmp.size()),
           "store the XMP packet");
    int angle = 0, axis = -1;
    transforms_of(std::clamp(options.orientation, 1, 8), angle, axis);
    image->transformFlags &= ~avifTransformFlags(AVIF_TRANSFORM_IROT | AVIF_TRANSFORM_IMIR);
    if (angle) {
        image->transformFlags |= AVIF_TRANSFORM_IROT;
        image->irot.angle = std::uint8_t(angle);
    }
    if (axis >= 0) {
        image->transformFlags |= AVIF_TRANSFORM_IMIR;
        image->imir.axis = std::uint8_t(axis);
    }
    std::size_t at = 0;
    if (image->exif.size && avifGetExifOrientationOffset(image->exif.data, image->exif.size, &at) == AVIF_RESULT_OK &&
        at < image->exif.size)
        image->exif.data[at] = std::uint8_t(std::clamp(options.orientation, 1, 8));
    // 3. The samples at the file's depth (rounded to nearest), then to YUV.
    const std::uint32_t from = picture.bits == 8 ? 255 : 65535, to = (1u << options.depth) - 1;
    const std::size_t count = std::size_t(picture.width) * picture.height * std::size_t(picture.channels);
    auto in = [&](std::size_t i) -> std::uint32_t {
        if (picture.bits == 8) return picture.pixels[i];
        std::uint16_t v;
        std::memcpy(&v, picture.pixels + 2 * i, 2);
        return v;
    };
    std::vector<std::uint8_t> scaled(count * (options.depth > 8 ? 2 : 1));
    if (options.depth > 8) {
        for (std::size_t i = 0; i < count; ++i) {
            const auto v = std::uint16_t(rescale(in(i), from, to));
            std::memcpy(scaled.data() + 2 * i, &v, 2);
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) scaled[i] = std::uint8_t(rescale(in(i), from, to));
    }
    if (grey) {
        // Y is the grey itself (full range, R = G = B); alpha is always full range.
        ok(avifImageAllocatePlanes(image.get(), alpha ? AVIF_PLANES_ALL : AVIF_PLANES_YUV), "make the planes");
        const std::size_t sample = options.depth > 8 ? 2 : 1, pixel = sample * std::size_t(picture.channels);
        for (std::uint32_t y = 0; y < picture.height; ++y) {
            const std::uint8_t *src = scaled.data() + std::size_t(y) * picture.width * pixel;
            std::uint8_t *luma = image->yuvPlanes[AVIF_CHAN_Y] + std::size_t(y) * image->yuvRowBytes[AVIF_CHAN_Y];
            std::uint8_t *a = alpha ? image->alphaPlane + std::size_t(y) * image->alphaRowBytes : nullptr;
            for (std::uint32_t x = 0; x < picture.width; ++x, src += pixel) {
                std::memcpy(luma + x * sample, src, sample);
                if (a) std::memcpy(a + x * sample, src + sample, sample);
            }
        }
    } else {
        avifRGBImage rgb;
        avifRGBImageSetDefaults(&rgb, image.get());
        rgb.format = alpha ? AVIF_RGB_FORMAT_RGBA : AVIF_RGB_FORMAT_RGB;
        rgb.depth = std::uint32_t(options.depth);
        rgb.chromaDownsampling = AVIF_CHROMA_DOWNSAMPLING_BEST_QUALITY;
        rgb.avoidLibYUV = options.depth > 8 ? AVIF_TRUE : AVIF_FALSE;
        rgb.pixels = scaled.data();
        rgb.rowBytes = std::uint32_t(std::size_t(picture.width) * picture.channels * (options.depth > 8 ? 2 : 1));
        ok(avifImageRGBToYUV(image.get(), &rgb), "convert the picture to YUV");
    }
    std::vector<std::uint8_t>().swap(scaled);
    // 4. The gain map, owned by the image from here.
    if (options.gain) image->gainMap = gain_map_of(*options.gain);
    // 5. AV1 at the quality and speed asked for.
    std::unique_ptr<avifEncoder, EncoderFree> encoder(avifEncoderCreate());
    if (!encoder) throw std::bad_alloc();
    encoder->maxThreads = threads();
    encoder->speed = std::clamp(options.speed, AVIF_SPEED_SLOWEST, AVIF_SPEED_FASTEST);
    encoder->quality = encoder->qualityAlpha = encoder->qualityGainMap = std::clamp(options.quality, 0, 100);
    avifRWData output = AVIF_DATA_EMPTY;
    const avifResult r = avifEncoderWrite(encoder.get(), image.get(), &output);
    if (r == AVIF_RESULT_OUT_OF_MEMORY) throw std::bad_alloc();
    if (r != AVIF_RESULT_OK) throw not_written("encode the picture", r, &encoder->diag);
    std::string file;
    try {
        file.assign(reinterpret_cast<const char *>(output.data), output.size);
    } catch (...) {
        avifRWDataFree(&output);
        throw;
    }
    avifRWDataFree(&output);
    return file;
}

std::string codecs() {
    char text[256] = {};
    avifCodecVersions(text);
    return text;
}

bool can_encode() { return avifCodecName(AVIF_CODEC_CHOICE_AUTO, AVIF_CODEC_FLAG_CAN_ENCODE) != nullptr; }

} // namespace avifcodec
