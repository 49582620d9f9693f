// A session with the whole keyboard and mouse: keys by what they type in the
// seat's layout, chords with the modifier state a real keyboard reports,
// buttons held across calls, the wheel, and positions in the compositor's
// layout. What it holds down is released if the process dies.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "app_data.hpp"
#include "capture.hpp"
#include "error.hpp"
#include "held.hpp"
#include "helper.hpp"
#include "keyboard.hpp"
#include "queue.hpp"
#include "readers.hpp"
#include "wl.hpp"

namespace pravlin_lib {

struct OutputPlace {
    std::string name;
    int32_t x, y, width, height;  // logical pixels in the layout
    int32_t refresh;               // mHz, 0 when unknown
};

// A screenshot through a Capture: the output chosen as for pravlin's, its
// frame in a reused buffer.
Result<Image> screenshot(AppData& app_data, EventQueue& queue, Capture& capture,
                         const std::optional<std::string>& screen_name);

// One step of what a person does, sent in this order and followed by one
// round trip: keys go down, the pointer moves, buttons go down, the wheel
// turns, buttons come up, keys come up. A key or button the step would press
// that is held already stays held: the step neither presses nor releases it.
struct InputStep {
    // Key and button codes, borrowed from the caller for the call.
    std::span<const uint32_t> keys_down;
    std::optional<std::pair<int32_t, int32_t>> motion;  // layout pixels
    std::span<const uint32_t> buttons_down;
    int32_t wheel_y = 0;  // notches, positive down
    int32_t wheel_x = 0;  // notches, positive right
    std::span<const uint32_t> buttons_up;
    std::span<const uint32_t> keys_up;
    // Lock this layout around the keys (a keysym only another layout has),
    // then go back to the one before.
    std::optional<uint32_t> layout;
};

class Desktop {
public:
    Desktop(Desktop&&) noexcept = default;
    Desktop& operator=(Desktop&&) = delete;
    // Releases whatever is still held.
    ~Desktop();

    std::vector<OutputPlace> outputs() const;
    // Where the pointer was last put, if it was.
    std::optional<std::pair<int32_t, int32_t>> pointer() const { return pointer_; }

    // ValueError-kind error when the point is on no output.
    Result<> check_point(int32_t x, int32_t y) const;
    Result<> send(const InputStep& step);
    // Types keystrokes back to back: each one's keys go down in order and up
    // in reverse (keys held already stay held), with its layout locked around
    // it. A round trip closes every batch of strokes, so that the events a
    // batch makes reach the focused window in few writes. Before a batch that
    // would take what was typed since the last look at the windows over a
    // budget, they are looked at again, and those that have fallen behind in
    // reading are waited for (see Readers); when they are still behind after
    // `patience`, the strokes typed so far are returned, none of them held.
    struct Keystroke {
        std::vector<uint32_t> keys;
        std::optional<uint32_t> layout;
    };
    Result<size_t> type(const std::vector<Keystroke>& strokes, std::chrono::milliseconds patience);
    // Looks at the windows and waits as type() does, at most `patience`.
    Readers::Settled wait_for_readers(std::chrono::milliseconds patience);
    // Releases every key and button still held, in reverse order.
    Result<> release_all();
    const std::vector<uint32_t>& held_keys() const { return held_keys_; }
    const std::vector<uint32_t>& held_buttons() const { return held_buttons_; }

    std::optional<KeyChoice> find_key(uint32_t keysym) const { return layout_.find(keysym); }
    // Gives the keyboard a keymap with these keysyms on carrier keys, where the
    // seat's layout lacks them, and returns their keys (0: the layout has it).
    // Keysyms added before keep their keys while there is room: the keymap
    // changes only for new ones, and a key keeps its meaning until its
    // carrier is needed again (X11 clients look a key up in the keymap they
    // fetch when they handle it, which may be well after it was sent).
    // Without `reassign`, nothing happens (nullopt) when a key would have to
    // change what it carries.
    Result<std::optional<std::vector<uint32_t>>> add_keysyms(const std::vector<uint32_t>& keysyms, bool reassign);
    // The keys carrying added keysyms now.
    std::vector<uint32_t> added_keys() const;
    // Gives the keyboard the seat's keymap again, if it has another.
    Result<> restore_keymap();
    size_t spare_keys() const { return layout_.free_keys().size(); }

    Result<std::vector<Frame>> capture(const CaptureRequest& request)
    {
        return capture_.next(*app_data_, event_queue_, request);
    }
    Result<Image> screenshot(const std::optional<std::string>& screen_name)
    {
        return pravlin_lib::screenshot(*app_data_, event_queue_, capture_, screen_name);
    }

private:
    friend Result<Desktop> connect_desktop(const std::optional<std::string>&, const std::string&);
    Desktop(Session session, KeyboardLayout layout, Guard guard);

    struct Box {
        int32_t x, y, width, height;
    };
    Box layout_box() const;
    Result<> usable() const;
    Result<> check_capacity(const InputStep& step) const;
    void key(uint32_t key, bool pressed, uint32_t time);
    void set_modifiers(const ModifierState& mods);
    void button(uint32_t button, bool pressed, uint32_t time);
    // Advances `time` to the last notch's.
    Result<> wheel(uint32_t axis, int32_t notches, uint32_t& time);
    Result<> upload_keymap(const std::string& text, std::vector<KeyboardLayout::Placed> placed);
    void publish_held();

    // Declared first so that it goes last: proxies are freed before the
    // queue, and the queue before the connection.
    EventQueue event_queue_;
    std::unique_ptr<AppData> app_data_;
    Proxy<zwp_virtual_keyboard_v1> keyboard_;
    Proxy<zwlr_virtual_pointer_v1> pointer_device_;
    KeyboardLayout layout_;
    Guard guard_;
    Capture capture_;
    ModifierState sent_mods_;
    std::vector<uint32_t> held_keys_;
    std::vector<uint32_t> held_buttons_;
    std::optional<std::pair<int32_t, int32_t>> pointer_;
    // The compositor's clients, looked for at the first typing, and how much
    // (an estimate in bytes of their send buffers) has been typed since the
    // last look at them.
    std::optional<Readers> readers_;
    bool readers_looked_for_ = false;
    size_t unlooked_ = 0;
    // What a step presses and releases, kept to save allocations.
    struct Scratch {
        std::vector<uint32_t> press_keys, press_buttons, release_keys, release_buttons;
    } scratch_;
};

// A session that only looks: the outputs and their frames, no input devices
// on the seat.
class Viewer {
public:
    std::vector<OutputPlace> outputs() const;
    Result<std::vector<Frame>> capture(const CaptureRequest& request)
    {
        return capture_.next(*app_data_, event_queue_, request);
    }
    Result<Image> screenshot(const std::optional<std::string>& screen_name)
    {
        return pravlin_lib::screenshot(*app_data_, event_queue_, capture_, screen_name);
    }

private:
    friend Result<Viewer> connect_viewer(const std::optional<std::string>&);
    Viewer(EventQueue queue, std::unique_ptr<AppData> app_data)
        : event_queue_(std::move(queue)), app_data_(std::move(app_data)) {}

    EventQueue event_queue_;
    std::unique_ptr<AppData> app_data_;
    Capture capture_;
};

Result<Viewer> connect_viewer(const std::optional<std::string>& wayland_display);

// Connects as `connect` does, learns the layout of the outputs, compiles the
// seat's keymap and starts the guard program.
Result<Desktop> connect_desktop(const std::optional<std::string>& wayland_display, const std::string& guard_program);

}  // namespace pravlin_lib
