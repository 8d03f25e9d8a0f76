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

// The status sink: the Python module framewick.status, imported by every framewick module when
// it initialises. It holds two context variables, so every module (and framewick.quiet) reads
// the same ones in the caller's context:
//   quiet_flag  while true, a module's status printer (its cached builtin print) prints nothing;
//   listener    None, or the innermost listener: a status line goes to its `line(text)` (which
//               answers whether it took the line; if not, it is printed), and the outcome of each
//               method call to its `outcome(method, line, error)`.
// and `refused(method, line, error)`, told of every value a method refuses with its own error.
inline constexpr const char *status_sink = "framewick.status";
// Imports the sink and takes both variables (each must be a context variable, else TypeError:
// an object planted there is never called); false with an exception set.
bool obtain_status_sink() noexcept;
// Releases both, so that the next initialisation imports the sink again.
void forget_status_sink() noexcept;
// Whether the caller's context is quiet now.
bool quiet_now();
// Whether a status line is dealt with without printing it: the context is quiet, or a listener
// took the line.
bool status_taken(handle line);
// Reports how a call of `method` ended to the caller's listener, if there is one: done (no
// line), failed with the line its body gave (`line`), or raised (an exception is set; it stays
// set, and `line` is the body's own refusal text or null). A listener that fails while hearing
// a call that returned makes the call fail; one that fails while hearing a raised call does not
// replace that call's exception.
bool report_outcome(PyObject *method, PyObject *line) noexcept;

// The line a method prints: literal pieces (exact str constants) and values, concatenated.
// The pieces are converted left to right, as an f-string evaluates them.
template <class... P> ref status(const P &...pieces) {
    static_assert(sizeof...(P) > 0, "a status text has at least one piece");
    const ref texts[] = {detail::text_of(pieces)...};
    return detail::join_texts(texts, sizeof...(P));
}

} // namespace fw
