#include "queue.hpp"

#include "log.hpp"
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

// What one of libwayland's lines about an undecodable event tells. The
// lines come in these shapes (1.21 to 1.23):
//   interface 'wl_output' has no event 7
//   message too short, object (5), message name(4s)
//   file descriptor expected, object (9), message keymap(uhu)
//   NULL string received on non-nullable type, message global(usu)
//   unknown object (77), message error(ous)          (77: the argument's id)
//   invalid object (3), type (wl_seat), message enter(uoa)
//   too many args (21) for name (signature 4s)
//   message too short, invalid header
// Only the ", object (N), message" shapes give the receiving object's id.
struct BadMessageLine {
    std::string_view interface;          // as named by the line
    std::string_view name, signature;    // the message, as named by the line
    std::optional<uint32_t> receiver;
    std::optional<uint32_t> opcode;
    bool header_only = false;            // nothing but "invalid header"
};

std::optional<uint32_t> leading_number(std::string_view text)
{
    uint32_t value = 0;
    size_t digits = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits)
        value = value * 10 + static_cast<uint32_t>(text[digits] - '0');
    if (digits == 0) return std::nullopt;
    return value;
}

std::optional<BadMessageLine> parse_bad_message(std::string_view line)
{
    BadMessageLine out;
    constexpr std::string_view no_event_head = "interface '", no_event_mid = "' has no event ";
    if (line.starts_with(no_event_head)) {
        const size_t end = line.find(no_event_mid);
        if (end == std::string_view::npos) return std::nullopt;
        out.interface = line.substr(no_event_head.size(), end - no_event_head.size());
        out.opcode = leading_number(line.substr(end + no_event_mid.size()));
        return out;
    }
    if (line == "message too short, invalid header") {
        out.header_only = true;
        return out;
    }
    constexpr std::string_view message_head = "message ", signature_head = " (signature ";
    const size_t paren = line.rfind('(');
    if (line.ends_with(')') && paren != std::string_view::npos) {
        const size_t head = line.rfind(message_head, paren);
        const std::string_view name = head == std::string_view::npos
                                          ? std::string_view{}
                                          : line.substr(head + message_head.size(), paren - head - message_head.size());
        if (head != std::string_view::npos && (head == 0 || line[head - 1] == ' ') && !name.empty() &&
            name.find(' ') == std::string_view::npos) {
            out.name = name;
            out.signature = line.substr(paren + 1, line.size() - paren - 2);
            constexpr std::string_view receiver_head = ", object (";
            if (const size_t at = line.find(receiver_head); at != std::string_view::npos && at < head)
                out.receiver = leading_number(line.substr(at + receiver_head.size()));
            return out;
        }
        // "... for NAME (signature SIG)"
        const size_t sig = line.rfind(signature_head);
        const size_t for_at = sig == std::string_view::npos ? sig : line.rfind(" for ", sig);
        if (sig != std::string_view::npos && for_at != std::string_view::npos) {
            out.name = line.substr(for_at + 5, sig - for_at - 5);
            out.signature = line.substr(sig + signature_head.size(),
                                        line.size() - 1 - sig - signature_head.size());
            return out;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<DispatchFailure> EventQueue::bad_message(std::string_view line) const
{
    auto parsed = parse_bad_message(line);
    if (!parsed) return std::nullopt;
    DispatchFailure f{DispatchFailure::Kind::BadMessage, {}, 0, {}};
    if (parsed->header_only) {
        f.inner = std::string(line);
        return f;
    }
    std::string_view interface = parsed->interface;
    if (interface.empty()) {
        // The receiving interface is the one that has an event of this name and
        // signature; among the interfaces the session can receive, each pair is unique.
        for (const wl_interface* candidate : receivable) {
            if (parsed->receiver == 1u && candidate != &wl_display_interface) continue;
            for (int op = 0; op < candidate->event_count && interface.empty(); ++op) {
                const wl_message& event = candidate->events[op];
                if (parsed->name == event.name && parsed->signature == event.signature) {
                    interface = candidate->name;
                    parsed->opcode = static_cast<uint32_t>(op);
                }
            }
        }
    }
    if (interface.empty()) {
        f.object = parsed->receiver ? "object " + std::to_string(*parsed->receiver) : "unknown object";
    } else {
        std::optional<uint32_t> id = parsed->receiver;
        if (!id && interface == wl_display_interface.name) id = 1;
        if (!id && resolver_) id = resolver_(interface);
        f.object = id ? object_text(interface, *id) : std::string(interface);
    }
    f.opcode = parsed->opcode.value_or(0);
    return f;
}

namespace {

// Set by a handler that failed, inside the dispatch that ran it on this thread.
enum class Lost { Nothing, NoMemory, Other };
thread_local Lost lost_event = Lost::Nothing;

}  // namespace

void note_lost_event(bool out_of_memory)
{
    if (lost_event == Lost::Nothing) lost_event = out_of_memory ? Lost::NoMemory : Lost::Other;
}

std::string DispatchFailure::render() const
{
    if (kind == Kind::OutOfMemory) return "out of memory while handling an event";
    if (kind == Kind::LostEvent) return "an event handler failed";
    if (kind == Kind::BadMessage && object.empty()) return "Bad message: " + inner;
    if (kind == Kind::BadMessage)
        return "Bad message for object " + object + " on opcode " + std::to_string(opcode);
    return "Backend error: " + inner;
}

Error DispatchFailure::to_error() const
{
    if (kind == Kind::Backend) return Error{render(), {inner}, false};
    return Error{render(), {}, false, kind == Kind::OutOfMemory};
}

std::unexpected<Error> DispatchFailure::fails_construction(const std::string& what) const
{
    Error error = to_error();
    if (error.out_of_memory) return std::unexpected(std::move(error));
    return internal_failure(what + ": " + render());
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

// poll() that resumes after signals until the deadline; 0 on time-out. With
// a `wake_fd` (not -1) that becomes readable, -2 (whatever `fd` has).
int poll_until(int fd, short events, Clock::time_point deadline, int wake_fd = -1)
{
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
        const int rc = ::poll(p, wake_fd < 0 ? 1 : 2, remaining_ms(deadline));
        if (rc > 0 && wake_fd >= 0 && p[1].revents != 0) return -2;
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

Dispatched EventQueue::blocking_dispatch() { return wait_and_dispatch(Clock::now() + wait_limit, true); }

Dispatched EventQueue::dispatch_until(Clock::time_point deadline, int wake_fd, bool& woken)
{
    woken = false;
    return wait_and_dispatch(deadline, false, wake_fd, &woken);
}

Dispatched EventQueue::wait_and_dispatch(Clock::time_point deadline, bool silence_fails, int wake_fd, bool* woken)
{
    if (broken_) return std::unexpected(*broken_);
    wayland_log_lines.clear();
    wl_display* display = display_.get();
    wl_event_queue* queue = queue_.get();

    // Events already queued are dispatched without touching the socket.
    if (wl_display_prepare_read_queue(display, queue) != 0) return dispatch_pending();
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
    if (const int ready = poll_until(wl_display_get_fd(display), POLLIN, deadline, wake_fd); ready <= 0) {
        wl_display_cancel_read(display);
        if (ready == -2) {
            *woken = true;
            return 0;
        }
        if (ready == 0 && !silence_fails) return 0;
        return std::unexpected(wait_failed(ready == 0 ? ETIMEDOUT : errno));
    }
    if (wl_display_read_events(display) < 0) return std::unexpected(failure());
    return dispatch_pending();
}

Dispatched EventQueue::dispatch_pending()
{
    log::Deferred records;
    lost_event = Lost::Nothing;
    const int n = wl_display_dispatch_queue_pending(display_.get(), queue_.get());
    // Classified first: forwarding may run host code that dispatches another
    // session on this thread, which starts its own capture of libwayland's lines.
    std::optional<DispatchFailure> failed;
    if (const Lost lost = std::exchange(lost_event, Lost::Nothing); lost != Lost::Nothing && !broken_)
        broken_ = DispatchFailure{lost == Lost::NoMemory ? DispatchFailure::Kind::OutOfMemory
                                                         : DispatchFailure::Kind::LostEvent,
                                  {}, 0, {}};
    if (n < 0 || broken_) failed = failure();
    records.forward();
    if (failed) return std::unexpected(std::move(*failed));
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
        // A protocol error's text is the compositor's own and may look like anything.
        if (auto line = parse_protocol_error(*it)) {
            const std::string object =
                interface ? std::string(interface->name) + "@" + std::to_string(id) : line->object;
            return {DispatchFailure::Kind::Backend, {}, 0,
                    "Protocol error " + (interface ? std::to_string(code) : line->code) +
                        " on object " + object + ": " + line->message};
        }
        if (auto bad = bad_message(*it)) return *bad;
    }
    if (interface)
        return {DispatchFailure::Kind::Backend, {}, 0,
                "Protocol error " + std::to_string(code) + " on object " + interface->name + "@" +
                    std::to_string(id) + ": "};
    return {DispatchFailure::Kind::Backend, {}, 0, "Io error: " + os_error_text(err ? err : EIO)};
}

}  // namespace pravlin_lib
