#include "app_data.hpp"

#include <cstring>
#include <cxxabi.h>
#include <new>
#include <string_view>

#include "error.hpp"
#include "listener.hpp"
#include "log.hpp"
#include "queue.hpp"

namespace pravlin_lib {

namespace {

// `render` builds the EventText; it runs only for a record that will be
// forwarded.
template <class Render>
void log_event(std::string_view prefix, const Render& render)
{
    PRAVLIN_INFO(log::target::app_data, std::string(prefix) + render().str());
}

AppData& app(void* data) { return *static_cast<AppData*>(data); }

// -- wl_registry ---------------------------------------------------------------

template <class T>
Proxy<T> bind(wl_registry* registry, uint32_t name, const wl_interface* interface,
              uint32_t announced, uint32_t supported)
{
    const uint32_t version = announced < supported ? announced : supported;
    return Proxy<T>(static_cast<T*>(wl_registry_bind(registry, name, interface, version)));
}

// Installs the new handle, keeping a replaced one alive until the session ends.
template <class T>
void replace(AppData& data, Proxy<T>& slot, Proxy<T> fresh)
{
    if (slot) data.retained.push_back(erase(std::move(slot)));
    slot = std::move(fresh);
}

extern const wl_seat_listener seat_listener;
extern const wl_output_listener output_listener;
extern const wl_shm_listener shm_listener;

void registry_handle_global(void* data, wl_registry* registry, uint32_t name,
                            const char* interface, uint32_t version)
{
    AppData& d = app(data);
    log_event("Registry event: ", [&] {
        return EventText("Global").arg("name", name).arg("interface", interface).arg("version", version);
    });
    const std::string_view iface(interface);
    if (iface == wl_shm_interface.name) {
        auto shm = bind<wl_shm>(registry, name, &wl_shm_interface, version, supported_version::shm);
        wl_shm_add_listener(shm.get(), &shm_listener, &d);
        replace(d, d.shm, std::move(shm));
    } else if (iface == wl_seat_interface.name) {
        auto seat = bind<wl_seat>(registry, name, &wl_seat_interface, version, supported_version::seat);
        wl_seat_add_listener(seat.get(), &seat_listener, &d);
        replace(d, d.seat, std::move(seat));
        d.seat_capabilities.reset();
    } else if (iface == wl_output_interface.name) {
        auto output = bind<wl_output>(registry, name, &wl_output_interface, version,
                                      supported_version::output);
        auto& tag = d.output_tags.emplace_back(std::make_unique<AppData::OutputTag>(&d, name));
        wl_output_add_listener(output.get(), &output_listener, tag.get());
        auto [it, inserted] = d.outputs.try_emplace(name);
        if (!inserted) {
            d.retained.push_back(erase(std::move(it->second.output)));
            if (it->second.xdg_output) d.retained.push_back(erase(std::move(it->second.xdg_output)));
        }
        it->second = Output{};
        it->second.output = std::move(output);
        d.request_output_layout();
    } else if (d.track_layout && iface == zxdg_output_manager_v1_interface.name) {
        replace(d, d.xdg_output_manager,
                bind<zxdg_output_manager_v1>(registry, name, &zxdg_output_manager_v1_interface, version,
                                             supported_version::xdg_output_manager));
        d.request_output_layout();
    } else if (iface == zwlr_screencopy_manager_v1_interface.name) {
        replace(d, d.screencopy_manager,
                bind<zwlr_screencopy_manager_v1>(registry, name, &zwlr_screencopy_manager_v1_interface,
                                                 version, supported_version::screencopy_manager));
    } else if (iface == zwp_virtual_keyboard_manager_v1_interface.name) {
        replace(d, d.virtual_keyboard_manager,
                bind<zwp_virtual_keyboard_manager_v1>(registry, name,
                                                      &zwp_virtual_keyboard_manager_v1_interface, version,
                                                      supported_version::virtual_keyboard_manager));
    } else if (iface == zwlr_virtual_pointer_manager_v1_interface.name) {
        replace(d, d.virtual_pointer_manager,
                bind<zwlr_virtual_pointer_manager_v1>(registry, name,
                                                      &zwlr_virtual_pointer_manager_v1_interface, version,
                                                      supported_version::virtual_pointer_manager));
    }
}

void registry_handle_global_remove(void*, wl_registry*, uint32_t name)
{
    log_event("Registry event: ", [&] { return EventText("GlobalRemove").arg("name", name); });
}

const wl_registry_listener registry_listener = {
    .global = guarded<registry_handle_global>,
    .global_remove = guarded<registry_handle_global_remove>,
};

// -- wl_seat -------------------------------------------------------------------

void seat_handle_capabilities(void* data, wl_seat* seat, uint32_t capabilities)
{
    log_event("Seat event: ", [&] { return EventText("Capabilities").arg("capabilities", capabilities); });
    AppData& d = app(data);
    if (seat == d.seat.get()) d.seat_capabilities = d.seat_capabilities.value_or(0) | capabilities;
}

void seat_handle_name(void*, wl_seat*, const char* name)
{
    log_event("Seat event: ", [&] { return EventText("Name").arg("name", name); });
}

const wl_seat_listener seat_listener = {
    .capabilities = guarded<seat_handle_capabilities>,
    .name = guarded<seat_handle_name>,
};

// -- wl_keyboard ---------------------------------------------------------------

void keyboard_handle_keymap(void* data, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size)
{
    Fd owned(fd);
    log_event("Keyboard event: ",
              [&] { return EventText("Keymap").arg("format", format).arg("fd", fd).arg("size", size); });
    // Assigning closes the descriptor of a keymap that is being replaced.
    app(data).keymap = Keymap{format, std::move(owned), size};
}

void keyboard_handle_enter(void*, wl_keyboard*, uint32_t serial, wl_surface* surface, wl_array* keys)
{
    log_event("Keyboard event: ", [&] {
        return EventText("Enter").arg("serial", serial).arg("surface", surface).arg("keys", keys);
    });
}

void keyboard_handle_leave(void*, wl_keyboard*, uint32_t serial, wl_surface* surface)
{
    log_event("Keyboard event: ",
              [&] { return EventText("Leave").arg("serial", serial).arg("surface", surface); });
}

void keyboard_handle_key(void*, wl_keyboard*, uint32_t serial, uint32_t time, uint32_t key,
                         uint32_t state)
{
    log_event("Keyboard event: ", [&] {
        return EventText("Key").arg("serial", serial).arg("time", time).arg("key", key).arg("state", state);
    });
}

void keyboard_handle_modifiers(void*, wl_keyboard*, uint32_t serial, uint32_t depressed,
                               uint32_t latched, uint32_t locked, uint32_t group)
{
    log_event("Keyboard event: ", [&] {
        return EventText("Modifiers").arg("serial", serial).arg("mods_depressed", depressed)
            .arg("mods_latched", latched).arg("mods_locked", locked).arg("group", group);
    });
}

void keyboard_handle_repeat_info(void*, wl_keyboard*, int32_t rate, int32_t delay)
{
    log_event("Keyboard event: ",
              [&] { return EventText("RepeatInfo").arg("rate", rate).arg("delay", delay); });
}

const wl_keyboard_listener keyboard_listener = {
    .keymap = guarded<keyboard_handle_keymap>,
    .enter = guarded<keyboard_handle_enter>,
    .leave = guarded<keyboard_handle_leave>,
    .key = guarded<keyboard_handle_key>,
    .modifiers = guarded<keyboard_handle_modifiers>,
    .repeat_info = guarded<keyboard_handle_repeat_info>,
};

// -- wl_output -----------------------------------------------------------------

template <class Render>
void log_output_event(void* data, const Render& render)
{
    const auto* tag = static_cast<const AppData::OutputTag*>(data);
    PRAVLIN_INFO(log::target::app_data,
                 "WlOutput event for " + std::to_string(tag->global_name) + ": " + render().str());
}

void output_handle_geometry(void* data, wl_output*, int32_t x, int32_t y, int32_t physical_width,
                            int32_t physical_height, int32_t subpixel, const char* make,
                            const char* model, int32_t transform)
{
    log_output_event(data, [&] {
        return EventText("Geometry").arg("x", x).arg("y", y).arg("physical_width", physical_width)
            .arg("physical_height", physical_height).arg("subpixel", subpixel).arg("make", make)
            .arg("model", model).arg("transform", transform);
    });
}

// The entry of the output an event is for; it is made before the object
// exists and is never removed.
Output* tagged_output(void* data)
{
    const auto* tag = static_cast<const AppData::OutputTag*>(data);
    auto it = tag->app->outputs.find(tag->global_name);
    return it == tag->app->outputs.end() ? nullptr : &it->second;
}

void output_handle_mode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height,
                        int32_t refresh)
{
    log_output_event(data, [&] {
        return EventText("Mode").arg("flags", flags).arg("width", width).arg("height", height)
            .arg("refresh", refresh);
    });
    if (Output* output = tagged_output(data); output && (flags & WL_OUTPUT_MODE_CURRENT)) {
        output->mode_width = width;
        output->mode_height = height;
        output->refresh = refresh;
    }
}

void output_handle_done(void* data, wl_output*)
{
    log_output_event(data, [] { return EventText("Done"); });
}

void output_handle_scale(void* data, wl_output*, int32_t factor)
{
    log_output_event(data, [&] { return EventText("Scale").arg("factor", factor); });
}

void output_handle_name(void* data, wl_output*, const char* name)
{
    log_output_event(data, [&] { return EventText("Name").arg("name", name); });
    if (Output* output = tagged_output(data)) output->name = name;
}

void output_handle_description(void* data, wl_output*, const char* description)
{
    log_output_event(data, [&] { return EventText("Description").arg("description", description); });
}

const wl_output_listener output_listener = {
    .geometry = guarded<output_handle_geometry>,
    .mode = guarded<output_handle_mode>,
    .done = guarded<output_handle_done>,
    .scale = guarded<output_handle_scale>,
    .name = guarded<output_handle_name>,
    .description = guarded<output_handle_description>,
};

// -- zxdg_output_v1 ---------------------------------------------------------------

template <class Render>
void log_xdg_output_event(void* data, const Render& render)
{
    const auto* tag = static_cast<const AppData::OutputTag*>(data);
    PRAVLIN_INFO(log::target::app_data,
                 "XdgOutput event for " + std::to_string(tag->global_name) + ": " + render().str());
}

void xdg_output_handle_logical_position(void* data, zxdg_output_v1*, int32_t x, int32_t y)
{
    log_xdg_output_event(data, [&] { return EventText("LogicalPosition").arg("x", x).arg("y", y); });
    if (Output* output = tagged_output(data)) output->logical_position = {x, y};
}

void xdg_output_handle_logical_size(void* data, zxdg_output_v1*, int32_t width, int32_t height)
{
    log_xdg_output_event(data,
                         [&] { return EventText("LogicalSize").arg("width", width).arg("height", height); });
    if (Output* output = tagged_output(data)) output->logical_size = {width, height};
}

void xdg_output_handle_done(void* data, zxdg_output_v1*)
{
    log_xdg_output_event(data, [] { return EventText("Done"); });
}

void xdg_output_handle_name(void* data, zxdg_output_v1*, const char* name)
{
    log_xdg_output_event(data, [&] { return EventText("Name").arg("name", name); });
}

void xdg_output_handle_description(void* data, zxdg_output_v1*, const char* description)
{
    log_xdg_output_event(data, [&] { return EventText("Description").arg("description", description); });
}

const zxdg_output_v1_listener xdg_output_listener = {
    .logical_position = guarded<xdg_output_handle_logical_position>,
    .logical_size = guarded<xdg_output_handle_logical_size>,
    .done = guarded<xdg_output_handle_done>,
    .name = guarded<xdg_output_handle_name>,
    .description = guarded<xdg_output_handle_description>,
};

// -- wl_shm, wl_buffer -----------------------------------------------------------

void shm_handle_format(void*, wl_shm*, uint32_t format)
{
    log_event("Shm event: ", [&] { return EventText("Format").arg("format", format); });
}

const wl_shm_listener shm_listener = {.format = guarded<shm_handle_format>};

void buffer_handle_release(void*, wl_buffer*)
{
    log_event("Shm event: ", [] { return EventText("Release"); });
}

const wl_buffer_listener buffer_listener = {.release = guarded<buffer_handle_release>};

// -- zwlr_screencopy_frame_v1 -------------------------------------------------------

template <class Render>
void log_frame_event(const Render& render)
{
    log_event("Screencopy event: ", render);
}

void frame_handle_buffer(void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width,
                         uint32_t height, uint32_t stride)
{
    log_frame_event([&] {
        return EventText("Buffer").arg("format", format).arg("width", width).arg("height", height)
            .arg("stride", stride);
    });
    if (auto& capture = app(data).screencopy) capture->buffer = BufferParams{format, width, height, stride};
}

void frame_handle_flags(void*, zwlr_screencopy_frame_v1*, uint32_t flags)
{
    log_frame_event([&] { return EventText("Flags").arg("flags", flags); });
}

void frame_handle_ready(void* data, zwlr_screencopy_frame_v1*, uint32_t sec_hi, uint32_t sec_lo,
                        uint32_t nsec)
{
    log_frame_event([&] {
        return EventText("Ready").arg("tv_sec_hi", sec_hi).arg("tv_sec_lo", sec_lo).arg("tv_nsec", nsec);
    });
    app(data).capture_pending = false;
}

void frame_handle_failed(void* data, zwlr_screencopy_frame_v1*)
{
    log_frame_event([] { return EventText("Failed"); });
    if (auto& capture = app(data).screencopy) capture->failed = true;
}

void frame_handle_damage(void*, zwlr_screencopy_frame_v1*, uint32_t x, uint32_t y, uint32_t width,
                         uint32_t height)
{
    log_frame_event([&] {
        return EventText("Damage").arg("x", x).arg("y", y).arg("width", width).arg("height", height);
    });
}

void frame_handle_linux_dmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width,
                               uint32_t height)
{
    log_frame_event([&] {
        return EventText("LinuxDmabuf").arg("format", format).arg("width", width).arg("height", height);
    });
}

void frame_handle_buffer_done(void*, zwlr_screencopy_frame_v1*)
{
    log_frame_event([] { return EventText("BufferDone"); });
}

const zwlr_screencopy_frame_v1_listener frame_listener = {
    .buffer = guarded<frame_handle_buffer>,
    .flags = guarded<frame_handle_flags>,
    .ready = guarded<frame_handle_ready>,
    .failed = guarded<frame_handle_failed>,
    .damage = guarded<frame_handle_damage>,
    .linux_dmabuf = guarded<frame_handle_linux_dmabuf>,
    .buffer_done = guarded<frame_handle_buffer_done>,
};

}  // namespace

bool AppData::listen_registry(wl_display* queue)
{
    wl_registry* registry = wl_display_get_registry(queue);
    if (!registry) return false;
    wl_registry_add_listener(registry, &registry_listener, this);
    retained.push_back(erase(Proxy<wl_registry>(registry)));
    return true;
}

void AppData::listen_keyboard(wl_keyboard* keyboard)
{
    wl_keyboard_add_listener(keyboard, &keyboard_listener, this);
    retained.push_back(erase(Proxy<wl_keyboard>(keyboard)));
}

void AppData::request_output_layout()
{
    if (!track_layout || !xdg_output_manager) return;
    for (auto& [global_name, output] : outputs) {
        if (output.xdg_output || !output.output) continue;
        zxdg_output_v1* xdg = zxdg_output_manager_v1_get_xdg_output(xdg_output_manager.get(), output.output.get());
        if (!xdg) continue;
        output.xdg_output.reset(xdg);
        // Same listener data as the wl_output: the tag lives as long as the session.
        for (const auto& tag : output_tags)
            if (tag->global_name == global_name) {
                zxdg_output_v1_add_listener(xdg, &xdg_output_listener, tag.get());
                break;
            }
    }
}

void AppData::start_capture(zwlr_screencopy_frame_v1* frame)
{
    zwlr_screencopy_frame_v1_add_listener(frame, &frame_listener, this);
    screencopy = Screencopy{Proxy<zwlr_screencopy_frame_v1>(frame), std::nullopt, false};
}

void AppData::listen_buffer(wl_buffer* buffer) { wl_buffer_add_listener(buffer, &buffer_listener, this); }

std::optional<uint32_t> AppData::only_object_of(std::string_view interface) const
{
    std::optional<uint32_t> found;
    int count = 0;
    const auto consider = [&](const void* object) {
        auto* proxy = static_cast<wl_proxy*>(const_cast<void*>(object));
        if (proxy && interface == wl_proxy_get_class(proxy)) {
            found = wl_proxy_get_id(proxy);
            ++count;
        }
    };
    consider(seat.get());
    consider(virtual_keyboard_manager.get());
    consider(virtual_pointer_manager.get());
    consider(screencopy_manager.get());
    consider(shm.get());
    consider(xdg_output_manager.get());
    for (const auto& [global_name, output] : outputs) {
        consider(output.output.get());
        consider(output.xdg_output.get());
    }
    for (const auto& proxy : retained) consider(proxy.get());
    if (screencopy) consider(screencopy->frame.get());
    return count == 1 ? found : std::nullopt;
}

}  // namespace pravlin_lib
