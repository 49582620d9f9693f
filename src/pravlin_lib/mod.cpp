#include "mod.hpp"

#include <cerrno>
#include <ctime>
#include <linux/input-event-codes.h>
#include <random>

#include "helper.hpp"

namespace pravlin_lib {

Result<Pravlin> connect(const std::optional<std::string>& wayland_display)
{
    auto session = open_session(wayland_display, false);
    if (!session) return std::unexpected(std::move(session.error()));
    return Pravlin(std::move(session->queue), std::move(session->app_data), std::move(session->keyboard.keyboard),
                   std::move(session->pointer));
}

Result<> Pravlin::wait_for_output_names() { return pravlin_lib::wait_for_output_names(*app_data_, event_queue_); }

// -- value ranges ----------------------------------------------------------------------

namespace {

// Per-thread generator, seeded from the operating system and reseeded from it
// every so many draws.
class ThreadRandom {
public:
    double standard_normal()
    {
        if (draws_since_seed_++ % reseed_interval == 0) {
            std::random_device device;
            std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
            engine_.seed(seed);
        }
        return normal_(engine_);
    }

private:
    static constexpr uint64_t reseed_interval = 1u << 16;
    std::mt19937_64 engine_;
    std::normal_distribution<double> normal_;
    uint64_t draws_since_seed_ = 0;
};

thread_local ThreadRandom thread_random;

uint32_t saturating_u32(float v)
{
    if (!(v >= 0.0f)) return 0;  // negative or NaN
    if (v >= 4294967296.0f) return UINT32_MAX;
    return static_cast<uint32_t>(v);
}

// Sleeps at least `ms` milliseconds, resuming after signals.
void sleep_ms(uint32_t ms)
{
    if (ms == 0) return;
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

constexpr uint32_t pressed = 1;
constexpr uint32_t released = 0;

}  // namespace

uint32_t UIntValue::get() const
{
    if (!max) return min;
    if (*max < min) return *max;
    const uint32_t spread = (*max - min) / 2;
    const uint32_t centre = min + (*max - min) / 2;
    // Single precision throughout, one rounding per step; the build keeps the
    // compiler from fusing the multiply and the add.
    const float spread_f = static_cast<float>(spread);
    const float centre_f = static_cast<float>(centre);
    const float n = static_cast<float>(thread_random.standard_normal());
    const float scaled = n * spread_f;
    const float v = scaled + centre_f;
    uint32_t r = saturating_u32(v);
    if (r < min) r = min;
    if (r > *max) r = *max;
    return r;
}

// -- input -------------------------------------------------------------------------------
//
// Every pointer event is closed with `frame`: the compositor passes frames on
// to the focused client, and toolkits that bind wl_pointer at version 5 or
// later (GTK among them) hold pointer events back until a frame arrives.

Result<> Pravlin::roundtrip()
{
    if (auto r = event_queue_.roundtrip(); !r) return std::unexpected(r.error().to_error());
    return {};
}

Result<> Pravlin::usable() const
{
    if (const auto& failure = event_queue_.broken()) return std::unexpected(failure->to_error());
    return {};
}

Result<> Pravlin::move_mouse(const UIntValue& x, const UIntValue& y, uint32_t x_extent, uint32_t y_extent)
{
    if (auto r = usable(); !r) return r;
    const uint32_t x_pos = x.get();
    const uint32_t y_pos = y.get();
    zwlr_virtual_pointer_v1_motion_absolute(virtual_pointer_.get(), 0, x_pos, y_pos, x_extent, y_extent);
    zwlr_virtual_pointer_v1_frame(virtual_pointer_.get());
    return roundtrip();
}

Result<> Pravlin::click(uint32_t button, const UIntValue& duration_ms)
{
    if (auto r = usable(); !r) return r;
    const uint32_t hold = duration_ms.get();
    zwlr_virtual_pointer_v1_button(virtual_pointer_.get(), 0, button, pressed);
    zwlr_virtual_pointer_v1_frame(virtual_pointer_.get());
    if (auto r = roundtrip(); !r) return r;
    sleep_ms(hold);
    zwlr_virtual_pointer_v1_button(virtual_pointer_.get(), 0, button, released);
    zwlr_virtual_pointer_v1_frame(virtual_pointer_.get());
    return roundtrip();
}

Result<> Pravlin::left_click(const UIntValue& duration_ms) { return click(BTN_LEFT, duration_ms); }

Result<> Pravlin::right_click(const UIntValue& duration_ms) { return click(BTN_RIGHT, duration_ms); }

Result<> Pravlin::key_press(uint32_t key, const UIntValue& duration_ms)
{
    if (auto r = usable(); !r) return r;
    zwp_virtual_keyboard_v1_key(virtual_keyboard_.get(), 0, key, pressed);
    if (auto r = roundtrip(); !r) return r;
    sleep_ms(duration_ms.get());
    zwp_virtual_keyboard_v1_key(virtual_keyboard_.get(), 0, key, released);
    return roundtrip();
}

}  // namespace pravlin_lib
