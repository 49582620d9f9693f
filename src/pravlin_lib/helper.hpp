// The steps of a session that talk to the outside: finding and connecting the
// compositor's socket, setting up the virtual keyboard, capturing an output.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
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

// The internal failure that names every global construction needs and the
// compositor has not announced (wl_seat and the virtual keyboard and pointer
// managers), if any is missing.
std::optional<Error> lacking_globals(const AppData& app_data);

struct VirtualKeyboard {
    Proxy<zwp_virtual_keyboard_v1> keyboard;
    Keymap keymap;  // the seat keyboard's, which the virtual keyboard was given
};

// Requests the seat keyboard, waits for its keymap and hands that keymap to a
// new virtual keyboard. Failures are internal: the session cannot go on.
Result<VirtualKeyboard> setup_virtual_keyboard(AppData& app_data, QueueHandle queue_handle,
                                               EventQueue& event_queue);

// A connection with the globals bound, the virtual keyboard carrying the seat
// keyboard's keymap, and a virtual pointer. With `track_layout`, the outputs'
// places in the layout are asked for as well.
struct Session {
    EventQueue queue;
    std::unique_ptr<AppData> app_data;
    VirtualKeyboard keyboard;
    Proxy<zwlr_virtual_pointer_v1> pointer;
};
Result<Session> open_session(const std::optional<std::string>& wayland_display, bool track_layout);

// Dispatches until every output that can announce a name has done so.
Result<> wait_for_output_names(AppData& app_data, EventQueue& event_queue);

// The text of a keymap the compositor sent.
Result<std::string> read_keymap(const Keymap& keymap);

// The pixels of one capture: height rows of width pixels, four bytes each in
// the memory order of XRGB8888 (blue, green, red, unused), rows packed.
struct Image {
    struct Free {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<uint8_t, Free> block;  // malloc'ed, so that any owner can free() it
    // Instead of `block`: what keeps the pixels alive (a mapping of shared
    // memory), for as long as any owner holds a copy of it.
    std::shared_ptr<void> keeper;
    uint8_t* pixels = nullptr;             // inside `block`, at the first page boundary
    uint32_t width = 0;
    uint32_t height = 0;
    size_t stride = 0;      // bytes from one row to the next; 0: packed rows
    bool y_invert = false;  // the rows are stored bottom row first
};

// The output a screenshot is of: the one named, or the only one; the error
// says why there is none.
Result<wl_output*> choose_output(const AppData& app_data, const std::optional<std::string>& screen_name);

// Has the compositor copy one output into a shared-memory buffer and reads
// it back. Without a name, the session must know exactly one output.
Result<Image> screenshot(AppData& app_data, QueueHandle queue_handle, EventQueue& event_queue,
                         const std::optional<std::string>& screen_name);

}  // namespace pravlin_lib
