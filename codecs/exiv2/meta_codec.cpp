// meta_codec.cpp: metadata by group on libexiv2: the group table, reading, editing, and EXIF cut down to a size.
#include "meta_codec.hpp"

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <mutex>
#include <new>
#include <utility>

namespace metacodec {

namespace {

// ---- libexiv2's messages, taken per call

// The warnings of the call running on this thread (null: none is listening, the message goes nowhere).
thread_local std::vector<std::string> *sink = nullptr;
constexpr std::size_t max_warnings = 64;

// libexiv2's message handler: a line for the listening call, never standard error. A message
// repeated (one per damaged entry, say) is kept once.
void on_message(int, const char *text) noexcept {
    if (!sink || !text) return;
    try {
        std::string line;
        for (const char *c = text; *c; ++c) line += (*c == '\n' || *c == '\r') ? ' ' : *c;
        while (!line.empty() && line.back() == ' ') line.pop_back();
        if (line.empty() || sink->size() >= max_warnings) return;
        if (std::find(sink->begin(), sink->end(), line) == sink->end()) sink->push_back(std::move(line));
    } catch (...) {  // a message lost rather than an exception through libexiv2
    }
}

// Routes libexiv2's messages to `lines` for the life of the scope.
class Capture {
public:
    explicit Capture(std::vector<std::string> &lines) noexcept : previous_(std::exchange(sink, &lines)) {}
    ~Capture() { sink = previous_; }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

private:
    std::vector<std::string> *previous_;
};

std::recursive_mutex xmp_mutex;

void lock_xmp(void *, bool lock) noexcept {
    if (lock) xmp_mutex.lock();
    else xmp_mutex.unlock();
}

// ---- the group table

// One rule: a key, or a key prefix ending in '*'. A plain key also covers the parts of an XMP
// structure or array under it ("Xmp.iptcExt.LocationCreated[1]/Iptc4xmpExt:City").
struct Rule {
    std::string_view pattern;
    Unit unit;
};

// The first rule that matches decides; a key no rule names is `other`. Exif keys of a maker's
// own group (Exif.Canon.*, Exif.Nikon3.*: maker notes libexiv2 decodes) are maker notes before
// any rule is read.
constexpr Rule rules[] = {
    // maker notes and thumbnails (the second EXIF directory; XMP's embedded previews)
    {"Exif.Photo.MakerNote", maker_notes},
    {"Exif.MakerNote.*", maker_notes},
    {"Exif.Thumbnail.*", thumbnail},
    {"Xmp.xmp.Thumbnails", thumbnail},
    // location: GPS in EXIF and XMP, place names in XMP and IPTC
    {"Exif.GPSInfo.*", location},
    {"Exif.Image.GPSTag", location},
    {"Xmp.exif.GPS*", location},
    {"Xmp.photoshop.City", location},
    {"Xmp.photoshop.State", location},
    {"Xmp.photoshop.Country", location},
    {"Xmp.iptc.Location", location},
    {"Xmp.iptc.CountryCode", location},
    {"Xmp.iptcExt.LocationCreated", location},
    {"Xmp.iptcExt.LocationShown", location},
    {"Iptc.Application2.City", location},
    {"Iptc.Application2.SubLocation", location},
    {"Iptc.Application2.ProvinceState", location},
    {"Iptc.Application2.ProvinceCode", location},
    {"Iptc.Application2.CountryCode", location},
    {"Iptc.Application2.CountryName", location},
    {"Iptc.Application2.LocationCode", location},
    {"Iptc.Application2.LocationName", location},
    // serial numbers of bodies and lenses
    {"Exif.Image.CameraSerialNumber", serial},
    {"Exif.Photo.BodySerialNumber", serial},
    {"Exif.Photo.LensSerialNumber", serial},
    {"Xmp.aux.SerialNumber", serial},
    {"Xmp.aux.LensSerialNumber", serial},
    {"Xmp.exifEX.BodySerialNumber", serial},
    {"Xmp.exifEX.LensSerialNumber", serial},
    // people: who made the picture, who owns the camera, who is in it
    {"Exif.Image.Artist", people},
    {"Exif.Image.XPAuthor", people},
    {"Exif.Photo.CameraOwnerName", people},
    {"Xmp.exifEX.CameraOwnerName", people},
    {"Xmp.aux.OwnerName", people},
    {"Xmp.dc.creator", people},
    {"Xmp.tiff.Artist", people},
    {"Xmp.photoshop.AuthorsPosition", people},
    {"Xmp.photoshop.CaptionWriter", people},
    {"Xmp.iptc.CreatorContactInfo", people},
    {"Xmp.iptcExt.PersonInImage*", people},
    {"Xmp.mwg-rs.*", people},
    {"Xmp.MP.RegionInfo", people},
    {"Iptc.Application2.Byline", people},
    {"Iptc.Application2.BylineTitle", people},
    {"Iptc.Application2.Writer", people},
    {"Iptc.Application2.Contact", people},
    // rights: copyright, licence, credit
    {"Exif.Image.Copyright", rights},
    {"Xmp.dc.rights", rights},
    {"Xmp.tiff.Copyright", rights},
    {"Xmp.xmpRights.*", rights},
    {"Xmp.plus.*", rights},
    {"Xmp.cc.*", rights},
    {"Xmp.photoshop.Credit", rights},
    {"Xmp.photoshop.Source", rights},
    {"Iptc.Application2.Copyright", rights},
    {"Iptc.Application2.Credit", rights},
    {"Iptc.Application2.Source", rights},
    // the colour profile, in a TIFF's tag or named in XMP
    {"Exif.Image.InterColorProfile", icc},
    {"Xmp.photoshop.ICCProfile", icc},
    // how the pixels are shown
    {"Exif.Image.Orientation", picture},
    {"Exif.Image.XResolution", picture},
    {"Exif.Image.YResolution", picture},
    {"Exif.Image.ResolutionUnit", picture},
    {"Exif.Image.YCbCr*", picture},
    {"Exif.Image.ReferenceBlackWhite", picture},
    {"Exif.Image.WhitePoint", picture},
    {"Exif.Image.PrimaryChromaticities", picture},
    {"Exif.Image.TransferFunction", picture},
    {"Exif.Image.ExifTag", picture},
    {"Exif.Photo.ExifVersion", picture},
    {"Exif.Photo.FlashpixVersion", picture},
    {"Exif.Photo.ColorSpace", picture},
    {"Exif.Photo.ComponentsConfiguration", picture},
    {"Exif.Photo.Gamma", picture},
    {"Exif.Photo.PixelXDimension", picture},
    {"Exif.Photo.PixelYDimension", picture},
    {"Exif.Photo.InteroperabilityTag", picture},
    {"Exif.Iop.*", picture},
    {"Xmp.tiff.Orientation", picture},
    {"Xmp.tiff.XResolution", picture},
    {"Xmp.tiff.YResolution", picture},
    {"Xmp.tiff.ResolutionUnit", picture},
    {"Xmp.tiff.YCbCr*", picture},
    {"Xmp.tiff.ImageWidth", picture},
    {"Xmp.tiff.ImageLength", picture},
    {"Xmp.tiff.BitsPerSample", picture},
    {"Xmp.tiff.Compression", picture},
    {"Xmp.tiff.PhotometricInterpretation", picture},
    {"Xmp.tiff.SamplesPerPixel", picture},
    {"Xmp.tiff.PlanarConfiguration", picture},
    {"Xmp.exif.ExifVersion", picture},
    {"Xmp.exif.FlashpixVersion", picture},
    {"Xmp.exif.ColorSpace", picture},
    {"Xmp.exif.ComponentsConfiguration", picture},
    {"Xmp.exif.PixelXDimension", picture},
    {"Xmp.exif.PixelYDimension", picture},
    {"Xmp.photoshop.ColorMode", picture},
    // how an IPTC block's text is read (its character set and the version of its records)
    {"Iptc.Envelope.CharacterSet", picture},
    {"Iptc.Envelope.ModelVersion", picture},
    {"Iptc.Application2.RecordVersion", picture},
    // a TIFF's own layout (libexiv2 keeps it in a TIFF whatever is removed)
    {"Exif.Image.NewSubfileType", picture},
    {"Exif.Image.SubfileType", picture},
    {"Exif.Image.ImageWidth", picture},
    {"Exif.Image.ImageLength", picture},
    {"Exif.Image.BitsPerSample", picture},
    {"Exif.Image.Compression", picture},
    {"Exif.Image.PhotometricInterpretation", picture},
    {"Exif.Image.FillOrder", picture},
    {"Exif.Image.StripOffsets", picture},
    {"Exif.Image.SamplesPerPixel", picture},
    {"Exif.Image.RowsPerStrip", picture},
    {"Exif.Image.StripByteCounts", picture},
    {"Exif.Image.PlanarConfiguration", picture},
    {"Exif.Image.Predictor", picture},
    {"Exif.Image.Tile*", picture},
    {"Exif.Image.ExtraSamples", picture},
    {"Exif.Image.SampleFormat", picture},
    {"Exif.Image.JPEGTables", picture},
    {"Exif.Image.SubIFDs", picture},
    // camera: make, model, lens (the rest of XMP's aux namespace is the camera's too)
    {"Exif.Image.Make", camera},
    {"Exif.Image.Model", camera},
    {"Exif.Image.UniqueCameraModel", camera},
    {"Exif.Image.LocalizedCameraModel", camera},
    {"Exif.Image.LensInfo", camera},
    {"Exif.Photo.LensMake", camera},
    {"Exif.Photo.LensModel", camera},
    {"Exif.Photo.LensSpec*", camera},
    {"Xmp.tiff.Make", camera},
    {"Xmp.tiff.Model", camera},
    {"Xmp.exifEX.LensMake", camera},
    {"Xmp.exifEX.LensModel", camera},
    {"Xmp.exifEX.LensSpec*", camera},
    {"Xmp.aux.*", camera},
    // capture: dates and exposure (what EXIF's own directory holds, but for the above)
    {"Exif.Photo.UserComment", other},
    {"Exif.Photo.ImageUniqueID", other},
    {"Exif.Photo.*", capture},
    {"Exif.Image.DateTime*", capture},
    {"Exif.Image.ExposureTime", capture},
    {"Exif.Image.FNumber", capture},
    {"Exif.Image.ExposureProgram", capture},
    {"Exif.Image.ISOSpeedRatings", capture},
    {"Exif.Image.ExposureBiasValue", capture},
    {"Exif.Image.FocalLength", capture},
    {"Exif.Image.Flash", capture},
    {"Exif.Image.MeteringMode", capture},
    {"Xmp.exif.UserComment", other},
    {"Xmp.exif.ImageUniqueID", other},
    {"Xmp.exif.NativeDigest", other},
    {"Xmp.exif.*", capture},
    {"Xmp.exifEX.*", capture},
    {"Xmp.xmp.CreateDate", capture},
    {"Xmp.xmp.ModifyDate", capture},
    {"Xmp.xmp.MetadataDate", capture},
    {"Xmp.tiff.DateTime", capture},
    {"Xmp.photoshop.DateCreated", capture},
    {"Iptc.Application2.DateCreated", capture},
    {"Iptc.Application2.TimeCreated", capture},
    {"Iptc.Application2.DigitizationDate", capture},
    {"Iptc.Application2.DigitizationTime", capture},
};

bool matches(std::string_view pattern, std::string_view key) noexcept {
    if (pattern.ends_with('*')) return key.starts_with(pattern.substr(0, pattern.size() - 1));
    if (!key.starts_with(pattern)) return false;
    return key.size() == pattern.size() || key[pattern.size()] == '[' || key[pattern.size()] == '/';
}

// ---- opening a file in memory

Exiv2::Image::UniquePtr open(const std::uint8_t *data, std::size_t size) {
    try {
        auto image = Exiv2::ImageFactory::open(data, size);
        if (image) return image;
    } catch (const Exiv2::Error &e) {
        throw Failure{std::string("libexiv2 cannot read this file: ") + e.what()};
    }
    throw Failure{"libexiv2 cannot read this file"};
}

// Reads what can be read. A block libexiv2 refuses outright is left out (what was read before it
// stays) and said in the warnings: a damaged block never costs the picture.
void read_metadata(Exiv2::Image &image, std::vector<std::string> &warnings) {
    try {
        image.readMetadata();
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &e) {
        warnings.push_back(std::string("metadata that cannot be read was left out: ") + e.what());
    }
}

// ---- field values as text

constexpr std::size_t max_text = 1024;

std::uint32_t be32(const std::uint8_t *p) noexcept {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

void put_utf8(std::string &out, std::uint32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6), out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | c >> 12), out += char(0x80 | (c >> 6 & 0x3F)), out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | c >> 18), out += char(0x80 | (c >> 12 & 0x3F));
        out += char(0x80 | (c >> 6 & 0x3F)), out += char(0x80 | (c & 0x3F));
    }
}

// The name an ICC profile gives itself: its 'desc' tag, ICC v2 ('desc', ASCII) or v4 ('mluc',
// the first record, UTF-16BE). Empty when there is none or the profile is damaged.
std::string icc_description(const std::uint8_t *p, std::size_t n) {
    if (n < 132) return {};
    const std::uint32_t count = be32(p + 128);
    for (std::size_t i = 0; i < count && 132 + 12 * (i + 1) <= n; ++i) {
        const std::uint8_t *entry = p + 132 + 12 * i;
        const std::size_t off = be32(entry + 4), len = be32(entry + 8);
        if (be32(entry) != 0x64657363 /* desc */) continue;
        if (off > n || len > n - off || len < 16) return {};
        const std::uint8_t *t = p + off;
        std::string text;
        if (be32(t) == 0x64657363) {
            const std::size_t chars = std::min<std::size_t>(be32(t + 8), len - 12);
            for (std::size_t k = 0; k < chars && t[12 + k]; ++k) text += char(t[12 + k]);
        } else if (be32(t) == 0x6D6C7563 /* mluc */ && len >= 28 && be32(t + 8) > 0) {
            const std::size_t bytes = be32(t + 20), at = be32(t + 24);
            if (at > len || bytes > len - at) return {};
            for (std::size_t k = 0; k + 1 < bytes; k += 2) {
                std::uint32_t c = std::uint32_t(t[at + k]) << 8 | t[at + k + 1];
                if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;  // surrogates: no profile names need them
                if (c) put_utf8(text, c);
            }
        }
        return text.size() > max_text ? std::string() : text;
    }
    return {};
}

// A field's value as libexiv2 writes it; binary data longer than a line is its size only, and
// a long text is cut (at a character boundary).
std::string text_of(const Exiv2::Metadatum &md) {
    const auto type = md.typeId();
    if ((type == Exiv2::undefined || type == Exiv2::unsignedByte || type == Exiv2::signedByte) && md.size() > 64)
        return std::to_string(md.size()) + " bytes";
    std::string text;
    try {
        text = md.toString();
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        return "(unreadable)";
    }
    if (text.size() > max_text) {
        std::size_t cut = max_text;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.resize(cut);
        text += "...";
    }
    return text;
}

std::string type_of(const Exiv2::Metadatum &md) {
    const char *name = md.typeName();
    return name ? name : "unknown";
}

template <class Data> void list(const Data &data, std::vector<Field> &out) {
    for (const auto &md : data) {
        std::string key = md.key();
        const Unit unit = classify(key);
        out.push_back({std::move(key), text_of(md), type_of(md), unit});
    }
}

// ---- removing fields

template <class Data> void erase_units(Data &data, Units removed) {
    for (auto it = data.begin(); it != data.end();) {
        if (removed[classify(it->key())]) it = data.erase(it);
        else ++it;
    }
}

// libexiv2 keeps a directory's pointer among the fields: with nothing left in the directory, it goes too.
void erase_empty_pointer(Exiv2::ExifData &exif, const char *pointer, std::string_view directory) {
    for (const auto &md : exif)
        if (md.key().starts_with(directory)) return;
    auto it = exif.findKey(Exiv2::ExifKey(pointer));
    if (it != exif.end()) exif.erase(it);
}

// The XMP packet written from what is left of its fields, without the padding and indentation
// libexiv2 adds by default (two kilobytes a file; a packet marked read-only carries none):
// nothing left, no packet.
void write_xmp_compact(Exiv2::Image &image, std::vector<std::string> &warnings) {
    std::string packet;
    if (!image.xmpData().empty() &&
        Exiv2::XmpParser::encode(packet, image.xmpData(),
                                 Exiv2::XmpParser::useCompactFormat | Exiv2::XmpParser::omitAllFormatting |
                                     Exiv2::XmpParser::readOnlyPacket) != 0) {
        warnings.emplace_back("the XMP packet could not be written anew and was left out");
        packet.clear();
    }
    image.clearXmpData();
    image.setXmpPacket(packet);
    image.writeXmpFromPacket(true);
}

std::string contents(Exiv2::BasicIo &io) {
    if (io.open() != 0) throw Failure{"libexiv2 wrote no file"};
    std::string out(io.size(), '\0');
    io.seek(0, Exiv2::BasicIo::beg);
    const std::size_t got = io.read(reinterpret_cast<Exiv2::byte *>(out.data()), out.size());
    io.close();
    if (got != out.size()) throw Failure{"libexiv2 wrote a short file"};
    return out;
}

// ---- IPTC records

// Decodes IIM records into `iptc`; false (and a warning) when libexiv2 refuses them.
bool decode_iptc(Exiv2::IptcData &iptc, const std::uint8_t *data, std::size_t size, std::vector<std::string> &warnings) {
    try {
        if (Exiv2::IptcParser::decode(iptc, data, size) == 0) return true;
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &e) {
        warnings.push_back(std::string("the IPTC records cannot be read: ") + e.what());
        return false;
    }
    warnings.emplace_back("the IPTC records cannot be read");
    return false;
}

// libexiv2 maps no IPTC date to XMP: the date (and time) created become photoshop:DateCreated,
// "2024-05-06T07:08:09+02:00", as the IPTC core schema has them.
void add_date_created(const Exiv2::IptcData &iptc, Exiv2::XmpData &mapped) {
    const std::string key = "Xmp.photoshop.DateCreated";
    if (mapped.findKey(Exiv2::XmpKey(key)) != mapped.end()) return;
    const auto date = iptc.findKey(Exiv2::IptcKey("Iptc.Application2.DateCreated"));
    if (date == iptc.end() || date->typeId() != Exiv2::date) return;
    std::string text = date->toString();
    const auto time = iptc.findKey(Exiv2::IptcKey("Iptc.Application2.TimeCreated"));
    if (time != iptc.end() && time->typeId() == Exiv2::time) text += "T" + time->toString();
    mapped[key] = text;
}

// ---- EXIF blocks

constexpr std::string_view exif_marker{"Exif\0\0", 6};

// The block libexiv2 writes for `exif`, compact (nothing of the old layout kept); nullopt when it refuses.
std::optional<std::string> encode(Exiv2::ExifData &exif, Exiv2::ByteOrder order, bool marker) {
    Exiv2::Blob blob;
    try {
        Exiv2::ExifParser::encode(blob, nullptr, 0, order, exif);
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        return std::nullopt;
    }
    std::string out(marker ? exif_marker : std::string_view{});
    out.append(reinterpret_cast<const char *>(blob.data()), blob.size());
    return out;
}

// The least `exif` takes written: the TIFF header, each directory's count and link, each entry,
// each value that does not fit in its entry, and the data a tag points at (a thumbnail's JPEG).
// libexiv2 cuts a block past a JPEG's room on its own, in its own order, so a block is only
// written once this says it may fit.
std::size_t least_size(const Exiv2::ExifData &exif) {
    std::size_t total = 8;
    std::vector<int> directories;
    for (const auto &md : exif) {
        const std::size_t value = md.size();
        total += 12 + (value > 4 ? value : 0) + md.sizeDataArea();
        const int ifd = int(md.ifdId());
        if (std::find(directories.begin(), directories.end(), ifd) == directories.end()) directories.push_back(ifd);
    }
    return total + 6 * directories.size();
}

} // namespace

// ---- classify(key)

Unit classify(std::string_view key) {
    if (key.starts_with("Exif.")) {
        const std::size_t dot = key.find('.', 5);
        if (dot != key.npos && Exiv2::ExifTags::isMakerGroup(std::string(key.substr(5, dot - 5)))) return maker_notes;
    }
    for (const Rule &rule : rules)
        if (matches(rule.pattern, key)) return rule.unit;
    return other;
}

// ---- fields(data)

Fields fields(const std::uint8_t *data, std::size_t size) {
    Fields out;
    Capture capture(out.warnings);
    auto image = open(data, size);
    read_metadata(*image, out.warnings);
    list(image->exifData(), out.fields);
    list(image->iptcData(), out.fields);
    list(image->xmpData(), out.fields);
    if (image->iccProfileDefined()) {
        const Exiv2::DataBuf &profile = image->iccProfile();
        std::string value = icc_description(profile.c_data(), profile.size());
        value += (value.empty() ? "" : ", ") + std::to_string(profile.size()) + " bytes";
        out.fields.push_back({"Icc.Profile", std::move(value), "icc", icc});
    }
    std::string comment;
    try {
        comment = image->comment();
    } catch (const Exiv2::Error &) {  // a format without comments
    }
    if (!comment.empty()) out.fields.push_back({"Comment", std::move(comment), "Ascii", other});
    return out;
}

// ---- edit(data, removed)

// 1. Read every block; one that cannot be read is left out and said.
// 2. Remove the fields of the removed units from EXIF, IPTC and XMP, then directory pointers
//    left with nothing to point at.
// 3. The profile goes with `icc`, a JPEG comment with `other`.
// 4. libexiv2 writes the file anew around the same pixels; XMP is encoded from its fields, so
//    it comes out well-formed.
Edited edit(const std::uint8_t *data, std::size_t size, Units removed) {
    Edited out;
    Capture capture(out.warnings);
    auto image = open(data, size);
    read_metadata(*image, out.warnings);

    Exiv2::ExifData &exif = image->exifData();
    erase_units(exif, removed);
    erase_units(image->iptcData(), removed);
    erase_units(image->xmpData(), removed);
    erase_empty_pointer(exif, "Exif.Image.GPSTag", "Exif.GPSInfo.");
    write_xmp_compact(*image, out.warnings);

    if (removed[icc] && image->iccProfileDefined()) image->clearIccProfile();
    if (removed[other]) {
        try {
            if (!image->comment().empty()) image->clearComment();
        } catch (const Exiv2::Error &) {  // a format without comments
        }
    }

    try {
        image->writeMetadata();
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &e) {
        throw Failure{std::string("libexiv2 cannot write this file's metadata: ") + e.what()};
    }
    out.data = contents(image->io());
    return out;
}

// ---- fit_exif(block, limit)

// 1. A block that fits is kept byte for byte.
// 2. Written anew without the thumbnail; 3. then without the maker notes; 4. then without the
//    largest remaining field, one at a time, until it fits.
// 5. What libexiv2 itself left out on the way (tags it does not write in a JPEG's block) is
//    found by reading the result back, and named too.
Fitted fit_exif(const std::uint8_t *data, std::size_t size, std::size_t limit) {
    Fitted out;
    Capture capture(out.warnings);
    const std::string_view block(reinterpret_cast<const char *>(data), size);
    if (size <= limit) {
        out.data = std::string(block);
        return out;
    }
    const bool marker = block.starts_with(exif_marker);
    const std::string_view tiff = marker ? block.substr(exif_marker.size()) : block;

    Exiv2::ExifData exif;
    Exiv2::ByteOrder order = Exiv2::invalidByteOrder;
    try {
        order = Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte *>(tiff.data()), tiff.size());
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &e) {
        out.warnings.push_back(std::string("the EXIF block cannot be read: ") + e.what());
    }
    if (order == Exiv2::invalidByteOrder || exif.empty()) {
        if (out.warnings.empty()) out.warnings.emplace_back("the EXIF block cannot be read");
        out.dropped.emplace_back("all");
        return out;
    }
    std::vector<std::string> before;
    for (const auto &md : exif) before.push_back(md.key());

    const std::size_t marker_size = marker ? exif_marker.size() : 0;
    auto attempt = [&]() -> std::optional<std::string> {
        if (least_size(exif) + marker_size > limit) return std::nullopt;
        return encode(exif, order, marker);
    };
    auto fits = [&](const std::optional<std::string> &written) { return written && written->size() <= limit; };
    std::optional<std::string> written = attempt();
    for (Unit unit : {thumbnail, maker_notes}) {
        if (fits(written)) break;
        const std::size_t count = exif.count();
        erase_units(exif, Units().set(unit));
        if (exif.count() == count) continue;
        out.dropped.emplace_back(unit_names[unit]);
        written = attempt();
    }
    while (!fits(written) && !exif.empty()) {
        auto largest = std::max_element(exif.begin(), exif.end(), [](const auto &a, const auto &b) {
            return a.size() + a.sizeDataArea() < b.size() + b.sizeDataArea();
        });
        out.dropped.push_back(largest->key());
        exif.erase(largest);
        written = attempt();
    }
    if (!fits(written) || exif.empty()) {
        out.dropped.assign({"all"});
        return out;
    }

    Exiv2::ExifData back;
    const std::string_view result = marker ? std::string_view(*written).substr(exif_marker.size()) : *written;
    try {
        Exiv2::ExifParser::decode(back, reinterpret_cast<const Exiv2::byte *>(result.data()), result.size());
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {  // what libexiv2 wrote, it reads: nothing to name then
    }
    for (const std::string &key : before) {
        const Unit unit = classify(key);
        if (unit == thumbnail || unit == maker_notes) continue;
        if (back.findKey(Exiv2::ExifKey(key)) == back.end() &&
            std::find(out.dropped.begin(), out.dropped.end(), key) == out.dropped.end())
            out.dropped.push_back(key);
    }
    out.data = std::move(written);
    return out;
}

// ---- edit_iptc(records, removed)

// 1. Decode the records; ones that cannot be read are left out and said.
// 2. Remove the fields of the removed units; 3. encode what is left (nothing but how the text
//    is read left, nothing).
EditedIptc edit_iptc(const std::uint8_t *data, std::size_t size, Units removed) {
    EditedIptc out;
    Capture capture(out.warnings);
    Exiv2::IptcData iptc;
    if (!decode_iptc(iptc, data, size, out.warnings)) return out;
    erase_units(iptc, removed);
    // The character set and record version alone are no records worth a block.
    if (std::all_of(iptc.begin(), iptc.end(), [](const auto &md) { return classify(md.key()) == picture; })) return out;
    const Exiv2::DataBuf encoded = Exiv2::IptcParser::encode(iptc);
    if (encoded.empty()) return out;
    out.data = std::string(reinterpret_cast<const char *>(encoded.c_data()), encoded.size());
    return out;
}

// ---- iptc_into_xmp(records, packet)

// 1. Decode the packet (none: an empty one) and the records; either unreadable adds nothing.
// 2. libexiv2 maps the records to XMP properties in a packet of their own (the text decoded
//    by the records' own character set); the date created is added, which it does not map.
// 3. Each property whose name the packet does not hold yet is added to it, arrays and
//    structures whole; 4. the packet is written anew, compact, as edit writes it.
Merged iptc_into_xmp(const std::uint8_t *iptc_data, std::size_t iptc_size, const std::uint8_t *xmp, std::size_t xmp_size) {
    Merged out;
    Capture capture(out.warnings);
    Exiv2::XmpData packet;
    if (xmp_size > 0 &&
        Exiv2::XmpParser::decode(packet, std::string(reinterpret_cast<const char *>(xmp), xmp_size)) != 0) {
        out.warnings.emplace_back("the XMP packet cannot be read, so the IPTC fields were not added to it");
        return out;
    }
    Exiv2::IptcData iptc;
    if (!decode_iptc(iptc, iptc_data, iptc_size, out.warnings) || iptc.empty()) return out;
    Exiv2::XmpData mapped;
    try {
        Exiv2::copyIptcToXmp(iptc, mapped);
        add_date_created(iptc, mapped);
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &e) {
        out.warnings.push_back(std::string("the IPTC fields cannot be carried into XMP: ") + e.what());
        return out;
    }
    auto property = [](std::string_view key) { return key.substr(0, key.find_first_of("[/")); };
    bool added = false;
    for (const auto &md : mapped) {
        const std::string key = md.key();
        const std::string_view name = property(key);
        const bool held = std::any_of(packet.begin(), packet.end(), [&](const Exiv2::Xmpdatum &have) {
            const std::string other = have.key();
            return property(other) == name;
        });
        if (held) continue;
        packet.add(md);
        added = true;
    }
    if (!added) return out;
    std::string encoded;
    if (Exiv2::XmpParser::encode(encoded, packet,
                                 Exiv2::XmpParser::useCompactFormat | Exiv2::XmpParser::omitAllFormatting |
                                     Exiv2::XmpParser::readOnlyPacket) != 0) {
        out.warnings.emplace_back("the XMP packet could not be written with the IPTC fields");
        return out;
    }
    out.data = std::move(encoded);
    return out;
}

// ---- set-up

void initialize() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setHandler(on_message);
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::warn);
        Exiv2::XmpParser::initialize(lock_xmp, nullptr);
    });
}

std::string library_version() { return Exiv2::versionString(); }

} // namespace metacodec
