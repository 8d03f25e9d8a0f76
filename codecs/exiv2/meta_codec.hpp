// meta_codec.hpp: a file's EXIF, IPTC and XMP read, sorted into groups and edited field by field with libexiv2, in memory, free of the interpreter (runs without the GIL).
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace metacodec {

// libexiv2 cannot open the file at all (not a format it knows), or cannot write this format.
struct Failure {
    std::string message;
};

// What a field is about. Every field belongs to exactly one unit; the units are the groups
// people ask for, except that serial numbers are a unit of their own inside `camera`, so that
// they can be dropped while make and model stay.
enum Unit : int {
    location,
    camera,
    serial,
    capture,
    people,
    rights,
    maker_notes,
    thumbnail,
    icc,
    picture,  // how the pixels are shown: orientation, resolution, colour space, EXIF version
    other,
    unit_count,
};
using Units = std::bitset<unit_count>;

// The name of each unit, as keep and drop take them ("maker-notes", ...).
inline constexpr std::array<std::string_view, unit_count> unit_names = {
    "location", "camera", "serial", "capture", "people", "rights", "maker-notes", "thumbnail", "icc", "picture", "other",
};
// The group a unit is listed under: a serial number is a camera field.
constexpr Unit group_of(Unit u) noexcept { return u == serial ? camera : u; }

// The unit of a metadata key ("Exif.GPSInfo.GPSLatitude", "Xmp.dc.creator", "Iptc.Application2.City", ...).
Unit classify(std::string_view key);

// One field as the file holds it: the ICC profile is the field "Icc.Profile", a JPEG comment "Comment".
struct Field {
    std::string key, value, type;
    Unit unit;
};

// Every field of the file, in the file's order (EXIF, IPTC, XMP, then the profile and the comment);
// `warnings`: libexiv2's own messages, and what could not be read.
struct Fields {
    std::vector<Field> fields;
    std::vector<std::string> warnings;
};
Fields fields(const std::uint8_t *data, std::size_t size);

// The same file without the fields of the `removed` units (the pixels and every other part
// copied as they are). A block that cannot be read is left out and said in `warnings`.
struct Edited {
    std::string data;
    std::vector<std::string> warnings;
};
Edited edit(const std::uint8_t *data, std::size_t size, Units removed);

// An EXIF block (with or without JPEG's "Exif\0\0" marker, given back the same way) made to
// fit in `limit` bytes. `data` is nullopt when nothing of it fits or it cannot be read;
// `dropped` names what was left out: "thumbnail", "maker-notes", then each further key.
struct Fitted {
    std::optional<std::string> data;
    std::vector<std::string> dropped;
    std::vector<std::string> warnings;
};
Fitted fit_exif(const std::uint8_t *data, std::size_t size, std::size_t limit);

// IPTC records as a JPEG's Photoshop block (resource 0x0404) or a TIFF's tag 33723 hold them
// (IIM datasets, no wrapping), without the fields of the `removed` units: `data` is nullopt when
// no field is left, or when the records cannot be read (said in `warnings`).
struct EditedIptc {
    std::optional<std::string> data;
    std::vector<std::string> warnings;
};
EditedIptc edit_iptc(const std::uint8_t *data, std::size_t size, Units removed);

// The XMP packet `xmp` (empty: none) with the fields of the IPTC records `iptc` added as the
// XMP properties libexiv2 maps them to (City as photoshop:City, By-line as dc:creator, ...),
// for a format that holds XMP and no IPTC. A property the packet has already stays as it is.
// `data` is nullopt when nothing was added (the packet stays as it was); a packet or records
// that cannot be read add nothing and are said in `warnings`.
struct Merged {
    std::optional<std::string> data;
    std::vector<std::string> warnings;
};
Merged iptc_into_xmp(const std::uint8_t *iptc, std::size_t iptc_size, const std::uint8_t *xmp, std::size_t xmp_size);

// Sets up libexiv2 once per process: its messages taken from standard error into each call's
// warnings, and the XMP toolkit made safe for calls on several threads.
void initialize();

// libexiv2's version, "0.28.9".
std::string library_version();

} // namespace metacodec
