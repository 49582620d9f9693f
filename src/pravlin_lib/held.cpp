#include "held.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "virtual_keyboard-client-protocol.h"
#include "virtual_pointer-client-protocol.h"

extern char** environ;

namespace pravlin_lib {

namespace {

constexpr size_t record_bytes = 4096;
static_assert(sizeof(HeldRecord) <= record_bytes);

// A copy of `fd` at 10 or above, so that placing the copies at 3, 4 and 5
// in the child cannot overwrite one another.
Fd high_copy(int fd) { return Fd(::fcntl(fd, F_DUPFD_CLOEXEC, 10)); }

class SpawnSetup {
public:
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

}  // namespace

uint32_t monotonic_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

Result<Guard> Guard::start(const std::string& program, int socket_fd, uint32_t keyboard_id, uint32_t pointer_id)
{
    const auto failed = [](const char* what) { return fail("failed to start the input guard", {std::string(what) + ": " + os_error_text(errno)}); };
    Fd memory(::memfd_create("pravlin-held", MFD_CLOEXEC));
    if (!memory) return failed("memfd_create");
    if (::ftruncate(memory.get(), record_bytes) < 0) return failed("ftruncate");
    void* mapped = ::mmap(nullptr, record_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, memory.get(), 0);
    if (mapped == MAP_FAILED) return failed("mmap");
    auto* record = static_cast<HeldRecord*>(mapped);
    std::memset(record, 0, sizeof *record);
    record->keyboard_id = keyboard_id;
    record->pointer_id = pointer_id;
    const auto unmap = [&] { ::munmap(mapped, record_bytes); };

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) < 0) {
        unmap();
        return failed("pipe2");
    }
    Fd read_end(ends[0]), write_end(ends[1]);
    Fd socket_copy = high_copy(socket_fd), memory_copy = high_copy(memory.get()), read_copy = high_copy(read_end.get());
    if (!socket_copy || !memory_copy || !read_copy) {
        unmap();
        return failed("fcntl");
    }
    // Opened at 10 or above like the copies; close-on-exec, as pidfds are.
    Fd owner(static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0)));
    if (owner && owner.get() < 10) owner = high_copy(owner.get());

    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, socket_copy.get(), 3);
    posix_spawn_file_actions_adddup2(&setup.actions, memory_copy.get(), 4);
    posix_spawn_file_actions_adddup2(&setup.actions, read_copy.get(), 5);
    if (owner) posix_spawn_file_actions_adddup2(&setup.actions, owner.get(), 6);
    // A session of its own: a Ctrl-C at the terminal, or a signal to the
    // caller's process group, must not end the guard before the caller.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    posix_spawnattr_setflags(&setup.attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    // An argument says that fd 6 is the pidfd: without one, whatever the
    // caller left open at 6 is not ours to watch.
    std::string argv0 = program, watched = "pidfd";
    char* argv[] = {argv0.data(), owner ? watched.data() : nullptr, nullptr};
    pid_t pid = -1;
    if (const int rc = posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv, environ);
        rc != 0) {
        unmap();
        return fail("failed to start the input guard " + quoted(program), {os_error_text(rc)});
    }
    return Guard(pid, std::move(write_end), record);
}

Guard::Guard(Guard&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), alive_(std::move(other.alive_)),
      record_(std::exchange(other.record_, nullptr))
{
}

bool Guard::ours() const { return ::getpid() == owner_; }

Guard::~Guard()
{
    if (record_) ::munmap(record_, record_bytes);
    if (!ours() || pid_ <= 0) return;
    // The byte wakes the guard even while forked children keep copies of the
    // write end open; with nothing left to release, it exits at once.
    const char bye = 0;
    while (::write(alive_.get(), &bye, 1) < 0 && errno == EINTR) {
    }
    alive_.reset();
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

bool write_releases(int socket_fd, const HeldRecord& record, uint32_t time_ms)
{
    // Wire format: object id, then size << 16 | opcode, then the arguments.
    std::vector<uint32_t> words;
    const auto request = [&](uint32_t object, uint32_t opcode, std::initializer_list<uint32_t> args) {
        words.push_back(object);
        words.push_back(static_cast<uint32_t>((2 + args.size()) * 4) << 16 | opcode);
        words.insert(words.end(), args);
    };
    const uint32_t keys = std::min(record.key_count, HeldRecord::max_keys);
    const uint32_t buttons = std::min(record.button_count, HeldRecord::max_buttons);
    if (keys == 0 && buttons == 0) return true;
    for (uint32_t i = keys; i-- > 0;)
        request(record.keyboard_id, ZWP_VIRTUAL_KEYBOARD_V1_KEY, {time_ms, record.keys[i], 0});
    if (keys > 0)
        request(record.keyboard_id, ZWP_VIRTUAL_KEYBOARD_V1_MODIFIERS, {0, 0, record.locked, record.group});
    for (uint32_t i = buttons; i-- > 0;) {
        request(record.pointer_id, ZWLR_VIRTUAL_POINTER_V1_BUTTON, {time_ms, record.buttons[i], 0});
        request(record.pointer_id, ZWLR_VIRTUAL_POINTER_V1_FRAME, {});
    }
    const auto* bytes = reinterpret_cast<const char*>(words.data());
    size_t left = words.size() * sizeof(uint32_t);
    while (left > 0) {
        const ssize_t n = ::send(socket_fd, bytes, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            bytes += n;
            left -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{socket_fd, POLLOUT, 0};
            if (::poll(&p, 1, 2000) > 0) continue;
        }
        return false;
    }
    return true;
}

void hang_up_after_reading(int socket_fd)
{
    ::shutdown(socket_fd, SHUT_WR);
    char sink[4096];
    const uint32_t give_up = monotonic_ms() + 3000;
    for (int32_t left; (left = static_cast<int32_t>(give_up - monotonic_ms())) > 0;) {
        pollfd p{socket_fd, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0) continue;
        const ssize_t n = ::recv(socket_fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
    }
    ::close(socket_fd);
}

}  // namespace pravlin_lib
