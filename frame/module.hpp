// module.hpp: a module's description and its definition and initialisation (create and exec slots).
#pragma once

#include "function.hpp"
#include "imports.hpp"

#include <source_location>
#include <vector>

namespace fw {

// Fixed at build time for each module.
struct Identity {
    const char *short_name;      // "storage": the init function is PyInit_storage
    const char *qualified_name;  // "framewick.utils.storage"
    const char *source_path;     // "framewick_source/utils/storage": shown in tracebacks
};

// A module global whose value the module computes while it initialises (e.g. a table).
struct Global {
    const Name *name;
    ref (*make)();
    int line = int(std::source_location::current().line());
};

struct ClassDef {
    const char *name;
    const Text *doc = nullptr;
    std::vector<FunctionDef *> methods;  // in order of definition
    int line = int(std::source_location::current().line());
};

// Everything a module puts into the frame, in the order its initialisation binds it:
// imports, computed globals, then the class.
struct ModuleSpec {
    Identity identity;
    std::vector<Import> imports;
    std::vector<Global> globals;
    ClassDef *cls;
};

// Each module's source defines its own.
extern ModuleSpec this_module;

// The module dict and the builtins module, once initialisation has taken them; borrowed.
PyObject *module_dict() noexcept;
PyObject *builtins_module() noexcept;

// A module-level function object (e.g. an anonymous function), made while the module initialises.
ref module_function(FunctionDef &def, handle qualname);

namespace detail {
PyObject *create_slot(PyObject *spec, PyModuleDef *def) noexcept;
int exec_slot(PyObject *module) noexcept;
} // namespace detail

} // namespace fw

// The module's exported entry point and its static definition: exactly a create and an exec slot.
#define FRAMEWICK_MODULE(short_name)                                                              \
    static PyModuleDef_Slot fw_module_slots[] = {                                                 \
        {Py_mod_create, reinterpret_cast<void *>(fw::detail::create_slot)},                       \
        {Py_mod_exec, reinterpret_cast<void *>(fw::detail::exec_slot)},                           \
        {0, nullptr},                                                                             \
    };                                                                                            \
    static PyModuleDef fw_module_def = {                                                          \
        PyModuleDef_HEAD_INIT, #short_name, nullptr, 0, nullptr, fw_module_slots,                \
        nullptr, nullptr, nullptr,                                                                \
    };                                                                                            \
    extern "C" PyMODINIT_FUNC PyInit_##short_name(void) { return PyModuleDef_Init(&fw_module_def); }
