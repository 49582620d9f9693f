// Session state and the handlers of every event the session receives.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <map>
#include <vector>

#include "screencopy-client-protocol.h"
#include "virtual_keyboard-client-protocol.h"
#include "virtual_pointer-client-protocol.h"
#include "wl.hpp"
#include "xdg_output-client-protocol.h"

namespace pravlin_lib {

struct Keymap {
    uint32_t format;  // as announced, even when it is no defined format
    Fd fd;
    uint32_t size;
};

struct Output {
    std::optional<std::string> name;
    Proxy<wl_output> output;
    // The current mode, as announced (refresh in mHz).
    int32_t mode_width = 0;
    int32_t mode_height = 0;
    int32_t refresh = 0;
    // Where the output sits in the compositor's layout, in logical pixels,
    // once its xdg_output has said (sessions that ask for the layout only).
    Proxy<zxdg_output_v1> xdg_output;
    std::optional<std::pair<int32_t, int32_t>> logical_position;
    std::optional<std::pair<int32_t, int32_t>> logical_size;
};

struct BufferParams {
    uint32_t format;
    uint32_t width;
    uint32_t height;
    uint32_t stride;
};

// The capture in flight.
struct Screencopy {
    Proxy<zwlr_screencopy_frame_v1> frame;
    std::optional<BufferParams> buffer;
    bool failed = false;  // the compositor sent `failed` for this frame
};

// Highest versions whose events this build decodes; a global announced at a
// higher version is bound at these, so the compositor never sends an event
// the session cannot read.
namespace supported_version {
inline constexpr uint32_t shm = 1;
inline constexpr uint32_t seat = 9;
inline constexpr uint32_t output = 4;
inline constexpr uint32_t screencopy_manager = 3;
inline constexpr uint32_t virtual_keyboard_manager = 1;
inline constexpr uint32_t virtual_pointer_manager = 2;
inline constexpr uint32_t xdg_output_manager = 3;
}  // namespace supported_version

// Every event of the session is dispatched into the one AppData, which is why
// it never moves: proxies carry its address as their listener data.
struct AppData {
    AppData() = default;
    AppData(const AppData&) = delete;
    AppData& operator=(const AppData&) = delete;

    std::optional<Keymap> keymap;
    std::optional<Screencopy> screencopy;
    // By global name, so outputs are looked at in the order they were announced.
    std::map<uint32_t, Output> outputs;
    Proxy<wl_seat> seat;
    // Every capability `seat` has announced so far; absent until it announces any.
    std::optional<uint32_t> seat_capabilities;
    Proxy<zwp_virtual_keyboard_manager_v1> virtual_keyboard_manager;
    Proxy<zwlr_virtual_pointer_manager_v1> virtual_pointer_manager;
    Proxy<zwlr_screencopy_manager_v1> screencopy_manager;
    Proxy<wl_shm> shm;
    bool capture_pending = false;
    // Bind zxdg_output_manager_v1 and learn each output's place in the layout.
    // Off for the sessions of the Pravlin class, which bind exactly the six
    // globals they use.
    bool track_layout = false;
    Proxy<zxdg_output_manager_v1> xdg_output_manager;

    // Creates the registry under `queue`; its globals are bound as announced.
    // False when the request could not be made.
    bool listen_registry(wl_display* queue);
    // Takes the seat keyboard, whose keymap events fill `keymap`.
    void listen_keyboard(wl_keyboard* keyboard);
    // Asks for the layout position of every output that lacks an xdg_output.
    void request_output_layout();
    // Starts a capture record for a new frame, replacing any earlier one.
    void start_capture(zwlr_screencopy_frame_v1* frame);
    void listen_buffer(wl_buffer* buffer);

    // Id of the session's object of this interface, when it has exactly one.
    std::optional<uint32_t> only_object_of(std::string_view interface) const;

    // Objects the session keeps alive but never uses again: the registry, the
    // seat keyboard, handles replaced by a later announcement.
    std::vector<AnyProxy> retained;

    // Listener data of a wl_output: the global name it was bound under.
    struct OutputTag {
        AppData* app;
        uint32_t global_name;
    };
    std::vector<std::unique_ptr<OutputTag>> output_tags;
};

}  // namespace pravlin_lib
