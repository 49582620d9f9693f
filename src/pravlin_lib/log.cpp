#include "log.hpp"

#include <new>
#include <utility>

namespace pravlin_lib::log {

std::atomic<Level> max_level{Level::Off};

namespace {
std::atomic<Sink*> sink{nullptr};
thread_local Deferred* holding = nullptr;
}

void install(Sink* s, Level level)
{
    sink.store(s, std::memory_order_release);
    max_level.store(level, std::memory_order_release);
}

void emit(const Record& record)
{
    Sink* s = sink.load(std::memory_order_acquire);
    if (!s) return;
    if (holding) holding->keep(*s, record);
    else s->log(record);
}

Deferred::Deferred() : previous_(std::exchange(holding, this)) {}

Deferred::~Deferred() { stop(); }

void Deferred::stop()
{
    if (holding_) holding = previous_;
    holding_ = false;
}

void Deferred::keep(Sink& s, const Record& record)
{
    if (!s.wants(record.level, record.target)) return;
    try {
        kept_.push_back({record.level, record.target, record.message(), record.file, record.line});
    } catch (const std::bad_alloc&) {
        // The record is lost, nothing else.
    }
}

void Deferred::forward()
{
    stop();
    Sink* s = sink.load(std::memory_order_acquire);
    std::vector<Kept> kept = std::move(kept_);
    for (Kept& k : kept)
        s->log({k.level, k.target, [&k] { return std::move(k.text); }, k.file, k.line});
}

}  // namespace pravlin_lib::log
