// storage.cpp: the Storage mixin, through which a picture enters and leaves framewick.
#include "frame.hpp"

using namespace fw;

namespace {

// --- Identifiers ---------------------------------------------------------------------------

namespace id {
Name PIL{"PIL"}, Image{"Image"}, os{"os"};
Name image{"image"}, quality{"quality"}, optimize{"optimize"}, mode{"mode"}, size{"size"},
    format{"format"}, path{"path"}, exists{"exists"}, new_{"new"}, open{"open"}, paste{"paste"},
    split{"split"}, convert{"convert"}, save{"save"}, upper{"upper"}, strip{"strip"},
    replace{"replace"}, mask{"mask"}, palette{"palette"}, ADAPTIVE{"ADAPTIVE"};
Name RGB{"RGB"}, RGBA{"RGBA"}, P{"P"}, JPEG{"JPEG"}, JPG{"JPG"}, GIF{"GIF"}, BMP{"BMP"}, dot{"."};
} // namespace id

Builtin print{"print"};

// --- Constants -----------------------------------------------------------------------------

IntConst one{1}, k85{85}, k95{95}, k100{100}, k255{255};
TupleConst white{&k255, &k255, &k255};
TupleConst kw_mask{&id::mask}, kw_palette{&id::palette}, kw_quality_optimize{&id::quality, &id::optimize};

// --- class Storage -------------------------------------------------------------------------

Text doc_storage{"Module for advanced file operations, conversion, and optimization 💾"};

// __init__(self)
ref init(Site &at, handle self) {
    at.here();
    self.set_attr(id::quality, k95);
    return ref::borrow(none());
}
FunctionDef init_def{.name = "__init__", .params = {"self"}, .body = body<init>};

// optimize(self, quality: int = 85)
Text doc_optimize{" 😎 Make it lightweight! 😎 "};
Text quality_range{"❌ Error: Quality must be between 1 and 100."};
Text optimized{"✨ Success: Optimization mode enabled (Quality: "}, optimized_end{"%) 🚀"};

ref optimize(Site &at, handle self, Int quality) {
    // 1. quality arrives as an int. 2. 1 <= quality, then quality <= 100.
    at.here();
    if (!compare(one, quality, Py_LE) || !compare(quality, k100, Py_LE))
        throw raise(PyExc_ValueError, quality_range);
    // 3.
    at.here();
    self.set_attr(id::quality, quality);
    // 4.
    at.here();
    print(status(optimized, quality, optimized_end));
    return ref::borrow(self);
}
FunctionDef optimize_def{.name = "optimize", .params = {"self", "quality"}, .defaults = {&k85},
                         .doc = &doc_optimize, .body = body<optimize>};

// convert_mode(self, target_mode: str)
Text doc_convert_mode{"\n"
                      "        🌈 Change the color mode of the image! 🌈\n"
                      "        \n"
                      "        Args:\n"
                      "            target_mode (str): 'RGB', 'RGBA' (with transparency), 'L' (Grayscale), "
                      "'CMYK', etc.\n"
                      "        "};
Text attempting{"🌈 Attempting to convert mode to: "}, ellipsis{"..."};
Text mode_changed{"✅ Success: Mode changed to "}, mode_changed_end{" 🎭"};
Text mode_failed{"❌ Error: Could not convert mode to "}, reason{". Reason: "};

ref convert_mode(Site &at, handle self, Str target_mode) {
    // 1. Announce the attempt.
    at.here();
    print(status(attempting, target_mode, ellipsis));
    // 2. Protected.
    protect(
        at,
        [&] {
            at.here();
            ref upper = target_mode.method(id::upper);
            if (equal(upper, id::RGB) && equal(self.attr(id::image).attr(id::mode), id::RGBA)) {
                // 2.1 Composite onto opaque white through the alpha band.
                at.here();
                ref background = global(id::Image).method(id::new_, id::RGB, self.attr(id::image).attr(id::size), white);
                at.here();
                ref alpha = self.attr(id::image).method(id::split).item(3);
                background.method_kw(id::paste, kw_mask, self.attr(id::image), alpha);
                at.here();
                self.set_attr(id::image, background);
            } else {
                // 2.2 A plain conversion.
                at.here();
                self.set_attr(id::image, self.attr(id::image).method(id::convert, upper));
            }
            // 2.3
            at.here();
            print(status(mode_changed, upper, mode_changed_end));
        },
        // 3. Report the failure; image keeps what it held.
        [&](handle e) {
            at.here();
            print(status(mode_failed, target_mode, reason, e));
        });
    // 4.
    return ref::borrow(self);
}
FunctionDef convert_mode_def{.name = "convert_mode", .params = {"self", "target_mode"},
                             .locals = {"background", "e"}, .doc = &doc_convert_mode,
                             .body = body<convert_mode>};

// convert(self, target_format: str)
Text doc_convert{"\n"
                 "        🔄 Professional Format Converter 🔄\n"
                 "        Supports: JPEG, PNG, WEBP, GIF, TIFF, BMP, ICO, etc.\n"
                 "        \n"
                 "        Args:\n"
                 "            target_format (str): The extension/format you want to switch to.\n"
                 "        "};
Text converting{"🔄 Converting image to "}, converting_end{" format... ⏳"};
Text format_set{"✅ Success: Format is now set to "}, format_set_end{" ⚡"};
Text format_failed{"❌ Error: Format conversion to "}, failed_reason{" failed. Reason: "};

ref convert(Site &at, handle self, Str target_format) {
    // 1. fmt: stripped, upper-cased, without full stops.
    at.here();
    ref fmt = target_format.method(id::strip).method(id::upper).method(id::replace, id::dot, empty_str);
    // 2.
    at.here();
    print(status(converting, fmt, converting_end));
    // 3. Protected.
    protect(
        at,
        [&] {
            at.here();
            if (equal(fmt, id::JPEG) || equal(fmt, id::JPG)) {
                // 3.1
                at.here();
                ref mode = self.attr(id::image).attr(id::mode);
                if (equal(mode, id::RGBA) || equal(mode, id::P)) {
                    at.here();
                    self.set_attr(id::image, self.attr(id::image).method(id::convert, id::RGB));
                }
            } else if (equal(fmt, id::GIF)) {
                // 3.2
                at.here();
                if (compare(self.attr(id::image).attr(id::mode), id::P, Py_NE)) {
                    at.here();
                    ref image = self.attr(id::image);
                    ref adaptive = global(id::Image).attr(id::ADAPTIVE);
                    self.set_attr(id::image, image.method_kw(id::convert, kw_palette, id::P, adaptive));
                }
            } else if (equal(fmt, id::BMP)) {
                // 3.3
                at.here();
                ref mode = self.attr(id::image).attr(id::mode);
                if (!equal(mode, id::RGB) && !equal(mode, id::RGBA)) {
                    at.here();
                    self.set_attr(id::image, self.attr(id::image).method(id::convert, id::RGB));
                }
            }
            // 3.4 Any other format changes nothing here. 3.5 Record the format on the picture.
            at.here();
            self.attr(id::image).set_attr(id::format, fmt);
            // 3.6
            at.here();
            print(status(format_set, fmt, format_set_end));
        },
        // 4.
        [&](handle e) {
            at.here();
            print(status(format_failed, fmt, failed_reason, e));
        });
    // 5.
    return ref::borrow(self);
}
FunctionDef convert_def{.name = "convert", .params = {"self", "target_format"}, .locals = {"fmt", "e"},
                        .doc = &doc_convert, .body = body<convert>};

// save(self, filename: str)
Text doc_save{" 😎 The moment of truth! ✨\n"
              "        \n"
              "        Save the processed image to disk 💾"};
Text saved{"💾 Success: Image saved as '"}, saved_end{"' ✅"};

ref save(Site &at, handle self, Str filename) {
    // 1. image, then quality; save(filename, quality=..., optimize=True).
    at.here();
    ref image = self.attr(id::image);
    ref quality = self.attr(id::quality);
    image.method_kw(id::save, kw_quality_optimize, filename, quality, handle(Py_True));
    // 2.
    at.here();
    print(status(saved, filename, saved_end));
    // 3.
    return ref::borrow(self);
}
FunctionDef save_def{.name = "save", .params = {"self", "filename"}, .doc = &doc_save, .body = body<save>};

// @classmethod load(cls, path: str)
Text doc_load{"🪄 Load an image from a path 📂"};
Text file_prefix{"❌ Error: File "}, not_found{" not found!"};
Text loaded{"📸 Image loaded: "};

ref load(Site &at, handle cls, Str path) {
    // 1. The file must exist.
    at.here();
    if (!truth(global(id::os).attr(id::path).method(id::exists, path)))
        throw raise(PyExc_FileNotFoundError, status(file_prefix, path, not_found));
    // 2. A new object of the calling class.
    at.here();
    ref instance = cls();
    // 3. Open the picture into it.
    at.here();
    instance.set_attr(id::image, global(id::Image).method(id::open, path));
    // 4.
    at.here();
    print(status(loaded, path));
    // 5.
    return instance;
}
FunctionDef load_def{.name = "load", .params = {"cls", "path"}, .locals = {"instance"}, .doc = &doc_load,
                     .classmethod = true, .body = body<load>};

ClassDef storage{.name = "Storage",
                 .doc = &doc_storage,
                 .methods = {&init_def, &optimize_def, &convert_mode_def, &convert_def, &save_def, &load_def}};

} // namespace

ModuleSpec fw::this_module{
    .identity = {"storage", "framewick.utils.storage", "framewick_source/utils/storage"},
    .imports = {{.module = &id::PIL, .names = {&id::Image}}, {.module = &id::os}},
    .globals = {},
    .cls = &storage,
};

FRAMEWICK_MODULE(storage)
