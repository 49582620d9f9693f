// The core session object and the operations the Python class calls.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app_data.hpp"
#include "error.hpp"
#include "queue.hpp"
#include "wl.hpp"

namespace pravlin_lib {

// A quantity given as a fixed value, or as a range to draw from.
struct UIntValue {
    uint32_t min;
    std::optional<uint32_t> max;

    // A fresh value each call: `min` when fixed; otherwise a normal draw
    // centred on the middle of the range, spread half its width, clamped.
    uint32_t get() const;
};

class Pravlin {
public:
    Pravlin(Pravlin&&) noexcept = default;
    // Member-wise assignment would close the old connection before the old
    // queue and proxies on it are freed.
    Pravlin& operator=(Pravlin&&) = delete;

    // Dispatches until every output that can announce a name has done so.
    Result<> wait_for_output_names();

    Result<> move_mouse(const UIntValue& x, const UIntValue& y, uint32_t x_extent, uint32_t y_extent);
    Result<> left_click(const UIntValue& duration_ms);
    Result<> right_click(const UIntValue& duration_ms);
    Result<> key_press(uint32_t key, const UIntValue& duration_ms);

    AppData& app_data() { return *app_data_; }
    EventQueue& event_queue() { return event_queue_; }
    QueueHandle queue_handle() const { return event_queue_.handle(); }

private:
    friend Result<Pravlin> connect(const std::optional<std::string>& wayland_display);
    Pravlin(EventQueue event_queue, std::unique_ptr<AppData> app_data,
            Proxy<zwp_virtual_keyboard_v1> virtual_keyboard, Proxy<zwlr_virtual_pointer_v1> virtual_pointer)
        : event_queue_(std::move(event_queue)), app_data_(std::move(app_data)),
          virtual_keyboard_(std::move(virtual_keyboard)), virtual_pointer_(std::move(virtual_pointer)) {}

    Result<> click(uint32_t button, const UIntValue& duration_ms);
    Result<> roundtrip();
    // The stored failure of a broken session, which must send nothing more.
    Result<> usable() const;

    // Declared first so that it goes last: every proxy must be freed before
    // the queue it is attached to, and the queue before the connection.
    EventQueue event_queue_;
    std::unique_ptr<AppData> app_data_;
    Proxy<zwp_virtual_keyboard_v1> virtual_keyboard_;
    Proxy<zwlr_virtual_pointer_v1> virtual_pointer_;
};

// Connects, binds the globals, sets up the virtual keyboard and pointer.
Result<Pravlin> connect(const std::optional<std::string>& wayland_display);

}  // namespace pravlin_lib
