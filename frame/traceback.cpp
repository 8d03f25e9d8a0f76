// traceback.cpp: traceback entries, with the code objects they need cached per source line.
#include "traceback.hpp"

#include "module.hpp"

#include <frameobject.h>

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

namespace fw {

namespace {

// (line, code object) pairs sorted by line. Every line of a module belongs to one function, so
// the line alone identifies the entry's code object. Never destroyed: its code objects live for
// the process, and a cache that the C++ runtime tore down at exit would leave them unreferenced.
using CodeCache = std::vector<std::pair<int, PyObject *>>;
CodeCache &code_cache = *new CodeCache();

// Where `line` is, or belongs, in the cache.
CodeCache::iterator position(int line) {
    return std::lower_bound(code_cache.begin(), code_cache.end(), line,
                            [](const auto &entry, int l) { return entry.first < l; });
}

// An empty code object named after the function, carrying the module's source path; borrowed.
PyObject *code_for(const char *function_name, int line) {
    auto at = position(line);
    if (at != code_cache.end() && at->first == line) return at->second;
    PyCodeObject *code = PyCode_NewEmpty(this_module.identity.source_path, function_name, line);
    if (!code) return nullptr;
    // Making it may have run other code (a collection's finalizers, another thread), which may
    // have filled the cache meanwhile: look again rather than trust the old position.
    at = position(line);
    if (at != code_cache.end() && at->first == line) {
        Py_DECREF(code);
        return at->second;
    }
    try {
        if (code_cache.size() == code_cache.capacity()) {
            std::size_t pos = std::size_t(at - code_cache.begin());
            code_cache.reserve(code_cache.capacity() + 64);
            at = code_cache.begin() + std::ptrdiff_t(pos);
        }
        code_cache.insert(at, {line, reinterpret_cast<PyObject *>(code)});
    } catch (std::bad_alloc &) {  // no room to keep it: the entry is left out
        Py_DECREF(code);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(code);
}

} // namespace

void forget_tracebacks() noexcept {
    for (auto &entry : code_cache) Py_CLEAR(entry.second);
    code_cache.clear();
}

void add_traceback(const char *function_name, int line) noexcept {
    // The entry is made with the exception set aside, so that making it cannot disturb it.
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *code = code_for(function_name, line);
    PyFrameObject *frame = nullptr;
    PyObject *globals = module_dict();
    if (code && globals)
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code), globals, nullptr);
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

} // namespace fw
