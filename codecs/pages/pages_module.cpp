// pages_module.cpp: framewick.formats._pages, the pages of a fresh Pillow picture asked of the
// kernel at once (huge pages where whole extents fit, every page given), before its rows are
// written: one call instead of a fault per page.
//
//   fresh(picture, at_once) -> int
//       picture: a Pillow core picture held in one block (Image.core.new_block); at_once: the
//       picture is written whole next (its pages given at once), else row by row over a longer
//       time (huge pages only, taken as the rows reach them, so the process does not hold the
//       whole picture before it is written); the bytes advised, 0 where the picture does not
//       show its block (held in several, or a Pillow without the export)
//
// The block is found through the Arrow C data interface that Pillow's core pictures export
// (`__arrow_c_schema__`, `__arrow_c_array__`): a picture of one band is a primitive array, one
// of several bands a fixed-size list over one; the values are the picture's samples in memory
// order, so the leaf array's data buffer and its length give the block. The export holds the
// picture's memory until its capsules go, after the pages are asked for.
#include <codec.hpp>
#include <pages.hpp>

#include <cstdint>
#include <cstring>

using namespace fw::codec;

namespace {

// The Arrow C data interface's two records (its stable ABI).
struct ArrowSchema {
    const char *format;
    const char *name;
    const char *metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema **children;
    ArrowSchema *dictionary;
    void (*release)(ArrowSchema *);
    void *private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void **buffers;
    ArrowArray **children;
    ArrowArray *dictionary;
    void (*release)(ArrowArray *);
    void *private_data;
};

struct Pages {
    static constexpr const char *name = "framewick.formats._pages";
    using Failure = NoFailure;
    static void raise(PyObject *, const Failure &) noexcept {}
    static void exec(PyObject *module, CodecErrors &state);
};

// The bytes of one value of a primitive Arrow format ("C": uint8, "S": uint16, "f": float32,
// ...); 0 for any other format.
std::size_t value_bytes(const char *format) noexcept {
    if (!format || !format[0] || format[1]) return 0;
    switch (format[0]) {
    case 'c': case 'C': return 1;
    case 's': case 'S': case 'e': return 2;
    case 'i': case 'I': case 'f': return 4;
    case 'l': case 'L': case 'g': return 8;
    default: return 0;
    }
}

// picture.name() as a capsule named `name`, or null (no error set) where the picture has no such
// export or refuses it (a picture held in several blocks).
ref exported(handle picture, const char *method, const char *name) {
    ref capsule = ref::steal(PyObject_CallMethod(picture.ptr(), method, nullptr));
    if (!capsule) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_AttributeError) &&
            !PyErr_ExceptionMatches(PyExc_TypeError))
            throw error{};
        PyErr_Clear();
        return ref();
    }
    if (!PyCapsule_IsValid(capsule.ptr(), name)) return ref();
    return capsule;
}

ref fresh(PyObject *, const Args &args) {
    positional(args, 2);
    handle picture(args[0]);
    const int at_once = PyObject_IsTrue(args[1].ptr());
    if (at_once < 0) throw error{};
    ref schema_capsule = exported(picture, "__arrow_c_schema__", "arrow_schema");
    if (!schema_capsule) return integer_value(0);
    ref array_capsule = exported(picture, "__arrow_c_array__", "arrow_array");
    if (!array_capsule) return integer_value(0);
    const auto *schema = static_cast<const ArrowSchema *>(PyCapsule_GetPointer(schema_capsule.ptr(), "arrow_schema"));
    const auto *array = static_cast<const ArrowArray *>(PyCapsule_GetPointer(array_capsule.ptr(), "arrow_array"));
    if (!schema || !array) throw error{};
    // A fixed-size list of samples ("+w:4"): its one child holds them.
    if (schema->n_children == 1 && array->n_children == 1 && schema->children && array->children &&
        std::strncmp(schema->format ? schema->format : "", "+w:", 3) == 0) {
        schema = schema->children[0];
        array = array->children[0];
    }
    if (!schema || !array || schema->n_children != 0 || array->n_buffers != 2 || !array->buffers) return integer_value(0);
    const std::size_t size = value_bytes(schema->format);
    if (!size || !array->buffers[1] || array->length <= 0 || array->offset < 0) return integer_value(0);
    auto *start = static_cast<std::uint8_t *>(const_cast<void *>(array->buffers[1])) + std::size_t(array->offset) * size;
    const std::size_t bytes = std::size_t(array->length) * size;
    {
        WithoutGil nogil;
        if (at_once) fw::fresh(start, bytes);
        else fw::prefer_huge_pages(start, bytes);
    }
    return integer_value(static_cast<long long>(bytes));
}

PyMethodDef methods[] = {
    function<Pages, fresh, "fresh">(
        "fresh(picture, at_once) -> int: the pages of a Pillow core picture held in one block asked of the "
        "kernel at once (at_once) or as huge pages, before it is written; the bytes, or 0 where the picture "
        "does not show its block."),
    end_of_table,
};

void Pages::exec(PyObject *, CodecErrors &) {}

} // namespace

extern "C" PyMODINIT_FUNC PyInit__pages(void) {
    return define<Pages>("_pages", "Fresh pictures' pages asked of the kernel at once.", methods);
}
