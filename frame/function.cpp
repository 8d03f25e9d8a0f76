// function.cpp: the shared function type: attributes, binding to instances, the registry.
#include "function.hpp"

#include <cstddef>
#include <cstdint>

namespace fw {

namespace {

// The registry: sys.modules[registry_name].function is a capsule named capsule_name whose
// pointer is a SharedTypes record. Bump abi_version (it is part of both names) whenever
// FunctionObject's layout or the type's behaviour changes, so that modules built from different
// frames never share a type.
#define FW_ABI_VERSION 2
#define FW_STRINGIFY(x) #x
#define FW_TEXT(x) FW_STRINGIFY(x)
constexpr std::uint32_t abi_version = FW_ABI_VERSION;
constexpr const char *registry_name = "_framewick_shared_" FW_TEXT(FW_ABI_VERSION);
constexpr const char *type_attr = "function";
constexpr const char *capsule_name = "_framewick_shared_" FW_TEXT(FW_ABI_VERSION) ".function";

// The record the first module to load publishes. A type found in the registry is used only when
// it comes in a capsule of exactly this name (a plain type, or any other object planted there,
// never yields a pointer) and the record agrees on the version and the object layout. It lives
// in that module's static storage: an extension module is never unloaded.
struct SharedTypes {
    std::uint32_t abi;
    std::uint32_t object_size;
    PyTypeObject *function;
};
SharedTypes published{};

FunctionObject *as_fn(PyObject *o) noexcept { return reinterpret_cast<FunctionObject *>(o); }

// --- Lifetime -----------------------------------------------------------------------------

int fn_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_fn(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    return 0;
}

int fn_clear(PyObject *self) {
    FunctionObject *f = as_fn(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    return 0;
}

void fn_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_fn(self)->weakrefs) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// A field as an attribute reads it. A collected reference cycle is broken by fn_clear, after
// which a finalizer in that cycle can still reach the object: an emptied field reads as None.
PyObject *field(PyObject *value) noexcept { return Py_NewRef(value ? value : Py_None); }

// --- Behaviour ----------------------------------------------------------------------------

PyObject *fn_repr(PyObject *self) {
    if (PyObject *qualname = as_fn(self)->qualname)
        return PyUnicode_FromFormat("<framewick function %S at %p>", qualname, self);
    return PyUnicode_FromFormat("<framewick function at %p>", self);
}

// Looked up through an instance (or, for classmethod, a class) it binds like a plain function.
PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Pickled by reference: the module and qualified name find it again.
PyObject *fn_reduce(PyObject *self, PyObject *) {
    if (PyObject *qualname = as_fn(self)->qualname) return Py_NewRef(qualname);
    PyErr_SetString(PyExc_TypeError, "cannot pickle a cleared framewick function");
    return nullptr;
}

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- Attributes ---------------------------------------------------------------------------

PyObject *get_name(PyObject *self, void *) { return field(as_fn(self)->name); }
int set_name(PyObject *self, PyObject *value, void *) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_fn(self)->name, Py_NewRef(value));
    return 0;
}

PyObject *get_qualname(PyObject *self, void *) { return field(as_fn(self)->qualname); }
int set_qualname(PyObject *self, PyObject *value, void *) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_fn(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject *get_doc(PyObject *self, void *) { return field(as_fn(self)->doc); }
int set_doc(PyObject *self, PyObject *value, void *) {
    Py_SETREF(as_fn(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject *get_defaults(PyObject *self, void *) { return field(as_fn(self)->defaults); }
int set_defaults(PyObject *self, PyObject *value, void *) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    // The defaults a call uses were fixed when the function was made.
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "changes to __defaults__ do not affect the default values a call uses", 1) < 0)
        return -1;
    Py_SETREF(as_fn(self)->defaults, Py_NewRef(value));
    return 0;
}

PyObject *get_kwdefaults(PyObject *self, void *) { return field(as_fn(self)->kwdefaults); }
int set_kwdefaults(PyObject *self, PyObject *value, void *) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "changes to __kwdefaults__ do not affect the default values a call uses", 1) < 0)
        return -1;
    Py_SETREF(as_fn(self)->kwdefaults, Py_NewRef(value));
    return 0;
}

PyObject *get_annotations(PyObject *self, void *) { return field(as_fn(self)->annotations); }
int set_annotations(PyObject *self, PyObject *value, void *) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    if (value == Py_None) {
        value = PyDict_New();
        if (!value) return -1;
    } else {
        Py_INCREF(value);
    }
    Py_SETREF(as_fn(self)->annotations, value);
    return 0;
}

PyObject *get_code(PyObject *self, void *) { return field(as_fn(self)->code); }
PyObject *get_globals(PyObject *self, void *) { return field(as_fn(self)->globals); }
PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }
PyObject *get_type_params(PyObject *, void *) { return PyTuple_New(0); }

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(fn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(fn_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(fn_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(fn_descr_get)},
    {Py_tp_methods, fn_methods},
    {Py_tp_getset, fn_getset},
    {Py_tp_members, fn_members},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "_framewick_shared_" FW_TEXT(FW_ABI_VERSION) ".framewick_function",
    sizeof(FunctionObject),
    0,
    // METHOD_DESCRIPTOR: obj.method(...) calls us with obj prepended instead of binding first.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        // Only new_function makes one: an object made any other way would have no definition.
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    fn_slots,
};

// The registry module in sys.modules, created when absent.
ref registry_module() {
    ref name = check(PyUnicode_FromString(registry_name));
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *found = nullptr;
    if (check(PyDict_GetItemRef(modules, name.ptr(), &found))) return ref::steal(found);
    ref mod = check(PyModule_NewObject(name.ptr()));
    check(PyDict_SetItem(modules, name.ptr(), mod.ptr()));
    return mod;
}

} // namespace

PyTypeObject *function_type = nullptr;

// 1. The registry's entry, when there is one, must be a capsule of exactly capsule_name (else
//    TypeError: the wrong kind of entry) whose record has this frame's version and object size
//    and a type of that size (else TypeError asking to rebuild). 2. Without an entry, make the
//    type and publish it. A bad entry fails the import rather than being replaced: the modules
//    already loaded use the type it names, and a second type would split them.
PyTypeObject *obtain_function_type() noexcept {
    if (function_type) return function_type;
    try {
        ref registry = registry_module();
        PyObject *found = nullptr;
        if (check(PyObject_GetOptionalAttrString(registry.ptr(), type_attr, &found))) {
            ref entry = ref::steal(found);
            if (!PyCapsule_IsValid(found, capsule_name)) {
                PyErr_Format(PyExc_TypeError,
                             "Shared registry entry %s.%s is not a framewick type record (found %.200s)",
                             registry_name, type_attr, Py_TYPE(found)->tp_name);
                return nullptr;
            }
            auto *record = static_cast<const SharedTypes *>(PyCapsule_GetPointer(found, capsule_name));
            if (!record) return nullptr;
            if (record->abi != abi_version || record->object_size != sizeof(FunctionObject) ||
                !record->function || record->function->tp_basicsize != Py_ssize_t(sizeof(FunctionObject))) {
                PyErr_Format(PyExc_TypeError, "Shared type %s.%s has the wrong size, try recompiling",
                             registry_name, type_attr);
                return nullptr;
            }
            function_type = reinterpret_cast<PyTypeObject *>(Py_NewRef(record->function));
            return function_type;
        }
        ref type = check(PyType_FromSpec(&fn_spec));
        published = {abi_version, std::uint32_t(sizeof(FunctionObject)), reinterpret_cast<PyTypeObject *>(type.ptr())};
        ref capsule = check(PyCapsule_New(&published, capsule_name, nullptr));
        check(PyObject_SetAttrString(registry.ptr(), type_attr, capsule.ptr()));
        // Kept for the process: the record points at it.
        function_type = reinterpret_cast<PyTypeObject *>(type.release());
        return function_type;
    } catch (error &) {
        return nullptr;
    }
}

namespace {
Name co_argcount{"co_argcount"}, co_nlocals{"co_nlocals"}, co_varnames{"co_varnames"},
    co_flags{"co_flags"}, co_qualname{"co_qualname"}, replace{"replace"}, return_key{"return"};
TupleConst code_fields{&co_argcount, &co_nlocals, &co_varnames, &co_flags, &co_qualname};

const char *annotation_text(Ann a) noexcept {
    switch (a) {
    case Ann::str: return "str";
    case Ann::tuple: return "tuple";
    case Ann::int_: return "int";
    case Ann::float_: return "float";
    case Ann::bool_: return "bool";
    case Ann::none: break;
    }
    return nullptr;
}
} // namespace

namespace {
// Every definition prepared, for forget_functions. Never destroyed, like what it points at.
std::vector<FunctionDef *> &prepared = *new std::vector<FunctionDef *>();
} // namespace

void forget_functions() noexcept {
    for (FunctionDef *def : prepared) {
        for (PyObject *&name : def->param_names) Py_CLEAR(name);
        def->param_names.clear();
        Py_CLEAR(def->defaults_tuple);
        Py_CLEAR(def->traceback_name);
        Py_CLEAR(def->method_name);
        Py_CLEAR(def->code);
    }
    prepared.clear();
    Py_CLEAR(function_type);
}

void prepare_function(FunctionDef &def, handle qualname, handle qualified_module, const char *source_path) {
    if (def.code) return;  // made by an earlier, failed initialisation
    const std::size_t n = def.params.size();

    std::vector<PyObject *> names;
    for (const char *p : def.params) names.push_back(check(PyUnicode_InternFromString(p)).release());
    def.param_names = names;

    ref defaults = check(PyTuple_New(Py_ssize_t(def.defaults.size())));
    for (std::size_t i = 0; i < def.defaults.size(); ++i)
        PyTuple_SET_ITEM(defaults.ptr(), Py_ssize_t(i), Py_NewRef(def.defaults[i]->ptr()));

    // Traceback name: the module, then the qualified name (a lambda shows its bare name).
    ref shown = PyUnicode_CompareWithASCIIString(qualname.ptr(), "<lambda>") == 0
                    ? check(PyUnicode_FromString(def.name))
                    : ref::borrow(qualname);
    ref tb_name = check(PyUnicode_FromFormat("%U.%U", qualified_module.ptr(), shown.ptr()));
    Py_ssize_t len = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(tb_name.ptr(), &len);
    if (!utf8) throw error{};

    // __code__: an empty code object that records the parameters and locals for introspection.
    ref varnames = check(PyTuple_New(Py_ssize_t(n + def.locals.size())));
    for (std::size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(varnames.ptr(), Py_ssize_t(i), Py_NewRef(names[i]));
    for (std::size_t i = 0; i < def.locals.size(); ++i)
        PyTuple_SET_ITEM(varnames.ptr(), Py_ssize_t(n + i), check(PyUnicode_InternFromString(def.locals[i])).release());
    ref empty = check(reinterpret_cast<PyObject *>(PyCode_NewEmpty(source_path, def.name, def.line)));
    ref argcount = check(PyLong_FromSize_t(n));
    ref nlocals = check(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames.ptr())));
    ref flags = check(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    ref code = empty.method_kw(replace, code_fields, argcount, nlocals, varnames, flags, qualname);

    ref method_name = check(PyUnicode_InternFromString(def.name));

    prepared.push_back(&def);
    def.method_name = method_name.release();
    def.defaults_tuple = defaults.release();
    def.traceback_name_utf8.assign(utf8, std::size_t(len));
    def.traceback_name = tb_name.release();
    def.code = code.release();
}

ref new_function(FunctionDef &def, handle qualname, handle module_name, handle globals) {
    ref annotations = check(PyDict_New());
    for (std::size_t i = 0; i < def.params.size(); ++i)
        if (const char *text = annotation_text(def.body.ann[i])) {
            ref t = check(PyUnicode_FromString(text));
            check(PyDict_SetItem(annotations.ptr(), def.param_names[i], t.ptr()));
        }
    if (def.returns) {
        ref t = check(PyUnicode_FromString(def.returns));
        check(PyDict_SetItem(annotations.ptr(), return_key.ptr(), t.ptr()));
    }

    FunctionObject *f = PyObject_GC_New(FunctionObject, function_type);
    if (!f) throw error{};
    f->vectorcall = def.body.entry;
    f->def = &def;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->name = PyUnicode_FromString(def.name);
    f->qualname = Py_NewRef(qualname.ptr());
    f->module = Py_NewRef(module_name.ptr());
    f->doc = Py_NewRef(def.doc ? def.doc->ptr() : Py_None);
    f->defaults = Py_NewRef(PyTuple_GET_SIZE(def.defaults_tuple) ? def.defaults_tuple : Py_None);
    f->kwdefaults = Py_NewRef(Py_None);
    f->annotations = annotations.release();
    f->code = Py_NewRef(def.code);
    f->globals = Py_NewRef(globals.ptr());
    ref fn = ref::steal(reinterpret_cast<PyObject *>(f));
    PyObject_GC_Track(f);
    if (!f->name) throw error{};
    return fn;
}

} // namespace fw
