/* standin.c: a stand-in picture whose methods return at once, for the call-cost benchmark.
 *
 * Every method takes any arguments (positional and keyword) and returns the picture itself,
 * except `thumbnail`, which returns None as Pillow's does. The methods are native so that the
 * picture's own work costs next to nothing on both sides of the comparison: what is measured
 * is the caller's call path, not an interpreter frame in the stand-in. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *same(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    (void)args, (void)nargs, (void)kwnames;
    return Py_NewRef(self);
}

static PyObject *nothing(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    Py_RETURN_NONE;
}

#define SAME(name) {name, (PyCFunction)(void (*)(void))same, METH_FASTCALL | METH_KEYWORDS, NULL}

static PyMethodDef picture_methods[] = {
    SAME("crop"), SAME("rotate"), SAME("transpose"), SAME("resize"), SAME("convert"), SAME("copy"),
    {"thumbnail", (PyCFunction)(void (*)(void))nothing, METH_FASTCALL | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot picture_slots[] = {
    {Py_tp_methods, picture_methods},
    {Py_tp_doc, (void *)"A picture whose methods return at once."},
    {0, NULL},
};

static PyType_Spec picture_spec = {"_standin.Picture", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, picture_slots};

/* --- Hand-written floors ---------------------------------------------------------------------
 * thumbnail, crop, rotate and flip written directly against the C API, as briefly as it allows,
 * and exposed as method descriptors (the call the interpreter specialises best). They do what
 * the framewick methods do for exact arguments (plus the int()/float() fallbacks and the
 * refusal of a non-str direction), without a frame: the least any native implementation of
 * those steps can cost. Measured for information. */

static PyObject *s_image, *s_thumbnail, *s_crop, *s_rotate, *kw_expand, *default_size;
static PyObject *s_lower, *s_transpose, *s_horizontal, *s_vertical, *s_flip_lr, *s_flip_tb, *flipped, *flipped_end;
static PyObject *pil_image, *print;

static PyObject *set_image_from(PyObject *self, PyObject *result) {
    if (!result) return NULL;
    int rc = PyObject_SetAttr(self, s_image, result);
    Py_DECREF(result);
    return rc < 0 ? NULL : Py_NewRef(self);
}

static PyObject *ideal_thumbnail(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs > 1) return PyErr_Format(PyExc_TypeError, "thumbnail() takes at most 2 positional arguments");
    PyObject *size = nargs ? args[0] : default_size;
    if (!PyTuple_CheckExact(size)) return PyErr_Format(PyExc_TypeError, "Argument 'size' has incorrect type");
    PyObject *image = PyObject_GetAttr(self, s_image);
    if (!image) return NULL;
    PyObject *argv[2] = {image, size};
    PyObject *r = PyObject_VectorcallMethod(s_thumbnail, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
    Py_DECREF(image);
    if (!r) return NULL;
    Py_DECREF(r);
    return Py_NewRef(self);
}

static PyObject *ideal_crop(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 4) return PyErr_Format(PyExc_TypeError, "crop() takes exactly 5 positional arguments");
    PyObject *box = PyTuple_New(4);
    if (!box) return NULL;
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject *v = PyLong_CheckExact(args[i]) ? Py_NewRef(args[i]) : PyNumber_Long(args[i]);
        if (!v) {
            Py_DECREF(box);
            return NULL;
        }
        PyTuple_SET_ITEM(box, i, v);
    }
    PyObject *image = PyObject_GetAttr(self, s_image);
    if (!image) {
        Py_DECREF(box);
        return NULL;
    }
    PyObject *argv[2] = {image, box};
    PyObject *r = PyObject_VectorcallMethod(s_crop, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
    Py_DECREF(image);
    Py_DECREF(box);
    return set_image_from(self, r);
}

static PyObject *ideal_rotate(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 2) return PyErr_Format(PyExc_TypeError, "rotate() takes 2 to 3 positional arguments");
    double angle = PyFloat_AsDouble(args[0]);
    if (angle == -1.0 && PyErr_Occurred()) return NULL;
    int expand = nargs > 1 ? PyObject_IsTrue(args[1]) : 1;
    if (expand < 0) return NULL;
    PyObject *image = PyObject_GetAttr(self, s_image);
    if (!image) return NULL;
    PyObject *angle_obj = PyFloat_FromDouble(angle);
    if (!angle_obj) {
        Py_DECREF(image);
        return NULL;
    }
    PyObject *argv[3] = {image, angle_obj, expand ? Py_True : Py_False};
    PyObject *r = PyObject_VectorcallMethod(s_rotate, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_expand);
    Py_DECREF(image);
    Py_DECREF(angle_obj);
    return set_image_from(self, r);
}

static PyObject *ideal_flip(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs > 1) return PyErr_Format(PyExc_TypeError, "flip() takes from 1 to 2 positional arguments");
    PyObject *direction = nargs ? args[0] : s_horizontal;
    if (!PyUnicode_CheckExact(direction))
        return PyErr_Format(PyExc_TypeError, "Argument 'direction' has incorrect type (expected str, got %s)",
                            Py_TYPE(direction)->tp_name);
    PyObject *lowered = PyObject_VectorcallMethod(s_lower, &direction, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
    if (!lowered) return NULL;
    PyObject *constant = NULL;
    if (PyUnicode_Compare(lowered, s_horizontal) == 0)
        constant = s_flip_lr;
    else if (PyUnicode_Compare(lowered, s_vertical) == 0)
        constant = s_flip_tb;
    Py_DECREF(lowered);
    if (!constant) {
        PyErr_SetString(PyExc_ValueError, "\xe2\x9d\x8c Error: Direction must be 'horizontal' or 'vertical'.");
        return NULL;
    }
    PyObject *method = PyObject_GetAttr(pil_image, constant);
    if (!method) return NULL;
    PyObject *image = PyObject_GetAttr(self, s_image);
    if (!image) {
        Py_DECREF(method);
        return NULL;
    }
    PyObject *argv[2] = {image, method};
    PyObject *r = PyObject_VectorcallMethod(s_transpose, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
    Py_DECREF(image);
    Py_DECREF(method);
    if (!set_image_from(self, r)) return NULL;
    Py_DECREF(self);
    PyObject *head = PyUnicode_Concat(flipped, direction);
    if (!head) return NULL;
    PyObject *text = PyUnicode_Concat(head, flipped_end);
    Py_DECREF(head);
    if (!text) return NULL;
    PyObject *printed = PyObject_Vectorcall(print, &text, 1, NULL);
    Py_DECREF(text);
    if (!printed) return NULL;
    Py_DECREF(printed);
    return Py_NewRef(self);
}

static PyMethodDef ideal_defs[] = {
    {"flip", (PyCFunction)(void (*)(void))ideal_flip, METH_FASTCALL, NULL},
    {"thumbnail", (PyCFunction)(void (*)(void))ideal_thumbnail, METH_FASTCALL, NULL},
    {"crop", (PyCFunction)(void (*)(void))ideal_crop, METH_FASTCALL, NULL},
    {"rotate", (PyCFunction)(void (*)(void))ideal_rotate, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static int exec_module(PyObject *module) {
    PyObject *type = PyType_FromSpec(&picture_spec);
    if (!type) return -1;
    int rc = PyModule_AddObjectRef(module, "Picture", type);
    Py_DECREF(type);
    if (rc < 0) return -1;
    s_image = PyUnicode_InternFromString("image");
    s_thumbnail = PyUnicode_InternFromString("thumbnail");
    s_crop = PyUnicode_InternFromString("crop");
    s_rotate = PyUnicode_InternFromString("rotate");
    kw_expand = Py_BuildValue("(s)", "expand");
    default_size = Py_BuildValue("(ii)", 128, 128);
    if (!s_image || !s_thumbnail || !s_crop || !s_rotate || !kw_expand || !default_size) return -1;
    s_lower = PyUnicode_InternFromString("lower");
    s_transpose = PyUnicode_InternFromString("transpose");
    s_horizontal = PyUnicode_InternFromString("horizontal");
    s_vertical = PyUnicode_InternFromString("vertical");
    s_flip_lr = PyUnicode_InternFromString("FLIP_LEFT_RIGHT");
    s_flip_tb = PyUnicode_InternFromString("FLIP_TOP_BOTTOM");
    flipped = PyUnicode_FromString("\xf0\x9f\x94\x84 Success: Image flipped ");
    flipped_end = PyUnicode_FromString("ly");
    pil_image = PyImport_ImportModule("PIL.Image");
    print = PyImport_ImportModule("builtins");
    if (print) Py_SETREF(print, PyObject_GetAttrString(print, "print"));
    if (!s_lower || !s_transpose || !s_horizontal || !s_vertical || !s_flip_lr || !s_flip_tb || !flipped ||
        !flipped_end || !pil_image || !print)
        return -1;
    /* Descriptors of `object`, so that they bind to any instance when put into a class. */
    PyObject *ideal = PyDict_New();
    if (!ideal) return -1;
    for (PyMethodDef *d = ideal_defs; d->ml_name; ++d) {
        PyObject *descr = PyDescr_NewMethod(&PyBaseObject_Type, d);
        if (!descr || PyDict_SetItemString(ideal, d->ml_name, descr) < 0) {
            Py_XDECREF(descr);
            Py_DECREF(ideal);
            return -1;
        }
        Py_DECREF(descr);
    }
    rc = PyModule_AddObjectRef(module, "ideal", ideal);
    Py_DECREF(ideal);
    return rc;
}

static PyModuleDef_Slot slots[] = {{Py_mod_exec, (void *)exec_module}, {0, NULL}};
static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_standin", NULL, 0, NULL, slots, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__standin(void) { return PyModuleDef_Init(&module_def); }
