// module.cpp: module definition and initialisation: the create and exec slots and their rules.
#include "module.hpp"

#include "binding.hpp"
#include "status.hpp"
#include "traceback.hpp"

#include <cstdint>
#include <string>

namespace fw {

namespace {

// Process-wide state of this module file, under the interpreter's lock.
std::int64_t remembered_interpreter = -1;
PyObject *remembered_module = nullptr;
PyObject *dict = nullptr;
PyObject *builtins = nullptr;

Name dunder_module{"__module__"}, dunder_qualname{"__qualname__"}, dunder_doc{"__doc__"},
    dunder_test{"__test__"};

// Copies spec.<from> to module.<to>; a missing attribute is skipped.
void copy_spec_attr(handle spec, handle module_dict, const char *from, const char *to, bool skip_none) {
    PyObject *value = nullptr;
    if (!check(PyObject_GetOptionalAttrString(spec.ptr(), from, &value))) return;
    ref v = ref::steal(value);
    if (skip_none && v.is(Py_None)) return;
    check(PyDict_SetItemString(module_dict.ptr(), to, v.ptr()));
}

[[gnu::cold]] void init_traceback(int line) {
    std::string name = std::string("init ") + this_module.identity.qualified_name;
    add_traceback(name.c_str(), line);
}

ref qualified(handle class_name, const char *method) {
    return check(PyUnicode_FromFormat("%U.%s", class_name.ptr(), method));
}

ref build_class(ClassDef &cls, handle module_name) {
    ref class_name = check(PyUnicode_InternFromString(cls.name));
    ref ns = check(PyDict_New());
    check(PyDict_SetItem(ns.ptr(), dunder_module.ptr(), module_name.ptr()));
    check(PyDict_SetItem(ns.ptr(), dunder_qualname.ptr(), class_name.ptr()));
    if (cls.doc) check(PyDict_SetItem(ns.ptr(), dunder_doc.ptr(), cls.doc->ptr()));
    for (FunctionDef *def : cls.methods) {
        ref qualname = qualified(class_name, def->name);
        ref fn = new_function(*def, qualname, module_name, dict);
        if (def->classmethod) fn = check(PyClassMethod_New(fn.ptr()));
        check(PyDict_SetItemString(ns.ptr(), def->name, fn.ptr()));
    }
    // type(name, (), namespace): the plain metaclass, no __prepare__.
    return handle(reinterpret_cast<PyObject *>(&PyType_Type))(class_name, empty_tuple, ns);
}

// Called while the interpreter that claimed the module is being destroyed (a subinterpreter;
// the main one ends with the process): everything the module made in it goes with it, and the
// claim is released, so that another interpreter can load the module afresh. The one-interpreter
// rule holds at every moment: the claim is only ever held by an interpreter that is alive.
void release_claim(void *) noexcept {
    Py_CLEAR(remembered_module);
    dict = nullptr;
    Py_CLEAR(builtins);
    Const::forget_all();
    Builtin::forget_all();
    forget_functions();
    forget_tracebacks();
    forget_status_sink();
    remembered_interpreter = -1;
}

} // namespace

PyObject *module_dict() noexcept { return dict; }
PyObject *builtins_module() noexcept { return builtins; }

ref module_function(FunctionDef &def, handle qualname) {
    ref module_name = check(PyUnicode_FromString(this_module.identity.qualified_name));
    prepare_function(def, qualname, module_name, this_module.identity.source_path);
    return new_function(def, qualname, module_name, dict);
}

namespace detail {

// 1. Read the current interpreter's id. 2. One interpreter per process: the first to come
// claims the module (a subinterpreter until it is destroyed, see release_claim). 3. A module made
// before is handed out again. 4. Otherwise a new module named by spec.name, with the spec's
// loader, origin, parent and search locations copied in.
PyObject *create_slot(PyObject *spec, PyModuleDef *) noexcept {
    PyInterpreterState *interpreter = PyInterpreterState_Get();
    std::int64_t current = PyInterpreterState_GetID(interpreter);
    if (current == -1) return nullptr;
    if (remembered_interpreter == -1) {
        if (interpreter != PyInterpreterState_Main() && PyUnstable_AtExit(interpreter, release_claim, nullptr) < 0)
            return nullptr;
        remembered_interpreter = current;
    } else if (current != remembered_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (remembered_module) return Py_NewRef(remembered_module);
    try {
        ref name = check(PyObject_GetAttrString(spec, "name"));
        ref module = check(PyModule_NewObject(name.ptr()));
        handle mdict = PyModule_GetDict(module.ptr());
        copy_spec_attr(spec, mdict, "loader", "__loader__", false);
        copy_spec_attr(spec, mdict, "origin", "__file__", false);
        copy_spec_attr(spec, mdict, "parent", "__package__", false);
        copy_spec_attr(spec, mdict, "submodule_search_locations", "__path__", true);
        return module.release();
    } catch (error &) {
        return nullptr;
    }
}

int exec_slot(PyObject *module) noexcept {
    const Identity &id = this_module.identity;
    // 1. Exec runs once per process.
    if (remembered_module) {
        if (remembered_module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     id.short_name);
        return -1;
    }
    // 2. Remember the module and take its dict.
    remembered_module = Py_NewRef(module);
    dict = PyModule_GetDict(module);
    bool constants_ready = false;
    ref registered_name;  // set when step 7 added the module to sys.modules
    int line = this_module.cls->line;
    try {
        // 3. __builtins__.
        Py_XSETREF(builtins, PyImport_AddModuleRef("builtins"));
        if (!builtins) throw error{};
        check(PyDict_SetItemString(dict, "__builtins__", builtins));

        // 4. Built for 3.14: another runtime is warned about (an error only if warnings are).
        const unsigned long major = (Py_Version >> 24) & 0xff, minor = (Py_Version >> 16) & 0xff;
        if (major != 3 || minor != 14) {
            char message[200];
            PyOS_snprintf(message, sizeof message,
                          "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3,
                          14, id.qualified_name, "does not match", int(major), int(minor));
            check(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
        }

        // 5. The constant table.
        if (!Const::make_all(Const::Phase::scalar)) throw error{};
        constants_ready = true;

        // 6. The registry of shared types, and the status sink every module reports to.
        if (!obtain_function_type() || !obtain_status_sink()) throw error{};

        // 7. sys.modules knows the module under its qualified name.
        ref module_name = check(PyUnicode_FromString(id.qualified_name));
        PyObject *previous = nullptr;
        if (check(PyDict_SetDefaultRef(PyImport_GetModuleDict(), module_name.ptr(), module, &previous)) == 0)
            registered_name = module_name;
        Py_XDECREF(previous);

        // 8. The builtins the module calls.
        if (!Builtin::cache_all(builtins)) throw error{};

        // 9. Constant tuples and code objects.
        if (!Const::make_all(Const::Phase::tuple)) throw error{};
        ref class_name = check(PyUnicode_FromString(this_module.cls->name));
        for (FunctionDef *def : this_module.cls->methods)
            prepare_function(*def, qualified(class_name, def->name), module_name, id.source_path);

        // 10. The shared function type (obtained in step 6, kept for the process).

        // 11. Imports, in source order, then the module's computed globals.
        for (const Import &statement : this_module.imports) {
            line = statement.line;
            import_into_module(statement);
        }
        for (const Global &global : this_module.globals) {
            line = global.line;
            ref value = global.make();
            check(PyDict_SetItem(dict, global.name->ptr(), value.ptr()));
        }

        // 12. The class, bound only once all of its methods exist.
        line = this_module.cls->line;
        ref cls = build_class(*this_module.cls, module_name);
        check(PyDict_SetItemString(dict, this_module.cls->name, cls.ptr()));

        // 13. __test__.
        ref test = check(PyDict_New());
        check(PyDict_SetItem(dict, dunder_test.ptr(), test.ptr()));
        return 0;
    } catch (error &) {
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    }
    if (constants_ready) init_traceback(line);
    // A half-initialised module must not stay reachable under the name step 7 gave it: the
    // import machinery only removes the name it was loading.
    if (registered_name) {
        PyObject *exc = PyErr_GetRaisedException();
        PyObject *modules = PyImport_GetModuleDict();
        PyObject *entry = nullptr;
        if (PyDict_GetItemRef(modules, registered_name.ptr(), &entry) > 0 && entry == module)
            PyDict_DelItem(modules, registered_name.ptr());
        Py_XDECREF(entry);
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
    // Forget the module, so that a later import starts afresh.
    Py_CLEAR(remembered_module);
    dict = nullptr;
    return -1;
}

} // namespace detail

} // namespace fw
