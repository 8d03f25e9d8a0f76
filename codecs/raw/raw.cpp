// raw.cpp: framewick.formats._raw, camera RAW files opened and developed by LibRaw.
//
// `Raw(source)` opens a file (a path, or a bytes-like object holding the whole file) and only
// parses it: the sizes and the shooting data are known, nothing large is allocated yet, so the
// caller can apply its pixel limit before `develop()` unpacks and develops the mosaic.
// `develop()` and `preview()` hand back a `Pixels` object: LibRaw's own output buffer, exposed
// through the buffer protocol and freed with it. After `develop()` the LibRaw record is closed
// (its raw data and working picture freed at once), unless asked to keep the developed picture
// for `deep()`, which reads its 16-bit values out later and closes it; `close()` frees it earlier.
//
// The module is LibRaw's thread-safe library: the long calls run with the interpreter's lock
// released, and one Raw object refuses a second call while one runs. It binds through the
// frame's codec binding (codec.hpp): its functions are the methods of the two classes it makes,
// each run inside the one barrier; a LibRaw refusal is a Failure, raised as RawError with
// LibRaw's status as `code`.

#include <codec.hpp>
#include <pages.hpp>

#include <libraw.h>

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>

namespace {

using namespace fw::codec;

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

// A LibRaw refusal: its status and the text of the error.
struct RawFailure {
    int code;
    std::string message;
};

struct RawCodec {
    static constexpr const char *name = "framewick.formats._raw";
    using Failure = RawFailure;
    // RawError with the text and LibRaw's status as its `code`; LibRaw's own memory status is
    // MemoryError.
    static void raise(PyObject *module, const Failure &f) noexcept {
        if (f.code == LIBRAW_UNSUFFICIENT_MEMORY) {
            PyErr_NoMemory();
            return;
        }
        PyObject *type = errors(module).codec_error;
        ref text = ref::steal(PyUnicode_DecodeUTF8(f.message.data(), Py_ssize_t(f.message.size()), "replace"));
        if (!text) return;
        ref exc = ref::steal(PyObject_CallOneArg(type, text.ptr()));
        if (!exc) return;
        ref number = ref::steal(PyLong_FromLong(f.code));
        if (!number || PyObject_SetAttrString(exc.ptr(), "code", number.ptr()) < 0) return;
        PyErr_SetObject(type, exc.ptr());
    }
    static void exec(PyObject *module, CodecErrors &state);  // the version check, classes, RawError
};

// The module's two classes, made by the exec slot.
enum Class { raw_class = 0, pixels_class = 1 };
PyTypeObject *class_of(PyObject *module, Class which) noexcept {
    return reinterpret_cast<PyTypeObject *>(errors(module).types[which]);
}

// "doing: LibRaw's text for the status".
[[gnu::cold]] RawFailure status_failure(int code, const char *doing) {
    return {code, std::string(doing) + ": " + libraw_strerror(code)};
}

// Runs a LibRaw call with the interpreter's lock released. LibRaw's C calls do not throw; what
// an allocation inside them might throw leaves with the lock taken back, for the barrier.
template <class F> int unlocked(F &&call) {
    WithoutGil released;
    return call();
}

// ---------------------------------------------------------------------------------------------
// Pixels: a LibRaw output buffer (developed picture or preview), read through the buffer protocol

// Pixels of our own making (the 16-bit picture read out beside the 8-bit rows): a block of
// `size` bytes, its pages given by the kernel as they are first written.
struct OwnedPixels {
    std::unique_ptr<unsigned char[]> data;
    size_t size = 0;
};

struct Pixels {
    PyObject_HEAD
    ProcessedPtr image;  // LibRaw's buffer, or null for
    OwnedPixels owned;   // ours
};

int pixels_getbuffer(PyObject *self, Py_buffer *view, int flags) noexcept {
    auto *p = reinterpret_cast<Pixels *>(self);
    if (!p->image) return PyBuffer_FillInfo(view, self, p->owned.data.get(), Py_ssize_t(p->owned.size), 1, flags);
    return PyBuffer_FillInfo(view, self, p->image->data, Py_ssize_t(p->image->data_size), 1, flags);
}

void pixels_dealloc(PyObject *self) noexcept {
    auto *p = reinterpret_cast<Pixels *>(self);
    PyTypeObject *type = Py_TYPE(self);
    p->image.~ProcessedPtr();
    p->owned.~OwnedPixels();
    type->tp_free(self);
    Py_DECREF(type);
}

// A (kind, width, height, colours, bits, pixels) tuple for a LibRaw output buffer.
ref wrap_pixels(PyObject *module, ProcessedPtr image) {
    PyTypeObject *pixels_type = class_of(module, pixels_class);
    const char *kind = image->type == LIBRAW_IMAGE_JPEG     ? "jpeg"
                       : image->type == LIBRAW_IMAGE_BITMAP ? "bitmap"
                                                            : "other";
    ref width = integer_value(image->width);
    ref height = integer_value(image->height);
    ref colors = integer_value(image->colors);
    ref bits = integer_value(image->bits);
    ref name = text_value(kind);
    ref obj = check(pixels_type->tp_alloc(pixels_type, 0));
    new (&reinterpret_cast<Pixels *>(obj.ptr())->image) ProcessedPtr(std::move(image));
    new (&reinterpret_cast<Pixels *>(obj.ptr())->owned) OwnedPixels();
    return fw::tuple_of(name, width, height, colors, bits, obj);
}

// The same tuple for a bitmap of our own making.
ref wrap_owned(PyObject *module, int w, int h, int c, int b, OwnedPixels pixels) {
    PyTypeObject *pixels_type = class_of(module, pixels_class);
    ref width = integer_value(w), height = integer_value(h), colors = integer_value(c), bits = integer_value(b);
    ref name = text_value("bitmap");
    ref obj = check(pixels_type->tp_alloc(pixels_type, 0));
    new (&reinterpret_cast<Pixels *>(obj.ptr())->image) ProcessedPtr();
    new (&reinterpret_cast<Pixels *>(obj.ptr())->owned) OwnedPixels(std::move(pixels));
    return fw::tuple_of(name, width, height, colors, bits, obj);
}

// ---------------------------------------------------------------------------------------------
// Raw: one opened file

struct Raw {
    PyObject_HEAD
    LibRawPtr lr;                    // null once closed
    std::unique_ptr<Buffer> source;  // the file's bytes, held while LibRaw reads them (null: a path)
    DataErrors errors;
    bool busy;
    bool developed;  // developed with its working picture kept, for `deep()`
    bool heaped;     // its working picture is in the heap grown for it (LibRawHeap)
};

Raw *as_raw(PyObject *self) noexcept { return reinterpret_cast<Raw *>(self); }

// Closes the record; the pages of a working picture freed into the heap go back to the kernel.
void close_raw(Raw *r) noexcept {
    const bool heaped = r->heaped;
    r->developed = r->heaped = false;
    r->lr.reset();
    r->source.reset();
    if (heaped) malloc_trim(0);
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
    new (&r->source) std::unique_ptr<Buffer>();
    r->errors = DataErrors{};
    r->busy = false;
    r->developed = false;
    r->heaped = false;

    r->lr.reset(libraw_init(0));
    if (!r->lr) throw std::bad_alloc();
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
        r->source = std::make_unique<Buffer>(source);
        const void *data = r->source->data();
        size_t size = r->source->size();
        Busy busy(r);
        status = unlocked([&] { return libraw_open_buffer(lr, data, size); });
    }
    if (status != LIBRAW_SUCCESS) {
        close_raw(r);
        if (status == LIBRAW_FILE_UNSUPPORTED) throw RawFailure{status, "not a camera RAW file"};
        throw status_failure(status, "cannot open the RAW file");
    }
    return self;
}

// Raw(source), as a class's constructor takes its arguments (a tuple and a dict).
PyObject *raw_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) noexcept {
    PyObject *module = module_of(type);
    if (!module) return nullptr;
    return barrier<RawCodec>(module, [&] {
        PyObject *source;
        static const char *names[] = {"source", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Raw", const_cast<char **>(names), &source)) throw error{};
        return raw_new_impl(type, source);
    });
}

void raw_dealloc(PyObject *self) noexcept {
    Raw *r = as_raw(self);
    PyTypeObject *type = Py_TYPE(self);
    close_raw(r);
    r->lr.~LibRawPtr();
    r->source.~unique_ptr<Buffer>();
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
    // Where the raw data starts and how long the file is: a camera's TIFF-based file stripped to
    // its metadata names a sensor but no data (offset 0), or data past its end.
    auto *internal = static_cast<LibRaw *>(lr->parent_class)->get_internal_data_pointer();
    put_long(d, "data_offset", (long long)internal->unpacker_data.data_offset);
    put_long(d, "file_size", internal->internal_data.input ? (long long)internal->internal_data.input->size() : -1);
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

// What development needs of LibRaw beyond its public calls. Two of its protected members (its
// tracked `free` and `gamma_curve`) are reached through a class derived for that alone (a
// pointer to a protected member may be formed through a derived class's name), and the
// histogram through the public `get_internal_data_pointer()` into a layout LibRaw keeps
// internal. All of it is written against one LibRaw release: the build accepts that minor
// version only (CMakeLists.txt), this file refuses to compile against another, and the module
// refuses to load beside another at run time.
static_assert(LIBRAW_MAJOR_VERSION == 0 && LIBRAW_MINOR_VERSION == 22,
              "raw.cpp reaches into LibRaw 0.22's internals: check them against this LibRaw before moving the pin");
constexpr int pinned_major = 0, pinned_minor = 22;

struct Inside : LibRaw {
    static LibRaw *owner(libraw_data_t *lr) noexcept { return static_cast<LibRaw *>(lr->parent_class); }

    // The unpacked mosaic (raw_alloc), freed once dcraw_process has copied it into the working
    // picture: LibRaw keeps it only to develop again, which we never do, and dropping it before
    // the output picture is made takes its size (two bytes a photosite) off the peak. It comes
    // from LibRaw's own tracked allocator, so it goes back through LibRaw's `free`; recycle()
    // (close) then finds nothing to free.
    static void release_raw_data(libraw_data_t *lr) noexcept {
        auto &raw = lr->rawdata;
        if (!owner(lr) || !raw.raw_alloc) return;
        void (LibRaw::*release_memory)(void *) = &Inside::free;
        (owner(lr)->*release_memory)(raw.raw_alloc);
        raw.raw_alloc = nullptr;
        raw.raw_image = nullptr;
        raw.color4_image = nullptr;
        raw.color3_image = nullptr;
        raw.float_image = nullptr;
        raw.float3_image = nullptr;
        raw.float4_image = nullptr;
    }

    // The output curve (imgdata.color.curve) exactly as LibRaw's own writers make it before
    // writing: the white point from the histogram dcraw_process gathered (auto brightness),
    // then the gamma curve.
    static void make_output_curve(libraw_data_t *lr) noexcept {
        LibRaw *o = owner(lr);
        libraw_internal_data_t *internal = o->get_internal_data_pointer();
        void (LibRaw::*curve)(double, double, int, int) = &Inside::gamma_curve;
        auto histogram = internal->output_data.histogram;
        if (!histogram) return;
        const auto &s = lr->sizes;
        const auto &p = lr->params;
        int perc = int(s.width * s.height * p.auto_bright_thr), t_white = 0x2000;
        if (internal->internal_output_params.fuji_width) perc /= 2;
        if (!((p.highlight & ~2) || p.no_auto_bright))
            for (int c = t_white = 0; c < lr->idata.colors; c++) {
                int val = 0x2000, total = 0;
                while (--val > 32)
                    if ((total += histogram[c][val]) > perc) break;
                if (t_white < val) t_white = val;
            }
        (o->*curve)(p.gamm[0], p.gamm[1], 2, int((t_white << 3) / p.bright));
    }
};

// The developed picture read out as LibRaw's writers read it, 8 bits, turned by `flip`: output
// row `row` starts at working-picture index `first + row * row_step` and steps `column_step`.
struct Readout {
    int width = 0, height = 0, colors = 0;
    long long first = 0, column_step = 0, row_step = 0;

    explicit Readout(const libraw_data_t *lr) {
        const auto &s = lr->sizes;
        // LibRaw reads the working picture at its output size (iwidth = width), turned by flip.
        int iheight = s.height, iwidth = s.width;
        auto index = [&](int row, int col) -> long long {
            if (s.flip & 4) std::swap(row, col);
            if (s.flip & 2) row = iheight - 1 - row;
            if (s.flip & 1) col = iwidth - 1 - col;
            return (long long)row * iwidth + col;
        };
        width = s.flip & 4 ? s.height : s.width;
        height = s.flip & 4 ? s.width : s.height;
        colors = lr->idata.colors;
        first = index(0, 0);
        column_step = index(0, 1) - first;
        row_step = index(1, 0) - index(0, width);
    }

    // Rows [row, row + rows) into `out` (width * colors bytes a row), and with `deep` their
    // 16-bit values into `deep` (LibRaw's 16-bit output; the 8-bit one is its top byte); `at` is
    // the working index of the band's first pixel, returned advanced past the band.
    long long band(const libraw_data_t *lr, int rows, long long at, unsigned char *out, ushort *deep) const noexcept {
        const ushort(*image)[4] = lr->image;
        const ushort *curve = lr->color.curve;
        if (!out) {
            for (int r = 0; r < rows; r++, at += row_step)
                for (int col = 0; col < width; col++, at += column_step)
                    for (int c = 0; c < colors; c++) *deep++ = curve[image[at][c]];
            return at;
        }
        if (!deep) {
            for (int r = 0; r < rows; r++, at += row_step)
                for (int col = 0; col < width; col++, at += column_step)
                    for (int c = 0; c < colors; c++) *out++ = (unsigned char)(curve[image[at][c]] >> 8);
            return at;
        }
        for (int r = 0; r < rows; r++, at += row_step)
            for (int col = 0; col < width; col++, at += column_step)
                for (int c = 0; c < colors; c++) {
                    const ushort v = curve[image[at][c]];
                    *deep++ = v;
                    *out++ = (unsigned char)(v >> 8);
                }
        return at;
    }
};

// Gives the kernel back the pages of the working picture wholly inside [from, to) (pixel
// indices), once read: the picture then shrinks as the output grows. Nothing reads them again
// before the record closes and frees the whole block.
void discard_read(const libraw_data_t *lr, long long from, long long to) noexcept {
    static const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    auto start = reinterpret_cast<uintptr_t>(lr->image + from), end = reinterpret_cast<uintptr_t>(lr->image + to);
    start = (start + page - 1) & ~(page - 1);
    end &= ~(page - 1);
    if (end > start) madvise(reinterpret_cast<void *>(start), end - start, MADV_DONTNEED);
}

// A read that LibRaw reported as short or damaged.
[[gnu::cold]] RawFailure data_failure(const DataErrors &e) {
    if (e.offset < 0) return {LIBRAW_IO_ERROR, "the RAW file is truncated (its picture data end early)"};
    return {LIBRAW_DATA_ERROR,
            "the RAW file is damaged (bad picture data near byte " + std::to_string(e.offset) + ")"};
}

// Streams the developed picture to `sink`: `sink(width, height, colors)` returns a writer,
// called with bytes objects of whole 8-bit rows, top to bottom, in bands. Each band is read
// straight from the working picture with the output curve (no whole-picture copy), with the
// interpreter's lock released, on a thread of its own while the writer takes the band before
// it (the two alternate on two cores instead of waiting for each other); the rows read are
// given back to the kernel where the turn reads the working picture in order. With `deep`,
// the same pass also fills `deep` with the picture's 16-bit values (width * height * colors of
// them), the rows' top bytes being what the writer got. With `keep`, the working picture is
// left whole, for `read_deep` later.
void stream_developed(libraw_data_t *lr, handle sink, OwnedPixels *deep, bool keep = false) {
    Inside::make_output_curve(lr);
    const Readout out(lr);
    ref writer = check(PyObject_CallFunction(sink.ptr(), "iii", out.width, out.height, out.colors));
    constexpr int band_rows = 64;
    const size_t row_bytes = size_t(out.width) * size_t(out.colors);
    ushort *deep_row = nullptr;
    if (deep) {
        deep->size = row_bytes * size_t(out.height) * sizeof(ushort);
        deep->data.reset(new unsigned char[deep->size]);  // not cleared: every value is written below
        fw::prefer_huge_pages(deep->data.get(), deep->size);  // each band populated before it is written
        deep_row = reinterpret_cast<ushort *>(deep->data.get());
    }
    const bool in_order = out.column_step == 1 || out.column_step == -1;
    long long at = out.first;
    // Reads the band of `rows` rows into `bytes` (and the deep picture), without the lock.
    auto read_band = [&](int rows, unsigned char *bytes) noexcept {
        const long long start = at;
        if (deep_row) fw::populate(deep_row, row_bytes * size_t(rows) * sizeof(ushort));
        at = out.band(lr, rows, at, bytes, deep_row);
        if (deep_row) deep_row += row_bytes * size_t(rows);
        if (in_order && !keep) {
            const long long last = at - out.row_step - out.column_step;
            discard_read(lr, std::min(start, last), std::max(start, last) + 1);
        }
    };
    auto new_band = [&](int rows) {
        return check(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(row_bytes * size_t(rows))));
    };
    auto bytes_of = [](const ref &band) { return reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(band.ptr())); };
    if (out.height <= 0) return;
    ref band = new_band(std::min(band_rows, out.height));
    {
        WithoutGil released;
        read_band(std::min(band_rows, out.height), bytes_of(band));
    }
    for (int row = 0; row < out.height; row += band_rows) {
        const int next_row = row + band_rows, next_rows = std::min(band_rows, out.height - next_row);
        ref next = next_rows > 0 ? new_band(next_rows) : ref();
        std::thread reader;
        if (next_rows > 0) {
            try {
                reader = std::thread(read_band, next_rows, bytes_of(next));
            } catch (const std::system_error &) {  // no thread to be had: read it here, after the writer
            }
        }
        // The thread is joined (without the lock: it never takes it) whatever the writer does.
        struct Join {
            std::thread &t;
            ~Join() {
                if (t.joinable()) {
                    WithoutGil released;
                    t.join();
                }
            }
        } join{reader};
        PyObject *taken = PyObject_CallOneArg(writer.ptr(), band.ptr());
        if (!taken) throw error{};
        Py_DECREF(taken);
        if (next_rows > 0 && !reader.joinable()) {
            WithoutGil released;
            read_band(next_rows, bytes_of(next));
        }
        band = std::move(next);
    }
}

// The 16-bit picture of a working picture developed (its output curve made), read out band by
// band with the lock released, its rows given back to the kernel as they are read; with
// `threads` 2 the lower half of the rows is read by a second thread at the same time.
OwnedPixels read_deep(libraw_data_t *lr, int threads = 1) {
    const Readout out(lr);
    constexpr int band_rows = 64;
    const size_t row_samples = size_t(out.width) * size_t(out.colors);
    OwnedPixels deep;
    deep.size = row_samples * size_t(out.height) * sizeof(ushort);
    deep.data.reset(new unsigned char[deep.size]);  // not cleared: every value is written below
    fw::prefer_huge_pages(deep.data.get(), deep.size);  // each band populated before it is written
    auto *const samples = reinterpret_cast<ushort *>(deep.data.get());
    const bool in_order = out.column_step == 1 || out.column_step == -1;
    // The working index of a row's first pixel: each row moves it by its pixels and one row step.
    const long long row_advance = (long long)out.width * out.column_step + out.row_step;
    auto read_rows = [&](int from, int to) noexcept {
        ushort *deep_row = samples + row_samples * size_t(from);
        long long at = out.first + row_advance * from;
        for (int row = from; row < to; row += band_rows) {
            const int rows = std::min(band_rows, to - row);
            const long long start = at;
            fw::populate(deep_row, row_samples * size_t(rows) * sizeof(ushort));
            at = out.band(lr, rows, at, nullptr, deep_row);
            deep_row += row_samples * size_t(rows);
            if (in_order) {  // only pages wholly inside this band's pixels: no other band reads them
                const long long last = at - out.row_step - out.column_step;
                discard_read(lr, std::min(start, last), std::max(start, last) + 1);
            }
        }
    };
    WithoutGil released;
    const int split = threads > 1 && out.height >= 4 * band_rows ? out.height / 2 / band_rows * band_rows : out.height;
    std::thread lower;
    if (split < out.height) {
        try {
            lower = std::thread(read_rows, split, out.height);
        } catch (const std::system_error &) {  // no thread to be had: this one reads them after
        }
    }
    read_rows(0, split);
    if (lower.joinable()) lower.join();
    else if (split < out.height) read_rows(split, out.height);
    return deep;
}

// ---------------------------------------------------------------------------------------------
// LibRaw's working memory, handed out by the kernel at once
//
// LibRaw takes its two large blocks (the unpacked mosaic, two bytes a photosite, and the working
// picture, eight bytes a pixel) from the C library's malloc and calloc, which maps each one
// afresh: the kernel then hands out their pages one fault at a time as LibRaw first writes them,
// some 60,000 faults for 24 MP, a large share of a development's time on a virtual machine.
// LibRaw has no allocator of its own to hand them out otherwise, so for the length of its
// unpacking and development alone, glibc's malloc is told (mallopt) to serve large blocks from
// its heap and to keep what is freed there; the heap is grown once by what LibRaw is about to
// take, that block's pages asked of the kernel at once (huge where they fit) and freed back into
// the heap, where LibRaw's calls then find them. The settings go back before anything else is
// made, and malloc_trim gives every free page back to the kernel then (the mosaic's) and once the
// record is closed (the working picture's): the process keeps nothing of it. Only on the main thread, whose allocations the heap serves (a
// thread's own arena could not hold such blocks, and maps them as before), so one window at a
// time; threads allocating meanwhile are served from their own arenas as before (a block too
// large for one still mapped), and what they free goes back as it did.
class LibRawHeap {
public:
    // Opens the window for a development of `r` (half: each 2x2 block of the mosaic one pixel),
    // marking it `heaped`: closing it trims the heap (close_raw).
    LibRawHeap(Raw *r, bool half) noexcept {
        const libraw_data_t *lr = r->lr.get();
        if (!lr->idata.filters || gettid() != getpid()) return;  // a mosaic, on the main thread
        const auto &s = lr->sizes;
        const int shrink = half ? 1 : 0;
        const size_t mosaic = size_t(s.raw_width) * s.raw_height * sizeof(ushort);
        const size_t picture = size_t((s.height + shrink) >> shrink) * ((s.width + shrink) >> shrink) * 4 * sizeof(ushort);
        wanted_ = mosaic + picture;
        if (wanted_ < (size_t(64) << 20)) return;  // small: a few faults
        mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
        mallopt(M_MMAP_MAX, 0);
        open_ = r->heaped = true;
    }

    // Grows the heap by what LibRaw will take, its pages given at once; called without the
    // interpreter's lock, just before unpacking.
    void grow() const noexcept {
        if (!open_) return;
        void *block = std::malloc(wanted_);
        if (!block) return;
        if (static_cast<char *>(block) < static_cast<char *>(sbrk(0))) fw::fresh(block, wanted_);  // the heap's, not mapped
        std::free(block);
    }

    // Closes the window: malloc's settings as they were by default (large blocks mapped, the
    // heap trimmed past 128 KiB free at its top), and the pages of what LibRaw freed already
    // (the mosaic) given back before the output is made.
    void close() noexcept {
        if (!open_) return;
        mallopt(M_MMAP_MAX, 65536);
        mallopt(M_TRIM_THRESHOLD, 128 * 1024);
        open_ = false;
        malloc_trim(0);
    }

    ~LibRawHeap() { close(); }

    LibRawHeap(const LibRawHeap &) = delete;
    LibRawHeap &operator=(const LibRawHeap &) = delete;

private:
    size_t wanted_ = 0;
    bool open_ = false;
};

// develop(half, auto_wb, flip, bits, sink, keep, alone):
// 1. Settings: LibRaw's defaults (AHD demosaicing, highlights clipped, sRGB primaries, auto
//    brightness) with the camera's as-shot white balance, or a grey-world balance for `auto_wb`;
//    the sRGB curve (slope 12.92 below the knee, power 1/2.4 above) instead of LibRaw's BT.709
//    one; `half` develops each 2x2 block of the mosaic into one pixel; `flip` false keeps the
//    sensor's orientation; `bits` is 8 or 16 per channel.
// 2. Unpack the mosaic, refusing a file whose data LibRaw found short or damaged.
// 3. Develop and free the unpacked mosaic; then either copy out the picture turned by `flip`
//    (no `sink`), or stream its 8-bit rows to `sink` and return None (8 bits) or the 16-bit
//    picture read out in the same pass (16 bits), or with `alone` read out the 16-bit picture
//    and nothing else, in two threads (no 8-bit rows made).
// 4. Close the LibRaw record at once, whatever happened: its working picture is freed before
//    the caller copies the pixels anywhere.
ref develop_impl(PyObject *module, Raw *r, int half, int auto_wb, int flip, int bits, handle sink, bool keep,
                 bool alone) {
    libraw_data_t *lr = usable(r);
    if (r->developed) throw fw::raise_format(PyExc_ValueError, "the RAW file is developed already");
    if (keep && (bits != 8 || !sink)) throw fw::raise_format(PyExc_ValueError, "keep takes 8 bits and a sink");
    if (alone && (bits != 16 || sink || keep))
        throw fw::raise_format(PyExc_ValueError, "alone takes 16 bits, and neither a sink nor keep");
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

    LibRawHeap heap(r, half);
    struct CloseAfter {
        Raw *r;
        bool keep = false;
        ~CloseAfter() {
            if (!keep) close_raw(r);
        }
    } closing{r};
    int status;
    ProcessedPtr image;
    Busy busy(r);
    status = unlocked([&] {
        heap.grow();
        return libraw_unpack(lr);
    });
    if (status == LIBRAW_SUCCESS && r->errors.count == 0) {
        status = unlocked([&] {
            int code = libraw_dcraw_process(lr);
            if (code == LIBRAW_SUCCESS) Inside::release_raw_data(lr);
            return code;
        });
    }
    heap.close();  // LibRaw's blocks are taken: what comes next is served as before
    if (status == LIBRAW_SUCCESS && r->errors.count == 0 && !sink && !alone)
        status = unlocked([&] {
            int code = LIBRAW_SUCCESS;
            image.reset(libraw_dcraw_make_mem_image(lr, &code));
            return image ? LIBRAW_SUCCESS : (code ? code : LIBRAW_UNSUFFICIENT_MEMORY);
        });
    if (status != LIBRAW_SUCCESS) throw status_failure(status, "cannot develop the RAW file");
    if (r->errors.count) throw data_failure(r->errors);
    if (alone) {
        Inside::make_output_curve(lr);
        OwnedPixels deep = read_deep(lr, 2);
        const Readout out(lr);
        return wrap_owned(module, out.width, out.height, out.colors, 16, std::move(deep));
    }
    if (!sink) return wrap_pixels(module, std::move(image));
    if (bits == 8) {
        stream_developed(lr, sink, nullptr, keep);
        if (keep) closing.keep = r->developed = true;
        return ref::borrow(handle(Py_None));
    }
    OwnedPixels deep;
    stream_developed(lr, sink, &deep);
    const Readout out(lr);
    return wrap_owned(module, out.width, out.height, out.colors, 16, std::move(deep));
}

// deep(): the 16-bit picture of a file developed with `keep`, read out of its working picture;
// the record is closed then, whatever happens.
ref deep_impl(PyObject *module, Raw *r) {
    libraw_data_t *lr = usable(r);
    if (!r->developed) throw fw::raise_format(PyExc_ValueError, "the RAW file is not developed with keep=True");
    struct CloseAfter {
        Raw *r;
        ~CloseAfter() { close_raw(r); }
    } closing{r};
    OwnedPixels deep;
    {
        Busy busy(r);
        deep = read_deep(lr, 2);
    }
    const Readout out(lr);
    return wrap_owned(module, out.width, out.height, out.colors, 16, std::move(deep));
}

// preview(): the largest embedded preview LibRaw finds, as it is stored (a JPEG's bytes, or a
// bitmap). The record stays open, so the picture can still be developed.
ref preview_impl(PyObject *module, Raw *r) {
    libraw_data_t *lr = usable(r);
    if (lr->thumbnail.tlength == 0 && lr->thumbs_list.thumbcount == 0)
        throw RawFailure{LIBRAW_NO_THUMBNAIL, "the RAW file holds no preview"};
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
    if (status != LIBRAW_SUCCESS) throw status_failure(status, "cannot read the RAW file's preview");
    return wrap_pixels(module, std::move(image));
}

// --- the methods, bound through the codec binding's barrier ----------------------------------

ref raw_info(PyObject *, PyObject *self, const Args &args) {
    positional(args, 0);
    return info_impl(as_raw(self));
}

// develop(*, half=False, auto_wb=False, flip=True, bits=8, sink=None, keep=False, alone=False):
// the flags taken by truth.
ref raw_develop(PyObject *module, PyObject *self, const Args &args) {
    const auto [half, auto_wb, flip, bits, sink, keep, alone] = keywords(
        args, 0, std::array<const char *, 7>{"half", "auto_wb", "flip", "bits", "sink", "keep", "alone"});
    auto truth = [](handle obj, bool otherwise) {
        if (!obj) return otherwise;
        const int v = PyObject_IsTrue(obj.ptr());
        if (v < 0) throw error{};
        return v != 0;
    };
    const bool is_half = truth(half, false), is_auto_wb = truth(auto_wb, false), is_flip = truth(flip, true);
    int depth = 8;
    if (bits) {
        const long v = PyLong_AsLong(bits.ptr());
        if (v == -1 && PyErr_Occurred()) throw error{};
        if (v != 8 && v != 16) throw fw::raise_format(PyExc_ValueError, "bits must be 8 or 16, not %ld", v);
        depth = int(v);
    }
    const bool streamed = sink && !sink.is(Py_None);
    return develop_impl(module, as_raw(self), is_half, is_auto_wb, is_flip, depth, streamed ? sink : handle(),
                        truth(keep, false), truth(alone, false));
}

ref raw_deep(PyObject *module, PyObject *self, const Args &args) {
    positional(args, 0);
    return deep_impl(module, as_raw(self));
}

ref raw_preview(PyObject *module, PyObject *self, const Args &args) {
    positional(args, 0);
    return preview_impl(module, as_raw(self));
}

ref raw_close(PyObject *, PyObject *self, const Args &args) {
    positional(args, 0);
    Raw *r = as_raw(self);
    if (r->busy) throw fw::raise_format(PyExc_RuntimeError, "the RAW file is in use by another thread");
    close_raw(r);
    return ref::borrow(handle(Py_None));
}

PyMethodDef raw_methods[] = {
    method<RawCodec, raw_info, "info">("info()\n--\n\nWhat LibRaw found in the file: sizes, camera, shooting data, GPS."),
    method<RawCodec, raw_develop, "develop">(
        "develop(*, half=False, auto_wb=False, flip=True, bits=8, sink=None, keep=False)\n--\n\n"
        "Develop the picture: (kind, width, height, colours, bits, pixels); with `sink`,\n"
        "sink(width, height, colours) returns a writer that takes the 8-bit rows in bands, and the\n"
        "result is None (bits=8) or the 16-bit picture read out in the same pass. Closes the file,\n"
        "except with `keep` (8 bits and a sink): its developed picture is kept for deep()."),
    method<RawCodec, raw_deep, "deep">(
        "deep()\n--\n\nThe 16-bit picture of a file developed with keep=True, as develop(bits=16) gives it\n"
        "beside the same 8-bit rows: (kind, width, height, colours, bits, pixels). Closes the file."),
    method<RawCodec, raw_preview, "preview">(
        "preview()\n--\n\nThe largest embedded preview: (kind, width, height, colours, bits, pixels)."),
    method<RawCodec, raw_close, "close">("close()\n--\n\nFree LibRaw's memory now."),
    end_of_table,
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

// The module's own functions: none, its calls are the classes' methods.
PyMethodDef module_functions[] = {end_of_table};

// Exec: refuses to load beside another LibRaw than the pinned one; makes RawError (an OSError)
// and the two classes for this module, and adds LibRaw's version.
void RawCodec::exec(PyObject *module, CodecErrors &s) {
    const int running = libraw_versionNumber();
    if (running >> 16 != pinned_major || ((running >> 8) & 0xff) != pinned_minor)
        throw fw::raise_format(PyExc_ImportError, "framewick.formats._raw was built for LibRaw %d.%d and finds LibRaw %s: "
                               "rebuild framewick", pinned_major, pinned_minor, libraw_version());
    s.codec_error = add_exception(module, "framewick.formats._raw.RawError", PyExc_OSError,
                                  "A camera RAW file LibRaw cannot read; `code` is LibRaw's status.");
    s.types[raw_class] = check(PyType_FromModuleAndSpec(module, &raw_spec, nullptr)).release();
    s.types[pixels_class] = check(PyType_FromModuleAndSpec(module, &pixels_spec, nullptr)).release();
    check(PyModule_AddObjectRef(module, "Raw", s.types[raw_class]));
    check(PyModule_AddObjectRef(module, "Pixels", s.types[pixels_class]));
    check(PyModule_AddStringConstant(module, "LIBRAW_VERSION", libraw_version()));
    check(PyModule_AddObjectRef(module, "LIBRAW_PINNED",
                                fw::tuple_of(integer_value(pinned_major), integer_value(pinned_minor)).ptr()));
    check(PyModule_AddIntConstant(module, "FILE_UNSUPPORTED", LIBRAW_FILE_UNSUPPORTED));
}

} // namespace

extern "C" PyMODINIT_FUNC PyInit__raw(void) {
    return define<RawCodec>("_raw", "Camera RAW files opened and developed by LibRaw.", module_functions);
}
