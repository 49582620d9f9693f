#include "desktop.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

namespace pravlin_lib {

namespace {

constexpr uint32_t pressed_state = 1;
constexpr uint32_t released_state = 0;
// What one notch of a mouse wheel reports, in degrees, as libinput has it.
constexpr double notch_degrees = 15.0;
// Between one wheel notch and the next.
constexpr long notch_gap_ns = 4'000'000;
// A keystroke is two to six requests, and as many events for the window.
constexpr size_t strokes_per_round_trip = 128;
// What typing costs a window's send buffer, at most: a write of the
// compositor's takes 768 bytes of it or more (the kernel's overhead per
// buffer), a keystroke up to six events of 24 to 28 bytes, which take twice
// that in large writes. Between two looks at the windows at most this much
// is typed: with the quarter of the buffer that Readers lets a window be
// behind, it leaves half of a buffer of the default size free. One short
// text costs a few KiB, so a look comes every dozen or so calls.
constexpr size_t write_cost = 1024;
constexpr size_t stroke_cost = 320;
constexpr size_t look_budget = 48 * 1024;

std::string point_text(int32_t x, int32_t y)
{
    std::string text = "(";
    text.append(std::to_string(x)).append(", ").append(std::to_string(y)).append(")");
    return text;
}

std::unexpected<Error> invalid(std::string message)
{
    Error error{std::move(message), {}, false};
    error.invalid_argument = true;
    return std::unexpected(std::move(error));
}

// Where an output sits in the layout: as its xdg_output says, or, without
// one, at the origin at the size of its mode.
std::array<int32_t, 4> geometry(const Output& output)
{
    std::array<int32_t, 4> g{0, 0, output.mode_width, output.mode_height};
    if (output.logical_position) std::tie(g[0], g[1]) = *output.logical_position;
    if (output.logical_size) std::tie(g[2], g[3]) = *output.logical_size;
    return g;
}

OutputPlace place_of(const Output& output)
{
    const auto [x, y, w, h] = geometry(output);
    return OutputPlace{output.name.value_or(""), x, y, w, h, output.refresh};
}

std::vector<OutputPlace> places(const AppData& app_data)
{
    std::vector<OutputPlace> out;
    for (const auto& [global_name, output] : app_data.outputs) out.push_back(place_of(output));
    return out;
}

}  // namespace

Result<Desktop> connect_desktop(const std::optional<std::string>& wayland_display, const std::string& guard_program)
{
    auto session = open_session(wayland_display, true);
    if (!session) return std::unexpected(std::move(session.error()));
    if (auto named = wait_for_output_names(*session->app_data, session->queue); !named)
        return std::unexpected(std::move(named.error()));
    // The xdg_outputs asked for while the globals were bound have answered by
    // now: every round trip since has passed behind their events.

    auto text = read_keymap(session->keyboard.keymap);
    if (!text) return internal_failure("the seat keyboard's keymap could not be read: " + render(text.error()));
    auto layout = KeyboardLayout::compile(std::move(*text));
    if (!layout) return internal_failure("the seat keyboard's keymap could not be compiled");

    const auto id = [](auto* proxy) { return wl_proxy_get_id(reinterpret_cast<wl_proxy*>(proxy)); };
    auto guard = Guard::start(guard_program, wl_display_get_fd(session->queue.display()),
                              id(session->keyboard.keyboard.get()), id(session->pointer.get()));
    if (!guard) return std::unexpected(std::move(guard.error()));
    return Desktop(std::move(*session), std::move(*layout), std::move(*guard));
}

Desktop::Desktop(Session session, KeyboardLayout layout, Guard guard)
    : event_queue_(std::move(session.queue)), app_data_(std::move(session.app_data)),
      keyboard_(std::move(session.keyboard.keyboard)), pointer_device_(std::move(session.pointer)),
      layout_(std::move(layout)), guard_(std::move(guard))
{
}

Desktop::~Desktop()
{
    // A child forked without exec shares the connection: what it holds down is
    // its parent's, and releases from it would land in the parent's stream.
    if (keyboard_ && !event_queue_.broken() && guard_.ours()) (void)release_all();
}

std::vector<OutputPlace> Desktop::outputs() const { return places(*app_data_); }

Result<> Desktop::usable() const
{
    if (const auto& failure = event_queue_.broken()) return std::unexpected(failure->to_error());
    return {};
}

Result<> Desktop::check_point(int32_t x, int32_t y) const
{
    for (const auto& [global_name, output] : app_data_->outputs) {
        const auto [ox, oy, w, h] = geometry(output);
        if (x >= ox && y >= oy && x - ox < w && y - oy < h) return {};
    }
    std::string screens;
    for (const auto& [global_name, output] : app_data_->outputs) {
        const OutputPlace p = place_of(output);
        screens += (screens.empty() ? "" : ", ") + p.name + " " + std::to_string(p.width) + "x" +
                   std::to_string(p.height) + " at " + point_text(p.x, p.y);
    }
    return invalid("the point " + point_text(x, y) + " is on no screen (" +
                   (screens.empty() ? std::string("there are none") : screens) + ")");
}

Result<> Desktop::check_capacity(const InputStep& step) const
{
    size_t keys = held_keys_.size(), buttons = held_buttons_.size();
    for (uint32_t k : step.keys_down) keys += std::count(held_keys_.begin(), held_keys_.end(), k) ? 0 : 1;
    for (uint32_t b : step.buttons_down) buttons += std::count(held_buttons_.begin(), held_buttons_.end(), b) ? 0 : 1;
    if (keys > HeldRecord::max_keys)
        return invalid("more than " + std::to_string(HeldRecord::max_keys) + " keys held at once");
    if (buttons > HeldRecord::max_buttons)
        return invalid("more than " + std::to_string(HeldRecord::max_buttons) + " buttons held at once");
    return {};
}

void Desktop::publish_held()
{
    HeldRecord& record = guard_.record();
    // Shrinking the counts first: the guard reads the record only once this
    // process is gone, but a count must never cover entries not yet written.
    record.key_count = 0;
    record.button_count = 0;
    std::copy(held_keys_.begin(), held_keys_.end(), record.keys);
    std::copy(held_buttons_.begin(), held_buttons_.end(), record.buttons);
    record.locked = sent_mods_.locked;
    record.group = sent_mods_.group;
    record.key_count = static_cast<uint32_t>(held_keys_.size());
    record.button_count = static_cast<uint32_t>(held_buttons_.size());
}

void Desktop::set_modifiers(const ModifierState& mods)
{
    if (mods == sent_mods_) return;
    zwp_virtual_keyboard_v1_modifiers(keyboard_.get(), mods.depressed, mods.latched, mods.locked, mods.group);
    sent_mods_ = mods;
}

// The compositor does not work out a virtual keyboard's modifier state from
// its keys: after each key that changes it, the state goes as well, as a real
// keyboard's would.
void Desktop::key(uint32_t key, bool pressed, uint32_t time)
{
    zwp_virtual_keyboard_v1_key(keyboard_.get(), time, key, pressed ? pressed_state : released_state);
    if (const auto changed = layout_.key(key, pressed)) set_modifiers(*changed);
}

void Desktop::button(uint32_t button, bool pressed, uint32_t time)
{
    zwlr_virtual_pointer_v1_button(pointer_device_.get(), time, button, pressed ? pressed_state : released_state);
    zwlr_virtual_pointer_v1_frame(pointer_device_.get());
}

// Each notch as a wheel sends it: its source, the angle with its discrete
// step, and a frame of its own; and, as a wheel spun fast sends them, each
// after the one before has reached the window and a few milliseconds have
// passed. Chromium, when it falls behind, loses notches of a burst (one of
// five in about one burst of eight on a loaded machine); spaced so, none.
Result<> Desktop::wheel(uint32_t axis, int32_t notches, uint32_t& time)
{
    const int32_t step = notches > 0 ? 1 : -1;
    const bool discrete =
        wl_proxy_get_version(reinterpret_cast<wl_proxy*>(pointer_device_.get())) >=
        ZWLR_VIRTUAL_POINTER_V1_AXIS_DISCRETE_SINCE_VERSION;
    timespec sent{};
    for (int32_t i = 0; i != notches; i += step) {
        if (i != 0) {
            if (auto r = event_queue_.roundtrip(); !r) return std::unexpected(r.error().to_error());
            const timespec due{sent.tv_sec + (sent.tv_nsec + notch_gap_ns) / 1'000'000'000,
                               (sent.tv_nsec + notch_gap_ns) % 1'000'000'000};
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
            }
            time = monotonic_ms();
        }
        ::clock_gettime(CLOCK_MONOTONIC, &sent);
        zwlr_virtual_pointer_v1_axis_source(pointer_device_.get(), WL_POINTER_AXIS_SOURCE_WHEEL);
        const wl_fixed_t value = wl_fixed_from_double(notch_degrees * step);
        if (discrete) zwlr_virtual_pointer_v1_axis_discrete(pointer_device_.get(), time, axis, value, step);
        else zwlr_virtual_pointer_v1_axis(pointer_device_.get(), time, axis, value);
        zwlr_virtual_pointer_v1_frame(pointer_device_.get());
    }
    return {};
}

Result<> Desktop::send(const InputStep& step)
{
    if (auto r = usable(); !r) return r;
    if (step.motion)
        if (auto r = check_point(step.motion->first, step.motion->second); !r) return r;
    if (auto r = check_capacity(step); !r) return r;
    if (step.layout && *step.layout >= layout_.layout_count())
        return invalid("the keymap has no layout " + std::to_string(*step.layout));

    uint32_t time = monotonic_ms();
    const auto holds = [](std::span<const uint32_t> held, uint32_t code) {
        return std::find(held.begin(), held.end(), code) != held.end();
    };
    const auto let_go = [](std::vector<uint32_t>& held, uint32_t code) {
        held.erase(std::remove(held.begin(), held.end(), code), held.end());
    };
    // What the step would press that is down already stays as it is: it is
    // neither pressed again nor released by the same step.
    auto& [press_keys, press_buttons, release_keys, release_buttons] = scratch_;
    press_keys.clear();
    press_buttons.clear();
    release_keys.clear();
    release_buttons.clear();
    for (uint32_t k : step.keys_down)
        if (!holds(held_keys_, k) && !holds(press_keys, k)) press_keys.push_back(k);
    for (uint32_t b : step.buttons_down)
        if (!holds(held_buttons_, b) && !holds(press_buttons, b)) press_buttons.push_back(b);
    const auto kept = [&](std::span<const uint32_t> wanted, std::span<const uint32_t> pressed, uint32_t code) {
        return holds(wanted, code) && !holds(pressed, code);
    };
    // The record lists what goes down before it goes down, and keeps what comes
    // up until it is up: a guard that acts in between sends a release too many,
    // which harms nothing, never one too few.
    held_keys_.insert(held_keys_.end(), press_keys.begin(), press_keys.end());
    held_buttons_.insert(held_buttons_.end(), press_buttons.begin(), press_buttons.end());
    publish_held();

    const uint32_t layout_before = layout_.modifiers().group;
    if (step.layout) set_modifiers(layout_.lock_layout(*step.layout));
    for (uint32_t k : press_keys) key(k, true, time);
    if (step.motion) {
        // Absolute motion spans the bounding box of the layout.
        const Box box = layout_box();
        zwlr_virtual_pointer_v1_motion_absolute(pointer_device_.get(), time,
                                                static_cast<uint32_t>(step.motion->first - box.x),
                                                static_cast<uint32_t>(step.motion->second - box.y),
                                                static_cast<uint32_t>(box.width), static_cast<uint32_t>(box.height));
        zwlr_virtual_pointer_v1_frame(pointer_device_.get());
        pointer_ = step.motion;
    }
    for (uint32_t b : press_buttons) button(b, true, time);
    Result<> turned = {};
    if (step.wheel_y) turned = wheel(WL_POINTER_AXIS_VERTICAL_SCROLL, step.wheel_y, time);
    if (turned && step.wheel_x) turned = wheel(WL_POINTER_AXIS_HORIZONTAL_SCROLL, step.wheel_x, time);
    for (uint32_t b : step.buttons_up)
        if (holds(held_buttons_, b) && !kept(step.buttons_down, press_buttons, b) && !holds(release_buttons, b))
            release_buttons.push_back(b);
    for (uint32_t k : step.keys_up)
        if (holds(held_keys_, k) && !kept(step.keys_down, press_keys, k) && !holds(release_keys, k))
            release_keys.push_back(k);
    for (uint32_t b : release_buttons) button(b, false, time);
    for (uint32_t k : release_keys) key(k, false, time);
    if (step.layout) set_modifiers(layout_.lock_layout(layout_before));

    // A wheel turn whose round trip failed broke the session: nothing more goes out.
    if (!turned) return turned;
    auto done = event_queue_.roundtrip();
    for (uint32_t b : release_buttons) let_go(held_buttons_, b);
    for (uint32_t k : release_keys) let_go(held_keys_, k);
    publish_held();
    if (!done) return std::unexpected(done.error().to_error());
    return {};
}

Desktop::Box Desktop::layout_box() const
{
    int32_t left = INT32_MAX, top = INT32_MAX, right = INT32_MIN, bottom = INT32_MIN;
    for (const auto& [global_name, output] : app_data_->outputs) {
        const auto [x, y, w, h] = geometry(output);
        left = std::min(left, x);
        top = std::min(top, y);
        right = std::max(right, x + w);
        bottom = std::max(bottom, y + h);
    }
    return left > right ? Box{0, 0, 0, 0} : Box{left, top, right - left, bottom - top};
}

Readers::Settled Desktop::wait_for_readers(std::chrono::milliseconds patience)
{
    if (!readers_looked_for_) {
        readers_looked_for_ = true;
        readers_ = Readers::find(wl_display_get_fd(event_queue_.display()));
    }
    if (!readers_) return Readers::Settled::CaughtUp;
    const auto settled = readers_->settle(patience);
    // While a window is behind, the next typing looks first.
    unlooked_ = settled == Readers::Settled::CaughtUp ? 0 : SIZE_MAX / 2;
    return settled;
}

Result<size_t> Desktop::type(const std::vector<Keystroke>& strokes, std::chrono::milliseconds patience)
{
    if (auto r = usable(); !r) return std::unexpected(std::move(r.error()));
    for (const auto& stroke : strokes) {
        if (stroke.layout && *stroke.layout >= layout_.layout_count())
            return invalid("the keymap has no layout " + std::to_string(*stroke.layout));
        if (held_keys_.size() + stroke.keys.size() > HeldRecord::max_keys)
            return invalid("more than " + std::to_string(HeldRecord::max_keys) + " keys held at once");
    }
    if (!readers_looked_for_) {
        // Growth counts from the levels before the first typing.
        readers_looked_for_ = true;
        readers_ = Readers::find(wl_display_get_fd(event_queue_.display()));
    }
    const uint32_t time = monotonic_ms();
    const size_t before = held_keys_.size();
    for (size_t start = 0; start < strokes.size(); start += strokes_per_round_trip) {
        const size_t end = std::min(strokes.size(), start + strokes_per_round_trip);
        const size_t cost = write_cost + stroke_cost * (end - start);
        const size_t budget = readers_ ? std::min<size_t>(look_budget, readers_->smallest_buffer() / 4) : 0;
        if (readers_ && unlooked_ + cost > budget && wait_for_readers(patience) != Readers::Settled::CaughtUp)
            return start;
        unlooked_ += cost;
        for (size_t i = start; i < end; ++i) {
            const Keystroke& stroke = strokes[i];
            std::vector<uint32_t> pressed;
            for (uint32_t k : stroke.keys)
                if (std::find(held_keys_.begin(), held_keys_.end(), k) == held_keys_.end()) {
                    held_keys_.push_back(k);
                    pressed.push_back(k);
                }
            publish_held();
            const uint32_t layout_before = layout_.modifiers().group;
            if (stroke.layout) set_modifiers(layout_.lock_layout(*stroke.layout));
            for (uint32_t k : pressed) key(k, true, time);
            for (auto k = pressed.rbegin(); k != pressed.rend(); ++k) key(*k, false, time);
            if (stroke.layout) set_modifiers(layout_.lock_layout(layout_before));
            held_keys_.resize(before);
        }
        auto done = event_queue_.roundtrip();
        publish_held();
        if (!done) return std::unexpected(done.error().to_error());
    }
    return strokes.size();
}

Result<> Desktop::release_all()
{
    if (held_keys_.empty() && held_buttons_.empty()) return {};
    const std::vector<uint32_t> buttons(held_buttons_.rbegin(), held_buttons_.rend());
    const std::vector<uint32_t> keys(held_keys_.rbegin(), held_keys_.rend());
    InputStep step;
    step.buttons_up = buttons;
    step.keys_up = keys;
    return send(step);
}

Result<> Desktop::upload_keymap(const std::string& text, std::vector<KeyboardLayout::Placed> placed)
{
    // A memory file of the text and its NUL, as keymaps are passed.
    Fd file(::memfd_create("pravlin-keymap", MFD_CLOEXEC));
    if (!file) return fail("failed to pass the keymap", {os_error_text(errno)});
    const char* data = text.c_str();
    size_t left = text.size() + 1;
    while (left > 0) {
        const ssize_t n = ::write(file.get(), data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail("failed to pass the keymap", {os_error_text(n < 0 ? errno : EIO)});
        data += n;
        left -= static_cast<size_t>(n);
    }
    zwp_virtual_keyboard_v1_keymap(keyboard_.get(), WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, file.get(),
                                   static_cast<uint32_t>(text.size() + 1));
    if (auto r = event_queue_.roundtrip(); !r) return std::unexpected(r.error().to_error());
    return layout_.replace(text, held_keys_, std::move(placed));
}

Result<std::optional<std::vector<uint32_t>>> Desktop::add_keysyms(const std::vector<uint32_t>& keysyms,
                                                                  bool reassign)
{
    if (auto r = usable(); !r) return std::unexpected(std::move(r.error()));
    std::vector<uint32_t> keys;
    std::vector<KeyboardLayout::Placed> placed;
    bool reassigns = false;
    // A held key keeps what it had, or its release would undo something else.
    auto text = layout_.extended(keysyms, held_keys_, placed, keys, reassigns);
    if (!text) return std::unexpected(std::move(text.error()));
    if (reassigns && !reassign) return std::nullopt;
    const auto& before = layout_.placed();
    const bool same = placed.size() == before.size() &&
                      std::is_permutation(placed.begin(), placed.end(), before.begin(), [](const auto& a, const auto& b) {
                          return a.key == b.key && a.keysym == b.keysym;
                      });
    if (same) {
        layout_.reorder(std::move(placed));
        return keys;
    }
    if (auto r = upload_keymap(*text, std::move(placed)); !r) return std::unexpected(std::move(r.error()));
    return keys;
}

std::vector<uint32_t> Desktop::added_keys() const
{
    std::vector<uint32_t> keys;
    for (const auto& p : layout_.placed()) keys.push_back(p.key);
    return keys;
}

Result<> Desktop::restore_keymap()
{
    if (layout_.placed().empty()) return {};
    if (auto r = usable(); !r) return r;
    // The seat's own text, byte for byte, so that windows get back exactly the
    // keymap they had.
    return upload_keymap(layout_.seat_text(), {});
}

Result<Image> screenshot(AppData& app_data, EventQueue& queue, Capture& capture,
                         const std::optional<std::string>& screen_name)
{
    if (auto chosen = choose_output(app_data, screen_name); !chosen) return std::unexpected(std::move(chosen.error()));
    CaptureRequest request;
    if (screen_name) request.screens.push_back(*screen_name);
    auto frames = capture.next(app_data, queue, request);
    if (!frames) return std::unexpected(std::move(frames.error()));
    return std::move(frames->front().image);
}

Result<Viewer> connect_viewer(const std::optional<std::string>& wayland_display)
{
    auto connection = open_connection(wayland_display, true);
    if (!connection) return std::unexpected(std::move(connection.error()));
    auto& [queue, app_data] = *connection;
    // This round trip brings what the outputs' xdg_outputs, asked for in the
    // first, have to say.
    if (auto r = queue.roundtrip(); !r) return r.error().fails_construction("round trip failed while discovering globals");
    if (auto named = wait_for_output_names(*app_data, queue); !named) return std::unexpected(std::move(named.error()));
    return Viewer(std::move(queue), std::move(app_data));
}

std::vector<OutputPlace> Viewer::outputs() const { return places(*app_data_); }

}  // namespace pravlin_lib
