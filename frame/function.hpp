// function.hpp: the function type shared by every framewick module, and the record of one function.
#pragma once

#include "constants.hpp"

#include <cstdint>
#include <source_location>
#include <string>
#include <vector>

namespace fw {

// What a parameter's annotation asks of the value passed (see binding.hpp).
enum class Ann : std::uint8_t { none, str, tuple, int_, float_, bool_ };

inline constexpr std::size_t max_params = 8;

// What the frame learns from a body's C++ signature: its entry point and parameter annotations.
struct BodyInfo {
    vectorcallfunc entry;
    std::size_t arity;
    Ann ann[max_params];
};

// One function of a module: a method of its class or a module-level anonymous function.
// Declared in the module's source; the objects below the line are made during initialisation.
struct FunctionDef {
    const char *name;                    // __name__, and the name in argument messages
    std::vector<const char *> params{};    // receiver first
    std::vector<const char *> locals{};    // further local names recorded in __code__
    std::vector<const Const *> defaults{}; // for the trailing parameters
    const Text *doc = nullptr;           // __doc__, or None
    const char *returns = nullptr;       // return annotation text, if any
    bool classmethod = false;
    BodyInfo body;
    int line = int(std::source_location::current().line());  // where the definition stands

    // Made at initialisation.
    std::vector<PyObject *> param_names{};  // interned
    PyObject *defaults_tuple = nullptr;
    PyObject *code = nullptr;
    PyObject *traceback_name = nullptr;    // "framewick.utils.storage.Storage.save"
    PyObject *method_name = nullptr;       // "save", interned: the name its outcomes carry
    std::string traceback_name_utf8{};

    std::size_t required() const noexcept { return params.size() - defaults.size(); }
};

// The layout of a function object. Every module builds its objects with the type made by the
// first module to load, so the layout is fixed across modules (the registry record checks it).
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;  // the creating module's own entry point for this function
    FunctionDef *def;           // read only by the creating module's code
    PyObject *dict;
    PyObject *weakrefs;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;         // __defaults__ as shown; calls use def->defaults_tuple
    PyObject *kwdefaults;
    PyObject *annotations;
    PyObject *code;
    PyObject *globals;
};

inline FunctionDef &function_def(PyObject *callable) noexcept {
    return *reinterpret_cast<FunctionObject *>(callable)->def;
}

// Finds the shared function type in the registry module, or creates both; null with an error.
PyTypeObject *obtain_function_type() noexcept;

// Prepares a definition's code object, names and defaults (once per process).
void prepare_function(FunctionDef &def, handle qualname, handle qualified_module, const char *source_path);

// Releases the function type and what every prepared definition holds, so that the next
// initialisation makes them afresh (the interpreter they were made in is going away).
void forget_functions() noexcept;

// A new function object for `def`.
ref new_function(FunctionDef &def, handle qualname, handle module_name, handle globals);

} // namespace fw
