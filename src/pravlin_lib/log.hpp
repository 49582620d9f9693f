// Logging facade. A statement costs one relaxed load while no sink is
// installed or its level is filtered out; the message is only built when a
// sink takes the record.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pravlin_lib::log {

enum class Level : uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

constexpr bool passes(Level level, Level threshold)
{
    return level != Level::Off && static_cast<uint8_t>(level) <= static_cast<uint8_t>(threshold);
}

// Borrowed reference to whatever builds the message text, called at most once
// per sink invocation.
class MessageRef {
public:
    template <class F>
    MessageRef(const F& build)  // NOLINT: implicit on purpose, statements pass lambdas
        : object_(&build), call_([](const void* o) { return (*static_cast<const F*>(o))(); })
    {
    }
    std::string operator()() const { return call_(object_); }

private:
    const void* object_;
    std::string (*call_)(const void*);
};

struct Record {
    Level level;
    std::string_view target;
    MessageRef message;
    const char* file;  // project-relative, or nullptr
    uint32_t line;
};

class Sink {
public:
    virtual ~Sink() = default;
    // Whether a record would be forwarded, judged without running any host
    // code.
    virtual bool wants(Level level, std::string_view target) const = 0;
    // May run host code, which may unwind through here (a thread that the
    // host ends): nothing on this path is noexcept.
    virtual void log(const Record& record) = 0;
};

// Off until a sink is installed.
extern std::atomic<Level> max_level;

inline bool enabled(Level level)
{
    return passes(level, max_level.load(std::memory_order_relaxed));
}

// Installs the process's sink (which must live until the process ends) and
// raises the maximum level.
void install(Sink* sink, Level level);

void emit(const Record& record);

// Holds back the records made on this thread while it lives, so that no host
// code runs inside libwayland's dispatch: listeners only record. The records
// that the sink wants are formatted at once and handed to it by forward(),
// in order, once the dispatch has returned. forward() ends the holding first:
// host code it runs may call into another session, whose records are its own.
class Deferred {
public:
    Deferred();
    ~Deferred();
    Deferred(const Deferred&) = delete;
    Deferred& operator=(const Deferred&) = delete;

    void forward();
    void keep(Sink& sink, const Record& record);

private:
    struct Kept {
        Level level;
        std::string_view target;
        std::string text;
        const char* file;
        uint32_t line;
    };
    void stop();

    std::vector<Kept> kept_;
    Deferred* previous_;
    bool holding_ = true;
};

// "src/pravlin_lib/app_data.cpp" out of whatever path the compiler was given.
constexpr const char* project_path(const char* path)
{
    const char* found = nullptr;
    for (const char* p = path; *p; ++p)
        if (p[0] == '/' && p[1] == 's' && p[2] == 'r' && p[3] == 'c' && p[4] == '/') found = p + 1;
    if (found) return found;
    return path;
}

namespace target {
inline constexpr std::string_view app_data = "pravlin::pravlin_lib::app_data";
inline constexpr std::string_view shm = "pravlin::pravlin_lib::shm";
}  // namespace target

}  // namespace pravlin_lib::log

// PRAVLIN_INFO(target, expression yielding std::string)
#define PRAVLIN_INFO(target_, ...)                                                             \
    do {                                                                                       \
        if (::pravlin_lib::log::enabled(::pravlin_lib::log::Level::Info)) {                    \
            static constexpr const char* pravlin_file_ = ::pravlin_lib::log::project_path(__FILE__); \
            ::pravlin_lib::log::emit({::pravlin_lib::log::Level::Info, (target_),              \
                                      [&]() -> std::string { return __VA_ARGS__; },            \
                                      pravlin_file_, static_cast<uint32_t>(__LINE__)});         \
        }                                                                                      \
    } while (false)
