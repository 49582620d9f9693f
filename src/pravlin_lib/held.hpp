// What a session holds down, kept where a second process can release it.
//
// A client that dies with a key or button down leaves it down: the compositor
// drops the virtual devices with the connection but sends nobody a release,
// so a focused window repeats the key and sway keeps routing the pointer as if
// in a drag. The guard is a small process that shares the client's connection
// (a duplicate of its socket) and a page of memory with it. It waits for the
// client to die; then it writes the releases of whatever the page lists onto
// the socket, as whole requests of the client's own virtual keyboard and
// pointer, and closes it, so that the compositor applies them in order after
// everything the client sent. Every operation ends with a round trip, so a
// client that dies between operations leaves its stream at a message boundary.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "error.hpp"
#include "wl.hpp"

namespace pravlin_lib {

struct HeldRecord {
    static constexpr uint32_t max_keys = 32;
    static constexpr uint32_t max_buttons = 16;

    uint32_t keyboard_id;
    uint32_t pointer_id;
    uint32_t key_count;
    uint32_t keys[max_keys];
    uint32_t button_count;
    uint32_t buttons[max_buttons];
    // The modifier locks and layout to leave behind.
    uint32_t locked;
    uint32_t group;
};

// The guard process of one connection. Dropping it ends the guard (which then
// finds nothing to release) and reaps it.
//
// A child forked without exec inherits the connection, the pipe's write end
// and the Guard with them, but not the guard: the guard watches this process
// (a pidfd), and the pipe only tells it of a closed connection or an exec.
// In such a child the Guard is inert: dropping it only closes the child's
// copy of the write end.
class Guard {
public:
    // Starts `program` with: fd 3 a duplicate of the connection's socket, fd 4
    // the record's memory, fd 5 the read end of a pipe whose write end this
    // process holds, and, with the argument "pidfd", fd 6 a pidfd of this
    // process (where the kernel has pidfd_open).
    static Result<Guard> start(const std::string& program, int socket_fd, uint32_t keyboard_id,
                               uint32_t pointer_id);

    Guard(Guard&& other) noexcept;
    Guard& operator=(Guard&&) = delete;
    Guard(const Guard&) = delete;
    ~Guard();

    HeldRecord& record() { return *record_; }
    // False in a child forked from the process that started the guard.
    bool ours() const;

private:
    Guard(pid_t pid, Fd alive, HeldRecord* record) : pid_(pid), alive_(std::move(alive)), record_(record) {}

    pid_t pid_;
    pid_t owner_ = ::getpid();
    Fd alive_;
    HeldRecord* record_;
};

// The guard's side: writes, as one write, a release for every key and button
// in `record` (each button release closed by a frame) and the modifier state
// that none are held. False when the socket refused it.
bool write_releases(int socket_fd, const HeldRecord& record, uint32_t time_ms);

// Ends the guard's share of the connection once the compositor has read
// everything on it. Closing outright would not do: a compositor that sees the
// socket hung up drops the client without reading what is still queued.
// Shutting down the sending side shows it the end of the stream behind the
// releases instead; it reads them, then closes, which ends our wait (at most
// a few seconds).
void hang_up_after_reading(int socket_fd);

// Milliseconds of the monotonic clock, which input devices stamp events with.
uint32_t monotonic_ms();

}  // namespace pravlin_lib
