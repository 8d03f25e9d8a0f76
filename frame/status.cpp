// status.cpp: the f-string rules for status texts.
#include "status.hpp"

#include "constants.hpp"

namespace fw::detail {

TextWriter::TextWriter() : w_(PyUnicodeWriter_Create(0)) {
    if (!w_) throw error{};
}

TextWriter::~TextWriter() {
    if (w_) PyUnicodeWriter_Discard(w_);
}

void TextWriter::value(handle v) {
    PyTypeObject *t = v.type();
    if (t == &PyUnicode_Type) {
        check(PyUnicodeWriter_WriteStr(w_, v.ptr()));
    } else if (t == &PyLong_Type || t == &PyFloat_Type) {
        check(PyUnicodeWriter_WriteRepr(w_, v.ptr()));
    } else {
        ref text = check(PyObject_Format(v.ptr(), empty_str.ptr()));
        check(PyUnicodeWriter_WriteStr(w_, text.ptr()));
    }
}

void TextWriter::value(as_float v) {
    char *text = PyOS_double_to_string(v.value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) throw error{};
    int status = PyUnicodeWriter_WriteUTF8(w_, text, -1);
    PyMem_Free(text);
    check(status);
}

ref TextWriter::finish() {
    PyObject *text = PyUnicodeWriter_Finish(w_);
    w_ = nullptr;
    return check(text);
}

} // namespace fw::detail
