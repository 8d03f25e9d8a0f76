// raw.cpp: framewick.formats._raw, camera RAW files opened and developed by LibRaw.
//
// `Raw(source)` opens a file (a path, or a bytes-like object holding the whole file) and only
// parses it: the sizes and the shooting data are known, nothing large is allocated yet, so the
// caller can apply its pixel limit before `develop()` unpacks and develops the mosaic.
// `develop()` and `preview()` hand back a `Pixels` object: LibRaw's own output buffer, exposed
// through the buffer protocol and freed with it. After `develop()` the LibRaw record is closed
// (its raw data and working picture freed at once); `close()` frees it earlier.
//
// The module is LibRaw's thread-safe library: the long calls run with the interpreter's lock
// released, and one Raw object refuses a second call while one runs.

#include "object.hpp"

#include <libraw.h>

#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <new>

namespace {

using fw::check;
using fw::error;
using fw::handle;
using fw::ref;

// ---------------------------------------------------------------------------------------------
// LibRaw's records, owned

struct CloseLibRaw {
    void operator()(libraw_data_t *p) const noexcept { libraw_close(p); }
};
using LibRawPtr = std::unique_ptr<libraw_data_t, CloseLibRaw>;

struct FreeProcessed {
    void operator()(libraw_processed_image_t *p) const noexcept { libraw_dcraw_clear_mem(p); }
};
using ProcessedPtr = std::unique_ptr<libraw_processed_image_t, FreeProcessed>;

// Data errors LibRaw reports while reading (a short read, a damaged block). LibRaw carries on
// and would return a partly black picture; we refuse it instead.
struct DataErrors {
    int count = 0;
    long long offset = 0;
};

void record_data_error(void *data, const char *, const INT64 offset) {
    auto *errors = static_cast<DataErrors *>(data);
    if (errors->count++ == 0) errors->offset = offset;
}

// The module's types and its exception; set once by the exec slot (one interpreter only).
PyTypeObject *raw_type = nullptr;
PyTypeObject *pixels_type = nullptr;
PyObject *raw_error = nullptr;

// Raises RawError with the text `message` (a new str, or null when making it failed) and
// LibRaw's status `code` as the exception's `code` attribute.
[[gnu::cold]] error raise_raw(int code, PyObject *message) {
    if (code == LIBRAW_UNSUFFICIENT_MEMORY) {
        Py_XDECREF(message);
        PyErr_NoMemory();
        return error{};
    }
    ref text = check(message);
    ref exc = check(PyObject_CallOneArg(raw_error, text.ptr()));
    ref number = check(PyLong_FromLong(code));
    check(PyObject_SetAttrString(exc.ptr(), "code", number.ptr()));
    PyErr_SetObject(raw_error, exc.ptr());
    return error{};
}
// "doing: LibRaw's text for the status".
[[gnu::cold]] error raise_status(int code, const char *doing) {
    return raise_raw(code, PyUnicode_FromFormat("%s: %s", doing, libraw_strerror(code)));
}

// Runs a LibRaw call with the interpreter's lock released; LibRaw's C calls do not throw, but an
// allocation inside a C++ library may: any escaping exception becomes LibRaw's memory status.
template <class F> int unlocked(F &&call) noexcept {
    int status;
    Py_BEGIN_ALLOW_THREADS
    try {
        status = call();
    } catch (...) {
        status = LIBRAW_UNSUFFICIENT_MEMORY;
    }
    Py_END_ALLOW_THREADS
    return status;
}

// ---------------------------------------------------------------------------------------------
// Pixels: a LibRaw output buffer (developed picture or preview), read through the buffer protocol

struct Pixels {
    PyObject_HEAD
    ProcessedPtr image;
};

int pixels_getbuffer(PyObject *self, Py_buffer *view, int flags) noexcept {
    auto *p = reinterpret_cast<Pixels *>(self);
    return PyBuffer_FillInfo(view, self, p->image->data, Py_ssize_t(p->image->data_size), 1, flags);
}

void pixels_dealloc(PyObject *self) noexcept {
    auto *p = reinterpret_cast<Pixels *>(self);
    PyTypeObject *type = Py_TYPE(self);
    p->image.~ProcessedPtr();
    type->tp_free(self);
    Py_DECREF(type);
}

// A (kind, width, height, colours, bits, pixels) tuple for a LibRaw output buffer.
ref wrap_pixels(ProcessedPtr image) {
    const char *kind = image->type == LIBRAW_IMAGE_JPEG     ? "jpeg"
                       : image->type == LIBRAW_IMAGE_BITMAP ? "bitmap"
                                                            : "other";
    ref width = check(PyLong_FromLong(image->width));
    ref height = check(PyLong_FromLong(image->height));
    ref colors = check(PyLong_FromLong(image->colors));
    ref bits = check(PyLong_FromLong(image->bits));
    ref name = check(PyUnicode_FromString(kind));
    ref obj = check(pixels_type->tp_alloc(pixels_type, 0));
    new (&reinterpret_cast<Pixels *>(obj.ptr())->image) ProcessedPtr(std::move(image));
    return fw::tuple_of(name, width, height, colors, bits, obj);
}

// ---------------------------------------------------------------------------------------------
// Raw: one opened file

struct Raw {
    PyObject_HEAD
    LibRawPtr lr;       // null once closed
    Py_buffer source;   // the file's bytes, held while LibRaw reads them (obj null: a path)
    DataErrors errors;
    bool busy;
};

Raw *as_raw(PyObject *self) noexcept { return reinterpret_cast<Raw *>(self); }

void release_source(Raw *r) noexcept {
    if (r->source.obj) PyBuffer_Release(&r->source);
}

void close_raw(Raw *r) noexcept {
    r->lr.reset();
    release_source(r);
}

// The open record, for a call that is not already running on another thread.
libraw_data_t *usable(Raw *r) {
    if (r->busy) throw fw::raise_format(PyExc_RuntimeError, "the RAW file is in use by another thread");
    if (!r->lr) throw fw::raise_format(PyExc_ValueError, "the RAW file is closed");
    return r->lr.get();
}

// Marks a Raw busy for the length of a call that releases the interpreter's lock.
struct Busy {
    Raw *r;
    explicit Busy(Raw *raw) noexcept : r(raw) { r->busy = true; }
    ~Busy() { r->busy = false; }
};

// Raw(source): 1. make a LibRaw record with our data-error handler; 2. open the path (str or
// os.PathLike, through the file-system encoding) or the bytes-like object; 3. refuse what LibRaw
// cannot read, with its status in `code` (LIBRAW_FILE_UNSUPPORTED: not a RAW file at all).
ref raw_new_impl(PyTypeObject *type, handle source) {
    ref self = check(type->tp_alloc(type, 0));
    Raw *r = as_raw(self.ptr());
    new (&r->lr) LibRawPtr();
    r->source = Py_buffer{};
    r->errors = DataErrors{};
    r->busy = false;

    r->lr.reset(libraw_init(0));
    if (!r->lr) throw (PyErr_NoMemory(), error{});
    libraw_set_dataerror_handler(r->lr.get(), record_data_error, &r->errors);

    libraw_data_t *lr = r->lr.get();
    int status;
    if (PyUnicode_Check(source.ptr()) || PyObject_HasAttrString(source.ptr(), "__fspath__")) {
        PyObject *encoded = nullptr;
        if (!PyUnicode_FSConverter(source.ptr(), &encoded)) throw error{};
        ref path = ref::steal(encoded);
        const char *name = PyBytes_AS_STRING(path.ptr());
        Busy busy(r);
        status = unlocked([&] { return libraw_open_file(lr, name); });
    } else {
        check(PyObject_GetBuffer(source.ptr(), &r->source, PyBUF_SIMPLE));
        const void *data = r->source.buf;
        size_t size = size_t(r->source.len);
        Busy busy(r);
        status = unlocked([&] { return libraw_open_buffer(lr, data, size); });
    }
    if (status != LIBRAW_SUCCESS) {
        close_raw(r);
        if (status == LIBRAW_FILE_UNSUPPORTED) throw raise_raw(status, PyUnicode_FromString("not a camera RAW file"));
        throw raise_status(status, "cannot open the RAW file");
    }
    return self;
}

PyObject *raw_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) noexcept {
    PyObject *source;
    static const char *names[] = {"source", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Raw", const_cast<char **>(names), &source)) return nullptr;
    try {
        return raw_new_impl(type, source).release();
    } catch (const error &) {
        return nullptr;
    }
}

void raw_dealloc(PyObject *self) noexcept {
    Raw *r = as_raw(self);
    PyTypeObject *type = Py_TYPE(self);
    close_raw(r);
    r->lr.~LibRawPtr();
    type->tp_free(self);
    Py_DECREF(type);
}

// --- info: what LibRaw found while opening, as a dict -----------------------------------------

void put(handle dict, const char *key, ref value) { check(PyDict_SetItemString(dict.ptr(), key, value.ptr())); }
void put_text(handle dict, const char *key, const char *text, size_t capacity) {
    size_t n = strnlen(text, capacity);
    if (n == 0) return;
    put(dict, key, check(PyUnicode_DecodeLatin1(text, Py_ssize_t(n), "replace")));
}
void put_long(handle dict, const char *key, long long v) { put(dict, key, check(PyLong_FromLongLong(v))); }
void put_positive(handle dict, const char *key, double v) {
    if (v > 0) put(dict, key, fw::new_float(v));
}
ref triple(const float v[3]) {
    return fw::tuple_of(fw::new_float(v[0]), fw::new_float(v[1]), fw::new_float(v[2]));
}

// The sizes are those of the developed picture before LibRaw's turn by `flip`; `half_width` and
// `half_height` those of half-size development (the same as the full ones for a picture that is
// not a mosaic).
ref info_impl(Raw *r) {
    libraw_data_t *lr = usable(r);
    ref d = check(PyDict_New());
    const auto &s = lr->sizes;
    const auto &id = lr->idata;
    const auto &o = lr->other;
    put_long(d, "width", s.width);
    put_long(d, "height", s.height);
    put_long(d, "raw_width", s.raw_width);
    put_long(d, "raw_height", s.raw_height);
    int shrink = id.filters ? 1 : 0;
    put_long(d, "half_width", (s.width + shrink) >> shrink);
    put_long(d, "half_height", (s.height + shrink) >> shrink);
    put(d, "pixel_aspect", fw::new_float(s.pixel_aspect));
    put_long(d, "flip", s.flip);
    put_long(d, "colors", id.colors);
    put_long(d, "filters", id.filters);
    put_long(d, "dng_version", id.dng_version);
    put_long(d, "maker_index", id.maker_index);
    put_text(d, "make", id.make, sizeof id.make);
    put_text(d, "model", id.model, sizeof id.model);
    put_text(d, "software", id.software, sizeof id.software);
    put_text(d, "lens", lr->lens.Lens, sizeof lr->lens.Lens);
    put_positive(d, "iso", o.iso_speed);
    put_positive(d, "shutter", o.shutter);
    put_positive(d, "aperture", o.aperture);
    put_positive(d, "focal_length", o.focal_len);
    if (o.timestamp > 0) put_long(d, "timestamp", (long long)o.timestamp);
    put_text(d, "artist", o.artist, sizeof o.artist);
    put_text(d, "description", o.desc, sizeof o.desc);
    if (o.parsed_gps.gpsparsed) {
        const auto &g = o.parsed_gps;
        ref gps = check(PyDict_New());
        put(gps, "latitude", triple(g.latitude));
        put(gps, "longitude", triple(g.longitude));
        put(gps, "altitude", fw::new_float(g.altitude));
        char ref_text[2] = {g.latref, 0};
        put_text(gps, "latitude_ref", ref_text, 1);
        ref_text[0] = g.longref;
        put_text(gps, "longitude_ref", ref_text, 1);
        put_long(gps, "altitude_ref", (unsigned char)g.altref);
        put(d, "gps", gps);
    }
    const auto &t = lr->thumbnail;
    if (t.tlength > 0) {
        const char *kind = t.tformat == LIBRAW_THUMBNAIL_JPEG ? "jpeg" : "other";
        put(d, "preview", fw::tuple_of(check(PyUnicode_FromString(kind)), check(PyLong_FromLong(t.twidth)),
                                       check(PyLong_FromLong(t.theight))));
    }
    return d;
}

// --- develop and preview ---------------------------------------------------------------------

// The unpacked mosaic (LibRaw's raw_alloc), freed once development has copied it into the
// working picture: LibRaw keeps it only to develop again, which we never do, and dropping it
// before the output picture is made takes its size (two bytes a photosite) off the peak.
// LibRaw allocates it through its own tracked allocator, whose `free` is protected: reached
// here through a class derived for that alone. recycle() (close) then finds nothing to free.
struct RawDataRelease : LibRaw {
    static void release(libraw_data_t *lr) noexcept {
        auto *owner = static_cast<LibRaw *>(lr->parent_class);
        auto &raw = lr->rawdata;
        if (!owner || !raw.raw_alloc) return;
        void (LibRaw::*release_memory)(void *) = &RawDataRelease::free;
        (owner->*release_memory)(raw.raw_alloc);
        raw.raw_alloc = nullptr;
        raw.raw_image = nullptr;
        raw.color4_image = nullptr;
        raw.color3_image = nullptr;
        raw.float_image = nullptr;
        raw.float3_image = nullptr;
        raw.float4_image = nullptr;
    }
};

// A read that LibRaw reported as short or damaged, as RawError.
[[gnu::cold]] error raise_data_error(const DataErrors &e) {
    if (e.offset < 0)
        return raise_raw(LIBRAW_IO_ERROR, PyUnicode_FromString("the RAW file is truncated (its picture data end early)"));
    return raise_raw(LIBRAW_DATA_ERROR,
                     PyUnicode_FromFormat("the RAW file is damaged (bad picture data near byte %lld)", e.offset));
}

// develop(half, auto_wb, flip, bits):
// 1. Settings: LibRaw's defaults (AHD demosaicing, highlights clipped, sRGB primaries, auto
//    brightness) with the camera's as-shot white balance, or a grey-world balance for `auto_wb`;
//    the sRGB curve (slope 12.92 below the knee, power 1/2.4 above) instead of LibRaw's BT.709
//    one; `half` develops each 2x2 block of the mosaic into one pixel; `flip` false keeps the
//    sensor's orientation; `bits` is 8 or 16 per channel.
// 2. Unpack the mosaic, refusing a file whose data LibRaw found short or damaged.
// 3. Develop, free the unpacked mosaic, and copy out the picture turned by `flip`.
// 4. Close the LibRaw record at once: its raw data and working picture are freed before the
//    caller copies the pixels anywhere.
ref develop_impl(Raw *r, int half, int auto_wb, int flip, int bits) {
    libraw_data_t *lr = usable(r);
    if (bits != 8 && bits != 16) throw fw::raise_format(PyExc_ValueError, "bits must be 8 or 16, not %d", bits);
    auto &p = lr->params;
    p.half_size = half ? 1 : 0;
    p.use_camera_wb = auto_wb ? 0 : 1;
    p.use_auto_wb = auto_wb ? 1 : 0;
    p.output_color = 1;
    p.output_bps = bits;
    p.highlight = 0;
    p.gamm[0] = 1.0 / 2.4;
    p.gamm[1] = 12.92;
    p.user_flip = flip ? -1 : 0;

    int status;
    ProcessedPtr image;
    {
        Busy busy(r);
        status = unlocked([&] { return libraw_unpack(lr); });
        if (status == LIBRAW_SUCCESS && r->errors.count == 0) {
            status = unlocked([&] { return libraw_dcraw_process(lr); });
            if (status == LIBRAW_SUCCESS)
                status = unlocked([&] {
                    RawDataRelease::release(lr);
                    int code = LIBRAW_SUCCESS;
                    image.reset(libraw_dcraw_make_mem_image(lr, &code));
                    return image ? LIBRAW_SUCCESS : (code ? code : LIBRAW_UNSUFFICIENT_MEMORY);
                });
        }
    }
    DataErrors errors = r->errors;
    close_raw(r);
    if (status != LIBRAW_SUCCESS) throw raise_status(status, "cannot develop the RAW file");
    if (errors.count) throw raise_data_error(errors);
    return wrap_pixels(std::move(image));
}

// preview(): the largest embedded preview LibRaw finds, as it is stored (a JPEG's bytes, or a
// bitmap). The record stays open, so the picture can still be developed.
ref preview_impl(Raw *r) {
    libraw_data_t *lr = usable(r);
    if (lr->thumbnail.tlength == 0 && lr->thumbs_list.thumbcount == 0)
        throw raise_raw(LIBRAW_NO_THUMBNAIL, PyUnicode_FromString("the RAW file holds no preview"));
    int status;
    ProcessedPtr image;
    {
        Busy busy(r);
        status = unlocked([&] { return libraw_unpack_thumb(lr); });
        if (status == LIBRAW_SUCCESS)
            status = unlocked([&] {
                int code = LIBRAW_SUCCESS;
                image.reset(libraw_dcraw_make_mem_thumb(lr, &code));
                return image ? LIBRAW_SUCCESS : (code ? code : LIBRAW_UNSUFFICIENT_MEMORY);
            });
    }
    if (status != LIBRAW_SUCCESS) throw raise_status(status, "cannot read the RAW file's preview");
    return wrap_pixels(std::move(image));
}

// --- the methods as the interpreter calls them: the one error barrier --------------------------

template <class F> PyObject *barrier(F &&body) noexcept {
    try {
        return body().release();
    } catch (const error &) {
        return nullptr;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in framewick.formats._raw");
        return nullptr;
    }
}

PyObject *raw_info(PyObject *self, PyObject *) noexcept {
    return barrier([&] { return info_impl(as_raw(self)); });
}

PyObject *raw_develop(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    int half = 0, auto_wb = 0, flip = 1, bits = 8;
    static const char *names[] = {"half", "auto_wb", "flip", "bits", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$pppi:develop", const_cast<char **>(names), &half, &auto_wb,
                                     &flip, &bits))
        return nullptr;
    return barrier([&] { return develop_impl(as_raw(self), half, auto_wb, flip, bits); });
}

PyObject *raw_preview(PyObject *self, PyObject *) noexcept {
    return barrier([&] { return preview_impl(as_raw(self)); });
}

PyObject *raw_close(PyObject *self, PyObject *) noexcept {
    Raw *r = as_raw(self);
    if (r->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the RAW file is in use by another thread");
        return nullptr;
    }
    close_raw(r);
    Py_RETURN_NONE;
}

PyMethodDef raw_methods[] = {
    {"info", raw_info, METH_NOARGS, "info()\n--\n\nWhat LibRaw found in the file: sizes, camera, shooting data, GPS."},
    {"develop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(raw_develop)), METH_VARARGS | METH_KEYWORDS,
     "develop(*, half=False, auto_wb=False, flip=True, bits=8)\n--\n\n"
     "Develop the picture: (kind, width, height, colours, bits, pixels). Closes the file."},
    {"preview", raw_preview, METH_NOARGS,
     "preview()\n--\n\nThe largest embedded preview: (kind, width, height, colours, bits, pixels)."},
    {"close", raw_close, METH_NOARGS, "close()\n--\n\nFree LibRaw's memory now."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot raw_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(raw_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(raw_dealloc)},
    {Py_tp_methods, raw_methods},
    {Py_tp_doc, const_cast<char *>("Raw(source)\n--\n\nA camera RAW file opened by LibRaw (a path, or the file's bytes).")},
    {0, nullptr},
};
PyType_Spec raw_spec = {"framewick.formats._raw.Raw", sizeof(Raw), 0, Py_TPFLAGS_DEFAULT, raw_slots};

PyType_Slot pixels_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(pixels_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void *>(pixels_getbuffer)},
    {Py_tp_doc, const_cast<char *>("Pixels developed or extracted by LibRaw, read through the buffer protocol.")},
    {0, nullptr},
};
PyType_Spec pixels_spec = {"framewick.formats._raw.Pixels", sizeof(Pixels), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, pixels_slots};

// --- module ------------------------------------------------------------------------------------

// Exec: the types and RawError (an OSError) made once per process, bound into the module with
// LibRaw's version.
int exec_module(PyObject *module) noexcept {
    try {
        if (!raw_type) {
            ref error_type = check(PyErr_NewExceptionWithDoc(
                "framewick.formats._raw.RawError", "A camera RAW file LibRaw cannot read; `code` is LibRaw's status.",
                PyExc_OSError, nullptr));
            ref raw = check(PyType_FromSpec(&raw_spec));
            ref pixels = check(PyType_FromSpec(&pixels_spec));
            raw_error = error_type.release();
            raw_type = reinterpret_cast<PyTypeObject *>(raw.release());
            pixels_type = reinterpret_cast<PyTypeObject *>(pixels.release());
        }
        check(PyModule_AddObjectRef(module, "RawError", raw_error));
        check(PyModule_AddObjectRef(module, "Raw", reinterpret_cast<PyObject *>(raw_type)));
        check(PyModule_AddObjectRef(module, "Pixels", reinterpret_cast<PyObject *>(pixels_type)));
        check(PyModule_AddStringConstant(module, "LIBRAW_VERSION", libraw_version()));
        check(PyModule_AddIntConstant(module, "FILE_UNSUPPORTED", LIBRAW_FILE_UNSUPPORTED));
        return 0;
    } catch (const error &) {
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_raw", "Camera RAW files opened and developed by LibRaw.", 0, nullptr, module_slots,
    nullptr, nullptr, nullptr,
};

} // namespace

extern "C" PyMODINIT_FUNC PyInit__raw(void) { return PyModuleDef_Init(&module_def); }
