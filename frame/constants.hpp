// constants.hpp: the constant table: names, texts, numbers and tuples made once at initialisation.
#pragma once

#include "object.hpp"

#include <initializer_list>
#include <vector>

namespace fw {

// A constant of the module: declared at namespace scope in a module's source, made during the
// module's first initialisation and kept for the life of the process. Scalars are made first,
// tuples afterwards (they hold scalars).
class Const {
public:
    Const(const Const &) = delete;
    Const &operator=(const Const &) = delete;

    operator handle() const noexcept { return obj_; }
    PyObject *ptr() const noexcept { return obj_; }

    enum class Phase { scalar, tuple };
    // Makes every registered constant of `phase` that does not exist yet; false with an error set.
    static bool make_all(Phase phase) noexcept;
    // Releases every constant, so that the next initialisation makes them afresh (the
    // interpreter they were made in is going away).
    static void forget_all() noexcept;

protected:
    explicit Const(Phase phase) noexcept;
    virtual ~Const() = default;
    virtual PyObject *make() const = 0;  // new reference, or null with an error set

private:
    PyObject *obj_ = nullptr;
    Phase phase_;
    Const *next_ = nullptr;
};

// An identifier: interned, so keyword matching and dict lookups can go by identity first.
class Name : public Const {
public:
    explicit Name(const char *utf8) noexcept : Const(Phase::scalar), utf8_(utf8) {}
    const char *utf8() const noexcept { return utf8_; }

private:
    PyObject *make() const override;
    const char *utf8_;
};

// A message or docstring text; not interned.
class Text : public Const {
public:
    explicit Text(const char *utf8) noexcept : Const(Phase::scalar), utf8_(utf8) {}

private:
    PyObject *make() const override;
    const char *utf8_;
};

class IntConst : public Const {
public:
    explicit IntConst(long long v) noexcept : Const(Phase::scalar), v_(v) {}

private:
    PyObject *make() const override;
    long long v_;
};

class FloatConst : public Const {
public:
    explicit FloatConst(double v) noexcept : Const(Phase::scalar), v_(v) {}

private:
    PyObject *make() const override;
    double v_;
};

class BoolConst : public Const {
public:
    explicit BoolConst(bool v) noexcept : Const(Phase::scalar), v_(v) {}

private:
    PyObject *make() const override { return Py_NewRef(v_ ? Py_True : Py_False); }
    bool v_;
};

// A tuple of other constants, e.g. a colour (255, 255, 255) or keyword names ("quality", "optimize").
class TupleConst : public Const {
public:
    TupleConst(std::initializer_list<const Const *> items) : Const(Phase::tuple), items_(items) {}

private:
    PyObject *make() const override;
    std::vector<const Const *> items_;
};

// Constants every module has.
extern Text empty_str;
extern TupleConst empty_tuple;

} // namespace fw
