// storage.cpp: the Storage mixin, through which a picture enters and leaves framewick.
#include "frame.hpp"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace fw;

namespace {

// --- Identifiers ---------------------------------------------------------------------------

namespace id {
Name PIL{"PIL"}, Image{"Image"}, os{"os"};
Name image{"image"}, quality{"quality"}, optimize{"optimize"}, mode{"mode"}, size{"size"},
    format{"format"}, path{"path"}, exists{"exists"}, new_{"new"}, open{"open"}, paste{"paste"},
    split{"split"}, convert{"convert"}, save{"save"}, upper{"upper"}, strip{"strip"},
    replace{"replace"}, mask{"mask"}, palette{"palette"}, ADAPTIVE{"ADAPTIVE"}, realpath{"realpath"},
    add_note{"add_note"};
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
        throw at.refuse(PyExc_ValueError, quality_range);
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
            ref line = status(mode_failed, target_mode, reason, e);
            print(line);
            at.fail(line);
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
            ref line = status(format_failed, fmt, failed_reason, e);
            print(line);
            at.fail(line);
        });
    // 5.
    return ref::borrow(self);
}
FunctionDef convert_def{.name = "convert", .params = {"self", "target_format"}, .locals = {"fmt", "e"},
                        .doc = &doc_convert, .body = body<convert>};

// --- The file a save writes over ---------------------------------------------------------
//
// Pillow's save opens the path for writing (following a symlink, keeping the file's inode, its
// permissions and its other links) and only then finds out whether it can encode the picture:
// a picture it cannot store (CMYK as PNG) leaves an existing file truncated. So, before the call,
// the bytes of an existing regular file are copied to a hidden spare beside it (".NAME.PID-N
// .framewick-spare", mode 0600), or held in memory where its folder takes no new file. The file
// itself is not moved aside: Pillow still writes into the same inode, so a successful save is
// exactly a plain one (symlink, other hard links, permissions and owner kept) and the spare is
// removed. A failed one (any exception, an interrupt included) writes the old bytes back into
// the same file, with its old modification time, unless the file was never touched, and removes
// the spare; should that write-back fail, the spare stays and the exception's note says where.
// A new file the failed save left behind is removed. Paths that are no regular file (a folder, a
// device) and files we cannot read are left to Pillow, as before.
//
// The bytes held in memory are written back only where that cannot fail for want of room: the
// truncation that starts Pillow's write gives back the old file's blocks, so on a full disk
// (or quota) the old size always fits again. A file-size limit gives nothing back: a file larger
// than the process may write, with no spare beside it, would be lost half-written, so such a
// save is refused with OSError (EFBIG) before the file is touched.

// The OSError for errno about `path`, raised as a C++ error.
error os_error(const std::string &path) {
    ref name = check(PyUnicode_DecodeFSDefaultAndSize(path.data(), Py_ssize_t(path.size())));
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    return error{};
}

// Writes all of `size` bytes; false with errno set.
bool write_all(int fd, const char *data, std::size_t size) noexcept {
    while (size) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

// Copies what is left of `from` into `to`; false with errno set.
bool copy_fd(int from, int to) noexcept {
    char buffer[1 << 16];
    while (true) {
        ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!write_all(to, buffer, std::size_t(n))) return false;
    }
}

// A file descriptor closed on scope exit.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool same_state(const struct stat &a, const struct stat &b) noexcept {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

Text error_prefix{"❌ Error: "};

class Guard {
public:
    // Takes the target's state before the save: a spare of an existing regular file.
    explicit Guard(handle filename);
    // After a failed save, with that failure as the raised exception: the old state back.
    void failed() noexcept;
    // After a successful save.
    void succeeded() noexcept;

private:
    bool restore_bytes() noexcept;

    std::string real_, spare_, held_;
    struct stat before_{};
    enum { other, fresh, guarded } kind_ = other;
};

Guard::Guard(handle filename) {
    ref real = global(id::os).attr(id::path).method(id::realpath, filename);
    ref encoded = check(PyUnicode_EncodeFSDefault(real.ptr()));
    real_.assign(PyBytes_AS_STRING(encoded.ptr()), std::size_t(PyBytes_GET_SIZE(encoded.ptr())));
    if (::stat(real_.c_str(), &before_) != 0) {
        if (errno == ENOENT) kind_ = fresh;
        return;
    }
    if (!S_ISREG(before_.st_mode)) return;
    Fd from{::open(real_.c_str(), O_RDONLY | O_CLOEXEC)};
    if (from.fd < 0) return;  // unreadable: Pillow's own open will say so, or it is write-only
    kind_ = guarded;
    // 1. A spare beside it, under a name of its own (a name already taken, try the next).
    static std::atomic<unsigned long> serial{0};
    const std::size_t slash = real_.rfind('/');
    const std::string stem = real_.substr(0, slash + 1) + "." + real_.substr(slash + 1) + "." +
                             std::to_string(::getpid()) + "-";
    bool copied = false;
    Py_BEGIN_ALLOW_THREADS;
    for (int attempt = 0; attempt < 8 && !copied; ++attempt) {
        spare_ = stem + std::to_string(++serial) + ".framewick-spare";
        Fd to{::open(spare_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
        if (to.fd < 0) {
            if (errno == EEXIST) continue;
            break;
        }
        copied = copy_fd(from.fd, to.fd);
        if (!copied) ::unlink(spare_.c_str());
        break;
    }
    Py_END_ALLOW_THREADS;
    if (copied) return;
    // 2. No spare beside it: the bytes are held here instead, where they can be written back.
    spare_.clear();
    struct rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        rlim_t(before_.st_size) > limit.rlim_cur) {
        kind_ = other;
        ref name = check(PyUnicode_DecodeFSDefaultAndSize(real_.data(), Py_ssize_t(real_.size())));
        ref text = check(PyUnicode_FromFormat(
            "%UCannot save over a file of %lld bytes, above this process's file size limit of %llu bytes, "
            "with no spare copy beside it: the file was left untouched",
            error_prefix.ptr(), static_cast<long long>(before_.st_size),
            static_cast<unsigned long long>(limit.rlim_cur)));
        ref exc = check(PyObject_CallFunction(PyExc_OSError, "iOO", EFBIG, text.ptr(), name.ptr()));
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
        throw error{};
    }
    if (::lseek(from.fd, 0, SEEK_SET) != 0) throw os_error(real_);
    char buffer[1 << 16];
    while (true) {
        ssize_t n = ::read(from.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw os_error(real_);
        if (n == 0) break;
        held_.append(buffer, std::size_t(n));
    }
}

bool Guard::restore_bytes() noexcept {
    bool ok = false;
    Py_BEGIN_ALLOW_THREADS;
    Fd to{::open(real_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, before_.st_mode & 07777)};
    if (to.fd >= 0) {
        if (spare_.empty()) {
            ok = write_all(to.fd, held_.data(), held_.size());
        } else {
            Fd from{::open(spare_.c_str(), O_RDONLY | O_CLOEXEC)};
            ok = from.fd >= 0 && copy_fd(from.fd, to.fd);
        }
        const struct timespec times[2] = {before_.st_atim, before_.st_mtim};
        ok = ok && ::fsync(to.fd) == 0 && ::futimens(to.fd, times) == 0;
    }
    Py_END_ALLOW_THREADS;
    return ok;
}

void Guard::failed() noexcept {
    struct stat now{};
    bool present = ::stat(real_.c_str(), &now) == 0;
    if (kind_ == fresh) {
        if (present && S_ISREG(now.st_mode)) ::unlink(real_.c_str());
        return;
    }
    if (kind_ != guarded) return;
    // Untouched (Pillow refused before opening it, or could not open it): nothing to undo.
    if (present && same_state(now, before_)) {
        succeeded();
        return;
    }
    if (restore_bytes()) {
        succeeded();
        return;
    }
    // The old bytes stay in the spare; the exception being raised says so.
    if (spare_.empty()) return;
    ref exc = ref::steal(PyErr_GetRaisedException());
    ref spare = ref::steal(PyUnicode_DecodeFSDefaultAndSize(spare_.data(), Py_ssize_t(spare_.size())));
    ref note = spare ? ref::steal(PyUnicode_FromFormat("the file's previous contents are kept in %U", spare.ptr()))
                     : ref();
    if (note) {
        PyObject *done = PyObject_CallMethodOneArg(exc.ptr(), id::add_note.ptr(), note.ptr());
        Py_XDECREF(done);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
}

void Guard::succeeded() noexcept {
    if (!spare_.empty()) ::unlink(spare_.c_str());
    spare_.clear();
}

// save(self, filename: str)
Text doc_save{" 😎 The moment of truth! ✨\n"
              "        \n"
              "        Save the processed image to disk 💾"};
Text saved{"💾 Success: Image saved as '"}, saved_end{"' ✅"};

ref save(Site &at, handle self, Str filename) {
    // 1. image, then quality; save(filename, quality=..., optimize=True), the file it writes
    //    over kept until the save has succeeded.
    at.here();
    ref image = self.attr(id::image);
    ref quality = self.attr(id::quality);
    Guard target{filename};
    try {
        image.method_kw(id::save, kw_quality_optimize, filename, quality, handle(Py_True));
    } catch (error &) {
        target.failed();
        throw;
    }
    target.succeeded();
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
        throw at.refuse(PyExc_FileNotFoundError, status(file_prefix, path, not_found));
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
