#include "log.hpp"

namespace pravlin_lib::log {

std::atomic<Level> max_level{Level::Off};

namespace {
std::atomic<Sink*> sink{nullptr};
}

void install(Sink* s, Level level)
{
    sink.store(s, std::memory_order_release);
    max_level.store(level, std::memory_order_release);
}

void emit(const Record& record) noexcept
{
    if (Sink* s = sink.load(std::memory_order_acquire)) s->log(record);
}

}  // namespace pravlin_lib::log
