#include "queue.hpp"

#include "screencopy-client-protocol.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string_view>

namespace pravlin_lib {

namespace {

// libwayland reports what it received from the compositor (the text of a
// protocol error, a message it could not decode) only through its log
// handler. We keep the last lines per thread so that a failed dispatch can
// say what went wrong, and still print them as libwayland would.
thread_local std::deque<std::string> wayland_log_lines;

void capture_wayland_log(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    char buf[512];
    std::vsnprintf(buf, sizeof buf, format, copy);
    va_end(copy);
    std::string line(buf);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    if (wayland_log_lines.size() == 8) wayland_log_lines.pop_front();
    wayland_log_lines.push_back(std::move(line));
    std::vfprintf(stderr, format, args);
}

void install_log_capture()
{
    static std::once_flag once;
    std::call_once(once, [] { wl_log_set_handler_client(capture_wayland_log); });
}

struct ProtocolErrorLine {
    std::string object;
    std::string code;
    std::string message;
};

// "wl_seat@3: error 1: bad thing" or "[destroyed object]: error 1: bad thing"
std::optional<ProtocolErrorLine> parse_protocol_error(std::string_view line)
{
    const size_t at = line.find(": error ");
    if (at == std::string_view::npos) return std::nullopt;
    const size_t code_end = line.find(": ", at + 8);
    if (code_end == std::string_view::npos) return std::nullopt;
    return ProtocolErrorLine{std::string(line.substr(0, at)),
                             std::string(line.substr(at + 8, code_end - at - 8)),
                             std::string(line.substr(code_end + 2))};
}

// Interfaces whose events the session can receive.
const wl_interface* const receivable[] = {
    &wl_display_interface, &wl_registry_interface, &wl_callback_interface, &wl_seat_interface,
    &wl_keyboard_interface, &wl_output_interface, &wl_shm_interface, &wl_buffer_interface,
    &zwlr_screencopy_frame_v1_interface,
};

std::string object_text(std::string_view interface, uint32_t id)
{
    return std::string(interface) + "@" + std::to_string(id);
}

// libwayland's words for a message it could not decode:
//   "interface 'wl_output' has no event 7"
//   "message too short, object (1), message delete_id(u)"
std::optional<DispatchFailure> parse_bad_message(std::string_view line)
{
    DispatchFailure f{DispatchFailure::Kind::BadMessage, {}, 0, {}};
    constexpr std::string_view head = "interface '", mid = "' has no event ";
    if (line.starts_with(head)) {
        const size_t end = line.find(mid);
        if (end == std::string_view::npos) return std::nullopt;
        const std::string_view interface = line.substr(head.size(), end - head.size());
        // The display is always object 1; for others libwayland does not say.
        f.object = interface == "wl_display" ? object_text(interface, 1) : std::string(interface);
        f.opcode = static_cast<uint32_t>(std::strtoul(std::string(line.substr(end + mid.size())).c_str(), nullptr, 10));
        return f;
    }
    constexpr std::string_view object_head = "object (", message_head = "), message ";
    const size_t at = line.find(object_head);
    const size_t msg = line.find(message_head);
    if (at == std::string_view::npos || msg == std::string_view::npos || msg < at) return std::nullopt;
    const auto id = static_cast<uint32_t>(
        std::strtoul(std::string(line.substr(at + object_head.size(), msg - at - object_head.size())).c_str(),
                     nullptr, 10));
    const std::string_view message = line.substr(msg + message_head.size());  // name(signature)
    const size_t paren = message.find('(');
    const std::string_view name = message.substr(0, paren);
    const std::string_view signature =
        paren == std::string_view::npos ? std::string_view{} : message.substr(paren + 1, message.size() - paren - 2);
    f.object = "object " + std::to_string(id);
    for (const wl_interface* interface : receivable) {
        if (id == 1 && interface != &wl_display_interface) continue;
        for (int op = 0; op < interface->event_count; ++op) {
            const wl_message& event = interface->events[op];
            if (name == event.name && signature == event.signature) {
                f.object = object_text(interface->name, id);
                f.opcode = static_cast<uint32_t>(op);
                return f;
            }
        }
    }
    return f;
}

}  // namespace

std::string DispatchFailure::render() const
{
    if (kind == Kind::BadMessage)
        return "Bad message for object " + object + " on opcode " + std::to_string(opcode);
    return "Backend error: " + inner;
}

Error DispatchFailure::to_error() const
{
    if (kind == Kind::BadMessage) return Error{render(), {}, false};
    return Error{render(), {inner}, false};
}

Result<EventQueue> EventQueue::create(DisplayPtr display)
{
    install_log_capture();
    wl_event_queue* queue = wl_display_create_queue(display.get());
    if (!queue) return fail("failed to create the event queue", {os_error_text(errno)});
    auto* wrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(display.get()));
    if (!wrapper) {
        wl_event_queue_destroy(queue);
        return fail("failed to create the event queue", {os_error_text(errno)});
    }
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper), queue);
    return EventQueue(std::move(display), queue, wrapper);
}

namespace {

void sync_done(void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }

const wl_callback_listener sync_listener = {.done = sync_done};

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, at least 0.
int remaining_ms(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// poll() that resumes after signals until the deadline; 0 on time-out.
int poll_until(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, remaining_ms(deadline));
        if (rc >= 0 || errno != EINTR) return rc;
    }
}

}  // namespace

Dispatched EventQueue::roundtrip()
{
    if (broken_) return std::unexpected(*broken_);
    bool done = false;
    Proxy<wl_callback> callback(wl_display_sync(wrapper_.get()));
    if (!callback) return std::unexpected(failure());
    wl_callback_add_listener(callback.get(), &sync_listener, &done);
    int total = 0;
    while (!done) {
        auto n = blocking_dispatch();
        if (!n) return n;
        total += *n;
    }
    return total;
}

Dispatched EventQueue::blocking_dispatch()
{
    if (broken_) return std::unexpected(*broken_);
    wayland_log_lines.clear();
    wl_display* display = display_.get();
    wl_event_queue* queue = queue_.get();
    const auto deadline = Clock::now() + wait_limit;

    // Events already queued are dispatched without touching the socket.
    if (wl_display_prepare_read_queue(display, queue) != 0) {
        const int n = wl_display_dispatch_queue_pending(display, queue);
        if (n < 0) return std::unexpected(failure());
        return n;
    }
    int rc;
    while ((rc = wl_display_flush(display)) < 0 && errno == EAGAIN) {
        if (const int ready = poll_until(wl_display_get_fd(display), POLLOUT, deadline); ready <= 0) {
            wl_display_cancel_read(display);
            return std::unexpected(wait_failed(ready == 0 ? ETIMEDOUT : errno));
        }
    }
    // A flush that hits a closed socket still reads: the compositor may have
    // said why it closed.
    if (rc < 0 && errno != EPIPE) {
        wl_display_cancel_read(display);
        return std::unexpected(failure());
    }
    if (const int ready = poll_until(wl_display_get_fd(display), POLLIN, deadline); ready <= 0) {
        wl_display_cancel_read(display);
        return std::unexpected(wait_failed(ready == 0 ? ETIMEDOUT : errno));
    }
    if (wl_display_read_events(display) < 0) return std::unexpected(failure());
    const int n = wl_display_dispatch_queue_pending(display, queue);
    if (n < 0) return std::unexpected(failure());
    return n;
}

DispatchFailure EventQueue::wait_failed(int errnum)
{
    // A compositor that stays silent this long is treated as gone: every
    // later wait fails the same way.
    broken_ = DispatchFailure{DispatchFailure::Kind::Backend, {}, 0, "Io error: " + os_error_text(errnum)};
    return *broken_;
}

DispatchFailure EventQueue::failure()
{
    if (!broken_) broken_ = classify();
    return *broken_;
}

DispatchFailure EventQueue::classify() const
{
    const int err = wl_display_get_error(display_.get());
    const wl_interface* interface = nullptr;
    uint32_t id = 0;
    const uint32_t code = wl_display_get_protocol_error(display_.get(), &interface, &id);

    for (auto it = wayland_log_lines.rbegin(); it != wayland_log_lines.rend(); ++it) {
        if (auto bad = parse_bad_message(*it)) {
            if (bad->object.find_first_of("@ ") == std::string::npos && resolver_)
                if (auto id = resolver_(bad->object)) bad->object = object_text(bad->object, *id);
            return *bad;
        }
        if (auto line = parse_protocol_error(*it)) {
            const std::string object =
                interface ? std::string(interface->name) + "@" + std::to_string(id) : line->object;
            return {DispatchFailure::Kind::Backend, {}, 0,
                    "Protocol error " + (interface ? std::to_string(code) : line->code) +
                        " on object " + object + ": " + line->message};
        }
    }
    if (interface)
        return {DispatchFailure::Kind::Backend, {}, 0,
                "Protocol error " + std::to_string(code) + " on object " + interface->name + "@" +
                    std::to_string(id) + ": "};
    return {DispatchFailure::Kind::Backend, {}, 0, "Io error: " + os_error_text(err ? err : EIO)};
}

}  // namespace pravlin_lib
