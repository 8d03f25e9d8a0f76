// binding.cpp: the binding algorithm, its count and keyword errors, and the annotation conversions.
#include "binding.hpp"

#include "status.hpp"

#include <charconv>
#include <cstring>
#include <iterator>

namespace fw::detail {

namespace {

Text incorrect_head{"Argument '"}, incorrect_middle{"' has incorrect type (expected "}, incorrect_got{", got "},
    incorrect_end{")"};
Text expected_str{"str"}, expected_tuple{"tuple"}, expected_int{"int"};

// "Argument '<parameter>' has incorrect type (expected <annotation>, got <type name>)".
// A refusal is an ordinary outcome on a method's call path, so the text is put together from
// prepared pieces rather than by parsing a format each time; a type name over 200 bytes takes
// the interpreter's formatting, which shortens it.
void incorrect_type(const FunctionDef &fn, std::size_t index, PyObject *value, const Text &expected) noexcept {
    const char *type_name = Py_TYPE(value)->tp_name;
    const std::size_t length = std::strlen(type_name);
    if (length > 200) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %U, got %.200s)",
                     fn.params[index], expected.ptr(), type_name);
        return;
    }
    try {
        ref got = check(PyUnicode_DecodeUTF8(type_name, Py_ssize_t(length), "replace"));
        const ref texts[] = {ref::borrow(incorrect_head), ref::borrow(fn.param_names[index]),
                             ref::borrow(incorrect_middle), ref::borrow(expected), ref::borrow(incorrect_got), got,
                             ref::borrow(incorrect_end)};
        PyErr_SetObject(PyExc_TypeError, join_texts(texts, std::size(texts)).ptr());
    } catch (error &) {
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    }
}

// A count or keyword message put together in a fixed buffer as UTF-8 and raised as TypeError.
// Cheaper than parsing a format for each refused call; a piece that does not fit (a name over
// 200 bytes, a long keyword) makes `fits` false and the caller formats the interpreter's way.
class Message {
public:
    void add(const char *text) noexcept { add(text, std::strlen(text)); }
    void add(const char *text, std::size_t n) noexcept {
        if (n > sizeof text_ - length_) {
            fits_ = false;
            return;
        }
        std::memcpy(text_ + length_, text, n);
        length_ += n;
    }
    void add(Py_ssize_t number) noexcept {
        auto [end, status] = std::to_chars(text_ + length_, text_ + sizeof text_, number);
        if (status != std::errc{}) {
            fits_ = false;
            return;
        }
        length_ = std::size_t(end - text_);
    }
    // The function's bare name, when it is within the 200 bytes every message allows it.
    void add_name(const FunctionDef &fn) noexcept {
        const std::size_t n = std::strlen(fn.name);
        if (n > 200) fits_ = false;
        else add(fn.name, n);
    }
    // A keyword name as its UTF-8 text.
    void add_text(PyObject *text) noexcept {
        Py_ssize_t n = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(text, &n);
        if (!utf8) {  // not encodable (a lone surrogate): the interpreter's formatting copes
            PyErr_Clear();
            fits_ = false;
            return;
        }
        add(utf8, std::size_t(n));
    }
    bool fits() const noexcept { return fits_; }
    // Raises the message; false, for the binding's answer.
    bool raise() const noexcept {
        if (PyObject *message = PyUnicode_DecodeUTF8(text_, Py_ssize_t(length_), nullptr)) {
            PyErr_SetObject(PyExc_TypeError, message);
            Py_DECREF(message);
        }
        return false;
    }

private:
    char text_[360];
    std::size_t length_ = 0;
    bool fits_ = true;
};

// Count error: "%.200s() takes %.8s %zd positional argument%.1s (%zd given)".
[[gnu::cold]] bool count_error(const FunctionDef &fn, Py_ssize_t given) noexcept {
    const Py_ssize_t n = Py_ssize_t(fn.params.size()), m = Py_ssize_t(fn.required());
    const char *qualifier;
    Py_ssize_t expected;
    if (m == n) {
        qualifier = "exactly";
        expected = n;
    } else if (given < m) {
        qualifier = "at least";
        expected = m;
    } else {
        qualifier = "at most";
        expected = n;
    }
    Message text;
    text.add_name(fn);
    text.add("() takes ");
    text.add(qualifier);
    text.add(" ");
    text.add(expected);
    text.add(expected == 1 ? " positional argument (" : " positional arguments (");
    text.add(given);
    text.add(" given)");
    if (text.fits()) return text.raise();
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fn.name,
                 qualifier, expected, expected == 1 ? "" : "s", given);
    return false;
}

[[gnu::cold]] bool keyword_error(const FunctionDef &fn, PyObject *key, bool bound_positionally) noexcept {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fn.name);
        return false;
    }
    const char *middle = bound_positionally ? "() got multiple values for keyword argument '"
                                            : "() got an unexpected keyword argument '";
    Message text;
    text.add_name(fn);
    text.add(middle);
    text.add_text(key);
    text.add("'");
    if (text.fits()) return text.raise();
    if (bound_positionally)
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fn.name, key);
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn.name, key);
    return false;
}

// The parameter `key` names among [from, to), or -1; -2 with an error set if a comparison failed.
Py_ssize_t find_parameter(const FunctionDef &fn, PyObject *key, std::size_t from, std::size_t to) noexcept {
    for (std::size_t i = from; i < to; ++i)  // interned names: identity is the usual match
        if (fn.param_names[i] == key) return Py_ssize_t(i);
    for (std::size_t i = from; i < to; ++i) {
        int eq = PyUnicode_Compare(fn.param_names[i], key) == 0;
        if (PyErr_Occurred()) return -2;
        if (eq) return Py_ssize_t(i);
    }
    return -1;
}

} // namespace

// 1. Without keywords: fewer than m or more than n positionals is the count error; else bind in order.
// 2. With keywords: more than n positionals is the count error at once. Bind the positionals,
//    then match each keyword against the parameters not yet bound (identity first, then text).
//    A keyword naming a positionally bound parameter: "multiple values"; naming none:
//    "unexpected keyword"; not a str: "keywords must be strings".
// 3. A required parameter still unbound is the count error with the positionals given.
// 4. Unbound optional parameters take the defaults.
bool bind(const FunctionDef &fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
          PyObject **out) noexcept {
    const std::size_t n = fn.params.size(), m = fn.required();
    if (nargs > Py_ssize_t(n) || (!kwnames && nargs < Py_ssize_t(m))) return count_error(fn, nargs);
    for (std::size_t i = 0; i < n; ++i) out[i] = i < std::size_t(nargs) ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) return keyword_error(fn, key, false);
            Py_ssize_t at = find_parameter(fn, key, std::size_t(nargs), n);
            if (at == -2) return false;
            if (at < 0) {
                Py_ssize_t earlier = find_parameter(fn, key, 0, std::size_t(nargs));
                if (earlier == -2) return false;
                return keyword_error(fn, key, earlier >= 0);
            }
            out[at] = args[nargs + k];
        }
        for (std::size_t i = std::size_t(nargs); i < m; ++i)
            if (!out[i]) return count_error(fn, nargs);
    }
    for (std::size_t i = m; i < n; ++i)
        if (!out[i]) out[i] = PyTuple_GET_ITEM(fn.defaults_tuple, Py_ssize_t(i - m));
    return true;
}

bool wrong_type(const FunctionDef &fn, std::size_t index, PyObject *value, Ann expected) noexcept {
    incorrect_type(fn, index, value, expected == Ann::tuple ? expected_tuple : expected_str);
    return false;
}

// An exact int as it is; any other number as int() converts it; anything else is refused.
bool to_int(const FunctionDef &fn, std::size_t index, PyObject *value, Int &out) noexcept {
    if (PyLong_CheckExact(value)) {
        out = Int{ref::borrow(value)};
        return true;
    }
    PyNumberMethods *nb = Py_TYPE(value)->tp_as_number;
    if (nb && (nb->nb_int || nb->nb_index)) {
        PyObject *converted = PyNumber_Long(value);
        if (!converted) return false;
        out = Int{ref::steal(converted)};
        return true;
    }
    incorrect_type(fn, index, value, expected_int);
    return false;
}

bool to_double(PyObject *value, double &out) noexcept {
    const double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) return false;
    out = d;
    return true;
}

bool to_bool(PyObject *value, bool &out) noexcept {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

PyObject *unexpected_cxx_exception() noexcept {
    PyErr_SetString(PyExc_SystemError, "framewick: unexpected C++ exception");
    return nullptr;
}

} // namespace fw::detail
