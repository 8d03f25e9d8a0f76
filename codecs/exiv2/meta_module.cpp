// meta_module.cpp: framewick.formats._meta, a file's EXIF, IPTC and XMP by group, read and edited with libexiv2.
//
// A private helper of the Python package (not a framewick class): plain module functions whose
// shells check the arguments and whose bodies call meta_codec with the interpreter's lock
// released. Files are worked on in memory, never on disk.
//
//   fields(data, *, warnings=None) -> {group: {key: (value, type)}}
//   edit(data, *, keep=None, drop=None, warnings=None) -> bytes
//   fit_exif(exif, limit, *, warnings=None) -> (bytes | None, dropped)
//   edit_iptc(records, *, keep=None, drop=None, warnings=None) -> bytes | None
//   iptc_to_xmp(records, *, xmp=None, warnings=None) -> bytes | None
//
// The groups, in GROUPS' order: location (GPS; XMP and IPTC places), camera (make, model, lens,
// serial numbers), capture (dates, exposure), people (creator, artist, owner, people shown),
// rights (copyright, licence, credit), maker-notes, thumbnail, icc (the colour profile),
// picture (orientation, resolution, colour space: how the pixels are shown) and other. Every
// group is in the dict, empty or not. keep and drop take these names, "serial" (the serial
// numbers among the camera fields) and "all", as one str or an iterable of them.
//
// edit keeps the fields of the kept groups (all, when keep is None) less those of the dropped
// ones. The profile and the picture group describe the pixels rather than the photo: only drop
// removes them (a keep list leaves them be), so that a picture is never turned or recoloured by
// an edit of its metadata.
//
// libexiv2's own warnings and errors never reach standard error: each call appends them, one
// line each, to its `warnings` list when one is given. A block that cannot be read never fails
// a call: fields lists what could be read, edit leaves the block out, fit_exif answers None.
// A file libexiv2 cannot open (or cannot write, for edit) raises MetaError, an OSError.
#include "meta_codec.hpp"

#include <codec.hpp>

#include <memory>
#include <string>
#include <utility>

using namespace fw::codec;

namespace {

// ---- module state and the binding

struct Meta {
    static constexpr const char *name = "framewick.formats._meta";
    static constexpr const char *setup_failure = "libexiv2 could not be set up";
    using Failure = metacodec::Failure;
    static void raise(PyObject *module, const Failure &f) noexcept {
        set_failure(errors(module).codec_error, f.message);
    }
    static void exec(PyObject *module, CodecErrors &state);  // the exceptions and constants
};

// ---- arguments and results

// The `warnings` argument: None (or absent) as null, else a list to append to.
handle warnings_list(handle obj) {
    if (!obj || obj.is(Py_None)) return {};
    if (!PyList_Check(obj.ptr()))
        throw fw::raise_format(PyExc_TypeError, "warnings must be a list or None, not %.100s", Py_TYPE(obj.ptr())->tp_name);
    return obj;
}

void report(handle list, const std::vector<std::string> &lines) {
    if (!list) return;
    for (const std::string &line : lines) check(PyList_Append(list.ptr(), text_value(line).ptr()));
}

[[gnu::cold, gnu::noinline]] error unknown_group(handle name) {
    std::string names;
    for (auto n : metacodec::unit_names) (names += n) += ", ";
    names += "all";
    return fw::raise_format(PyExc_ValueError, "unknown metadata group %R: expected one of %s", name.ptr(), names.c_str());
}

// The units named by keep or drop: one name or an iterable of names; "camera" names the
// serial numbers too, "all" every unit.
metacodec::Units units_of(handle obj, const char *what) {
    metacodec::Units units;
    auto add = [&](handle name) {
        if (!PyUnicode_Check(name.ptr()))
            throw fw::raise_format(PyExc_TypeError, "%s must name groups as str, not %.100s", what,
                                   Py_TYPE(name.ptr())->tp_name);
        if (PyUnicode_CompareWithASCIIString(name.ptr(), "all") == 0) {
            units.set();
            return;
        }
        for (int u = 0; u < metacodec::unit_count; ++u)
            if (PyUnicode_EqualToUTF8AndSize(name.ptr(), metacodec::unit_names[u].data(),
                                             Py_ssize_t(metacodec::unit_names[u].size()))) {
                units.set(u);
                if (u == metacodec::camera) units.set(metacodec::serial);
                return;
            }
        throw unknown_group(name);
    };
    if (PyUnicode_Check(obj.ptr())) {
        add(obj);
        return units;
    }
    ref it = check(PyObject_GetIter(obj.ptr()));
    while (PyObject *item = PyIter_Next(it.ptr())) add(ref::steal(item));
    if (PyErr_Occurred()) throw error{};
    return units;
}

// ---- fields(data, *, warnings=None)

ref fields(PyObject *, const Args &args) {
    const auto [warnings_arg] = keywords<1>(args, 1, {"warnings"});
    const handle warnings = warnings_list(warnings_arg);
    Buffer data(args[0]);
    metacodec::Fields found;
    {
        WithoutGil nogil;
        found = metacodec::fields(data.data(), data.size());
    }
    Dict by_group;
    ref groups[metacodec::unit_count];
    for (int u = 0; u < metacodec::unit_count; ++u) {
        if (metacodec::group_of(metacodec::Unit(u)) != u) continue;
        groups[u] = check(PyDict_New());
        by_group.set(metacodec::unit_names[u].data(), groups[u]);
    }
    for (const metacodec::Field &f : found.fields) {
        ref key = text_value(f.key);
        check(PyDict_SetItem(groups[metacodec::group_of(f.unit)].ptr(), key.ptr(),
                             fw::tuple_of(text_value(f.value), text_value(f.type)).ptr()));
    }
    report(warnings, found.warnings);
    return by_group.take();
}

// The units keep and drop remove: those not kept (never the profile or the picture's own
// fields), and those dropped.
metacodec::Units removed_units(handle keep_arg, handle drop_arg) {
    metacodec::Units removed;
    if (keep_arg && !keep_arg.is(Py_None)) {
        removed = ~units_of(keep_arg, "keep");
        removed.reset(metacodec::icc).reset(metacodec::picture);
    }
    if (drop_arg && !drop_arg.is(Py_None)) removed |= units_of(drop_arg, "drop");
    return removed;
}

// ---- edit(data, *, keep=None, drop=None, warnings=None)

ref edit(PyObject *, const Args &args) {
    const auto [keep_arg, drop_arg, warnings_arg] = keywords<3>(args, 1, {"keep", "drop", "warnings"});
    const handle warnings = warnings_list(warnings_arg);
    const metacodec::Units removed = removed_units(keep_arg, drop_arg);
    Buffer data(args[0]);
    metacodec::Edited edited;
    {
        WithoutGil nogil;
        edited = metacodec::edit(data.data(), data.size(), removed);
    }
    report(warnings, edited.warnings);
    return bytes_value(edited.data);
}

// ---- fit_exif(exif, limit, *, warnings=None)

ref fit_exif(PyObject *, const Args &args) {
    const auto [warnings_arg] = keywords<1>(args, 2, {"warnings"});
    const handle warnings = warnings_list(warnings_arg);
    Buffer block(args[0]);
    const auto limit = std::size_t(integer(args[1], "limit", 0, PY_SSIZE_T_MAX));
    metacodec::Fitted fitted;
    {
        WithoutGil nogil;
        fitted = metacodec::fit_exif(block.data(), block.size(), limit);
    }
    ref dropped = check(PyList_New(0));
    for (const std::string &name : fitted.dropped) check(PyList_Append(dropped.ptr(), text_value(name).ptr()));
    report(warnings, fitted.warnings);
    return fw::tuple_of(fitted.data ? bytes_value(*fitted.data) : ref::borrow(Py_None), dropped);
}

// ---- edit_iptc(records, *, keep=None, drop=None, warnings=None)

ref edit_iptc(PyObject *, const Args &args) {
    const auto [keep_arg, drop_arg, warnings_arg] = keywords<3>(args, 1, {"keep", "drop", "warnings"});
    const handle warnings = warnings_list(warnings_arg);
    const metacodec::Units removed = removed_units(keep_arg, drop_arg);
    Buffer records(args[0]);
    metacodec::EditedIptc edited;
    {
        WithoutGil nogil;
        edited = metacodec::edit_iptc(records.data(), records.size(), removed);
    }
    report(warnings, edited.warnings);
    return edited.data ? bytes_value(*edited.data) : ref::borrow(Py_None);
}

// ---- iptc_to_xmp(records, *, xmp=None, warnings=None)

ref iptc_to_xmp(PyObject *, const Args &args) {
    const auto [xmp_arg, warnings_arg] = keywords<2>(args, 1, {"xmp", "warnings"});
    const handle warnings = warnings_list(warnings_arg);
    Buffer records(args[0]);
    std::unique_ptr<Buffer> xmp;
    if (xmp_arg && !xmp_arg.is(Py_None)) xmp = std::make_unique<Buffer>(xmp_arg);
    metacodec::Merged merged;
    {
        WithoutGil nogil;
        merged = metacodec::iptc_into_xmp(records.data(), records.size(), xmp ? xmp->data() : nullptr,
                                          xmp ? xmp->size() : 0);
    }
    report(warnings, merged.warnings);
    return merged.data ? bytes_value(*merged.data) : ref::borrow(Py_None);
}

// ---- module definition

PyMethodDef methods[] = {
    function<Meta, fields, "fields">(
        "fields(data, *, warnings=None) -> dict: every EXIF, IPTC and XMP field of the file in data, the profile "
        "and the comment, as {group: {key: (value, type)}}; libexiv2's messages appended to warnings."),
    function<Meta, edit, "edit">(
        "edit(data, *, keep=None, drop=None, warnings=None) -> bytes: the same file with only the fields of the "
        "kept groups, less the dropped ones; the pixels are not touched."),
    function<Meta, fit_exif, "fit_exif">(
        "fit_exif(exif, limit, *, warnings=None) -> (bytes | None, dropped): the EXIF block cut down to at most "
        "limit bytes (the thumbnail, then the maker notes, then the largest fields), and what was left out."),
    function<Meta, edit_iptc, "edit_iptc">(
        "edit_iptc(records, *, keep=None, drop=None, warnings=None) -> bytes | None: IPTC records (a JPEG's "
        "Photoshop block 0x0404, a TIFF's tag 33723) with only the fields of the kept groups, less the dropped "
        "ones; None when none is left or they cannot be read."),
    function<Meta, iptc_to_xmp, "iptc_to_xmp">(
        "iptc_to_xmp(records, *, xmp=None, warnings=None) -> bytes | None: the XMP packet with the IPTC fields "
        "added as XMP properties where it has none of the same; None when nothing was added."),
    end_of_table,
};

void Meta::exec(PyObject *module, CodecErrors &s) {
    metacodec::initialize();
    s.codec_error = add_exception(module, "framewick.formats._meta.MetaError", PyExc_OSError);
    check(PyModule_AddStringConstant(module, "LIBEXIV2_VERSION", metacodec::library_version().c_str()));
    ref groups = check(PyList_New(0));
    for (int u = 0; u < metacodec::unit_count; ++u)
        if (metacodec::group_of(metacodec::Unit(u)) == u)
            check(PyList_Append(groups.ptr(), text_value(metacodec::unit_names[u]).ptr()));
    ref tuple = check(PyList_AsTuple(groups.ptr()));
    check(PyModule_AddObjectRef(module, "GROUPS", tuple.ptr()));
}

} // namespace

extern "C" PyMODINIT_FUNC PyInit__meta(void) {
    return define<Meta>("_meta", "A file's EXIF, IPTC and XMP by group, read and edited with libexiv2.", methods);
}
