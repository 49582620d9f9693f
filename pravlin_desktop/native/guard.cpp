// pravlin-desktop-guard: started by every pravlin_desktop connection with
//   fd 3  a duplicate of the connection's socket
//   fd 4  the shared record of what the connection holds down
//   fd 5  a pipe whose write end the connection's process holds
//   fd 6  a pidfd of that process, when the first argument is "pidfd"
//         (kernels before 5.3 have none).
// It waits for the process to end (the pidfd), to exec (the pipe ends) or to
// close the connection (a byte on the pipe: forked children may hold the
// write end open). If the process let go of everything first (a closed
// Desktop), there is nothing to do; if it died holding keys or buttons,
// their releases go out on its connection before the connection closes.

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

#include "pravlin_lib/held.hpp"

int main(int argc, char** argv)
{
    const bool pidfd = argc > 1 && std::string_view(argv[1]) == "pidfd";
    // Whatever else was inherited is not ours to keep open.
    ::close_range(pidfd ? 7 : 6, ~0u, 0);
    std::signal(SIGPIPE, SIG_IGN);
    pollfd watched[2] = {{5, POLLIN, 0}, {6, POLLIN, 0}};
    const nfds_t count = pidfd ? 2 : 1;
    while (::poll(watched, count, -1) < 0 && errno == EINTR) {
    }
    void* mapped = ::mmap(nullptr, sizeof(pravlin_lib::HeldRecord), PROT_READ, MAP_SHARED, 4, 0);
    if (mapped == MAP_FAILED) return 1;
    const auto& record = *static_cast<const pravlin_lib::HeldRecord*>(mapped);
    const bool sent = pravlin_lib::write_releases(3, record, pravlin_lib::monotonic_ms());
    pravlin_lib::hang_up_after_reading(3);
    return sent ? 0 : 1;
}
