// What every event listener of the session shares: the one-line rendering of
// an event for the log, and the guard that keeps C++ exceptions inside. Each
// file logs through a statement of its own, which the records name.
#pragma once

#include <cstdint>
#include <cxxabi.h>
#include <new>
#include <string>
#include <string_view>
#include <wayland-client.h>

#include "error.hpp"
#include "log.hpp"
#include "queue.hpp"

namespace pravlin_lib {

// One-line rendering of an event: its name, then each argument by name.
// `Global { name: 3, interface: "wl_seat", version: 7 }`
class EventText {
public:
    explicit EventText(std::string_view name) : text_(name) {}

    EventText& arg(std::string_view name, uint32_t value) { return raw(name, std::to_string(value)); }
    EventText& arg(std::string_view name, int32_t value) { return raw(name, std::to_string(value)); }
    EventText& arg(std::string_view name, const char* value)
    {
        return raw(name, value ? quoted(value) : std::string("null"));
    }
    EventText& arg(std::string_view name, const void* object)
    {
        if (!object) return raw(name, "null");
        auto* proxy = static_cast<wl_proxy*>(const_cast<void*>(object));
        return raw(name, std::string(wl_proxy_get_class(proxy)) + "@" +
                             std::to_string(wl_proxy_get_id(proxy)));
    }
    EventText& arg(std::string_view name, const wl_array* array)
    {
        std::string list = "[";
        const auto* values = static_cast<const uint32_t*>(array->data);
        for (size_t i = 0; i < array->size / sizeof(uint32_t); ++i)
            list += (i ? ", " : "") + std::to_string(values[i]);
        return raw(name, list + "]");
    }
    std::string str() const { return has_args_ ? text_ + " }" : text_; }

private:
    EventText& raw(std::string_view name, const std::string& value)
    {
        text_ += has_args_ ? ", " : " { ";
        has_args_ = true;
        text_.append(name).append(": ").append(value);
        return *this;
    }
    std::string text_;
    bool has_args_ = false;
};

// Listeners run inside libwayland's dispatch, which no C++ exception may
// cross (a forced unwind ending the thread must, and is let through). A
// handler that fails has lost its event, and the dispatch that ran it fails
// the session (queue.hpp).
template <auto Handler>
struct Guarded;

template <class... Args, void (*Handler)(Args...)>
struct Guarded<Handler> {
    static void call(Args... args)
    {
        try {
            Handler(args...);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (const std::bad_alloc&) {
            note_lost_event(true);
        } catch (...) {
            note_lost_event(false);
        }
    }
};

template <auto Handler>
constexpr auto guarded = &Guarded<Handler>::call;

}  // namespace pravlin_lib
