// Shared between testcomp's scenario reader and its server.
#pragma once

#include <wayland-server-core.h>

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testcomp {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept { reset(o.release()); return *this; }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() { int f = fd_; fd_ = -1; return f; }
    void reset(int fd = -1) { if (fd_ >= 0) close(fd_); fd_ = fd; }
    explicit operator bool() const { return fd_ >= 0; }
private:
    int fd_ = -1;
};

inline bool write_all(int fd, const void* data, size_t len) {
    auto* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= size_t(n);
    }
    return true;
}

// JSON string literal for s (null for a null pointer).
std::string jstr(const char* s);
std::string jstr(const std::string& s);

enum class Kind { Shm, Seat, Output, Screencopy, VkbdManager, VptrManager, Other };

struct GlobalDef {
    Kind kind = Kind::Other;
    std::string iface_name;
    int version = 1;
    wl_interface iface{};  // copy of the real interface, version raised to `version` if needed
    std::optional<std::string> name;  // wl_output / wl_seat name event; nullopt: never sent
    int name_delay_ms = 0;
    int width = 64, height = 48;
    int after_syncs = 0, remove_after_syncs = 0;
    uint32_t capabilities = 3;     // wl_seat: pointer and keyboard
    bool refuse_keyboard = false;  // wl_seat: get_keyboard is a protocol error, as in wlroots without a keyboard
    wl_global* global = nullptr;
    bool removed = false;
};

struct KeymapDef {
    uint32_t format = 1;
    std::string text;
    bool nul = false;
};

struct BufferEvent {
    std::optional<long long> format, width, height, stride;
};

struct FrameSetup {
    uint32_t format = 1;
    std::optional<long long> width, height, stride;
    std::vector<BufferEvent> extra;
    bool y_invert = false;
    enum Fail { None, Capture, Pool, Buffer, Copy } fail = None;
    long long fail_times = -1;  // how many frames fail; -1: all of them
    bool solid = false;
    uint8_t r = 0, g = 0, b = 0;
};

enum class Action { Close, ProtocolError, BadOpcode, Truncated, Hang, Raw };

// One 32-bit word of a raw message: a number, or a value taken from the
// request that triggers it (its object's id, or its n-th argument).
struct RawWord {
    enum Kind { Value, Object, Arg } kind = Value;
    uint32_t value = 0;  // Value: the word; Arg: the argument's index
};

struct Fault {
    std::string request;
    int occurrence = 1;
    Action action = Action::Close;
    uint32_t code = 0;
    std::string message = "test fault";
    int client = 0;  // 0: any client
    std::vector<RawWord> words;  // Raw: the message, header included
};

struct Scenario {
    std::vector<std::unique_ptr<GlobalDef>> globals;
    std::vector<KeymapDef> keymaps;
    FrameSetup frame;
    std::vector<Fault> faults;
};

// Reads the scenario file (an empty path gives the defaults); throws
// std::runtime_error naming the offending key on any mistake.
Scenario load_scenario(const std::string& path);

}  // namespace testcomp
