// The steps of a session that talk to the outside: finding and connecting the
// compositor's socket, setting up the virtual keyboard, capturing an output.
#pragma once

#include <optional>
#include <string>

#include "app_data.hpp"
#include "error.hpp"
#include "queue.hpp"
#include "wl.hpp"

namespace pravlin_lib {

// Connects to the compositor named by `wayland_display`, or by the
// environment when it is absent. WAYLAND_SOCKET is never consulted.
Result<DisplayPtr> connect_wayland(const std::optional<std::string>& wayland_display);

// Requests the seat keyboard, waits for its keymap and hands that keymap to a
// new virtual keyboard. Failures are internal: the session cannot go on.
Result<Proxy<zwp_virtual_keyboard_v1>> setup_virtual_keyboard(AppData& app_data, QueueHandle queue_handle,
                                                             EventQueue& event_queue);

}  // namespace pravlin_lib
