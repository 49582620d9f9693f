// The session's one event queue and the two ways of waiting on it.
#pragma once

#include <cstdint>
#include <chrono>
#include <expected>
#include <functional>
#include <string_view>
#include <optional>
#include <string>

#include "error.hpp"
#include "wl.hpp"

namespace pravlin_lib {

// Why a round trip or a blocking dispatch failed.
struct DispatchFailure {
    // OutOfMemory, LostEvent: a handler could not take its event in, so the
    // session no longer knows what the compositor told it.
    enum class Kind { BadMessage, Backend, OutOfMemory, LostEvent };
    Kind kind;
    // BadMessage: the object the undecodable message was for, and its opcode;
    // with no object known, `inner` holds libwayland's own words.
    std::string object;
    uint32_t opcode = 0;
    // Backend: "Io error: ..." or "Protocol error ...".
    std::string inner;

    std::string render() const;
    Error to_error() const;
    // A round trip of construction that failed: an internal failure "<what>:
    // <rendering>", except that running out of memory stays that.
    std::unexpected<Error> fails_construction(const std::string& what) const;
};

// Called by an event handler that could not complete; the dispatch running
// it then fails with LostEvent.
void note_lost_event(bool out_of_memory);

using Dispatched = std::expected<int, DispatchFailure>;

// How long one wait may go without the compositor sending anything. A peer
// that accepts the connection and then never answers would otherwise hold
// the caller, who keeps the interpreter lock and cannot be interrupted,
// forever. Any live compositor answers a sync at once.
inline constexpr std::chrono::seconds wait_limit{10};

// Handle under which new protocol objects are created so that their events
// arrive on the session queue: a display wrapper attached to that queue.
using QueueHandle = wl_display*;

class EventQueue {
public:
    // Takes the connection over; the queue keeps it open for its whole life.
    static Result<EventQueue> create(DisplayPtr display);

    EventQueue(EventQueue&&) noexcept = default;
    // Member-wise assignment would disconnect the old display before its
    // queue and wrapper are destroyed.
    EventQueue& operator=(EventQueue&&) = delete;

    QueueHandle handle() const { return wrapper_.get(); }
    wl_display* display() const { return display_.get(); }

    // Sends wl_display.sync and dispatches this queue until its done arrives.
    Dispatched roundtrip();
    // Names the session's one object of an interface, for failures where
    // libwayland gives the interface but not the object id.
    using ObjectResolver = std::function<std::optional<uint32_t>(std::string_view interface)>;
    void resolve_objects_with(ObjectResolver resolver) { resolver_ = std::move(resolver); }

    // Sends what is queued without waiting for anything; a failure shows up in
    // the next wait.
    void flush() { wl_display_flush(display_.get()); }
    // The failure that broke the session, if one did. A broken session sends
    // nothing more: after a time-out nobody knows which of its requests the
    // compositor has acted on, and a release sent later could land anywhere.
    const std::optional<DispatchFailure>& broken() const { return broken_; }
    // Dispatches what is queued; with nothing queued, flushes, waits for the
    // socket (at most `wait_limit`) and dispatches what it read.
    Dispatched blocking_dispatch();
    // The same, waiting until `deadline` at most: silence until then is an
    // answer (0 events), not a failure, for a wait on something that may
    // never come (a change of the screen). A `wake_fd` (-1: none) that
    // becomes readable first ends the wait too, with `woken` set; the fd is
    // left as it is.
    Dispatched dispatch_until(std::chrono::steady_clock::time_point deadline, int wake_fd, bool& woken);

private:
    EventQueue(DisplayPtr display, wl_event_queue* queue, wl_display* wrapper)
        : display_(std::move(display)), queue_(queue), wrapper_(wrapper) {}
    // A broken connection stays broken: the first failure is kept so that
    // every later wait reports the same thing.
    DispatchFailure failure();
    DispatchFailure classify() const;
    // The failure one of libwayland's log lines describes, when it is about a
    // message that could not be decoded.
    std::optional<DispatchFailure> bad_message(std::string_view line) const;
    DispatchFailure wait_failed(int errnum);
    Dispatched wait_and_dispatch(std::chrono::steady_clock::time_point deadline, bool silence_fails,
                                 int wake_fd = -1, bool* woken = nullptr);
    // Dispatches what is queued, then forwards the log records its handlers made.
    Dispatched dispatch_pending();

    DisplayPtr display_;
    struct QueueFree {
        void operator()(wl_event_queue* q) const { wl_event_queue_destroy(q); }
    };
    std::unique_ptr<wl_event_queue, QueueFree> queue_;
    struct WrapperFree {
        void operator()(wl_display* w) const { wl_proxy_wrapper_destroy(w); }
    };
    std::unique_ptr<wl_display, WrapperFree> wrapper_;
    std::optional<DispatchFailure> broken_;
    ObjectResolver resolver_;
};

}  // namespace pravlin_lib
