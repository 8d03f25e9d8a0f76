// status.hpp: status texts, put together the way a Python f-string puts its pieces together.
#pragma once

#include "object.hpp"

#include <type_traits>

namespace fw {

// A value converted by the `float` rule: inserted exactly as the repr of the equal float.
struct as_float {
    double value;
};

namespace detail {
class TextWriter {
public:
    TextWriter();
    ~TextWriter();
    TextWriter(const TextWriter &) = delete;
    TextWriter &operator=(const TextWriter &) = delete;

    // A str is inserted unchanged, an int or a float as its repr, anything else as format(v, "").
    void value(handle v);
    void value(as_float v);
    ref finish();

private:
    PyUnicodeWriter *w_;
};
} // namespace detail

// The line a method prints: literal pieces (exact str constants) and values, concatenated.
template <class... P> ref status(const P &...pieces) {
    detail::TextWriter w;
    (w.value(pieces), ...);
    return w.finish();
}

} // namespace fw
