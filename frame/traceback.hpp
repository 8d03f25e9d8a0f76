// traceback.hpp: traceback entries that name a native function, its module's source and a line.
#pragma once

#include "object.hpp"

namespace fw {

// Adds an entry (function name, the module's source path, line) to the pending exception's
// traceback. Never fails: if the entry cannot be made, the original exception stays pending.
void add_traceback(const char *function_name, int line) noexcept;

// Releases the cached code objects, so that entries are made afresh.
void forget_tracebacks() noexcept;

} // namespace fw
