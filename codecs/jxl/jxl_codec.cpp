// jxl_codec.cpp: JPEG XL reading and writing on libjxl at 8 and 16 bits and in float.
//
// libjxl's decoder is a state machine fed the whole file at once: each call returns the next
// event (basic info, colour, a box, a buffer wanted, the picture done). It reports a failure as
// a bare status, so the one-line texts are made here from the event at which it stopped, and
// completed with what libjxl printed about it (see Messages).
#include "jxl_codec.hpp"

#include <jxl/cms.h>
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <jxl/thread_parallel_runner.h>
#include <jxl/thread_parallel_runner_cxx.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

namespace jxlcodec {
namespace {

constexpr const char truncated[] = "the JPEG XL file is truncated";
constexpr const char damaged[] = "the JPEG XL file is damaged";
// A metadata box is kept up to this size; a larger one is read past and dropped.
constexpr std::size_t box_cap = std::size_t(64) << 20;

JxlThreadParallelRunnerPtr make_runner() {
    auto runner = JxlThreadParallelRunnerMake(nullptr, JxlThreadParallelRunnerDefaultNumWorkerThreads());
    if (!runner) throw std::bad_alloc();
    return runner;
}

[[gnu::cold]] Failure failed(const char *text, const char *where) {
    return {std::string(text) + " (" + where + ")"};
}

// ---- libjxl's messages

// libjxl as built here prints where each failure arose to standard error
// ("./lib/jxl/decode.cc:2048: codestream never finished"), with no call to take the lines
// instead. While libjxl works, file descriptor 2 points to an anonymous file; afterwards
// libjxl's lines become the failure's words and anything else written there meanwhile (another
// thread's output) is passed on to the real standard error. The descriptor is the process's,
// so one capture runs at a time.
class Messages {
public:
    Messages() : lock_(mutex()) {
        std::fflush(stderr);
        file_ = memfd_create("framewick-jxl-messages", MFD_CLOEXEC);
        if (file_ < 0) return;
        // Appending: writers on other threads never share an offset with libjxl's.
        if (fcntl(file_, F_SETFL, O_APPEND) < 0) {
            close(file_);
            file_ = -1;
            return;
        }
        saved_ = dup(2);
        if (saved_ < 0 || dup2(file_, 2) < 0) {
            if (saved_ >= 0) close(saved_);
            saved_ = -1;
        }
    }
    ~Messages() { finish(); }
    Messages(const Messages &) = delete;
    Messages &operator=(const Messages &) = delete;

    // Ends the capture: libjxl's first message (its "file:line: " dropped), the rest passed on.
    std::string finish() noexcept {
        std::string first;
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
            try {
                // A write another thread began on the capture just before it ended can land
                // after the descriptor went back: read on until the file has stayed as it was
                // for two short waits, so that no such line is lost.
                off_t at = 0;
                std::string text = read_from(at);
                for (int still = 0; still < 2;) {
                    usleep(500);
                    std::string more = read_from(at);
                    still = more.empty() ? still + 1 : 0;
                    text += more;
                }
                first = sort(text);
            } catch (...) {
            }
        }
        if (file_ >= 0) close(file_);
        file_ = -1;
        return first;
    }

private:
    static std::mutex &mutex() noexcept {
        static std::mutex m;
        return m;
    }

    // What was written from `at` on; `at` moves past it.
    std::string read_from(off_t &at) const {
        std::string text;
        char chunk[4096];
        for (;;) {
            const ssize_t n = pread(file_, chunk, sizeof chunk, at);
            if (n <= 0) return text;
            text.append(chunk, std::size_t(n));
            at += n;
        }
    }

    static std::string sort(std::string_view text) {
        std::string first;
        while (!text.empty()) {
            const std::size_t end = std::min(text.find('\n'), text.size());
            const std::string_view line = text.substr(0, end);
            text.remove_prefix(std::min(end + 1, text.size()));
            const std::size_t at = line.find("lib/jxl/");
            const std::size_t words = at == line.npos ? line.npos : line.find(": ", at);
            if (words == line.npos) {
                // Not libjxl's: back where it was going.
                std::string out(line);
                out += '\n';
                for (std::size_t done = 0; done < out.size();) {
                    const ssize_t n = ::write(2, out.data() + done, out.size() - done);
                    if (n <= 0) break;
                    done += std::size_t(n);
                }
            } else if (first.empty()) {
                first = line.substr(words + 2, 200);
            }
        }
        return first;
    }

    std::lock_guard<std::mutex> lock_;
    int file_ = -1, saved_ = -1;
};

// Runs `body` with libjxl's messages captured; a Failure it throws gets libjxl's first message.
template <class Body> auto with_messages(Body &&body) {
    Messages messages;
    try {
        return body();
    } catch (Failure &f) {
        const std::string said = messages.finish();
        if (!said.empty()) {
            if (f.message.ends_with(')')) f.message.insert(f.message.size() - 1, ": " + said);
            else f.message += " (" + said + ")";
        }
        throw;
    }
}

std::uint32_t big_endian32(const std::uint8_t *p) noexcept {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// Sets the orientation tag of IFD0 in a TIFF structure, where it is there as one SHORT.
void set_exif_orientation(std::string &tiff, int orientation) noexcept {
    const auto *p = reinterpret_cast<const std::uint8_t *>(tiff.data());
    const std::size_t size = tiff.size();
    if (size < 8) return;
    const bool little = p[0] == 'I' && p[1] == 'I';
    if (!little && !(p[0] == 'M' && p[1] == 'M')) return;
    auto u16 = [&](std::size_t at) { return little ? unsigned(p[at] | p[at + 1] << 8) : unsigned(p[at] << 8 | p[at + 1]); };
    auto u32 = [&](std::size_t at) { return little ? std::uint32_t(u16(at) | u16(at + 2) << 16) : big_endian32(p + at); };
    const std::size_t ifd = u32(4);
    if (ifd > size - 2) return;
    const unsigned entries = u16(ifd);
    for (unsigned i = 0; i < entries; ++i) {
        const std::size_t e = ifd + 2 + 12 * std::size_t(i);
        if (e + 12 > size) return;
        if (u16(e) == 0x0112 && u16(e + 2) == 3 && u32(e + 4) == 1) {
            tiff[e + 8] = char(little ? orientation : 0);
            tiff[e + 9] = char(little ? 0 : orientation);
            return;
        }
    }
}

} // namespace

// ---- reading

struct Reader::State {
    JxlDecoderPtr decoder;
    JxlThreadParallelRunnerPtr runner;
    Info found;
    JxlPixelFormat format{};
    bool closed = false, image_done = false;
    // The metadata box being read: its bytes so far, where they go (null: dropped).
    std::string box;
    std::string *box_target = nullptr;
    bool box_open = false;

    void start_box();
    void grow_box();
    void finish_box();
    // Runs the decoder to `until` (an event), answering the events before it; `out` takes the
    // picture when libjxl asks for a buffer.
    void run(JxlDecoderStatus until, std::uint8_t *out);
    // Reads the headers up to the colour, the pixel limit checked from the basic info.
    void open(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels);
};

void Reader::State::start_box() {
    finish_box();
    JxlBoxType type;
    if (JxlDecoderGetBoxType(decoder.get(), type, JXL_TRUE) != JXL_DEC_SUCCESS) return;
    if (std::memcmp(type, "Exif", 4) == 0 && found.exif.empty()) box_target = &found.exif;
    else if (std::memcmp(type, "xml ", 4) == 0 && found.xmp.empty()) box_target = &found.xmp;
    else return;
    box.assign(std::size_t(1) << 16, '\0');
    if (JxlDecoderSetBoxBuffer(decoder.get(), reinterpret_cast<std::uint8_t *>(box.data()), box.size()) != JXL_DEC_SUCCESS)
        throw failed(damaged, "a metadata box");
    box_open = true;
}

void Reader::State::grow_box() {
    const std::size_t used = box.size() - JxlDecoderReleaseBoxBuffer(decoder.get());
    std::size_t at = used;
    if (box_target && box.size() * 2 <= box_cap) {
        box.resize(box.size() * 2);
    } else {
        box_target = nullptr;  // too large to keep: read past it into the same space
        at = 0;
    }
    if (JxlDecoderSetBoxBuffer(decoder.get(), reinterpret_cast<std::uint8_t *>(box.data()) + at, box.size() - at) !=
        JXL_DEC_SUCCESS)
        throw failed(damaged, "a metadata box");
}

void Reader::State::finish_box() {
    if (!box_open) return;
    box_open = false;
    const std::size_t used = box.size() - JxlDecoderReleaseBoxBuffer(decoder.get());
    if (!box_target) return;
    box.resize(used);
    if (box_target == &found.exif) {
        // An Exif box opens with the offset (32 bits, big-endian) of the TIFF header that follows.
        const auto *p = reinterpret_cast<const std::uint8_t *>(box.data());
        if (box.size() >= 4 && big_endian32(p) <= box.size() - 4) box.erase(0, 4 + std::size_t(big_endian32(p)));
        else box.clear();
    }
    box_target->swap(box);
    box_target = nullptr;
    box.clear();
}

void Reader::State::run(JxlDecoderStatus until, std::uint8_t *out) {
    JxlDecoder *dec = decoder.get();
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(dec);
        switch (status) {
        case JXL_DEC_ERROR:
            // After the input was closed, an error means the decoder wanted more of it.
            if (closed) throw Failure{truncated};
            throw failed(damaged, image_done ? "after the picture" : out ? "in the picture data" : "in the headers");
        case JXL_DEC_NEED_MORE_INPUT:
            // All the data was given: once the picture is out, the end of the input is the end
            // of the file (a last box may run to it); before that, the file is cut short.
            if (image_done && !closed) {
                JxlDecoderCloseInput(dec);
                closed = true;
                continue;
            }
            throw Failure{truncated};
        case JXL_DEC_BOX:
            start_box();
            continue;
        case JXL_DEC_BOX_NEED_MORE_OUTPUT:
            grow_box();
            continue;
        case JXL_DEC_BOX_COMPLETE:
            finish_box();
            continue;
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            if (image_done) {  // the next frame of an animation: the first is the picture
                finish_box();
                return;
            }
            std::size_t wanted = 0;
            if (!out || JxlDecoderImageOutBufferSize(dec, &format, &wanted) != JXL_DEC_SUCCESS)
                throw failed(damaged, "in the headers");
            const std::size_t size = std::size_t(found.width) * found.height * std::size_t(found.channels) *
                                     (format.data_type == JXL_TYPE_UINT8 ? 1 : format.data_type == JXL_TYPE_UINT16 ? 2 : 4);
            if (wanted != size) throw failed(damaged, "its frame differs from its headers");
            if (JxlDecoderSetImageOutBuffer(dec, &format, out, size) != JXL_DEC_SUCCESS)
                throw failed(damaged, "in the headers");
            continue;
        }
        case JXL_DEC_FULL_IMAGE:
            image_done = true;
            continue;
        case JXL_DEC_SUCCESS:
            finish_box();
            return;
        default:
            if (status == until) return;
            continue;
        }
    }
}

Reader::Reader(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels) : s_(std::make_unique<State>()) {
    with_messages([&] { s_->open(data, size, max_pixels); });
}

void Reader::State::open(const std::uint8_t *data, std::size_t size, std::uint64_t max_pixels) {
    switch (JxlSignatureCheck(data, size)) {
    case JXL_SIG_CODESTREAM:
    case JXL_SIG_CONTAINER: break;
    case JXL_SIG_NOT_ENOUGH_BYTES: throw Failure{size ? truncated : "not a JPEG XL file"};
    default: throw Failure{"not a JPEG XL file"};
    }
    Info &info = found;
    // 1. The basic info as stored (orientation kept), for the orientation to report and the
    //    limit to check before anything else is decoded.
    JxlBasicInfo basic;
    {
        JxlDecoderPtr probe = JxlDecoderMake(nullptr);
        if (!probe) throw std::bad_alloc();
        if (JxlDecoderSetKeepOrientation(probe.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
            JxlDecoderSubscribeEvents(probe.get(), JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS ||
            JxlDecoderSetInput(probe.get(), data, size) != JXL_DEC_SUCCESS)
            throw std::bad_alloc();
        const JxlDecoderStatus status = JxlDecoderProcessInput(probe.get());
        if (status == JXL_DEC_NEED_MORE_INPUT) throw Failure{truncated};
        if (status != JXL_DEC_BASIC_INFO || JxlDecoderGetBasicInfo(probe.get(), &basic) != JXL_DEC_SUCCESS)
            throw failed(damaged, "in the headers");
    }
    info.orientation = std::clamp(int(basic.orientation), 1, 8);
    const bool turned = info.orientation >= 5;
    info.width = turned ? basic.ysize : basic.xsize;
    info.height = turned ? basic.xsize : basic.ysize;
    if (max_pixels && std::uint64_t(info.width) * info.height > max_pixels)
        throw Failure{std::to_string(info.width) + "x" + std::to_string(info.height) + ", more than the limit of " +
                          std::to_string(max_pixels) + " pixels",
                      true};
    info.channels = (basic.num_color_channels == 1 ? 1 : 3) + (basic.alpha_bits ? 1 : 0);
    info.bits = int(basic.bits_per_sample);
    info.floating = basic.exponent_bits_per_sample > 0;
    info.sample = info.floating ? Sample::float32 : info.bits <= 8 ? Sample::uint8 : Sample::uint16;
    format = {std::uint32_t(info.channels),
                  info.sample == Sample::float32 ? JXL_TYPE_FLOAT : info.sample == Sample::uint16 ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8,
                  JXL_NATIVE_ENDIAN, 0};
    // 2. The decoder proper: upright, straight alpha, boxes decompressed, up to the colour.
    decoder = JxlDecoderMake(nullptr);
    JxlDecoder *dec = decoder.get();
    if (!dec) throw std::bad_alloc();
    runner = make_runner();
    if (JxlDecoderSetParallelRunner(dec, JxlThreadParallelRunner, runner.get()) != JXL_DEC_SUCCESS ||
        JxlDecoderSetKeepOrientation(dec, JXL_FALSE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(dec, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetDecompressBoxes(dec, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSubscribeEvents(dec, JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE | JXL_DEC_BOX | JXL_DEC_BOX_COMPLETE) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec, data, size) != JXL_DEC_SUCCESS)
        throw std::bad_alloc();
    JxlDecoderSetCms(dec, *JxlGetDefaultCms());
    run(JXL_DEC_COLOR_ENCODING, nullptr);
    // 3. Colour. A profile the file holds is the one the pixels come in, also where the picture
    //    was coded in XYB (the colour management converts it back); a colour encoding becomes
    //    the profile libjxl makes of it.
    JxlColorEncoding encoding;
    std::string original;
    if (JxlDecoderGetColorAsEncodedProfile(dec, JXL_COLOR_PROFILE_TARGET_ORIGINAL, &encoding) != JXL_DEC_SUCCESS) {
        std::size_t n = 0;
        if (JxlDecoderGetICCProfileSize(dec, JXL_COLOR_PROFILE_TARGET_ORIGINAL, &n) == JXL_DEC_SUCCESS && n) {
            original.assign(n, '\0');
            if (JxlDecoderGetColorAsICCProfile(dec, JXL_COLOR_PROFILE_TARGET_ORIGINAL,
                                               reinterpret_cast<std::uint8_t *>(original.data()), n) != JXL_DEC_SUCCESS)
                original.clear();
        }
        if (!original.empty() && !basic.uses_original_profile)
            JxlDecoderSetOutputColorProfile(dec, nullptr, reinterpret_cast<const std::uint8_t *>(original.data()),
                                            original.size());
    }
    std::size_t n = 0;
    if (JxlDecoderGetICCProfileSize(dec, JXL_COLOR_PROFILE_TARGET_DATA, &n) == JXL_DEC_SUCCESS && n) {
        info.icc.assign(n, '\0');
        if (JxlDecoderGetColorAsICCProfile(dec, JXL_COLOR_PROFILE_TARGET_DATA, reinterpret_cast<std::uint8_t *>(info.icc.data()),
                                           n) != JXL_DEC_SUCCESS)
            info.icc.clear();
    }
    info.icc_embedded = !original.empty() && info.icc == original;
}

Reader::~Reader() = default;

const Info &Reader::info() const noexcept { return s_->found; }

std::size_t Reader::pixel_bytes() const noexcept {
    const Info &i = s_->found;
    const std::size_t sample = i.sample == Sample::uint8 ? 1 : i.sample == Sample::uint16 ? 2 : 4;
    return std::size_t(i.width) * i.height * std::size_t(i.channels) * sample;
}

void Reader::decode(std::uint8_t *out) {
    with_messages([&] { s_->run(JXL_DEC_SUCCESS, out); });
}

// ---- writing

namespace {

[[gnu::cold]] Failure not_written(JxlEncoder *enc, const char *step) {
    const char *why = "it failed";
    switch (JxlEncoderGetError(enc)) {
    case JXL_ENC_ERR_OOM: throw std::bad_alloc();
    case JXL_ENC_ERR_BAD_INPUT: why = "the input is invalid"; break;
    case JXL_ENC_ERR_NOT_SUPPORTED: why = "not supported"; break;
    case JXL_ENC_ERR_API_USAGE: why = "refused"; break;
    default: break;
    }
    return {std::string("libjxl could not ") + step + " (" + why + ")"};
}

std::string encode(const Picture &picture, const WriteOptions &options) {
    JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    JxlEncoder *enc = encoder.get();
    if (!enc) throw std::bad_alloc();
    JxlThreadParallelRunnerPtr runner = make_runner();
    auto ok = [enc](JxlEncoderStatus status, const char *step) {
        if (status != JXL_ENC_SUCCESS) throw not_written(enc, step);
    };
    ok(JxlEncoderSetParallelRunner(enc, JxlThreadParallelRunner, runner.get()), "start its threads");
    const bool lossless = options.quality >= 100, grey = picture.channels <= 2,
               alpha = picture.channels == 2 || picture.channels == 4, floating = picture.bits == 32;
    const bool boxes = !options.exif.empty() || !options.xmp.empty();
    // 1. The basic info: the samples as given, coded in their own space where lossless or
    //    under a profile (so that the profile comes back as it went in).
    JxlBasicInfo basic;
    JxlEncoderInitBasicInfo(&basic);
    basic.xsize = picture.width;
    basic.ysize = picture.height;
    basic.bits_per_sample = std::uint32_t(picture.bits);
    basic.exponent_bits_per_sample = floating ? 8 : 0;
    basic.num_color_channels = grey ? 1 : 3;
    basic.num_extra_channels = alpha ? 1 : 0;
    basic.alpha_bits = alpha ? basic.bits_per_sample : 0;
    basic.alpha_exponent_bits = alpha ? basic.exponent_bits_per_sample : 0;
    basic.uses_original_profile = lossless || !options.icc.empty() ? JXL_TRUE : JXL_FALSE;
    basic.orientation = JxlOrientation(std::clamp(options.orientation, 1, 8));
    if (boxes) {
        ok(JxlEncoderUseContainer(enc, JXL_TRUE), "use the container");
        ok(JxlEncoderUseBoxes(enc), "use boxes");
    }
    ok(JxlEncoderSetBasicInfo(enc, &basic), "take the picture's size and depth");
    if (alpha) {
        JxlExtraChannelInfo channel;
        JxlEncoderInitExtraChannelInfo(JXL_CHANNEL_ALPHA, &channel);
        channel.bits_per_sample = basic.alpha_bits;
        channel.exponent_bits_per_sample = basic.alpha_exponent_bits;
        ok(JxlEncoderSetExtraChannelInfo(enc, 0, &channel), "take the alpha channel");
    }
    // 2. Colour: the profile, else sRGB.
    if (!options.icc.empty()) {
        ok(JxlEncoderSetICCProfile(enc, reinterpret_cast<const std::uint8_t *>(options.icc.data()), options.icc.size()),
           "take the ICC profile");
    } else {
        JxlColorEncoding srgb;
        JxlColorEncodingSetToSRGB(&srgb, grey ? JXL_TRUE : JXL_FALSE);
        ok(JxlEncoderSetColorEncoding(enc, &srgb), "take the sRGB colour encoding");
    }
    // 3. Metadata boxes. The EXIF orientation tag is made to agree with the codestream's, which
    //    readers apply, so that none turns the picture a second time.
    if (!options.exif.empty()) {
        std::string_view tiff(options.exif);
        if (tiff.starts_with(std::string_view("Exif\0\0", 6))) tiff.remove_prefix(6);
        std::string payload(4, '\0');
        payload += tiff;
        std::string body = payload.substr(4);
        set_exif_orientation(body, int(basic.orientation));
        payload.replace(4, std::string::npos, body);
        ok(JxlEncoderAddBox(enc, "Exif", reinterpret_cast<const std::uint8_t *>(payload.data()), payload.size(), JXL_FALSE),
           "add the EXIF box");
    }
    if (!options.xmp.empty())
        ok(JxlEncoderAddBox(enc, "xml ", reinterpret_cast<const std::uint8_t *>(options.xmp.data()), options.xmp.size(),
                            JXL_FALSE),
           "add the XMP box");
    if (boxes) JxlEncoderCloseBoxes(enc);
    // 4. The frame.
    JxlEncoderFrameSettings *settings = JxlEncoderFrameSettingsCreate(enc, nullptr);
    if (!settings) throw std::bad_alloc();
    ok(JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, std::clamp(options.effort, 1, 10)),
       "take the effort");
    if (lossless) ok(JxlEncoderSetFrameLossless(settings, JXL_TRUE), "code losslessly");
    else ok(JxlEncoderSetFrameDistance(settings, JxlEncoderDistanceFromQuality(float(std::clamp(options.quality, 0, 100)))),
            "take the quality");
    const JxlPixelFormat format{std::uint32_t(picture.channels),
                                floating ? JXL_TYPE_FLOAT : picture.bits == 16 ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8,
                                JXL_NATIVE_ENDIAN, 0};
    const std::size_t size =
        std::size_t(picture.width) * picture.height * std::size_t(picture.channels) * std::size_t(picture.bits / 8);
    ok(JxlEncoderAddImageFrame(settings, &format, picture.pixels, size), "encode the picture");
    JxlEncoderCloseInput(enc);
    // 5. The file.
    std::string file(std::size_t(1) << 16, '\0');
    std::size_t written = 0;
    for (;;) {
        auto *next = reinterpret_cast<std::uint8_t *>(file.data()) + written;
        std::size_t left = file.size() - written;
        const JxlEncoderStatus status = JxlEncoderProcessOutput(enc, &next, &left);
        written = file.size() - left;
        if (status == JXL_ENC_SUCCESS) break;
        if (status != JXL_ENC_NEED_MORE_OUTPUT) throw not_written(enc, "encode the picture");
        file.resize(file.size() * 2);
    }
    file.resize(written);
    return file;
}

} // namespace

std::string write(const Picture &picture, const WriteOptions &options) {
    return with_messages([&] { return encode(picture, options); });
}

} // namespace jxlcodec
