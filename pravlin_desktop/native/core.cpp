// The extension module pravlin_desktop._native: the class Core, one
// connection with the whole keyboard and mouse, over the same core and the
// same binding machinery as pravlin.Pravlin. pravlin_desktop.Desktop builds
// a person's actions out of its steps.

#include "py_ref.hpp"

#include <chrono>
#include <cstdint>
#include <new>

#include "arguments.hpp"
#include "exceptions.hpp"
#include "image.hpp"
#include "log_forward.hpp"
#include "methods.hpp"
#include "pravlin_lib/clipboard.hpp"
#include "pravlin_lib/desktop.hpp"

namespace {

using pravlin_lib::Desktop;

struct CoreObject {
    PyObject_HEAD
    Desktop core;
    uintptr_t borrow;
};

constexpr const char* owner = "Core";

constexpr Param new_params[] = {{"wayland_display", ParamKind::OptText}, {"guard", ParamKind::Text}};
constexpr Signature new_signature{"__new__", new_params, owner};

PyObject* core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    return construct<CoreObject, Desktop>(type, args, kwargs, new_signature, [](const Args& a) {
        return pravlin_lib::connect_desktop(a.text(0), *a.text(1));
    });
}

// -- conversions -------------------------------------------------------------------

// Lets other threads run while the core waits for frames. Records the core logs
// meanwhile reach Python through the forwarder, which takes the interpreter
// lock itself.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() : saved_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock()
    {
        if (!python_abandoned) PyEval_RestoreThread(saved_);
    }
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

private:
    PyThreadState* saved_;
};

PyObject* u32_tuple(const std::vector<uint32_t>& values)
{
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLong(values[i]);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

PyObject* text(const std::string& s)
{
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// -- methods -----------------------------------------------------------------------

using Method = ::Method<Desktop>;

template <const Method& M>
constexpr PyMethodDef method_def(const char* doc)
{
    return ::method_def<CoreObject, Desktop, M>(doc);
}

PyObject* outputs_tuple(const std::vector<pravlin_lib::OutputPlace>& places);

constexpr Method outputs{{"outputs", {}, owner},
                         [](Desktop& core, const Args&) { return outputs_tuple(core.outputs()); }};

constexpr Method pointer{{"pointer", {}, owner}, [](Desktop& core, const Args&) -> PyObject* {
    const auto at = core.pointer();
    if (!at) Py_RETURN_NONE;
    return Py_BuildValue("(ii)", at->first, at->second);
}};

constexpr Param send_params[] = {
    {"keys_down", ParamKind::U32Seq}, {"x", ParamKind::OptI32},          {"y", ParamKind::OptI32},
    {"buttons_down", ParamKind::U32Seq}, {"wheel_y", ParamKind::OptI32}, {"wheel_x", ParamKind::OptI32},
    {"buttons_up", ParamKind::U32Seq},   {"keys_up", ParamKind::U32Seq}, {"layout", ParamKind::OptU32},
};
constexpr Method send{{"send", send_params, owner}, [](Desktop& core, const Args& a) -> PyObject* {
    pravlin_lib::InputStep step;
    step.keys_down = a.u32_seq(0);
    if (a.opt_i32(1).has_value() != a.opt_i32(2).has_value()) {
        PyErr_SetString(PyExc_TypeError, "give both x and y, or neither");
        return nullptr;
    }
    if (a.opt_i32(1)) step.motion = std::pair{*a.opt_i32(1), *a.opt_i32(2)};
    step.buttons_down = a.u32_seq(3);
    step.wheel_y = a.opt_i32(4).value_or(0);
    step.wheel_x = a.opt_i32(5).value_or(0);
    step.buttons_up = a.u32_seq(6);
    step.keys_up = a.u32_seq(7);
    step.layout = a.opt_u32(8);
    return none_or_raise(core.send(step));
}};

constexpr Param point_params[] = {{"x", ParamKind::OptI32}, {"y", ParamKind::OptI32}};
constexpr Method check_point{{"check_point", point_params, owner}, [](Desktop& core, const Args& a) -> PyObject* {
    if (!a.opt_i32(0) || !a.opt_i32(1)) {
        PyErr_SetString(PyExc_TypeError, "a point needs x and y");
        return nullptr;
    }
    return none_or_raise(core.check_point(*a.opt_i32(0), *a.opt_i32(1)));
}};

// Strokes as one flat list: for each, the number of its keys, its layout
// plus one (0: the active layout), then its keys. Returns how many were
// typed: fewer when a window that fell behind was still behind after
// patience_ms.
constexpr Param type_params[] = {{"strokes", ParamKind::U32Seq}, {"patience_ms", ParamKind::U32}};
constexpr Method type_keys{{"type_keys", type_params, owner}, [](Desktop& core, const Args& a) -> PyObject* {
    const auto& flat = a.u32_seq(0);
    std::vector<Desktop::Keystroke> strokes;
    for (size_t i = 0; i < flat.size();) {
        const size_t count = flat[i];
        if (i + 2 + count > flat.size() || flat[i + 1] == 0xFFFFFFFFu) {
            PyErr_SetString(PyExc_ValueError, "malformed keystrokes");
            return nullptr;
        }
        Desktop::Keystroke stroke;
        if (flat[i + 1] != 0) stroke.layout = flat[i + 1] - 1;
        stroke.keys.assign(flat.begin() + static_cast<ptrdiff_t>(i + 2),
                           flat.begin() + static_cast<ptrdiff_t>(i + 2 + count));
        strokes.push_back(std::move(stroke));
        i += 2 + count;
    }
    pravlin_lib::Result<size_t> typed;
    {
        WithoutInterpreterLock unlocked;
        typed = core.type(strokes, std::chrono::milliseconds(a.u32(1)));
    }
    if (!typed) return raise_error(typed.error());
    return PyLong_FromSize_t(*typed);
}};

constexpr Param patience_params[] = {{"patience_ms", ParamKind::U32}};
constexpr Method wait_for_readers{{"wait_for_readers", patience_params, owner},
                                  [](Desktop& core, const Args& a) -> PyObject* {
    pravlin_lib::Readers::Settled settled;
    {
        WithoutInterpreterLock unlocked;
        settled = core.wait_for_readers(std::chrono::milliseconds(a.u32(0)));
    }
    using enum pravlin_lib::Readers::Settled;
    return PyLong_FromLong(settled == CaughtUp ? 0 : settled == Reading ? 1 : 2);
}};

constexpr Method release_all{{"release_all", {}, owner},
                             [](Desktop& core, const Args&) { return none_or_raise(core.release_all()); }};

constexpr Method held{{"held", {}, owner}, [](Desktop& core, const Args&) -> PyObject* {
    PyRef keys(u32_tuple(core.held_keys()));
    PyRef buttons(keys ? u32_tuple(core.held_buttons()) : nullptr);
    if (!buttons) return nullptr;
    return PyTuple_Pack(2, keys.get(), buttons.get());
}};

constexpr Param keysym_params[] = {{"keysym", ParamKind::U32}};
constexpr Method find_key{{"find_key", keysym_params, owner}, [](Desktop& core, const Args& a) -> PyObject* {
    const auto choice = core.find_key(a.u32(0));
    if (!choice) Py_RETURN_NONE;
    PyRef modifier_keys(u32_tuple(choice->modifier_keys));
    if (!modifier_keys) return nullptr;
    return Py_BuildValue("(IOII)", choice->key, modifier_keys.get(), choice->unkeyed_mods, choice->layout);
}};

constexpr Param name_params[] = {{"name", ParamKind::Text}};
constexpr Method keysym_from_name{{"keysym_from_name", name_params, owner}, [](Desktop&, const Args& a) {
    return PyLong_FromUnsignedLong(pravlin_lib::keysym_from_name(*a.text(0)));
}};

constexpr Param char_params[] = {{"code_point", ParamKind::U32}};
constexpr Method keysym_from_char{{"keysym_from_char", char_params, owner}, [](Desktop&, const Args& a) {
    return PyLong_FromUnsignedLong(pravlin_lib::keysym_from_char(a.u32(0)));
}};

constexpr Method keysym_name{{"keysym_name", keysym_params, owner}, [](Desktop&, const Args& a) {
    return text(pravlin_lib::keysym_name(a.u32(0)));
}};

constexpr Param keysyms_params[] = {{"keysyms", ParamKind::U32Seq}, {"reassign", ParamKind::U32}};
constexpr Method add_keysyms{{"add_keysyms", keysyms_params, owner}, [](Desktop& core, const Args& a) -> PyObject* {
    auto keys = core.add_keysyms(a.u32_seq(0), a.u32(1) != 0);
    if (!keys) return raise_error(keys.error());
    if (!*keys) Py_RETURN_NONE;
    return u32_tuple(**keys);
}};

constexpr Method added_keys{{"added_keys", {}, owner},
                            [](Desktop& core, const Args&) { return u32_tuple(core.added_keys()); }};

constexpr Method restore_keymap{{"restore_keymap", {}, owner},
                                [](Desktop& core, const Args&) { return none_or_raise(core.restore_keymap()); }};

constexpr Method spare_keys{{"spare_keys", {}, owner},
                            [](Desktop& core, const Args&) { return PyLong_FromSize_t(core.spare_keys()); }};

// What Core and Viewer share: the outputs, and their frames.

PyObject* outputs_tuple(const std::vector<pravlin_lib::OutputPlace>& places)
{
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(places.size())));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < places.size(); ++i) {
        const auto& p = places[i];
        PyRef name(text(p.name));
        if (!name) return nullptr;
        PyObject* item = Py_BuildValue("(Oiiiii)", name.get(), p.x, p.y, p.width, p.height, p.refresh);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

constexpr Param capture_params[] = {
    {"screen_name", ParamKind::OptText}, {"damage", ParamKind::OptU32}, {"timeout_ms", ParamKind::OptU32},
    {"cursor", ParamKind::OptU32}, {"wake_fd", ParamKind::OptU32}};

template <class Session>
PyObject* capture_frames(Session& core, const Args& a)
{
    pravlin_lib::CaptureRequest request;
    if (a.text(0)) request.screens.push_back(*a.text(0));
    request.damage = a.opt_u32(1).value_or(0) != 0;
    if (a.opt_u32(2)) request.timeout = std::chrono::milliseconds(*a.opt_u32(2));
    request.cursor = a.opt_u32(3).value_or(0) != 0;
    if (a.opt_u32(4)) request.wake_fd = static_cast<int>(*a.opt_u32(4));
    pravlin_lib::Result<std::vector<pravlin_lib::Frame>> frames;
    {
        WithoutInterpreterLock unlocked;
        frames = core.capture(request);
    }
    if (!frames) return raise_error(frames.error());
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(frames->size())));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < frames->size(); ++i) {
        auto& f = (*frames)[i];
        PyRef name(text(f.screen));
        PyRef array(name ? image_to_array(std::move(f.image)) : nullptr);
        if (!array) return nullptr;
        PyRef damage = f.damage ? PyRef(Py_BuildValue("(IIII)", (*f.damage)[0], (*f.damage)[1], (*f.damage)[2],
                                                      (*f.damage)[3]))
                                : PyRef::borrow(Py_None);
        if (!damage) return nullptr;
        PyObject* item = Py_BuildValue("(OOKO)", name.get(), array.get(), static_cast<unsigned long long>(f.time_ns),
                                       damage.get());
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

template <class Session>
PyObject* take_screenshot(Session& core, const Args& a)
{
    pravlin_lib::Result<pravlin_lib::Image> image;
    {
        WithoutInterpreterLock unlocked;
        image = core.screenshot(a.text(0));
    }
    if (!image) return raise_error(image.error());
    return image_to_array(std::move(*image));
}

constexpr Param screenshot_params[] = {{"screen_name", ParamKind::OptText}};
constexpr Method screenshot{{"screenshot", screenshot_params, owner}, take_screenshot<Desktop>};
constexpr Method capture{{"capture", capture_params, owner}, capture_frames<Desktop>};

constexpr const char* capture_doc =
    "capture($self, screen_name=None, damage=None, timeout_ms=None, cursor=None, wake_fd=None)\n--\n\n"
    "Frames of one output or of all: (screen, pixels, presentation time in ns, damage box or None). With "
    "damage, those of the outputs that changed since the previous such frame, at least one, or none when "
    "timeout_ms ran out or wake_fd became readable first.";

PyMethodDef methods[] = {
    method_def<outputs>("outputs($self)\n--\n\nEach output: (name, x, y, width, height, refresh in mHz)."),
    method_def<pointer>("pointer($self)\n--\n\nWhere the pointer was last put, or None."),
    method_def<send>("send($self, keys_down=None, x=None, y=None, buttons_down=None, wheel_y=None, wheel_x=None, "
                     "buttons_up=None, keys_up=None, layout=None)\n--\n\n"
                     "One step, in this order: keys down, motion, buttons down, wheel notches, buttons up, keys "
                     "up; then a round trip."),
    method_def<check_point>("check_point($self, x, y)\n--\n\nValueError when the point is on no output."),
    method_def<type_keys>("type_keys($self, strokes, patience_ms)\n--\n\n"
                          "Keystrokes back to back, a round trip per batch, each batch after the windows that "
                          "fell behind have read; strokes flat: count, layout + 1 (0: active), keys. Returns "
                          "how many were typed: fewer when one was still behind after patience_ms."),
    method_def<wait_for_readers>("wait_for_readers($self, patience_ms)\n--\n\n"
                                 "Waits, at most patience_ms, until no window is behind in reading its keys: 0 "
                                 "when none is, 1 when one is still behind but read meanwhile, 2 when they read "
                                 "nothing."),
    method_def<release_all>("release_all($self)\n--\n\nReleases every key and button still held."),
    method_def<held>("held($self)\n--\n\n(keys, buttons) held now, in the order they went down."),
    method_def<find_key>("find_key($self, keysym)\n--\n\n"
                         "(key, modifier keys, modifiers no key sets, layout) that type keysym, or None."),
    method_def<keysym_from_name>("keysym_from_name($self, name)\n--\n\nThe keysym of an xkb name, or 0."),
    method_def<keysym_from_char>("keysym_from_char($self, code_point)\n--\n\nThe keysym that types a character."),
    method_def<keysym_name>("keysym_name($self, keysym)\n--\n\nxkb's name of a keysym."),
    method_def<add_keysyms>("add_keysyms($self, keysyms, reassign)\n--\n\n"
                            "Puts those of these keysyms the layout lacks on carrier keys, keeping those placed "
                            "before where there is room; returns their keys (0: on the layout), or None when a "
                            "key would change what it carries and reassign is false."),
    method_def<added_keys>("added_keys($self)\n--\n\nThe keys carrying added keysyms now."),
    method_def<restore_keymap>("restore_keymap($self)\n--\n\nGives the keyboard the seat's keymap again."),
    method_def<spare_keys>("spare_keys($self)\n--\n\nHow many keysyms add_keysyms can place at once."),
    method_def<screenshot>("screenshot($self, screen_name=None)\n--\n\n"),
    method_def<capture>(capture_doc),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* core_type()
{
    static PyTypeObject type = class_type("pravlin_desktop._native.Core", sizeof(CoreObject), destroy<CoreObject, Desktop>,
                                          "Core(wayland_display, guard)\n--\n\n", methods, core_new);
    static bool done = false;
    return ready(type, done);
}

// -- Viewer: frames only -------------------------------------------------------------

using pravlin_lib::Viewer;

struct ViewerObject {
    PyObject_HEAD
    Viewer core;
    uintptr_t borrow;
};

constexpr const char* viewer_owner = "Viewer";
constexpr Param viewer_new_params[] = {{"wayland_display", ParamKind::OptText}};
constexpr Signature viewer_new_signature{"__new__", viewer_new_params, viewer_owner};

PyObject* viewer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    return construct<ViewerObject, Viewer>(type, args, kwargs, viewer_new_signature,
                                           [](const Args& a) { return pravlin_lib::connect_viewer(a.text(0)); });
}

using ViewerMethod = ::Method<Viewer>;
constexpr ViewerMethod viewer_outputs{{"outputs", {}, viewer_owner},
                                      [](Viewer& core, const Args&) { return outputs_tuple(core.outputs()); }};
constexpr ViewerMethod viewer_screenshot{{"screenshot", screenshot_params, viewer_owner}, take_screenshot<Viewer>};
constexpr ViewerMethod viewer_capture{{"capture", capture_params, viewer_owner}, capture_frames<Viewer>};

PyMethodDef viewer_methods[] = {
    ::method_def<ViewerObject, Viewer, viewer_outputs>("outputs($self)\n--\n\n"),
    ::method_def<ViewerObject, Viewer, viewer_screenshot>("screenshot($self, screen_name=None)\n--\n\n"),
    ::method_def<ViewerObject, Viewer, viewer_capture>(capture_doc),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* viewer_type()
{
    static PyTypeObject type = class_type("pravlin_desktop._native.Viewer", sizeof(ViewerObject), destroy<ViewerObject, Viewer>,
                                          "Viewer(wayland_display=None)\n--\n\n", viewer_methods, viewer_new);
    static bool done = false;
    return ready(type, done);
}

// -- Clipboard: the seat's selections through data control ------------------------------

using pravlin_lib::Clipboard;
using pravlin_lib::Selection;

struct ClipboardObject {
    PyObject_HEAD
    Clipboard core;
    uintptr_t borrow;
};

constexpr const char* clipboard_owner = "Clipboard";
constexpr Signature clipboard_new_signature{"__new__", viewer_new_params, clipboard_owner};

PyObject* clipboard_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    return construct<ClipboardObject, Clipboard>(type, args, kwargs, clipboard_new_signature, [](const Args& a) {
        WithoutInterpreterLock unlocked;
        return pravlin_lib::open_clipboard(a.text(0));
    });
}

Selection selection_of(const std::optional<uint32_t>& primary)
{
    return primary.value_or(0) != 0 ? Selection::primary : Selection::clipboard;
}

PyObject* text_tuple(const std::vector<std::string>& values)
{
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < values.size(); ++i) {
        PyObject* item = text(values[i]);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

using ClipboardMethod = ::Method<Clipboard>;

constexpr Param primary_params[] = {{"primary", ParamKind::OptU32}};
constexpr ClipboardMethod clipboard_types{{"types", primary_params, clipboard_owner},
                                          [](Clipboard& core, const Args& a) -> PyObject* {
    pravlin_lib::Result<std::optional<std::vector<std::string>>> types;
    {
        WithoutInterpreterLock unlocked;
        types = core.types(selection_of(a.opt_u32(0)));
    }
    if (!types) return raise_error(types.error());
    if (!*types) Py_RETURN_NONE;
    return text_tuple(**types);
}};

constexpr Param read_params[] = {
    {"mime_type", ParamKind::Text}, {"primary", ParamKind::OptU32}, {"timeout_ms", ParamKind::U32}};
constexpr ClipboardMethod clipboard_read{{"read", read_params, clipboard_owner},
                                         [](Clipboard& core, const Args& a) -> PyObject* {
    pravlin_lib::Result<pravlin_lib::Received> received;
    {
        WithoutInterpreterLock unlocked;
        received = core.read(selection_of(a.opt_u32(1)), *a.text(0), std::chrono::milliseconds(a.u32(2)));
    }
    if (!received) return raise_error(received.error());
    PyRef types(text_tuple(received->types));
    PyRef data(types ? PyBytes_FromStringAndSize(received->data.data(), static_cast<Py_ssize_t>(received->data.size()))
                     : nullptr);
    if (!data) return nullptr;
    const char* status = "ok";
    switch (received->status) {
    case pravlin_lib::Received::Status::ok: status = "ok"; break;
    case pravlin_lib::Received::Status::empty: status = "empty"; break;
    case pravlin_lib::Received::Status::not_offered: status = "not_offered"; break;
    case pravlin_lib::Received::Status::timed_out: status = "timed_out"; break;
    }
    return Py_BuildValue("(sOO)", status, data.get(), types.get());
}};

// The MIME types one per line (none holds a line break). Without sizes each
// type offers all of data; with them, data is the types' data end to end.
constexpr Param write_params[] = {{"mime_types", ParamKind::Text},
                                  {"data", ParamKind::Bytes},
                                  {"primary", ParamKind::OptU32},
                                  {"sizes", ParamKind::U32Seq}};
constexpr ClipboardMethod clipboard_write{{"write", write_params, clipboard_owner},
                                          [](Clipboard& core, const Args& a) -> PyObject* {
    pravlin_lib::Offered offered;
    const std::string& lines = *a.text(0);
    for (size_t start = 0; start < lines.size();) {
        size_t end = lines.find('\n', start);
        if (end == std::string::npos) end = lines.size();
        if (end > start) offered.emplace_back(lines.substr(start, end - start), std::string());
        start = end + 1;
    }
    const std::string& data = a.bytes(1);
    const auto& sizes = a.u32_seq(3);
    if (sizes.empty()) {
        for (auto& entry : offered) entry.second = data;
    } else {
        size_t total = 0;
        for (uint32_t size : sizes) total += size;
        if (sizes.size() != offered.size() || total != data.size()) {
            PyErr_SetString(PyExc_ValueError, "sizes must give one size per MIME type, adding up to len(data)");
            return nullptr;
        }
        size_t at = 0;
        for (size_t i = 0; i < offered.size(); ++i) {
            offered[i].second = data.substr(at, sizes[i]);
            at += sizes[i];
        }
    }
    pravlin_lib::Result<> done;
    {
        WithoutInterpreterLock unlocked;
        done = core.write(selection_of(a.opt_u32(2)), std::move(offered));
    }
    return none_or_raise(done);
}};

constexpr ClipboardMethod clipboard_served{{"served", primary_params, clipboard_owner},
                                           [](Clipboard& core, const Args& a) -> PyObject* {
    pravlin_lib::Result<std::optional<uint32_t>> served;
    {
        WithoutInterpreterLock unlocked;
        served = core.served(selection_of(a.opt_u32(0)));
    }
    if (!served) return raise_error(served.error());
    if (!*served) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(**served);
}};

constexpr ClipboardMethod clipboard_has_primary{{"has_primary", {}, clipboard_owner},
                                                [](Clipboard& core, const Args&) -> PyObject* {
    return PyBool_FromLong(core.has_primary());
}};

PyMethodDef clipboard_methods[] = {
    ::method_def<ClipboardObject, Clipboard, clipboard_types>(
        "types($self, primary=None)\n--\n\nThe MIME types offered now, or None when nothing is copied."),
    ::method_def<ClipboardObject, Clipboard, clipboard_read>(
        "read($self, mime_type, primary=None, timeout_ms)\n--\n\n"
        "(status, data, offered types): status 'ok', 'empty', 'not_offered' or 'timed_out'."),
    ::method_def<ClipboardObject, Clipboard, clipboard_write>(
        "write($self, mime_types, data, primary=None, sizes=None)\n--\n\n"
        "Offers data under each of the MIME types (one per line), or with sizes each type its own part of "
        "data; no types clears the selection."),
    ::method_def<ClipboardObject, Clipboard, clipboard_served>(
        "served($self, primary=None)\n--\n\n"
        "How often what this clipboard wrote last was asked for, or None once it is no longer the selection."),
    ::method_def<ClipboardObject, Clipboard, clipboard_has_primary>(
        "has_primary($self)\n--\n\nWhether the compositor's data control has the primary selection."),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* clipboard_type()
{
    static PyTypeObject type = class_type("pravlin_desktop._native.Clipboard", sizeof(ClipboardObject),
                                          destroy<ClipboardObject, Clipboard>, "Clipboard(wayland_display=None)\n--\n\n",
                                          clipboard_methods, clipboard_new);
    static bool done = false;
    return ready(type, done);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pravlin_desktop._native",
    "The whole keyboard and mouse over pravlin's core; see pravlin_desktop.Desktop.",
    0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_module()
{
    static ModuleOnce once{module_def};
    return once.init(
        [](PyObject* module) {
            if (!install_log_forwarding()) return false;
            for (auto [name, type] : {std::pair{"Core", core_type()}, std::pair{"Viewer", viewer_type()},
                                      std::pair{"Clipboard", clipboard_type()}})
                if (!type || PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) return false;
            return true;
        },
        [] { return true; });
}

}  // namespace

PyMODINIT_FUNC PyInit__native() { return guarded_init(init_module); }
