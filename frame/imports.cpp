// imports.cpp: the import rule, global lookup at use, and the cached builtins.
#include "imports.hpp"

#include "module.hpp"

#include <cstring>

namespace fw {

namespace {

// In declaration order, so that they are looked up in the order the module's source names them.
Builtin *declared_builtins = nullptr;
Builtin **declared_builtins_end = &declared_builtins;

PyObject *sys_modules_get(handle name) {
    PyObject *found = nullptr;
    check(PyDict_GetItemRef(PyImport_GetModuleDict(), name.ptr(), &found));
    return found;  // new reference, or null when absent
}

ref import_with_machinery(handle module_name, const Name *const *names, std::size_t count) {
    ref locals = check(PyDict_New());
    ref fromlist;
    if (count) {
        fromlist = check(PyList_New(Py_ssize_t(count)));
        for (std::size_t i = 0; i < count; ++i)
            PyList_SET_ITEM(fromlist.ptr(), Py_ssize_t(i), Py_NewRef(names[i]->ptr()));
    }
    return check(PyImport_ImportModuleLevelObject(module_name.ptr(), module_dict(), locals.ptr(),
                                                  fromlist.ptr(), 0));
}

} // namespace

// 1. Take the module from sys.modules when it is there (and, for a from-import, already has
//    every requested name); otherwise import it through the interpreter's machinery.
//    A None entry (an import blocked on purpose) is never taken: the machinery reports it.
ref import_for_names(handle module_name, const Name *const *names, std::size_t count) {
    ref found = ref::steal(sys_modules_get(module_name));
    if (found && !found.is(Py_None)) {
        bool complete = true;
        for (std::size_t i = 0; i < count && complete; ++i)
            complete = check(PyObject_HasAttrWithError(found.ptr(), names[i]->ptr())) == 1;
        if (complete) return found;
    }
    return import_with_machinery(module_name, names, count);
}

ref import_module(handle module_name) { return import_for_names(module_name, nullptr, 0); }

// 2. Each requested name is an attribute of the module or, failing that, a submodule already in
//    sys.modules under "module.name".
ref imported_name(handle module, handle module_name, handle name) {
    PyObject *value = nullptr;
    if (check(PyObject_GetOptionalAttr(module.ptr(), name.ptr(), &value))) return ref::steal(value);
    ref full = check(PyUnicode_FromFormat("%U.%U", module_name.ptr(), name.ptr()));
    if (PyObject *sub = sys_modules_get(full)) return ref::steal(sub);
    throw raise_format(PyExc_ImportError, "cannot import name %S", name.ptr());
}

// 3. Bind the results in the module dict, under their own names or the alias.
void import_into_module(const Import &statement) {
    PyObject *dict = module_dict();
    if (statement.names.empty()) {
        ref module = import_module(*statement.module);
        const Name &bound = statement.as ? *statement.as : *statement.module;
        check(PyDict_SetItem(dict, bound.ptr(), module.ptr()));
        return;
    }
    ref module = import_for_names(*statement.module, statement.names.data(), statement.names.size());
    for (const Name *name : statement.names) {
        ref value = imported_name(module, *statement.module, *name);
        check(PyDict_SetItem(dict, name->ptr(), value.ptr()));
    }
}

ref global(const Name &name) {
    PyObject *value = nullptr;
    if (check(PyDict_GetItemRef(module_dict(), name.ptr(), &value))) return ref::steal(value);
    if (check(PyObject_GetOptionalAttr(builtins_module(), name.ptr(), &value))) return ref::steal(value);
    throw raise_format(PyExc_NameError, "name '%U' is not defined", name.ptr());
}

Builtin::Builtin(const char *utf8) noexcept
    : Name(utf8), next_builtin_(nullptr), status_printer_(std::strcmp(utf8, "print") == 0) {
    *declared_builtins_end = this;
    declared_builtins_end = &next_builtin_;
}

void Builtin::forget_all() noexcept {
    for (Builtin *b = declared_builtins; b; b = b->next_builtin_) Py_CLEAR(b->cached_);
}

bool Builtin::cache_all(handle builtins) noexcept {
    for (Builtin *b = declared_builtins; b; b = b->next_builtin_) {
        if (b->cached_) continue;
        PyObject *value = nullptr;
        int found = PyObject_GetOptionalAttr(builtins.ptr(), b->ptr(), &value);
        if (found < 0) return false;
        if (!found) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", b->ptr());
            return false;
        }
        b->cached_ = value;
    }
    return true;
}

} // namespace fw
