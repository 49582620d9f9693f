// pravlin-desktop-guard: started by every pravlin_desktop connection with
//   fd 3  a duplicate of the connection's socket
//   fd 4  the shared record of what the connection holds down
//   fd 5  a pipe whose write end only the connection's process holds.
// It waits for the pipe to end. If the process let go of everything first
// (a closed Desktop), there is nothing to do; if it died holding keys or
// buttons, their releases go out on its connection before the connection
// closes.

#include <cerrno>
#include <csignal>
#include <sys/mman.h>
#include <unistd.h>

#include "pravlin_lib/held.hpp"

int main()
{
    // Whatever else was inherited is not ours to keep open.
    ::close_range(6, ~0u, 0);
    std::signal(SIGPIPE, SIG_IGN);
    char byte;
    for (;;) {
        const ssize_t n = ::read(5, &byte, 1);
        if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
    void* mapped = ::mmap(nullptr, sizeof(pravlin_lib::HeldRecord), PROT_READ, MAP_SHARED, 4, 0);
    if (mapped == MAP_FAILED) return 1;
    const auto& record = *static_cast<const pravlin_lib::HeldRecord*>(mapped);
    return pravlin_lib::write_releases(3, record, pravlin_lib::monotonic_ms()) ? 0 : 1;
}
