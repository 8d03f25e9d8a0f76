// lcms_codec.hpp: colour profile transforms on LittleCMS at 16 bits and in float, with no Python in sight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace lcmscodec {

// A profile LittleCMS refuses, or one that does not fit the pixels. `message` is one line.
struct Failure {
    std::string message;
};

// Samples: native-endian uint16 over the full range, or float32 with 0.0-1.0 nominal.
enum class Sample { u16, f32 };

// A transform from one profile to another for interleaved pixels of `channels` samples: the
// source profile's colour channels (1 grey, 3 RGB, 4 CMYK at 16 bits only) and at most one
// more, alpha, carried across unchanged. An empty profile is the built-in sRGB (for a grey
// source and an empty target: grey on sRGB's tone curve). Made and run without Python.
class Transform {
public:
    Transform(const std::string &source, const std::string &target, int channels, Sample sample, int intent,
              bool black_point);
    ~Transform();
    Transform(const Transform &) = delete;
    Transform &operator=(const Transform &) = delete;

    // Samples per pixel out: the target's colour channels, and alpha when the source had it.
    int out_channels() const noexcept;
    std::size_t sample_bytes() const noexcept;

    // Converts `height` rows of `width` pixels from `in` to `out` (out_channels() samples a pixel).
    void run(const void *in, void *out, std::uint32_t width, std::uint32_t height) const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace lcmscodec
