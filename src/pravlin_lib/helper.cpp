#include "helper.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

namespace pravlin_lib {

namespace {

enum class EnvState { Unset, NotUnicode, Set };

struct EnvValue {
    EnvState state;
    std::string value;
};

EnvValue read_env(const char* name)
{
    const char* raw = std::getenv(name);
    if (!raw) return {EnvState::Unset, {}};
    std::string value(raw);
    if (!is_valid_utf8(value)) return {EnvState::NotUnicode, std::move(value)};
    return {EnvState::Set, std::move(value)};
}

Result<std::string> socket_path(const std::optional<std::string>& wayland_display)
{
    std::string name;
    if (wayland_display) {
        name = *wayland_display;
    } else {
        EnvValue env = read_env("WAYLAND_DISPLAY");
        name = env.state == EnvState::Set ? std::move(env.value) : std::string("wayland-0");
    }
    if (name.starts_with('/')) return name;

    const EnvValue dir = read_env("XDG_RUNTIME_DIR");
    if (dir.state == EnvState::Unset) return fail("no XDG_RUNTIME_DIR set", {"environment variable not found"});
    if (dir.state == EnvState::NotUnicode)
        return fail("no XDG_RUNTIME_DIR set",
                    {"environment variable was not valid unicode: " + quoted(dir.value)});
    if (dir.value.empty()) return name;
    return dir.value.ends_with('/') ? dir.value + name : dir.value + "/" + name;
}

Result<Fd> connect_unix_stream(const std::string& path)
{
    const auto refuse = [&](std::string cause) {
        return fail("failed to connect to unix stream " + quoted(path), {std::move(cause)});
    };
    if (path.find('\0') != std::string::npos) return refuse("paths must not contain interior null bytes");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return refuse("path must be shorter than SUN_LEN");
    std::memcpy(addr.sun_path, path.data(), path.size());

    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return refuse(os_error_text(errno));
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return refuse(os_error_text(errno));
    return fd;
}

}  // namespace

Result<DisplayPtr> connect_wayland(const std::optional<std::string>& wayland_display)
{
    auto path = socket_path(wayland_display);
    if (!path) return std::unexpected(std::move(path.error()));
    auto fd = connect_unix_stream(*path);
    if (!fd) return std::unexpected(std::move(fd.error()));
    // The library owns the descriptor from here on, and closes it itself when
    // it refuses it.
    DisplayPtr display(wl_display_connect_to_fd(fd->release()));
    if (!display) return fail("failed to connect to wayland compositor", {os_error_text(errno)});
    return display;
}

Result<Proxy<zwp_virtual_keyboard_v1>> setup_virtual_keyboard(AppData& app_data, QueueHandle,
                                                             EventQueue& event_queue)
{
    if (!app_data.seat) return internal_failure("the compositor announced no wl_seat");

    wl_keyboard* keyboard = wl_seat_get_keyboard(app_data.seat.get());
    if (!keyboard) return internal_failure("failed to request the seat keyboard");
    app_data.listen_keyboard(keyboard);

    if (auto r = event_queue.roundtrip(); !r)
        return internal_failure("round trip failed while waiting for the keymap: " + r.error().render());

    if (!app_data.virtual_keyboard_manager)
        return internal_failure("the compositor announced no zwp_virtual_keyboard_manager_v1");

    Proxy<zwp_virtual_keyboard_v1> virtual_keyboard(zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(
        app_data.virtual_keyboard_manager.get(), app_data.seat.get()));
    if (!virtual_keyboard) return internal_failure("failed to create the virtual keyboard");

    std::optional<Keymap> keymap = std::exchange(app_data.keymap, std::nullopt);
    if (!keymap) return internal_failure("the seat keyboard sent no keymap");

    // Always xkb_v1, whatever the seat announced. libwayland duplicates the
    // descriptor while marshalling, so ours closes when `keymap` goes.
    zwp_virtual_keyboard_v1_keymap(virtual_keyboard.get(), WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1,
                                   keymap->fd.get(), keymap->size);

    if (auto r = event_queue.roundtrip(); !r)
        return internal_failure("round trip failed after sending the keymap: " + r.error().render());
    return virtual_keyboard;
}

}  // namespace pravlin_lib
