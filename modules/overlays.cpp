// overlays.cpp: the Overlays mixin: text, watermark, border and double exposure on the picture.
#include "frame.hpp"

using namespace fw;

namespace {

// --- Identifiers ---------------------------------------------------------------------------

namespace id {
Name PIL{"PIL"}, Image{"Image"}, ImageDraw{"ImageDraw"}, ImageFont{"ImageFont"}, ImageOps{"ImageOps"};
Name image{"image"}, Draw{"Draw"}, text{"text"}, fill{"fill"}, font{"font"}, load_default{"load_default"},
    load_default_imagefont{"load_default_imagefont"}, size{"size"}, open{"open"}, convert{"convert"},
    paste{"paste"}, expand{"expand"}, border{"border"}, putalpha{"putalpha"};
Name white{"white"}, black{"black"}, RGBA{"RGBA"};
} // namespace id

// --- Constants -----------------------------------------------------------------------------

IntConst k0{0}, k30{30};
FloatConst half{0.5};
TupleConst origin{&k0, &k0};
TupleConst kw_fill_font{&id::fill, &id::font}, kw_size{&id::size}, kw_border_fill{&id::border, &id::fill};

// Pillow's default scalable font at `size`; where Pillow cannot make it (no FreeType, a Pillow
// whose load_default takes no size, a size FreeType refuses), its default bitmap font.
ref default_font(Site &at, handle size) {
    ref font;
    protect(
        at, [&] { font = global(id::ImageFont).method_kw(id::load_default, kw_size, size); },
        [&](handle) {
            ref image_font = global(id::ImageFont);
            PyObject *bitmap = nullptr;
            if (check(PyObject_GetOptionalAttr(image_font.ptr(), id::load_default_imagefont.ptr(), &bitmap)))
                font = ref::steal(bitmap)();
            else
                font = image_font.method(id::load_default);  // before Pillow 10.1 it is the bitmap font
        });
    return font;
}

// --- class Overlays ------------------------------------------------------------------------

Text doc_overlays{"Module for adding elements on top of the image ✍️"};

// add_text(self, text: str, position: tuple, font_size: int = 30, color: str = "white")
Text doc_add_text{"Add custom text to the image 📝"};

ref add_text(Site &at, handle self, Str text, Tuple position, Int font_size, Str color) {
    // 1. A drawing context on the picture itself.
    at.here();
    ref draw = global(id::ImageDraw).method(id::Draw, self.attr(id::image));
    // 2. The text goes into the picture in place, in the default font at font_size.
    at.here();
    ref font = default_font(at, font_size);
    at.here();
    draw.method_kw(id::text, kw_fill_font, position, text, color, font);
    // 3.
    return ref::borrow(self);
}
FunctionDef add_text_def{.name = "add_text", .params = {"self", "text", "position", "font_size", "color"},
                         .locals = {"draw"}, .defaults = {&k30, &id::white}, .doc = &doc_add_text,
                         .body = body<add_text>};

// add_watermark(self, watermark_path: str, position: tuple)
Text doc_add_watermark{"Add a watermark image 💧"};

ref add_watermark(Site &at, handle self, Str watermark_path, Tuple position) {
    // 1. The watermark with an alpha channel; a bad file fails here, before the picture is touched.
    at.here();
    ref watermark = global(id::Image).method(id::open, watermark_path).method(id::convert, id::RGBA);
    // 2. Pasted through its own alpha, in place.
    at.here();
    self.attr(id::image).method(id::paste, watermark, position, watermark);
    // 3.
    return ref::borrow(self);
}
FunctionDef add_watermark_def{.name = "add_watermark", .params = {"self", "watermark_path", "position"},
                              .locals = {"watermark"}, .doc = &doc_add_watermark, .body = body<add_watermark>};

// apply_border(self, border_width: int, color: str = "black")
Text doc_apply_border{"Apply a border around the image 🖼️"};

ref apply_border(Site &at, handle self, Int border_width, Str color) {
    // 1. from PIL import ImageOps, bound as a local of this call.
    at.here();
    auto [ImageOps] = import_from(id::PIL, {&id::ImageOps});
    // 2. A new, larger picture replaces the old one, which is left as it was.
    at.here();
    ref picture = self.attr(id::image);
    self.set_attr(id::image, ImageOps.method_kw(id::expand, kw_border_fill, picture, border_width, color));
    // 3.
    return ref::borrow(self);
}
FunctionDef apply_border_def{.name = "apply_border", .params = {"self", "border_width", "color"},
                             .locals = {"ImageOps"}, .defaults = {&id::black}, .doc = &doc_apply_border,
                             .body = body<apply_border>};

// double_exposure(self, overlay_image_path: str, opacity: float = 0.5)
Text doc_double_exposure{"Blend two images together (Double Exposure) 🎭"};

ref double_exposure(Site &at, handle self, Str overlay_image_path, double opacity) {
    // 1.
    at.here();
    ref overlay = global(id::Image).method(id::open, overlay_image_path).method(id::convert, id::RGBA);
    // 2. One alpha for the whole overlay: int(opacity * 255.0), unclamped; an infinite or NaN
    //    product fails here with the interpreter's own error, before the picture is touched.
    at.here();
    ref alpha = check(PyLong_FromDouble(opacity * 255.0));
    overlay.method(id::putalpha, alpha);
    // 3. Top left on top left, in place; only the overlapping part is pasted.
    at.here();
    self.attr(id::image).method(id::paste, overlay, origin, overlay);
    // 4.
    return ref::borrow(self);
}
FunctionDef double_exposure_def{.name = "double_exposure", .params = {"self", "overlay_image_path", "opacity"},
                                .locals = {"overlay"}, .defaults = {&half}, .doc = &doc_double_exposure,
                                .body = body<double_exposure>};

ClassDef overlays{.name = "Overlays",
                  .doc = &doc_overlays,
                  .methods = {&add_text_def, &add_watermark_def, &apply_border_def, &double_exposure_def}};

} // namespace

ModuleSpec fw::this_module{
    .identity = {"overlays", "framewick.modules.overlays", "framewick_source/modules/overlays"},
    .imports = {{.module = &id::PIL, .names = {&id::Image, &id::ImageDraw, &id::ImageFont}}},
    .globals = {},
    .cls = &overlays,
};

FRAMEWICK_MODULE(overlays)
