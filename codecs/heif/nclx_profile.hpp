// nclx_profile.hpp: an ICC profile equivalent to an nclx colour description (primaries and transfer).
#pragma once

#include <libheif/heif.h>

#include <string>

namespace heifcodec {

// The ICC profile (bytes) of an RGB space with the nclx description's primaries, white point and
// transfer curve, built with LittleCMS; empty when the description says nothing (primaries and
// transfer both unspecified), so that the picture is taken as sRGB like any untagged one.
std::string nclx_to_icc(const heif_color_profile_nclx &nclx);

// The profile's description: "Display P3", "sRGB", "BT.709", "BT.2020", ... as a viewer names it.
std::string nclx_name(int primaries, int transfer);

} // namespace heifcodec
