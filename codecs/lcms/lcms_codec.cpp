// lcms_codec.cpp: colour profile transforms on LittleCMS at 16 bits and in float.
#include "lcms_codec.hpp"

#include <lcms2.h>

#include <string_view>
#include <utility>

namespace lcmscodec {

namespace {

// LittleCMS's error handler for one transform's context: the first message is kept (the
// context's user data is the string), later ones add nothing.
void keep_message(cmsContext context, cmsUInt32Number, const char *text) {
    auto *message = static_cast<std::string *>(cmsGetContextUserData(context));
    if (message && message->empty() && text) *message = text;
}

// A profile handle closed with its scope.
struct Profile {
    cmsHPROFILE handle = nullptr;
    Profile() = default;
    explicit Profile(cmsHPROFILE h) noexcept : handle(h) {}
    Profile(Profile &&other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
    Profile &operator=(Profile &&other) noexcept {
        std::swap(handle, other.handle);
        return *this;
    }
    ~Profile() {
        if (handle) cmsCloseProfile(handle);
    }
};

const char *space_name(cmsColorSpaceSignature space) {
    switch (space) {
    case cmsSigRgbData: return "RGB";
    case cmsSigGrayData: return "grey";
    case cmsSigCmykData: return "CMYK";
    case cmsSigLabData: return "Lab";
    case cmsSigXYZData: return "XYZ";
    case cmsSigYCbCrData: return "YCbCr";
    default: return "another";
    }
}

} // namespace

struct Transform::State {
    // The context's user data points at `message`, so State never moves once made.
    std::string message;
    cmsContext context = nullptr;
    cmsHTRANSFORM transform = nullptr;
    int out_channels = 0;
    std::size_t sample_bytes = 2;

    ~State() {
        if (transform) cmsDeleteTransform(transform);
        if (context) cmsDeleteContext(context);
    }

    [[noreturn]] void fail(std::string text) const {
        if (!message.empty()) (text += ": ") += message;
        throw Failure{std::move(text)};
    }

    // The profile in `icc`, or when empty the built-in one: sRGB, or grey on sRGB's tone
    // curve when `grey`.
    Profile open(const std::string &icc, bool grey, const char *which) const {
        if (!icc.empty()) {
            Profile p(cmsOpenProfileFromMemTHR(context, icc.data(), cmsUInt32Number(icc.size())));
            if (!p.handle) fail(std::string("the ") + which + " profile is not one LittleCMS reads");
            return p;
        }
        if (!grey) return Profile(cmsCreate_sRGBProfileTHR(context));
        // sRGB's curve: the IEC 61966-2.1 piecewise function, LittleCMS's parametric type 4.
        const cmsFloat64Number srgb[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
        cmsToneCurve *curve = cmsBuildParametricToneCurve(context, 4, srgb);
        if (!curve) fail("no tone curve for the built-in grey profile");
        Profile p(cmsCreateGrayProfileTHR(context, cmsD50_xyY(), curve));
        cmsFreeToneCurve(curve);
        if (!p.handle) fail("no built-in grey profile");
        return p;
    }
};

Transform::Transform(const std::string &source, const std::string &target, int channels, Sample sample, int intent,
                     bool black_point)
    : state_(std::make_unique<State>()) {
    State &s = *state_;
    s.context = cmsCreateContext(nullptr, &s.message);
    if (!s.context) throw Failure{"LittleCMS could not make a context"};
    cmsSetLogErrorHandlerTHR(s.context, keep_message);

    // 1. The source profile says how many colour channels a pixel has; one more is alpha.
    Profile in = s.open(source, channels <= 2, "source");
    const cmsColorSpaceSignature in_space = cmsGetColorSpace(in.handle);
    const bool float_ok = in_space == cmsSigRgbData || in_space == cmsSigGrayData;
    if (!float_ok && in_space != cmsSigCmykData)
        s.fail(std::string("a source profile of the ") + space_name(in_space) + " colour space is not converted here");
    const int colour = int(cmsChannelsOfColorSpace(in_space));
    const int extra = channels - colour;
    if (extra < 0 || extra > 1)
        s.fail(std::to_string(channels) + " channels do not fit a " + space_name(in_space) + " profile (" +
               std::to_string(colour) + ", or " + std::to_string(colour + 1) + " with alpha)");

    // 2. The target: RGB or grey (CMYK too at 16 bits); alpha follows the colour channels.
    Profile out = s.open(target, in_space == cmsSigGrayData, "target");
    const cmsColorSpaceSignature out_space = cmsGetColorSpace(out.handle);
    if (out_space != cmsSigRgbData && out_space != cmsSigGrayData && out_space != cmsSigCmykData)
        s.fail(std::string("a target profile of the ") + space_name(out_space) + " colour space is not converted to here");
    const bool is_float = sample == Sample::f32;
    // LittleCMS's float CMYK is 0-100 ink, not the pictures' 0-1: float pixels stay with RGB and grey.
    if (is_float && (!float_ok || out_space == cmsSigCmykData))
        s.fail("float pixels are converted between RGB and grey profiles only");
    s.sample_bytes = is_float ? 4 : 2;
    s.out_channels = int(cmsChannelsOfColorSpace(out_space)) + extra;

    // 3. The pixel formats, from the profiles' colour spaces at the sample size, alpha as an
    // extra channel copied across.
    const cmsUInt32Number bytes = is_float ? 4 : 2;
    const cmsUInt32Number in_format = cmsFormatterForColorspaceOfProfile(in.handle, bytes, is_float) | EXTRA_SH(extra);
    const cmsUInt32Number out_format = cmsFormatterForColorspaceOfProfile(out.handle, bytes, is_float) | EXTRA_SH(extra);
    if (!in_format || !out_format) s.fail("LittleCMS has no pixel format for these profiles");
    cmsUInt32Number flags = cmsFLAGS_NOCACHE;
    if (extra) flags |= cmsFLAGS_COPY_ALPHA;
    if (black_point) flags |= cmsFLAGS_BLACKPOINTCOMPENSATION;
    s.transform = cmsCreateTransformTHR(s.context, in.handle, in_format, out.handle, out_format,
                                        cmsUInt32Number(intent), flags);
    if (!s.transform) s.fail("LittleCMS could not convert between these profiles");
}

Transform::~Transform() = default;

int Transform::out_channels() const noexcept { return state_->out_channels; }
std::size_t Transform::sample_bytes() const noexcept { return state_->sample_bytes; }

void Transform::run(const void *in, void *out, std::uint32_t width, std::uint32_t height) const {
    if (!width || !height) return;
    const std::size_t in_channels = std::size_t(T_CHANNELS(cmsGetTransformInputFormat(state_->transform)) +
                                                T_EXTRA(cmsGetTransformInputFormat(state_->transform)));
    const std::size_t in_row = std::size_t(width) * in_channels * state_->sample_bytes;
    const std::size_t out_row = std::size_t(width) * std::size_t(state_->out_channels) * state_->sample_bytes;
    // Row by row: the strides LittleCMS takes are 32-bit, and a row always fits.
    const auto *from = static_cast<const std::uint8_t *>(in);
    auto *to = static_cast<std::uint8_t *>(out);
    for (std::uint32_t y = 0; y < height; ++y)
        cmsDoTransform(state_->transform, from + y * in_row, to + y * out_row, width);
}

} // namespace lcmscodec
