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

// The quiet flag: a context variable shared by every framewick module (and framewick.quiet),
// kept as sys.modules["_framewick_status"].quiet, False by default. While it is true in the
// calling thread's context, a module's status printer (its cached builtin print) prints nothing.
inline constexpr const char *status_registry = "_framewick_status";
// Finds the shared flag, or makes and publishes it; false with an exception set.
bool obtain_quiet_flag() noexcept;
// Whether the caller's context is quiet now.
bool quiet_now();
// Releases the flag, so that the next initialisation finds or makes it again.
void forget_quiet_flag() noexcept;

// The line a method prints: literal pieces (exact str constants) and values, concatenated.
// The pieces are converted left to right, as an f-string evaluates them.
template <class... P> ref status(const P &...pieces) {
    static_assert(sizeof...(P) > 0, "a status text has at least one piece");
    const ref texts[] = {detail::text_of(pieces)...};
    return detail::join_texts(texts, sizeof...(P));
}

} // namespace fw
