// imports.hpp: imports, module globals looked up at use, and the builtins a module caches.
#pragma once

#include "constants.hpp"
#include "status.hpp"

#include <array>
#include <cstddef>
#include <source_location>
#include <vector>

namespace fw {

// One import statement of a module: `import os` (no names) or `from PIL import Image, ImageOps`.
struct Import {
    const Name *module;
    std::vector<const Name *> names{};
    const Name *as = nullptr;  // `import numpy as np`
    int line = int(std::source_location::current().line());
};

// Imports by the module import rule and binds the result in the module dict.
void import_into_module(const Import &statement);

// The same rule for a function-local import: the module (plain import) or each requested name.
ref import_module(handle module_name);
ref import_for_names(handle module_name, const Name *const *names, std::size_t count);
ref imported_name(handle module, handle module_name, handle name);

template <std::size_t N>
std::array<ref, N> import_from(const Name &module_name, const Name *const (&names)[N]) {
    ref module = import_for_names(module_name, names, N);
    std::array<ref, N> values;
    for (std::size_t i = 0; i < N; ++i) values[i] = imported_name(module, module_name, *names[i]);
    return values;
}

// A module global read at the moment of use: the module dict, then the builtins module, else
// NameError.
ref global(const Name &name);

// A builtin the module calls, looked up once while the module initialises and used from then on.
// The builtin print is the module's status printer: while the caller's context is quiet
// (framewick.quiet), a call prints nothing and answers None; while a listener of the caller's
// context takes its status line (framewick.status), the line goes to the listener instead.
class Builtin : public Name {
public:
    explicit Builtin(const char *utf8) noexcept;
    handle object() const noexcept { return cached_; }
    template <class... A> ref operator()(A &&...args) const {
        if constexpr (sizeof...(A) == 1) {
            if (status_printer_ && status_taken(handle(args)...)) return ref::borrow(Py_None);
        } else {
            if (status_printer_ && quiet_now()) return ref::borrow(Py_None);
        }
        return object()(std::forward<A>(args)...);
    }

    // Looks up every builtin the module declared; false with NameError set.
    static bool cache_all(handle builtins) noexcept;
    // Releases every cached builtin, so that the next initialisation looks them up again.
    static void forget_all() noexcept;

private:
    PyObject *cached_ = nullptr;
    Builtin *next_builtin_;
    bool status_printer_;
};

} // namespace fw
