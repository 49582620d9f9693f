// How far the compositor's other clients are behind in reading what it sent
// them, as the kernel's sock_diag reports it for Unix sockets.
//
// Round trips pace the compositor, not the window that receives our keys: the
// compositor turns each key into events for the focused client and writes
// them to that client's socket at once. A client that reads slower than we
// type lets them pile up on the compositor's end of its connection, whose
// send buffer (net.core.wmem_default, 208 KiB as shipped) fills; libwayland-
// server (1.21 on Debian 12) then keeps 4 KiB of its own and, once that is
// full too, drops the client. The compositor's accepted sockets carry the
// address of its listening socket, which is how we find them; what is queued
// on each is what its client has not read, counted as the send buffer counts
// it (with the kernel's overhead per write).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "wl.hpp"

namespace pravlin_lib {

class Readers {
public:
    // The compositor's clients, found from our end of the connection. Nothing
    // when the kernel cannot tell (no sock_diag for Unix sockets, a compositor
    // in another network namespace, a connection from a socket pair): typing
    // is then paced by round trips alone.
    static std::optional<Readers> find(int our_socket);

    Readers(Readers&&) noexcept = default;
    Readers& operator=(Readers&&) noexcept = default;

    struct Backlog {
        uint32_t inode;   // the compositor's end of the client's connection
        uint32_t queued;  // bytes of the send buffer in use
        uint32_t buffer;  // the send buffer's size
    };

    enum class Settled { CaughtUp, Reading, Stalled };
    // Looks at every client; one whose backlog grew since the previous look
    // and is more than a quarter of its send buffer is behind (our keys went
    // to it), and stays so until it is back under that. Waits while a client
    // is behind, at most `patience`: then Reading when one of them read
    // something meanwhile, Stalled when none did. Clients that joined since
    // the previous look count from the level they join at. CaughtUp too when
    // the kernel stops answering.
    Settled settle(std::chrono::milliseconds patience);
    // The smallest send buffer of the clients at the last look.
    uint32_t smallest_buffer() const { return smallest_buffer_; }

private:
    Readers(Fd netlink, uint32_t own_inode, std::vector<char> address)
        : netlink_(std::move(netlink)), own_inode_(own_inode), address_(std::move(address)) {}
    bool read(std::vector<Backlog>& out);

    Fd netlink_;
    uint32_t own_inode_;         // the compositor's end of our own connection
    std::vector<char> address_;  // the listening socket's address, as the kernel reports it
    std::vector<Backlog> seen_, now_;
    std::vector<uint32_t> behind_;  // inodes
    std::vector<char> buffer_;
    uint32_t sequence_ = 0;
    uint32_t smallest_buffer_ = 212992;  // net.core.wmem_default as shipped
};

}  // namespace pravlin_lib
