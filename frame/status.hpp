// status.hpp: status texts, put together the way a Python f-string puts its pieces together.
#pragma once

#include "object.hpp"

#include <cstddef>

namespace fw {

// A value converted by the `float` rule: inserted exactly as the repr of the equal float.
struct as_float {
    double value;
};

namespace detail {
// One piece as text: a str unchanged, an exact int or float as its repr, anything else as
// format(v, "").
ref text_of(handle v);
ref text_of(as_float v);
// The texts concatenated into one new exact str, sized and copied once (as BUILD_STRING does).
ref join_texts(const ref *texts, std::size_t n);
} // namespace detail

// The line a method prints: literal pieces (exact str constants) and values, concatenated.
// The pieces are converted left to right, as an f-string evaluates them.
template <class... P> ref status(const P &...pieces) {
    static_assert(sizeof...(P) > 0, "a status text has at least one piece");
    const ref texts[] = {detail::text_of(pieces)...};
    return detail::join_texts(texts, sizeof...(P));
}

} // namespace fw
