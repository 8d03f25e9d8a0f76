// updater.cpp: FrameWickUpdater, the background check for a newer release on the package index.
#include "frame.hpp"

// The index's JSON API base address ("https://HOST/pypi/") is a deployment setting of the build.
#ifndef FRAMEWICK_INDEX_URL
#error "FRAMEWICK_INDEX_URL must be defined by the build (the package index's JSON API base address)"
#endif

using namespace fw;

namespace {

// --- Identifiers ---------------------------------------------------------------------------

namespace id {
Name threading{"threading"}, datetime{"datetime"}, requests{"requests"}, packaging{"packaging"},
    version{"version"}, timezone{"timezone"}, INDEX_URL{"INDEX_URL"};
Name package_name{"package_name"}, current_version{"current_version"}, api_url{"api_url"},
    check_logic{"_check_logic"}, notify_user{"_notify_user"};
Name get{"get"}, timeout{"timeout"}, status_code{"status_code"}, json{"json"}, info{"info"},
    releases{"releases"}, upload_time_iso_8601{"upload_time_iso_8601"}, parse{"parse"}, replace{"replace"},
    fromisoformat{"fromisoformat"}, strftime{"strftime"}, tzinfo{"tzinfo"}, astimezone{"astimezone"},
    utc{"utc"}, Thread{"Thread"}, target{"target"}, daemon{"daemon"}, start{"start"}, url{"url"},
    history{"history"};
} // namespace id

Builtin print{"print"};

// --- Constants -----------------------------------------------------------------------------

IntConst k0{0}, k5{5}, k200{200};
TupleConst kw_timeout{&id::timeout}, kw_target_daemon{&id::target, &id::daemon};

// --- Module globals ------------------------------------------------------------------------

// INDEX_URL: the base address each new updater reads; a program may point it elsewhere first.
ref index_url() { return check(PyUnicode_FromString(FRAMEWICK_INDEX_URL)); }

// --- class FrameWickUpdater ----------------------------------------------------------------

Text doc_updater{"Check PyPI for newer FrameWick releases 🚀"};

// str(value), as the notice shows the running version and the package name.
ref text_of(handle value) { return check(PyObject_Str(value.ptr())); }

// __init__(self, package_name: str, current_version: str)
Text json_suffix{"/json"};

ref init(Site &at, handle self, Str package_name, Str current_version) {
    // 1. Both arguments arrive as exact str. 2. In order; the base address is read now.
    at.here();
    self.set_attr(id::package_name, package_name);
    at.here();
    self.set_attr(id::current_version, current_version);
    at.here();
    ref base_and_name = check(PyNumber_Add(global(id::INDEX_URL).ptr(), package_name.ptr()));
    self.set_attr(id::api_url, check(PyNumber_Add(base_and_name.ptr(), json_suffix.ptr())));
    return ref::borrow(none());
}
FunctionDef init_def{.name = "__init__", .params = {"self", "package_name", "current_version"}, .body = body<init>};

// --- Only HTTPS is trusted ------------------------------------------------------------------
//
// A notice tells the user to install something, so only an answer that came over HTTPS all the
// way counts. An api_url that is not HTTPS (INDEX_URL pointed at a plain http:// mirror) ends the
// check before any request is made: silently, like every other failure of the check, so that a
// misconfigured address never surprises a program at start-up. An answer whose final address
// (response.url) or any redirect hop (each response in response.history) is not HTTPS is ignored.
// A response object without those attributes is taken as it is.

// True when `url` is a str naming an HTTPS address (the scheme compared without regard to case).
bool is_https(handle url) {
    if (!PyUnicode_Check(url.ptr())) return false;
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(url.ptr(), &size);
    if (!text) throw error{};
    static constexpr char scheme[] = "https://";
    if (size < Py_ssize_t(sizeof scheme - 1)) return false;
    for (std::size_t i = 0; i < sizeof scheme - 1; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != scheme[i]) return false;
    }
    return true;
}

// False when `response` has a url that is not HTTPS.
bool came_over_https(handle response) {
    PyObject *url = nullptr;
    if (!check(PyObject_GetOptionalAttr(response.ptr(), id::url.ptr(), &url))) return true;
    return is_https(ref::steal(url));
}

// True when the final address and every hop before it came over HTTPS (or say nothing).
bool answered_over_https(handle response) {
    if (!came_over_https(response)) return false;
    PyObject *history = nullptr;
    if (!check(PyObject_GetOptionalAttr(response.ptr(), id::history.ptr(), &history))) return true;
    ref hops = check(PyObject_GetIter(ref::steal(history).ptr()));
    while (PyObject *next = PyIter_Next(hops.ptr())) {
        if (!came_over_https(ref::steal(next))) return false;
    }
    if (PyErr_Occurred()) throw error{};
    return true;
}

// _check_logic(self)
Text doc_check_logic{"Perform the update check in the background 🔍"};
Text unknown{"Unknown"}, zulu{"Z"}, utc_offset{"+00:00"}, time_format{"%Y-%m-%d %H:%M:%S"};

// 1. One GET of api_url with a time-out of 5 s, only for an HTTPS address, and only an answer
//    that came over HTTPS goes on. 2. Only status 200 goes on. 3. The JSON body.
// 4. info.version, by subscription. 5. Only a strictly newer release (PEP 440 order) goes on.
// 6. The first file record of that release, if any. 7. None: the notice without a time.
// 8.-9. Its upload time, to the second, in UTC. 10. The notice.
// Any Exception on the way ends the check without a word.
ref check_logic(Site &at, handle self) {
    protect(
        at,
        [&] {
            // 1.
            at.here();
            ref api_url = self.attr(id::api_url);
            if (!is_https(api_url)) return;
            at.here();
            ref response = global(id::requests).method_kw(id::get, kw_timeout, api_url, k5);
            at.here();
            if (!answered_over_https(response)) return;
            // 2.
            at.here();
            if (compare(response.attr(id::status_code), k200, Py_NE)) return;
            // 3.
            at.here();
            ref data = response.method(id::json);
            // 4.
            at.here();
            ref latest_version = check(PyObject_GetItem(check(PyObject_GetItem(data.ptr(), id::info.ptr())).ptr(),
                                                        id::version.ptr()));
            // 5.
            at.here();
            ref latest = global(id::version).method(id::parse, latest_version);
            ref current = global(id::version).method(id::parse, self.attr(id::current_version));
            if (compare(latest, current, Py_LE)) return;
            // 6.
            at.here();
            ref releases = data.method(id::get, id::releases, check(PyDict_New()));
            ref latest_release_data = releases.method(id::get, latest_version, check(PyList_New(0)));
            // 7.
            at.here();
            if (!truth(latest_release_data)) {
                at.here();
                self.method(id::notify_user, latest_version, unknown);
                return;
            }
            // 8.
            at.here();
            ref iso_time = check(PyObject_GetItem(latest_release_data.ptr(), k0.ptr()))
                               .method(id::get, id::upload_time_iso_8601, unknown);
            // 9. The notice says "(UTC)": a time given with another offset is shown in UTC. A time
            //    in UTC already, or one without an offset, is shown as written.
            ref formatted_time;
            at.here();
            if (compare(iso_time, unknown, Py_NE)) {
                at.here();
                ref dt_object = global(id::datetime).method(id::fromisoformat, iso_time.method(id::replace, zulu, utc_offset));
                at.here();
                if (!dt_object.attr(id::tzinfo).is(Py_None)) {
                    auto [timezone] = import_from(id::datetime, {&id::timezone});
                    dt_object = dt_object.method(id::astimezone, timezone.attr(id::utc));
                }
                at.here();
                formatted_time = dt_object.method(id::strftime, time_format);
            } else {
                at.here();
                formatted_time = ref::borrow(unknown);
            }
            // 10.
            at.here();
            self.method(id::notify_user, latest_version, formatted_time);
        },
        [](handle) {});
    return ref::borrow(none());
}
FunctionDef check_logic_def{.name = "_check_logic",
                            .params = {"self"},
                            .locals = {"response", "data", "latest_version", "releases", "latest_release_data",
                                       "iso_time", "dt_object", "timezone", "formatted_time"},
                            .doc = &doc_check_logic,
                            .body = body<check_logic>};

// _notify_user(self, latest_version: str, upload_time: str)
Text doc_notify_user{"Display the update notification to the user 📢"};
Text rule_top{"\n=================================================="};
Text headline{"🚀 [FrameWick] NEW UPDATE AVAILABLE!"};
Text latest_line{"✨ Latest Version: "};
Text released_line{"📅 Released on: "}, released_end{" (UTC)"};
Text yours_line{"\U0001F6E0\U0000FE0F Your Version: "};
Text run_line{"👉 Run: pip install --upgrade "};
Text rule_bottom{"==================================================\n"};

ref notify_user(Site &at, handle self, Str latest_version, Str upload_time) {
    // 1.-7. Seven separate lines.
    at.here();
    print(rule_top);
    at.here();
    print(headline);
    at.here();
    print(status(latest_line, latest_version));
    at.here();
    print(status(released_line, upload_time, released_end));
    at.here();
    print(status(yours_line, text_of(self.attr(id::current_version))));
    at.here();
    print(status(run_line, text_of(self.attr(id::package_name))));
    at.here();
    print(rule_bottom);
    return ref::borrow(none());
}
FunctionDef notify_user_def{.name = "_notify_user", .params = {"self", "latest_version", "upload_time"},
                            .doc = &doc_notify_user, .body = body<notify_user>};

// start_check(self)
Text doc_start_check{"Start the update check in a background thread 🧵"};

ref start_check(Site &at, handle self) {
    // 1. A daemon thread, so a program that ends is never held up by the check.
    at.here();
    ref thread = global(id::threading)
                     .attr(id::Thread)
                     .call_kw(kw_target_daemon, self.attr(id::check_logic), handle(Py_True));
    // 2.
    at.here();
    thread.method(id::start);
    // 3. Not joined, not kept.
    return ref::borrow(self);
}
FunctionDef start_check_def{.name = "start_check", .params = {"self"}, .locals = {"thread"},
                            .doc = &doc_start_check, .body = body<start_check>};

ClassDef updater{.name = "FrameWickUpdater",
                 .doc = &doc_updater,
                 .methods = {&init_def, &check_logic_def, &notify_user_def, &start_check_def}};

} // namespace

ModuleSpec fw::this_module{
    .identity = {"updater", "framewick.utils.updater", "framewick_source/utils/updater"},
    .imports = {{.module = &id::threading},
                {.module = &id::datetime, .names = {&id::datetime}},
                {.module = &id::requests},
                {.module = &id::packaging, .names = {&id::version}}},
    .globals = {{.name = &id::INDEX_URL, .make = index_url}},
    .cls = &updater,
};

FRAMEWICK_MODULE(updater)
