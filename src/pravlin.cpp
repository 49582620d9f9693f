#include "pravlin.hpp"

#include <cstdint>
#include <exception>
#include <new>

#include "arguments.hpp"
#include "exceptions.hpp"
#include "image.hpp"
#include "methods.hpp"
#include "pravlin_lib/helper.hpp"
#include "pravlin_lib/mod.hpp"

namespace {

using pravlin_lib::UIntValue;

struct PravlinObject {
    PyObject_HEAD
    pravlin_lib::Pravlin core;
    uintptr_t borrow;  // 0 when free, all bits set while a method call holds it
};

constexpr Param new_params[] = {{"wayland_display", ParamKind::OptText}};
constexpr Signature new_signature{"__new__", new_params};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    BoundArgs bound;
    Args values;
    if (!bound.bind(new_signature, args, kwargs) || !bound.convert(new_signature, values)) return nullptr;

    auto core = pravlin_lib::connect(values.text(0));
    if (!core) return raise_error(core.error());
    if (auto named = core->wait_for_output_names(); !named) return raise_error(named.error());

    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* obj = reinterpret_cast<PravlinObject*>(self);
    new (&obj->core) pravlin_lib::Pravlin(std::move(*core));
    obj->borrow = 0;
    return self;
}

PyObject* pravlin_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    HeldExceptions held;
    return held.finish(guarded_call([&] { return construct(type, args, kwargs); }));
}

void pravlin_dealloc(PyObject* self)
{
    reinterpret_cast<PravlinObject*>(self)->core.~Pravlin();
    Py_TYPE(self)->tp_free(self);
}

// -- methods -----------------------------------------------------------------------
//
// Every method is a row of `methods`: its parameters and the core call. One
// trampoline binds, takes the instance, converts, calls and releases.

using Method = ::Method<pravlin_lib::Pravlin>;

constexpr Param move_mouse_params[] = {
    {"x_extent", ParamKind::U32}, {"y_extent", ParamKind::U32}, {"x", ParamKind::U32},
    {"y", ParamKind::U32},        {"x_max", ParamKind::OptU32}, {"y_max", ParamKind::OptU32},
};
constexpr Param click_params[] = {{"duration_ms", ParamKind::U32}, {"duration_ms_max", ParamKind::OptU32}};
constexpr Param key_press_params[] = {
    {"key", ParamKind::U32}, {"duration_ms", ParamKind::U32}, {"duration_ms_max", ParamKind::OptU32}};

constexpr Method move_mouse{{"move_mouse", move_mouse_params}, [](pravlin_lib::Pravlin& core, const Args& a) {
    return none_or_raise(core.move_mouse(UIntValue{a.u32(2), a.opt_u32(4)}, UIntValue{a.u32(3), a.opt_u32(5)},
                                         a.u32(0), a.u32(1)));
}};
constexpr Method left_click{{"left_click", click_params}, [](pravlin_lib::Pravlin& core, const Args& a) {
    return none_or_raise(core.left_click(UIntValue{a.u32(0), a.opt_u32(1)}));
}};
constexpr Method right_click{{"right_click", click_params}, [](pravlin_lib::Pravlin& core, const Args& a) {
    return none_or_raise(core.right_click(UIntValue{a.u32(0), a.opt_u32(1)}));
}};
constexpr Method key_press{{"key_press", key_press_params}, [](pravlin_lib::Pravlin& core, const Args& a) {
    return none_or_raise(core.key_press(a.u32(0), UIntValue{a.u32(1), a.opt_u32(2)}));
}};

constexpr Param screenshot_params[] = {{"screen_name", ParamKind::OptText}};

constexpr Method screenshot{{"screenshot", screenshot_params}, [](pravlin_lib::Pravlin& core, const Args& a) {
    auto image = pravlin_lib::screenshot(core.app_data(), core.queue_handle(), core.event_queue(), a.text(0));
    if (!image) return raise_error(image.error());
    return image_to_array(std::move(*image));
}};

template <const Method& M>
constexpr PyMethodDef method_def(const char* doc)
{
    return ::method_def<PravlinObject, pravlin_lib::Pravlin, M>(doc);
}

PyMethodDef methods[] = {
    method_def<move_mouse>("move_mouse($self, x_extent, y_extent, x, y, x_max=None, y_max=None)\n--\n\n"),
    method_def<left_click>("left_click($self, duration_ms, duration_ms_max=None)\n--\n\n"),
    method_def<right_click>("right_click($self, duration_ms, duration_ms_max=None)\n--\n\n"),
    method_def<key_press>("key_press($self, key, duration_ms, duration_ms_max=None)\n--\n\n"),
    method_def<screenshot>("screenshot($self, screen_name=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_type()
{
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = "builtins.Pravlin";
    type.tp_basicsize = sizeof(PravlinObject);
    type.tp_dealloc = pravlin_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "Pravlin(wayland_display=None)\n--\n\n";
    type.tp_methods = methods;
    type.tp_new = pravlin_new;
    return type;
}

}  // namespace

PyTypeObject* pravlin_type()
{
    static PyTypeObject type = make_type();
    static bool ready = false;
    if (!ready) {
        if (PyType_Ready(&type) < 0) return nullptr;
        ready = true;
    }
    return &type;
}
