// effects.cpp: the Effects mixin: filters, pixel-math looks and the table of named presets.
#include "frame.hpp"

#include <iterator>

using namespace fw;

namespace {

// --- Identifiers ---------------------------------------------------------------------------

namespace id {
Name PIL{"PIL"}, ImageEnhance{"ImageEnhance"}, ImageOps{"ImageOps"}, ImageFilter{"ImageFilter"},
    Image{"Image"}, ImageChops{"ImageChops"}, PRESETS{"PRESETS"}, numpy{"numpy"};
Name image{"image"}, filter{"filter"}, GaussianBlur{"GaussianBlur"}, SHARPEN{"SHARPEN"},
    convert{"convert"}, Contrast{"Contrast"}, Color{"Color"}, Brightness{"Brightness"},
    enhance{"enhance"}, autocontrast{"autocontrast"}, grayscale{"grayscale"}, blend{"blend"},
    mode{"mode"}, split{"split"}, merge{"merge"}, invert{"invert"}, putalpha{"putalpha"},
    array{"array"}, fromarray{"fromarray"}, dtype{"dtype"}, new_{"new"}, size{"size"},
    radius{"radius"}, lower{"lower"}, keys{"keys"}, join{"join"}, lambda{"<lambda>"};
Name RGB{"RGB"}, RGBA{"RGBA"}, L{"L"}, uint8{"uint8"};
} // namespace id

// The preset names, in the order the table lists them.
namespace key {
Name vintage{"vintage"}, cinematic{"cinematic"}, vibrant{"vibrant"}, dreamy{"dreamy"}, noir{"noir"},
    warm{"warm"}, sepia{"sepia"}, cool{"cool"};
} // namespace key

Builtin print{"print"};

// --- Constants -----------------------------------------------------------------------------

IntConst k0{0}, k1{1}, k2{2}, k255{255};
FloatConst f1_0{1.0}, f2_0{2.0};
TupleConst kw_dtype{&id::dtype}, kw_radius{&id::radius};

// --- class Effects -------------------------------------------------------------------------

Text doc_effects{"Module for advanced visual filters 🎨"};

// apply_blur(self, radius: int = 2)
Text doc_apply_blur{"Apply Gaussian blur to the image 🌫️"};

// Pillow's box blur works the radius out in single precision and overflows a C int from a
// magnitude of 2**31 - 64 on (the first value that rounds up to 2**31): it writes out of bounds.
IntConst blur_radius_max{2147483583}, blur_radius_min{-2147483583};
Text blur_range{"❌ Error: Blur radius must be between -2147483583 and 2147483583."};

ref apply_blur(Site &at, handle self, Int radius) {
    // A radius Pillow cannot take is refused before the picture is read.
    at.here();
    if (!compare(blur_radius_min, radius, Py_LE) || !compare(radius, blur_radius_max, Py_LE))
        throw at.refuse(PyExc_ValueError, blur_range);
    // 1. The picture. 2. A Gaussian blur of that radius. 3. Filtered into a new picture.
    at.here();
    ref image = self.attr(id::image);
    ref blur = global(id::ImageFilter).method(id::GaussianBlur, radius);
    self.set_attr(id::image, image.method(id::filter, blur));
    // 4.
    return ref::borrow(self);
}
FunctionDef apply_blur_def{.name = "apply_blur", .params = {"self", "radius"}, .defaults = {&k2},
                           .doc = &doc_apply_blur, .body = body<apply_blur>};

// apply_sharpen(self)
Text doc_apply_sharpen{" 😎 Make it crisp! 😎 "};
Text sharpened{"🎯 Success: Image sharpened!"};

ref apply_sharpen(Site &at, handle self) {
    // 1.
    at.here();
    ref image = self.attr(id::image);
    self.set_attr(id::image, image.method(id::filter, global(id::ImageFilter).attr(id::SHARPEN)));
    // 2.
    at.here();
    print(sharpened);
    // 3.
    return ref::borrow(self);
}
FunctionDef apply_sharpen_def{.name = "apply_sharpen", .params = {"self"}, .doc = &doc_apply_sharpen,
                              .body = body<apply_sharpen>};

// adjust_gamma(self, gamma: float)
Text doc_adjust_gamma{"Adjust image gamma (brightness curve) 💡"};

ref adjust_gamma(Site &at, handle self, double gamma) {
    // 1. NumPy only when the curve is wanted, so that the module loads without it.
    at.here();
    ref np = import_module(id::numpy);
    // 2. (height, width, 3) of uint8.
    at.here();
    ref array = np.attr(id::array);
    ref img_array = array(self.attr(id::image).method(id::convert, id::RGB));
    // 3. 255 * (img_array / 255) ** gamma, in double precision.
    at.here();
    ref unit = check(PyNumber_TrueDivide(img_array.ptr(), k255.ptr()));
    ref exponent = new_float(gamma);
    ref curve = check(PyNumber_Power(unit.ptr(), exponent.ptr(), Py_None));
    ref scaled = check(PyNumber_Multiply(k255.ptr(), curve.ptr()));
    // 4. Back to 8 bits; NumPy truncates toward zero.
    at.here();
    img_array = np.attr(id::array).call_kw(kw_dtype, scaled, id::uint8);
    // 5.
    at.here();
    ref fromarray = global(id::Image).attr(id::fromarray);
    self.set_attr(id::image, fromarray(img_array));
    // 6.
    return ref::borrow(self);
}
FunctionDef adjust_gamma_def{.name = "adjust_gamma", .params = {"self", "gamma"}, .locals = {"np", "img_array"},
                             .doc = &doc_adjust_gamma, .body = body<adjust_gamma>};

// apply_camscanner(self)
Text doc_apply_camscanner{"Simulate a scanned document look (high contrast/grayscale) 📄"};

ref apply_camscanner(Site &at, handle self) {
    // 1. Stored at once: a failing contrast step leaves the grey picture.
    at.here();
    self.set_attr(id::image, self.attr(id::image).method(id::convert, id::L));
    // 2.
    at.here();
    ref contrast = global(id::ImageEnhance).attr(id::Contrast);
    ref enhancer = contrast(self.attr(id::image));
    // 3.
    at.here();
    self.set_attr(id::image, enhancer.method(id::enhance, f2_0));
    // 4.
    return ref::borrow(self);
}
FunctionDef apply_camscanner_def{.name = "apply_camscanner", .params = {"self"}, .locals = {"enhancer"},
                                 .doc = &doc_apply_camscanner, .body = body<apply_camscanner>};

// auto_enhance(self)
Text doc_auto_enhance{"Automatically improve image quality 🤖"};

ref auto_enhance(Site &at, handle self) {
    // 1. Pillow's default cutoff and options.
    at.here();
    ref autocontrast = global(id::ImageOps).attr(id::autocontrast);
    self.set_attr(id::image, autocontrast(self.attr(id::image)));
    // 2.
    return ref::borrow(self);
}
FunctionDef auto_enhance_def{.name = "auto_enhance", .params = {"self"}, .doc = &doc_auto_enhance,
                             .body = body<auto_enhance>};

// apply_grayscale(self, factor: float = 1.0)
Text doc_apply_grayscale{" 😎 Make it moody! 😎 "};
Text factor_range{"❌ Error: Factor must be between 0.0 and 1.0"};
Text grayscaled{"🌑 Success: Grayscale effect applied with factor "};

ref apply_grayscale(Site &at, handle self, double factor) {
    // 1. Both bounds inclusive; written so that a NaN fails.
    at.here();
    if (!(0.0 <= factor && factor <= 1.0)) throw at.refuse(PyExc_ValueError, factor_range);
    // 2. The grey copy, always RGB.
    at.here();
    ref grayscale = global(id::ImageOps).attr(id::grayscale);
    ref gray = grayscale(self.attr(id::image)).method(id::convert, id::RGB);
    // 3. The factor weights the grey copy.
    at.here();
    ref blend = global(id::Image).attr(id::blend);
    ref alpha = new_float(factor);
    self.set_attr(id::image, blend(self.attr(id::image), gray, alpha));
    // 4.
    at.here();
    print(status(grayscaled, as_float{factor}));
    // 5.
    return ref::borrow(self);
}
FunctionDef apply_grayscale_def{.name = "apply_grayscale", .params = {"self", "factor"}, .locals = {"gray"},
                                .defaults = {&f1_0}, .doc = &doc_apply_grayscale, .body = body<apply_grayscale>};

// apply_contrast(self, factor: float)
Text doc_apply_contrast{" 😎 Pop those colors! 😎 \n"
                        "        factor: 1.0 is original, < 1.0 is lower contrast, > 1.0 is higher contrast\n"
                        "        "};
Text contrasted{"🌗 Success: Contrast adjusted by factor "};

ref apply_contrast(Site &at, handle self, double factor) {
    // 1. No range check: Pillow takes any factor.
    at.here();
    ref contrast = global(id::ImageEnhance).attr(id::Contrast);
    ref enhancer = contrast(self.attr(id::image));
    // 2.
    at.here();
    self.set_attr(id::image, enhancer.method(id::enhance, new_float(factor)));
    // 3.
    at.here();
    print(status(contrasted, as_float{factor}));
    // 4.
    return ref::borrow(self);
}
FunctionDef apply_contrast_def{.name = "apply_contrast", .params = {"self", "factor"}, .locals = {"enhancer"},
                               .doc = &doc_apply_contrast, .body = body<apply_contrast>};

// apply_sepia(self)
Text doc_apply_sepia{" 😎 Fast Sepia Filter using Matrix Transformation 😎 "};
Text sepia_done{"📜 Success: Fast Sepia effect applied!"};

// One row per output channel: weights of red, green and blue, then the offset.
FloatConst s_rr{0.393}, s_rg{0.769}, s_rb{0.189}, s_gr{0.349}, s_gg{0.686}, s_gb{0.168}, s_br{0.272},
    s_bg{0.534}, s_bb{0.131};
const Const *const sepia_coefficients[] = {&s_rr, &s_rg, &s_rb, &k0, &s_gr, &s_gg, &s_gb, &k0,
                                           &s_br, &s_bg, &s_bb, &k0};

// A new list of the twelve coefficients, for Pillow's matrix conversion.
ref sepia_matrix() {
    constexpr Py_ssize_t n = Py_ssize_t(std::size(sepia_coefficients));
    ref matrix = check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(matrix.ptr(), i, Py_NewRef(sepia_coefficients[i]->ptr()));
    return matrix;
}

ref apply_sepia(Site &at, handle self) {
    // 1. Stored at once: a failing matrix step leaves the RGB picture.
    at.here();
    self.set_attr(id::image, self.attr(id::image).method(id::convert, id::RGB));
    // 2.
    at.here();
    ref matrix = sepia_matrix();
    // 3. All the colour work in one library call; Pillow limits each channel to 0..255.
    at.here();
    self.set_attr(id::image, self.attr(id::image).method(id::convert, id::RGB, matrix));
    // 4.
    at.here();
    print(sepia_done);
    // 5.
    return ref::borrow(self);
}
FunctionDef apply_sepia_def{.name = "apply_sepia", .params = {"self"}, .locals = {"sepia_matrix"},
                            .doc = &doc_apply_sepia, .body = body<apply_sepia>};

// apply_preset(self, preset_name: str)
Text doc_apply_preset{" \n"
                      "        🎞️ Apply a professional mood to your image! 🎞️ \n"
                      "        \n"
                      "        Supported presets:\n"
                      "        - vintage, cinematic, vibrant, dreamy, noir, warm, sepia, cool\n"
                      "        \n"
                      "        Args:\n"
                      "            preset_name (str): The name of the preset to apply.\n"
                      "            \n"
                      "        "};
Text preset_applied{"🎯 Success: Preset '"}, preset_applied_end{"' applied perfectly!"};
Text preset_missing{"⚠️ Warning: Preset '"},
    preset_missing_end{"' not found.\n  Available presets: 👉 "};
Text list_separator{" / "};

ref apply_preset(Site &at, handle self, Str preset_name) {
    // 1. Full lower-casing, no trimming.
    at.here();
    ref name = preset_name.method(id::lower);
    // 2. The table is read at every step, so user changes to it count from the next call.
    at.here();
    if (check(PySequence_Contains(global(id::PRESETS).ptr(), name.ptr()))) {
        // 3.1
        at.here();
        ref preset = check(PyObject_GetItem(global(id::PRESETS).ptr(), name.ptr()));
        self.set_attr(id::image, preset(self.attr(id::image)));
        // 3.2
        at.here();
        print(status(preset_applied, name, preset_applied_end));
        // 3.3
        return ref::borrow(self);
    }
    // 4.1
    at.here();
    ref available = handle(list_separator).method(id::join, global(id::PRESETS).method(id::keys));
    // 4.2
    at.here();
    ref line = status(preset_missing, name, preset_missing_end, available);
    print(line);
    at.fail(line);
    // 4.3
    return ref::borrow(self);
}
FunctionDef apply_preset_def{.name = "apply_preset", .params = {"self", "preset_name"}, .locals = {"available"},
                             .doc = &doc_apply_preset, .body = body<apply_preset>};

// invert(self)
Text doc_invert{"Flip the colors! 🔄"};

ref invert(Site &at, handle self) {
    // 1.
    at.here();
    if (equal(self.attr(id::image).attr(id::mode), id::RGBA)) {
        // 2.1 Exactly four bands.
        at.here();
        auto [r, g, b, a] = unpack<4>(self.attr(id::image).method(id::split));
        // 2.2 Colour only; the alpha band is put back unchanged.
        at.here();
        ref inverter = global(id::ImageOps).attr(id::invert);
        ref merge = global(id::Image).attr(id::merge);
        ref bands = tuple_of(r, g, b);
        self.set_attr(id::image, inverter(merge(id::RGB, bands)));
        // 2.3 In place; its result is of no use.
        at.here();
        self.attr(id::image).method(id::putalpha, a);
    } else {
        // 3. Any other mode comes out RGB, transparency dropped.
        at.here();
        ref inverter = global(id::ImageOps).attr(id::invert);
        self.set_attr(id::image, inverter(self.attr(id::image).method(id::convert, id::RGB)));
    }
    // 4.
    return ref::borrow(self);
}
FunctionDef invert_def{.name = "invert", .params = {"self"}, .locals = {"r", "g", "b", "a"}, .doc = &doc_invert,
                       .body = body<invert>};

ClassDef effects{.name = "Effects",
                 .doc = &doc_effects,
                 .methods = {&apply_blur_def, &apply_sharpen_def, &adjust_gamma_def, &apply_camscanner_def,
                             &auto_enhance_def, &apply_grayscale_def, &apply_contrast_def, &apply_sepia_def,
                             &apply_preset_def, &invert_def}};

// --- PRESETS -------------------------------------------------------------------------------
//
// Each preset is an anonymous one-argument function of `img`. Where an enhancer wraps an inner
// step, the enhancer class is looked up before the inner step runs, as the expression
// `ImageEnhance.X(inner).enhance(f)` evaluates.

FloatConst f0_8{0.8}, f1_3{1.3}, f0_9{0.9}, f1_5{1.5}, f1_1{1.1}, f1_8{1.8}, f0_1{0.1}, f0_3{0.3};
IntConst k100{100}, k112{112}, k66{66}, k20{20};
TupleConst warm_tint{&k255, &k100, &k100}, sepia_tint{&k112, &k66, &k20}, cool_tint{&k100, &k100, &k255};

// ImageEnhance.Contrast(img.convert("L").convert("RGB")).enhance(factor)
ref grey_contrast(handle img, const FloatConst &factor) {
    ref contrast = global(id::ImageEnhance).attr(id::Contrast);
    ref grey = img.method(id::convert, id::L).method(id::convert, id::RGB);
    return contrast(grey).method(id::enhance, factor);
}

// ImageChops.blend(first, Image.new("RGB", img.size, tint), alpha), `first` made by `make_first`.
template <class First> ref tinted(handle img, First make_first, const TupleConst &tint, const FloatConst &alpha) {
    ref blend = global(id::ImageChops).attr(id::blend);
    ref first = make_first();
    ref new_image = global(id::Image).attr(id::new_);
    ref solid = new_image(id::RGB, img.attr(id::size), tint);
    return blend(first, solid, alpha);
}

ref vintage(Site &at, handle img) {
    at.here();
    return grey_contrast(img, f0_8);
}
FunctionDef vintage_def{.name = "lambda", .params = {"img"}, .body = body<vintage>};

ref cinematic(Site &at, handle img) {
    at.here();
    ref color = global(id::ImageEnhance).attr(id::Color);
    ref contrast = global(id::ImageEnhance).attr(id::Contrast);
    ref punchy = contrast(img).method(id::enhance, f1_3);
    return color(punchy).method(id::enhance, f0_9);
}
FunctionDef cinematic_def{.name = "lambda1", .params = {"img"}, .body = body<cinematic>};

ref vibrant(Site &at, handle img) {
    at.here();
    return global(id::ImageEnhance).attr(id::Color)(img).method(id::enhance, f1_5);
}
FunctionDef vibrant_def{.name = "lambda2", .params = {"img"}, .body = body<vibrant>};

ref dreamy(Site &at, handle img) {
    at.here();
    ref brightness = global(id::ImageEnhance).attr(id::Brightness);
    ref blur = global(id::ImageFilter).attr(id::GaussianBlur).call_kw(kw_radius, k1);
    ref soft = img.method(id::filter, blur);
    return brightness(soft).method(id::enhance, f1_1);
}
FunctionDef dreamy_def{.name = "lambda3", .params = {"img"}, .body = body<dreamy>};

ref noir(Site &at, handle img) {
    at.here();
    return grey_contrast(img, f1_8);
}
FunctionDef noir_def{.name = "lambda4", .params = {"img"}, .body = body<noir>};

ref warm(Site &at, handle img) {
    at.here();
    return tinted(img, [&] { return ref::borrow(img); }, warm_tint, f0_1);
}
FunctionDef warm_def{.name = "lambda5", .params = {"img"}, .body = body<warm>};

ref sepia(Site &at, handle img) {
    at.here();
    return tinted(img, [&] { return img.method(id::convert, id::L).method(id::convert, id::RGB); }, sepia_tint, f0_3);
}
FunctionDef sepia_def{.name = "lambda6", .params = {"img"}, .body = body<sepia>};

ref cool(Site &at, handle img) {
    at.here();
    return tinted(img, [&] { return ref::borrow(img); }, cool_tint, f0_1);
}
FunctionDef cool_def{.name = "lambda7", .params = {"img"}, .body = body<cool>};

// The table, in the order its names are listed to the user.
ref make_presets() {
    const struct {
        const Name *name;
        FunctionDef *def;
    } entries[] = {{&key::vintage, &vintage_def}, {&key::cinematic, &cinematic_def}, {&key::vibrant, &vibrant_def},
                   {&key::dreamy, &dreamy_def},   {&key::noir, &noir_def},           {&key::warm, &warm_def},
                   {&key::sepia, &sepia_def},     {&key::cool, &cool_def}};
    ref table = check(PyDict_New());
    for (const auto &entry : entries) {
        ref fn = module_function(*entry.def, id::lambda);
        check(PyDict_SetItem(table.ptr(), entry.name->ptr(), fn.ptr()));
    }
    return table;
}

} // namespace

ModuleSpec fw::this_module{
    .identity = {"effects", "framewick.modules.effects", "framewick_source/modules/effects"},
    .imports = {{.module = &id::PIL,
                 .names = {&id::ImageEnhance, &id::ImageOps, &id::ImageFilter, &id::Image, &id::ImageChops}}},
    .globals = {{.name = &id::PRESETS, .make = make_presets}},
    .cls = &effects,
};

FRAMEWICK_MODULE(effects)
