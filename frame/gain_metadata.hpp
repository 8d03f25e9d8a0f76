// gain_metadata.hpp: a gain map's metadata read from the dict the codec modules share (header-only).
//
// framewick.formats._uhdr and _avif take the same dict: max_content_boost, min_content_boost,
// gamma, offset_sdr and offset_hdr (per channel: one number for all three, or three),
// hdr_capacity_min, hdr_capacity_max and use_base_cg; boosts and capacities as linear ratios.
// Each module keeps its own range for the numbers and checks how the values relate.
#pragma once

#include "codec.hpp"

#include <array>
#include <cmath>

namespace fw::codec {

// The per-channel keys, in the order gain_channels() fills its fields.
inline constexpr const char *gain_channel_keys[5] = {"max_content_boost", "min_content_boost", "gamma", "offset_sdr",
                                                     "offset_hdr"};

// The value of `key` in the metadata mapping; a missing key is a ValueError naming it.
inline ref gain_entry(handle metadata, const char *key) {
    PyObject *value = nullptr;
    if (check(PyMapping_GetOptionalItemString(metadata.ptr(), key, &value)) == 0)
        throw fw::raise_format(PyExc_ValueError, "the gain map's metadata has no '%s'", key);
    return ref::steal(value);
}

// A finite number of the metadata, at most `bound` either way, as the module stores it (T).
template <class T> T gain_number(handle obj, const char *key, double bound) {
    const double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw error{};
    if (!std::isfinite(v) || std::fabs(v) > bound)
        throw fw::raise_format(PyExc_ValueError, "the gain map's %s must be a finite number, not %R", key, obj.ptr());
    return T(v);
}

// The five per-channel values into fields[k] (three each, in the order of gain_channel_keys):
// 1. each takes one number (all channels) or a sequence of three;
// 2. boosts and gamma are positive.
template <class T> void gain_channels(handle metadata, double bound, const std::array<T *, 5> &fields) {
    for (int k = 0; k < 5; ++k) {
        const char *key = gain_channel_keys[k];
        ref value = gain_entry(metadata, key);
        T *field = fields[k];
        if (PyNumber_Check(value.ptr()) && !PySequence_Check(value.ptr())) {
            field[0] = field[1] = field[2] = gain_number<T>(value, key, bound);
        } else {
            ref seq = check(PySequence_Fast(value.ptr(), "the gain map's per-channel values must be a number or three"));
            if (PySequence_Fast_GET_SIZE(seq.ptr()) != 3)
                throw fw::raise_format(PyExc_ValueError, "the gain map's %s must be one number or three, not %zd", key,
                                       PySequence_Fast_GET_SIZE(seq.ptr()));
            for (Py_ssize_t c = 0; c < 3; ++c) field[c] = gain_number<T>(PySequence_Fast_GET_ITEM(seq.ptr(), c), key, bound);
        }
        if (k < 3)
            for (int c = 0; c < 3; ++c)
                if (!(field[c] > 0)) throw fw::raise_format(PyExc_ValueError, "the gain map's %s must be positive", key);
    }
}

} // namespace fw::codec
