// inspector.cpp: the Inspector mixin, read-only queries on the current picture.
#include "frame.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <vector>

using namespace fw;

namespace {

// --- Identifiers ---------------------------------------------------------------------------

namespace id {
Name PIL{"PIL"}, Image{"Image"}, PIL_Image{"PIL.Image"};
Name image{"image"}, width{"width"}, height{"height"}, mode{"mode"}, format{"format"}, info{"info"},
    histogram{"histogram"}, copy{"copy"}, resize{"resize"}, convert{"convert"}, getdata{"getdata"},
    get_flattened_data{"get_flattened_data"}, tobytes{"tobytes"}, upper{"upper"}, key{"key"},
    reverse{"reverse"};
Name RGB{"RGB"};
} // namespace id

Builtin print{"print"}, sorted{"sorted"};

// --- Constants -----------------------------------------------------------------------------

IntConst k0{0}, k1{1}, k5{5}, k16{16}, k100{100};
constexpr Py_ssize_t palette_side = 100;
TupleConst size_100{&k100, &k100};
TupleConst kw_key_reverse{&id::key, &id::reverse};

// --- class Inspector -----------------------------------------------------------------------

Text doc_inspector{"Module for analyzing image data and metadata 🔍"};

// compare(self)
Text doc_compare{"🔍 Compare and show current image status! 🔍"};
Text dimensions{"📏 Dimensions"}, mode_key{"🎭 Mode"}, format_key{"📁 Format"}, color_space{"🌈 Color Space"};
Text by{"x"}, unknown{"Unknown"}, colon{": "};
Text report_title{"\n📊 --- Image Status Report --- 📊"};
Text report_end{"------------------------------\n"};

// str(value), as a report line shows either side of an entry.
ref text_of(handle value) { return check(PyObject_Str(value.ptr())); }

ref compare(Site &at, handle self) {
    // 1. The four entries, in order, each reading the picture afresh.
    at.here();
    ref info = check(PyDict_New());
    {
        ref width = self.attr(id::image).attr(id::width);
        ref height = self.attr(id::image).attr(id::height);
        check(PyDict_SetItem(info.ptr(), dimensions.ptr(), status(width, by, height).ptr()));
    }
    check(PyDict_SetItem(info.ptr(), mode_key.ptr(), self.attr(id::image).attr(id::mode).ptr()));
    {
        ref format = self.attr(id::image).attr(id::format);
        check(PyDict_SetItem(info.ptr(), format_key.ptr(), truth(format) ? format.ptr() : unknown.ptr()));
    }
    {
        ref mode = self.attr(id::image).attr(id::mode);
        check(PyDict_SetItem(info.ptr(), color_space.ptr(), equal(mode, id::RGB) ? id::RGB.ptr() : mode.ptr()));
    }
    // 2.
    at.here();
    print(report_title);
    // 3. One line per entry. The dict is our own, so iterating it in place is safe.
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(info.ptr(), &pos, &key, &value)) {
        ref k = ref::borrow(key), v = ref::borrow(value);
        at.here();
        print(status(text_of(k), colon, text_of(v)));
    }
    // 4.
    at.here();
    print(report_end);
    // 5.
    return ref::borrow(self);
}
FunctionDef compare_def{.name = "compare", .params = {"self"}, .locals = {"info", "key", "value"},
                        .doc = &doc_compare, .body = body<compare>};

// histogram(self)
Text doc_histogram{"😎 Show image color histogram! 😎"};
Text histogram_done{"📊 Success: Histogram data generated 📈"};

ref histogram(Site &at, handle self) {
    // 1.
    at.here();
    ref hist = self.attr(id::image).method(id::histogram);
    // 2.
    at.here();
    print(histogram_done);
    // 3.
    return hist;
}
FunctionDef histogram_def{.name = "histogram", .params = {"self"}, .locals = {"hist"}, .doc = &doc_histogram,
                          .body = body<histogram>};

// get_metadata(self) -> "dict"
Text doc_get_metadata{"📂 Extract detailed metadata from the image 📂"};
Text metadata_done{"📂 Success: Metadata extracted! ✨"};

ref get_metadata(Site &at, handle self) {
    // 1. The picture's own info dict, not a copy.
    at.here();
    ref metadata = self.attr(id::image).attr(id::info);
    // 2.
    at.here();
    print(metadata_done);
    // 3. The declared return type holds only for an exact dict (or None).
    at.here();
    if (!PyDict_CheckExact(metadata.ptr()) && !metadata.is(Py_None))
        throw raise_format(PyExc_TypeError, "Expected %.42s, got %.200s", "dict", metadata.type()->tp_name);
    return metadata;
}
FunctionDef get_metadata_def{.name = "get_metadata", .params = {"self"}, .locals = {"metadata"},
                             .doc = &doc_get_metadata, .returns = "dict", .body = body<get_metadata>};

// extract_color_palette(self, num_colors: int = 5) -> "list"
Text doc_extract_color_palette{"\n"
                               "        🎨 Extract the dominant color palette as clean Hex codes.\n"
                               "        \n"
                               "        Args:\n"
                               "            num_colors (int): Number of dominant colors to return.\n"
                               "        Returns:\n"
                               "            list: A list of hex color strings (e.g., ['#FFFFFF', '#000000'])\n"
                               "        "};
Text extracting{"🔍 Extracting top "}, extracting_end{" dominant colors... 🧪"};
Text hex_format{"#{:02x}{:02x}{:02x}"};
Text palette_done{"✅ Palette extracted successfully: "}, palette_done_end{" 🎨"};

// The palette's counting and ordering, done natively while every pixel is what Pillow yields for
// an RGB picture (an exact 3-tuple of exact ints in 0..255). Buckets are r//16*256 + g//16*16 +
// b//16; `order` keeps them in order of first occurrence, as insertion into a dict would.
struct BucketTable {
    std::array<Py_ssize_t, 4096> count{};
    std::vector<std::uint16_t> order;

    void add(unsigned bucket) {
        if (count[bucket]++ == 0) order.push_back(std::uint16_t(bucket));
    }

    // Steps 6 and 7 on the table: the palette of the `num_colors` most frequent buckets.
    ref palette(handle num_colors) const;
};

ref BucketTable::palette(handle num_colors) const {
    // 6. Most frequent first; a stable sort keeps equal counts in first-occurrence order.
    std::vector<std::uint16_t> sorted_colors = order;
    std::stable_sort(sorted_colors.begin(), sorted_colors.end(),
                     [&](std::uint16_t a, std::uint16_t b) { return count[a] > count[b]; });
    // 7. The stop test compares with num_colors, an unbounded int: clamp it.
    int overflow = 0;
    long long limit = PyLong_AsLongLongAndOverflow(num_colors.ptr(), &overflow);
    if (overflow) limit = overflow > 0 ? LLONG_MAX : LLONG_MIN;
    ref palette = check(PyList_New(0));
    for (std::uint16_t bucket : sorted_colors) {
        // A channel is component * 16: its high digit is the component, its low digit 0.
        static constexpr char digits[] = "0123456789ABCDEF";
        const char hex_code[7] = {'#', digits[(bucket >> 8) & 15], '0', digits[(bucket >> 4) & 15], '0',
                                  digits[bucket & 15], '0'};
        check(PyList_Append(palette.ptr(), check(PyUnicode_FromStringAndSize(hex_code, 7)).ptr()));
        if (PyList_GET_SIZE(palette.ptr()) >= limit) break;
    }
    return palette;
}

// Pillow's picture class, PIL.Image.Image, as the loaded PIL.Image module holds it (not through
// the module global `Image`, which a program may rebind); null when there is none.
ref pillow_image_class() {
    ref module = ref::steal(PyImport_GetModule(id::PIL_Image.ptr()));
    if (!module) {
        if (PyErr_Occurred()) throw error{};
        return ref();
    }
    PyObject *cls = nullptr;
    check(PyObject_GetOptionalAttr(module.ptr(), id::Image.ptr(), &cls));
    return ref::steal(cls);
}

// The pixels of `img` as bytes, three per pixel row by row, when it is exactly Pillow's picture
// class in mode RGB (whose tobytes is its raw pixel data); null for any other object, which
// keeps to the pixel tuples.
ref rgb_bytes(handle img) {
    ref image_class = pillow_image_class();
    if (!image_class || reinterpret_cast<PyObject *>(Py_TYPE(img.ptr())) != image_class.ptr() ||
        !equal(img.attr(id::mode), id::RGB))
        return ref();
    ref data = img.method(id::tobytes);
    if (!PyBytes_CheckExact(data.ptr()) || PyBytes_GET_SIZE(data.ptr()) != 3 * palette_side * palette_side)
        return ref();
    return data;
}

// The bucket of a pixel Pillow yields for an RGB picture, or -1 for any other value.
int native_bucket(PyObject *pixel) noexcept {
    if (!PyTuple_CheckExact(pixel) || PyTuple_GET_SIZE(pixel) != 3) return -1;
    int bucket = 0;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject *channel = PyTuple_GET_ITEM(pixel, i);
        if (!PyLong_CheckExact(channel)) return -1;
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(channel, &overflow);  // cannot fail on an exact int
        if (overflow || v < 0 || v > 255) return -1;
        bucket = bucket * 16 + int(v / 16);
    }
    return bucket;
}

// The key function of the sort on the general path: the count of a (key, count) item.
PyObject *item_count(PyObject *, PyObject *item) { return PySequence_GetItem(item, 1); }
PyMethodDef item_count_def{"<lambda>", item_count, METH_O, nullptr};

// The same key function as an object, made on first use and kept for the process.
handle count_key() {
    static PyObject *fn = nullptr;
    if (!fn) fn = check(PyCFunction_New(&item_count_def, nullptr)).release();
    return fn;
}

// 1. Announce. 2.-3. A 100 by 100 copy (resize before the mode conversion), then RGB.
// 4. Its pixels, row by row from the top left.
// 5. Count the pixels into buckets of 16 levels per channel, in order of first occurrence.
//    While every pixel is an RGB tuple of ints in 0..255 this runs on a native table; the first
//    pixel that is anything else moves the counts into a dict and the rest is counted with
//    Python's own semantics (unpacking, floor division, dict keys), so any result is the same.
// 6. Order the buckets by count, most frequent first, equal counts in first-occurrence order
//    (a stable sort; `sorted(..., reverse=True)` keeps equal items in their original order too).
// 7. Hex codes, two upper-case digits per channel (component * 16); stop once `num_colors` are
//    collected, the test coming after the append. 8. Report. 9. Return the palette.
ref extract_color_palette(Site &at, handle self, Int num_colors) {
    // 1.
    at.here();
    print(status(extracting, num_colors, extracting_end));
    // 2.
    at.here();
    ref img = self.attr(id::image).method(id::copy).method(id::resize, size_100);
    // 3.
    at.here();
    img = img.method(id::convert, id::RGB);
    // 4.-5. An exact RGB picture of Pillow's is counted straight from its bytes.
    at.here();
    if (ref raw = rgb_bytes(img)) {
        const auto *p = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(raw.ptr()));
        const Py_ssize_t n = PyBytes_GET_SIZE(raw.ptr());
        BucketTable table;
        for (Py_ssize_t k = 0; k < n; k += 3)
            table.add(unsigned(p[k] >> 4) << 8 | unsigned(p[k + 1] >> 4) << 4 | unsigned(p[k + 2] >> 4));
        at.here();
        ref palette = table.palette(num_colors);
        // 8.
        at.here();
        print(status(palette_done, text_of(palette), palette_done_end));
        // 9.
        return palette;
    }

    // 4. get_flattened_data where the picture has it (getdata is deprecated from Pillow 12 on
    //    and goes in Pillow 14); the same pixel sequence either way. The list of an exact tuple
    //    (what get_flattened_data gives) would be a copy no one else sees, holding the same
    //    items in the same order: the tuple itself is counted.
    at.here();
    ref pixels;
    {
        PyObject *flattened = nullptr;
        ref data = check(PyObject_GetOptionalAttr(img.ptr(), id::get_flattened_data.ptr(), &flattened))
                       ? ref::steal(flattened)()
                       : img.method(id::getdata);
        pixels = PyTuple_CheckExact(data.ptr()) ? data : check(PySequence_List(data.ptr()));
    }

    // 5. The native count, as far as the pixels allow.
    at.here();
    BucketTable table;
    Py_ssize_t i = 0;
    for (; i < PySequence_Fast_GET_SIZE(pixels.ptr()); ++i) {
        int bucket = native_bucket(PySequence_Fast_GET_ITEM(pixels.ptr(), i));
        if (bucket < 0) break;
        table.add(unsigned(bucket));
    }

    ref palette;
    if (i == PySequence_Fast_GET_SIZE(pixels.ptr())) {
        // 6.-7. Native ordering of the table.
        at.here();
        palette = table.palette(num_colors);
    } else {
        palette = check(PyList_New(0));
        // 5. The general path: what was counted so far becomes the dict, then the rest.
        ref color_counts = check(PyDict_New());
        for (std::uint16_t bucket : table.order) {
            ref key = check(Py_BuildValue("(iii)", bucket >> 8, (bucket >> 4) & 15, bucket & 15));
            ref count = check(PyLong_FromSsize_t(table.count[bucket]));
            check(PyDict_SetItem(color_counts.ptr(), key.ptr(), count.ptr()));
        }
        for (; i < PySequence_Fast_GET_SIZE(pixels.ptr()); ++i) {
            at.here();
            ref pixel = ref::borrow(PySequence_Fast_GET_ITEM(pixels.ptr(), i));
            auto [r, g, b] = unpack<3>(pixel);
            at.here();
            ref r16 = check(PyNumber_FloorDivide(r.ptr(), k16.ptr()));
            ref g16 = check(PyNumber_FloorDivide(g.ptr(), k16.ptr()));
            ref b16 = check(PyNumber_FloorDivide(b.ptr(), k16.ptr()));
            ref key = check(PyTuple_Pack(3, r16.ptr(), g16.ptr(), b16.ptr()));
            at.here();
            PyObject *found = nullptr;
            ref current = check(PyDict_GetItemRef(color_counts.ptr(), key.ptr(), &found)) ? ref::steal(found)
                                                                                         : ref::borrow(k0);
            ref count = check(PyNumber_Add(current.ptr(), k1.ptr()));
            check(PyDict_SetItem(color_counts.ptr(), key.ptr(), count.ptr()));
        }
        // 6.
        at.here();
        ref items = check(PyDict_Items(color_counts.ptr()));
        ref sorted_colors = sorted.object().call_kw(kw_key_reverse, items, count_key(), handle(Py_True));
        // 7. Whatever the cached sorted gave (a replaced builtin need not give a list) is walked
        //    as a for loop walks it.
        ref entries = check(PyObject_GetIter(sorted_colors.ptr()));
        while (true) {
            at.here();
            PyObject *next = PyIter_Next(entries.ptr());
            if (!next) {
                if (PyErr_Occurred()) throw error{};
                break;
            }
            ref entry = ref::steal(next);
            auto [key, count] = unpack<2>(entry);
            auto [r_key, g_key, b_key] = unpack<3>(key);
            at.here();
            ref r = check(PyNumber_Multiply(r_key.ptr(), k16.ptr()));
            ref g = check(PyNumber_Multiply(g_key.ptr(), k16.ptr()));
            ref b = check(PyNumber_Multiply(b_key.ptr(), k16.ptr()));
            at.here();
            ref hex_code = handle(hex_format).method(id::format, r, g, b).method(id::upper);
            at.here();
            check(PyList_Append(palette.ptr(), hex_code.ptr()));
            at.here();
            ref length = check(PyLong_FromSsize_t(PyList_GET_SIZE(palette.ptr())));
            if (compare(length, num_colors, Py_GE)) break;
        }
    }
    // 8.
    at.here();
    print(status(palette_done, text_of(palette), palette_done_end));
    // 9.
    return palette;
}
FunctionDef extract_color_palette_def{
    .name = "extract_color_palette",
    .params = {"self", "num_colors"},
    .locals = {"img", "pixels", "color_counts", "pixel", "r", "g", "b", "key", "sorted_colors", "palette", "r_key",
               "g_key", "b_key", "count", "hex_code"},
    .defaults = {&k5},
    .doc = &doc_extract_color_palette,
    .returns = "list",
    .body = body<extract_color_palette>};

ClassDef inspector{.name = "Inspector",
                   .doc = &doc_inspector,
                   .methods = {&compare_def, &histogram_def, &get_metadata_def, &extract_color_palette_def}};

} // namespace

ModuleSpec fw::this_module{
    .identity = {"inspector", "framewick.utils.inspector", "framewick_source/utils/inspector"},
    .imports = {{.module = &id::PIL, .names = {&id::Image}}},
    .globals = {},
    .cls = &inspector,
};

FRAMEWICK_MODULE(inspector)
