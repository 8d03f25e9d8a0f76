// nclx_profile.cpp: an nclx colour description turned into an equivalent ICC profile with LittleCMS.
#include "nclx_profile.hpp"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

namespace heifcodec {
namespace {

struct ProfileClose {
    void operator()(cmsHPROFILE p) const noexcept { cmsCloseProfile(p); }
};
struct CurveFree {
    void operator()(cmsToneCurve *c) const noexcept { cmsFreeToneCurve(c); }
};
struct MluFree {
    void operator()(cmsMLU *m) const noexcept { cmsMLUfree(m); }
};
using Profile = std::unique_ptr<void, ProfileClose>;
using Curve = std::unique_ptr<cmsToneCurve, CurveFree>;
using Mlu = std::unique_ptr<cmsMLU, MluFree>;

// ITU-T H.273 transfer characteristics the profile can describe.
enum Transfer { bt709 = 1, unspecified = 2, gamma22 = 4, gamma28 = 5, smpte170m = 6, linear = 8, srgb = 13,
                bt2020_10 = 14, bt2020_12 = 15, pq = 16, hlg = 18 };

// The decoding curve (signal to linear light) of an H.273 transfer characteristic.
// 1. Curves with a closed form are LittleCMS parametric curves of type 4,
//    Y = (aX + b)^g for X >= d, else cX (the BT.709 family and sRGB), or plain gammas.
// 2. PQ and HLG are HDR curves: they are tabulated and scaled so that their reference white
//    (203 cd/m2 for PQ, a signal of 0.75 for HLG) is the profile's white; brighter values clip.
// 3. An unknown curve is taken as sRGB's, which is what viewers assume of an untagged picture.
Curve transfer_curve(int transfer) {
    auto parametric = [](const std::vector<double> &p) {
        return Curve(cmsBuildParametricToneCurve(nullptr, p.size() == 1 ? 1 : 4, p.data()));
    };
    switch (transfer) {
    case bt709: case smpte170m: case bt2020_10: case bt2020_12:
        return parametric({1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081});
    case gamma22: return parametric({2.2});
    case gamma28: return parametric({2.8});
    case linear: return parametric({1.0});
    case pq: case hlg: {
        constexpr int points = 4096;
        std::vector<float> table(points);
        for (int i = 0; i < points; ++i) {
            double x = double(i) / (points - 1), y;
            if (transfer == pq) {
                constexpr double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128, c1 = 3424.0 / 4096,
                                 c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
                double p = std::pow(x, 1 / m2);
                y = std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1 / m1) * 10000 / 203;
            } else {
                constexpr double a = 0.17883277, b = 1 - 4 * a, c = 0.55991073;
                auto inverse = [&](double v) { return v <= 0.5 ? v * v / 3 : (std::exp((v - c) / a) + b) / 12; };
                y = inverse(x) / inverse(0.75);
            }
            table[std::size_t(i)] = float(std::min(y, 1.0));
        }
        return Curve(cmsBuildTabulatedToneCurveFloat(nullptr, points, table.data()));
    }
    default:
        return parametric({2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045});
    }
}

} // namespace

std::string nclx_name(int primaries, int transfer) {
    const char *space = nullptr;
    switch (primaries) {
    case 1: space = transfer == srgb || transfer == unspecified ? "sRGB" : "BT.709"; break;
    case 9: space = "BT.2020"; break;
    case 11: space = "DCI-P3"; break;
    case 12: space = "Display P3"; break;
    default: break;
    }
    std::string name = space ? space : "nclx primaries " + std::to_string(primaries);
    if (transfer == pq) name += " PQ";
    else if (transfer == hlg) name += " HLG";
    else if (transfer == linear) name += " linear";
    else if (!space) name += ", transfer " + std::to_string(transfer);
    return name + " (from nclx)";
}

std::string nclx_to_icc(const heif_color_profile_nclx &nclx) {
    int primaries = int(nclx.color_primaries), transfer = int(nclx.transfer_characteristics);
    if (primaries == 2 && transfer == unspecified) return {};
    // 1. The space: white point and primaries as libheif decoded them from the description.
    cmsCIExyY white{nclx.color_primary_white_x, nclx.color_primary_white_y, 1.0};
    cmsCIExyYTRIPLE rgb{{nclx.color_primary_red_x, nclx.color_primary_red_y, 1.0},
                        {nclx.color_primary_green_x, nclx.color_primary_green_y, 1.0},
                        {nclx.color_primary_blue_x, nclx.color_primary_blue_y, 1.0}};
    if (!(white.y > 0) || !(rgb.Red.y > 0) || !(rgb.Green.y > 0) || !(rgb.Blue.y > 0)) return {};
    // 2. The same curve for the three channels.
    Curve curve = transfer_curve(transfer);
    if (!curve) throw std::bad_alloc();
    cmsToneCurve *curves[3] = {curve.get(), curve.get(), curve.get()};
    Profile profile(cmsCreateRGBProfile(&white, &rgb, curves));
    if (!profile) return {};
    // 3. A description a viewer (and `info`) shows, then the profile as bytes.
    Mlu text(cmsMLUalloc(nullptr, 1));
    if (!text) throw std::bad_alloc();
    std::string name = nclx_name(primaries, transfer);
    cmsMLUsetASCII(text.get(), "en", "US", name.c_str());
    cmsWriteTag(profile.get(), cmsSigProfileDescriptionTag, text.get());
    cmsMLUsetASCII(text.get(), "en", "US", "No copyright, use freely");
    cmsWriteTag(profile.get(), cmsSigCopyrightTag, text.get());
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(profile.get(), nullptr, &size) || size == 0) return {};
    std::string bytes(size, '\0');
    if (!cmsSaveProfileToMem(profile.get(), bytes.data(), &size)) return {};
    bytes.resize(size);
    return bytes;
}

} // namespace heifcodec
