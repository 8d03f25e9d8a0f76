// constants.cpp: making the constant table.
#include "constants.hpp"

namespace fw {

namespace {
// Constant-initialised, so it is valid before any constant registers itself during loading.
Const *registered = nullptr;
} // namespace

Const::Const(Phase phase) noexcept : phase_(phase), next_(registered) { registered = this; }

PyObject *Name::make() const { return PyUnicode_InternFromString(utf8_); }
PyObject *Text::make() const { return PyUnicode_FromString(utf8_); }
PyObject *IntConst::make() const { return PyLong_FromLongLong(v_); }
PyObject *FloatConst::make() const { return PyFloat_FromDouble(v_); }

PyObject *TupleConst::make() const {
    PyObject *t = PyTuple_New(Py_ssize_t(items_.size()));
    if (!t) return nullptr;
    for (size_t i = 0; i < items_.size(); ++i) {
        PyObject *item = items_[i]->ptr();
        if (!item) {  // an element failed to be made: never expected after the scalar phase
            Py_DECREF(t);
            PyErr_SetString(PyExc_RuntimeError, "constant table is incomplete");
            return nullptr;
        }
        PyTuple_SET_ITEM(t, Py_ssize_t(i), Py_NewRef(item));
    }
    return t;
}

bool Const::make_all(Phase phase) noexcept {
    for (Const *c = registered; c; c = c->next_) {
        if (c->phase_ != phase || c->obj_) continue;
        PyObject *obj = c->make();
        if (!obj) return false;
        // Hash once now, so that every later lookup with this key finds the hash cached.
        if ((PyUnicode_CheckExact(obj) || PyBytes_CheckExact(obj)) && PyObject_Hash(obj) == -1) {
            Py_DECREF(obj);
            return false;
        }
        c->obj_ = obj;
    }
    return true;
}

void Const::forget_all() noexcept {
    for (Const *c = registered; c; c = c->next_) Py_CLEAR(c->obj_);
}

Text empty_str{""};
TupleConst empty_tuple{};

} // namespace fw
