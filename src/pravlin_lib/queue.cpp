#include "queue.hpp"

#include <cerrno>
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

// "interface 'wl_output' has no event 7"
std::optional<DispatchFailure> parse_unknown_event(std::string_view line)
{
    constexpr std::string_view head = "interface '", mid = "' has no event ";
    if (!line.starts_with(head)) return std::nullopt;
    const size_t end = line.find(mid);
    if (end == std::string_view::npos) return std::nullopt;
    DispatchFailure f{DispatchFailure::Kind::BadMessage, {}, 0, {}};
    f.object = std::string(line.substr(head.size(), end - head.size()));
    f.opcode = static_cast<uint32_t>(std::strtoul(std::string(line.substr(end + mid.size())).c_str(), nullptr, 10));
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

Dispatched EventQueue::roundtrip()
{
    wayland_log_lines.clear();
    const int n = wl_display_roundtrip_queue(display_.get(), queue_.get());
    if (n < 0) return std::unexpected(failure());
    return n;
}

Dispatched EventQueue::blocking_dispatch()
{
    wayland_log_lines.clear();
    const int n = wl_display_dispatch_queue(display_.get(), queue_.get());
    if (n < 0) return std::unexpected(failure());
    return n;
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
        if (auto bad = parse_unknown_event(*it)) return *bad;
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
