#include "clipboard.hpp"

#include <algorithm>
#include <cerrno>
#include <cxxabi.h>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <system_error>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

#include "data_control-client-protocol.h"
#include "helper.hpp"
#include "queue.hpp"
#include "wl.hpp"

namespace pravlin_lib {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t supported_manager_version = 2;
// How long an application that asked for our data may take to read it.
constexpr std::chrono::seconds serve_limit{30};
constexpr size_t write_chunk = 64 * 1024;

struct OfferDestroy {
    void operator()(zwlr_data_control_offer_v1* offer) const { zwlr_data_control_offer_v1_destroy(offer); }
};
using OfferPtr = std::unique_ptr<zwlr_data_control_offer_v1, OfferDestroy>;

struct SourceDestroy {
    void operator()(zwlr_data_control_source_v1* source) const { zwlr_data_control_source_v1_destroy(source); }
};
using SourcePtr = std::unique_ptr<zwlr_data_control_source_v1, SourceDestroy>;

struct DeviceDestroy {
    void operator()(zwlr_data_control_device_v1* device) const { zwlr_data_control_device_v1_destroy(device); }
};

struct ManagerDestroy {
    void operator()(zwlr_data_control_manager_v1* manager) const { zwlr_data_control_manager_v1_destroy(manager); }
};

std::string selection_name(Selection which) { return which == Selection::primary ? "primary selection" : "clipboard"; }

}  // namespace

struct Clipboard::Service {
    DisplayPtr display;
    Fd wake;  // an eventfd: commands are waiting, or the thread is to stop
    Proxy<wl_registry> registry;
    Proxy<wl_seat> seat;
    std::unique_ptr<zwlr_data_control_manager_v1, ManagerDestroy> manager;
    uint32_t manager_version = 0;
    std::unique_ptr<zwlr_data_control_device_v1, DeviceDestroy> device;

    // Offers introduced but not yet named as a selection, with their types.
    std::map<zwlr_data_control_offer_v1*, std::pair<OfferPtr, std::vector<std::string>>> introduced;
    struct Current {
        OfferPtr offer;
        std::vector<std::string> types;
    };
    Current selections[2];

    struct Source {
        Service* service;
        SourcePtr proxy;
        Selection which;
        std::shared_ptr<const Offered> offered;
        uint32_t sends = 0;
    };
    std::list<std::unique_ptr<Source>> sources;
    // The source each selection was last set to by us, while it is live.
    Source* owned[2] = {nullptr, nullptr};

    struct Outgoing {
        Fd fd;
        std::shared_ptr<const Offered> offered;
        size_t index;
        size_t done = 0;
        Clock::time_point deadline;
    };
    std::list<Outgoing> outgoing;

    struct Incoming {
        Fd fd;
        Received received;
        Clock::time_point deadline;
        std::promise<Result<Received>> reply;
    };
    std::list<Incoming> incoming;

    struct Sync {
        Service* service;
        Proxy<wl_callback> callback;
        std::function<void()> then;
    };
    std::list<std::unique_ptr<Sync>> syncs;

    std::mutex mutex;
    std::deque<std::function<void()>> commands;  // guarded by mutex
    std::optional<Error> broken_copy;            // guarded by mutex: `broken`, for the callers
    bool stopping = false;
    std::optional<Error> broken;
    bool listener_failed = false;
    std::thread thread;

    ~Service()
    {
        if (thread.joinable()) {
            post([this] { stopping = true; });
            thread.join();
        }
    }

    void post(std::function<void()> command)
    {
        {
            std::lock_guard lock(mutex);
            commands.push_back(std::move(command));
        }
        const uint64_t one = 1;
        while (::write(wake.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    // Runs `work` on the service thread and waits for its answer; `limit`
    // bounds the wait for a thread that no longer answers.
    template <class T, class Work>
    Result<T> call(Work work, Clock::duration limit)
    {
        auto reply = std::make_shared<std::promise<Result<T>>>();
        auto answer = reply->get_future();
        post([this, reply, work = std::move(work)]() mutable {
            if (broken) reply->set_value(std::unexpected(*broken));
            else work(std::move(*reply));
        });
        if (answer.wait_for(limit) != std::future_status::ready)
            return fail("the compositor did not answer the clipboard's request in time");
        try {
            return answer.get();
        } catch (const std::future_error&) {
            // A failure of the connection drops the requests waiting for an answer.
            std::lock_guard lock(mutex);
            if (broken_copy) return std::unexpected(*broken_copy);
            return fail("the clipboard's service thread stopped");
        }
    }

    // -- on the service thread ----------------------------------------------------

    void fail_session(Error error)
    {
        if (!broken) {
            broken = std::move(error);
            std::lock_guard lock(mutex);
            broken_copy = broken;
        }
        for (auto& in : incoming) in.reply.set_value(std::unexpected(*broken));
        incoming.clear();
        outgoing.clear();
        for (auto& sync : syncs) sync->callback.reset();
        syncs.clear();
    }

    void sync(std::function<void()> then)
    {
        auto entry = std::make_unique<Sync>(Sync{this, Proxy<wl_callback>(wl_display_sync(display.get())), std::move(then)});
        if (!entry->callback) throw std::bad_alloc();
        wl_callback_add_listener(entry->callback.get(), &sync_listener, entry.get());
        syncs.push_back(std::move(entry));
    }

    static void sync_done(void* data, wl_callback*, uint32_t)
    {
        auto* entry = static_cast<Sync*>(data);
        Service* service = entry->service;
        guard(service, [&] {
            auto then = std::move(entry->then);
            service->syncs.remove_if([&](const auto& s) { return s.get() == entry; });
            then();
        });
    }
    static constexpr wl_callback_listener sync_listener{sync_done};

    template <class F>
    static void guard(Service* service, F&& body)
    {
        try {
            body();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            service->listener_failed = true;
        }
    }

    static void registry_global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version)
    {
        auto* service = static_cast<Service*>(data);
        guard(service, [&] {
            const std::string_view iface(interface);
            if (iface == wl_seat_interface.name && !service->seat) {
                service->seat.reset(static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1)));
            } else if (iface == zwlr_data_control_manager_v1_interface.name && !service->manager) {
                service->manager_version = std::min(version, supported_manager_version);
                service->manager.reset(static_cast<zwlr_data_control_manager_v1*>(wl_registry_bind(
                    registry, name, &zwlr_data_control_manager_v1_interface, service->manager_version)));
            }
        });
    }
    static void registry_global_remove(void*, wl_registry*, uint32_t) {}
    static constexpr wl_registry_listener registry_listener{registry_global, registry_global_remove};

    static void offer_offer(void* data, zwlr_data_control_offer_v1* offer, const char* mime_type)
    {
        auto* service = static_cast<Service*>(data);
        guard(service, [&] {
            if (auto it = service->introduced.find(offer); it != service->introduced.end())
                it->second.second.emplace_back(mime_type);
        });
    }
    static constexpr zwlr_data_control_offer_v1_listener offer_listener{offer_offer};

    static void device_data_offer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
    {
        auto* service = static_cast<Service*>(data);
        OfferPtr owned(offer);
        guard(service, [&] {
            zwlr_data_control_offer_v1_add_listener(offer, &offer_listener, service);
            service->introduced.emplace(offer, std::pair{std::move(owned), std::vector<std::string>{}});
        });
    }

    void take_selection(Selection which, zwlr_data_control_offer_v1* offer)
    {
        Current& current = selections[static_cast<int>(which)];
        current = Current{};
        if (!offer) return;
        if (auto it = introduced.find(offer); it != introduced.end()) {
            current.offer = std::move(it->second.first);
            current.types = std::move(it->second.second);
            introduced.erase(it);
        }
    }

    static void device_selection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
    {
        auto* service = static_cast<Service*>(data);
        guard(service, [&] { service->take_selection(Selection::clipboard, offer); });
    }
    static void device_primary_selection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
    {
        auto* service = static_cast<Service*>(data);
        guard(service, [&] { service->take_selection(Selection::primary, offer); });
    }
    static void device_finished(void* data, zwlr_data_control_device_v1*)
    {
        auto* service = static_cast<Service*>(data);
        guard(service, [&] { service->fail_session(Error{"the compositor ended this clipboard's access to the seat", {}}); });
    }
    static constexpr zwlr_data_control_device_v1_listener device_listener{
        device_data_offer, device_selection, device_finished, device_primary_selection};

    static void source_send(void* data, zwlr_data_control_source_v1*, const char* mime_type, int32_t fd)
    {
        auto* source = static_cast<Source*>(data);
        Fd owned(fd);
        guard(source->service, [&] {
            ++source->sends;
            const Offered& offered = *source->offered;
            const auto it = std::find_if(offered.begin(), offered.end(),
                                         [&](const auto& entry) { return entry.first == mime_type; });
            // A type we never offered gets nothing: the reader sees an empty transfer.
            if (it == offered.end()) return;
            const int flags = ::fcntl(owned.get(), F_GETFL);
            if (flags < 0 || ::fcntl(owned.get(), F_SETFL, flags | O_NONBLOCK) < 0) return;
            source->service->outgoing.push_back(Outgoing{std::move(owned), source->offered,
                                                         static_cast<size_t>(it - offered.begin()), 0,
                                                         Clock::now() + serve_limit});
        });
    }
    static void source_cancelled(void* data, zwlr_data_control_source_v1*)
    {
        auto* source = static_cast<Source*>(data);
        Service* service = source->service;
        guard(service, [&] {
            for (auto& slot : service->owned)
                if (slot == source) slot = nullptr;
            service->sources.remove_if([&](const auto& s) { return s.get() == source; });
        });
    }
    static constexpr zwlr_data_control_source_v1_listener source_listener{source_send, source_cancelled};

    // -- commands ------------------------------------------------------------------

    void types(Selection which, std::promise<Result<std::optional<std::vector<std::string>>>> reply)
    {
        auto shared = std::make_shared<decltype(reply)>(std::move(reply));
        sync([this, which, shared] {
            const Current& current = selections[static_cast<int>(which)];
            if (!current.offer) shared->set_value(std::nullopt);
            else shared->set_value(current.types);
        });
    }

    void read(Selection which, std::string mime_type, milliseconds timeout, std::promise<Result<Received>> reply)
    {
        auto shared = std::make_shared<decltype(reply)>(std::move(reply));
        sync([this, which, mime_type = std::move(mime_type), timeout, shared] {
            const Current& current = selections[static_cast<int>(which)];
            Received received;
            if (!current.offer) {
                received.status = Received::Status::empty;
                return shared->set_value(std::move(received));
            }
            if (std::find(current.types.begin(), current.types.end(), mime_type) == current.types.end()) {
                received.status = Received::Status::not_offered;
                received.types = current.types;
                return shared->set_value(std::move(received));
            }
            int ends[2];
            if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) < 0)
                return shared->set_value(fail("failed to read the " + selection_name(which), {os_error_text(errno)}));
            Fd read_end(ends[0]);
            Fd write_end(ends[1]);
            // The request carries a duplicate of the descriptor: ours closes at once,
            // so that the pipe ends when the owner closes its copy.
            zwlr_data_control_offer_v1_receive(current.offer.get(), mime_type.c_str(), write_end.get());
            write_end.reset();
            incoming.push_back(Incoming{std::move(read_end), std::move(received), Clock::now() + timeout,
                                        std::move(*shared)});
        });
    }

    void write(Selection which, Offered offered, std::promise<Result<>> reply)
    {
        if (which == Selection::primary && manager_version < 2) {
            reply.set_value(fail("the compositor's data control has no primary selection (version " +
                                 std::to_string(manager_version) + " of zwlr_data_control_manager_v1)"));
            return;
        }
        const auto set = [&](zwlr_data_control_source_v1* source) {
            if (which == Selection::primary) zwlr_data_control_device_v1_set_primary_selection(device.get(), source);
            else zwlr_data_control_device_v1_set_selection(device.get(), source);
        };
        Source* made = nullptr;
        if (offered.empty()) {
            set(nullptr);
        } else {
            auto source = std::make_unique<Source>(
                Source{this, SourcePtr(zwlr_data_control_manager_v1_create_data_source(manager.get())), which,
                       std::make_shared<const Offered>(std::move(offered))});
            if (!source->proxy) throw std::bad_alloc();
            zwlr_data_control_source_v1_add_listener(source->proxy.get(), &source_listener, source.get());
            for (const auto& [mime_type, data] : *source->offered)
                zwlr_data_control_source_v1_offer(source->proxy.get(), mime_type.c_str());
            set(source->proxy.get());
            made = source.get();
            sources.push_back(std::move(source));
        }
        owned[static_cast<int>(which)] = made;
        auto shared = std::make_shared<std::promise<Result<>>>(std::move(reply));
        sync([shared] { shared->set_value({}); });
    }

    void served(Selection which, std::promise<Result<std::optional<uint32_t>>> reply)
    {
        auto shared = std::make_shared<decltype(reply)>(std::move(reply));
        sync([this, which, shared] {
            const Source* source = owned[static_cast<int>(which)];
            shared->set_value(source ? std::optional(source->sends) : std::nullopt);
        });
    }

    // -- the loop ------------------------------------------------------------------

    void run_commands()
    {
        // The wake-up is taken before the commands: one posted after the swap
        // wakes the next poll.
        uint64_t count;
        while (::read(wake.get(), &count, sizeof count) < 0 && errno == EINTR) {
        }
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard lock(mutex);
            batch.swap(commands);
        }
        for (auto& command : batch) command();
    }

    // Reads what the pipe holds; true once the transfer has ended.
    static bool pull(Incoming& in)
    {
        char buffer[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(in.fd.get(), buffer, sizeof buffer);
            if (n > 0) {
                in.received.data.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) return true;
            if (errno == EINTR) continue;
            return errno != EAGAIN;
        }
    }

    // Writes what the reader takes; true once the transfer has ended.
    static bool push(Outgoing& out)
    {
        const std::string& data = (*out.offered)[out.index].second;
        while (out.done < data.size()) {
            const ssize_t n = ::write(out.fd.get(), data.data() + out.done, std::min(write_chunk, data.size() - out.done));
            if (n > 0) {
                out.done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return !(n < 0 && errno == EAGAIN);
        }
        return true;
    }

    Error connection_error(const char* what) const
    {
        const int code = wl_display_get_error(display.get());
        return Error{std::string("the clipboard's connection to the compositor failed while ") + what,
                     {code == EPROTO ? std::string("Protocol error") : os_error_text(code ? code : errno)}};
    }

    void step()
    {
        run_commands();
        if (stopping) return;
        wl_display* d = display.get();
        if (!broken) {
            while (wl_display_prepare_read(d) != 0)
                if (wl_display_dispatch_pending(d) < 0) return fail_session(connection_error("dispatching"));
            if (listener_failed) {
                wl_display_cancel_read(d);
                return fail_session(Error{"the clipboard lost an event (out of memory)", {}});
            }
        }
        bool want_out = false;
        if (!broken && wl_display_flush(d) < 0) {
            if (errno == EAGAIN) want_out = true;
            else if (errno != EPIPE) {
                wl_display_cancel_read(d);
                return fail_session(connection_error("sending"));
            }
        }
        std::vector<pollfd> fds;
        fds.push_back({wake.get(), POLLIN, 0});
        if (!broken) fds.push_back({wl_display_get_fd(d), static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0});
        const size_t first_io = fds.size();
        Clock::time_point deadline = Clock::time_point::max();
        const size_t in_count = incoming.size();
        for (auto& in : incoming) {
            fds.push_back({in.fd.get(), POLLIN, 0});
            deadline = std::min(deadline, in.deadline);
        }
        for (auto& out : outgoing) {
            fds.push_back({out.fd.get(), POLLOUT, 0});
            deadline = std::min(deadline, out.deadline);
        }
        int timeout = -1;
        if (deadline != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<int64_t>(left, 0, 60'000));
        }
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        // The transfers first, while the lists still match `fds`: dispatching
        // may add to them.
        const auto now = Clock::now();
        size_t i = first_io;
        for (auto it = incoming.begin(); i < first_io + in_count; ++i) {
            const bool ended = ready > 0 && fds[i].revents ? pull(*it) : false;
            if (ended || now >= it->deadline) {
                if (!ended) it->received.status = Received::Status::timed_out;
                it->reply.set_value(std::move(it->received));
                it = incoming.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = outgoing.begin(); i < fds.size(); ++i) {
            const bool ended = ready > 0 && fds[i].revents ? push(*it) : false;
            if (ended || now >= it->deadline) it = outgoing.erase(it);
            else ++it;
        }
        if (!broken) {
            if (ready > 0 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP))) {
                if (wl_display_read_events(d) < 0) return fail_session(connection_error("receiving"));
            } else {
                wl_display_cancel_read(d);
            }
            if (wl_display_dispatch_pending(d) < 0) return fail_session(connection_error("dispatching"));
        }
    }

    void run()
    {
        try {
            while (!stopping) {
                try {
                    step();
                } catch (const std::bad_alloc&) {
                    fail_session(Error{"the clipboard ran out of memory", {}, false, true});
                }
            }
            // What this process owns is given up before the connection goes:
            // destroying a source that is a selection clears that selection.
            for (auto& in : incoming) in.reply.set_value(fail("the clipboard was closed"));
            incoming.clear();
            outgoing.clear();
            owned[0] = owned[1] = nullptr;
            sources.clear();
            if (!broken) wl_display_flush(display.get());
        } catch (const std::bad_alloc&) {
            // Out of memory while closing: the promises still waiting break,
            // which their callers report.
        }
    }
};

Clipboard::Clipboard(std::unique_ptr<Service> service) : service_(std::move(service)) {}
Clipboard::Clipboard(Clipboard&&) noexcept = default;
Clipboard::~Clipboard() = default;

namespace {

// The longest a call waits for the service thread beyond its own time limit.
constexpr auto answer_limit = std::chrono::duration_cast<Clock::duration>(wait_limit);

}  // namespace

Result<std::optional<std::vector<std::string>>> Clipboard::types(Selection which)
{
    using T = std::optional<std::vector<std::string>>;
    return service_->call<T>([s = service_.get(), which](std::promise<Result<T>> reply) { s->types(which, std::move(reply)); },
                             answer_limit);
}

Result<Received> Clipboard::read(Selection which, const std::string& mime_type, milliseconds timeout)
{
    if (which == Selection::primary && service_->manager_version < 2) {
        Received nothing;
        nothing.status = Received::Status::empty;
        return nothing;
    }
    return service_->call<Received>(
        [s = service_.get(), which, mime_type, timeout](std::promise<Result<Received>> reply) {
            s->read(which, mime_type, timeout, std::move(reply));
        },
        answer_limit + timeout);
}

Result<> Clipboard::write(Selection which, Offered offered)
{
    return service_->call<void>(
        [s = service_.get(), which, offered = std::move(offered)](std::promise<Result<>> reply) mutable {
            s->write(which, std::move(offered), std::move(reply));
        },
        answer_limit);
}

Result<std::optional<uint32_t>> Clipboard::served(Selection which)
{
    using T = std::optional<uint32_t>;
    return service_->call<T>([s = service_.get(), which](std::promise<Result<T>> reply) { s->served(which, std::move(reply)); },
                             answer_limit);
}

bool Clipboard::has_primary() const { return service_->manager_version >= 2; }

namespace {

// A round trip on a connection no other thread uses yet, waiting at most `wait_limit`.
Result<> setup_roundtrip(wl_display* display, const char* what)
{
    Proxy<wl_callback> callback(wl_display_sync(display));
    bool done = false;
    static constexpr wl_callback_listener listener{[](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
    if (!callback) return fail(std::string("failed to ") + what, {os_error_text(ENOMEM)});
    wl_callback_add_listener(callback.get(), &listener, &done);
    const auto deadline = Clock::now() + wait_limit;
    while (!done) {
        if (wl_display_dispatch_pending(display) < 0 || (wl_display_flush(display) < 0 && errno != EAGAIN))
            return fail(std::string("failed to ") + what, {os_error_text(wl_display_get_error(display))});
        if (done) break;
        if (wl_display_prepare_read(display) != 0) continue;
        pollfd fd{wl_display_get_fd(display), POLLIN, 0};
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || ::poll(&fd, 1, static_cast<int>(left)) <= 0) {
            wl_display_cancel_read(display);
            return fail(std::string("failed to ") + what, {"the compositor did not answer in time"});
        }
        if (wl_display_read_events(display) < 0)
            return fail(std::string("failed to ") + what, {os_error_text(wl_display_get_error(display))});
    }
    return {};
}

}  // namespace

Result<Clipboard> open_clipboard(const std::optional<std::string>& wayland_display)
{
    auto display = connect_wayland(wayland_display);
    if (!display) return std::unexpected(std::move(display.error()));
    auto service = std::make_unique<Clipboard::Service>();
    service->display = std::move(*display);
    wl_display* d = service->display.get();
    service->wake = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!service->wake) return fail("failed to open the clipboard", {os_error_text(errno)});

    service->registry.reset(wl_display_get_registry(d));
    if (!service->registry) return fail("failed to open the clipboard", {os_error_text(ENOMEM)});
    wl_registry_add_listener(service->registry.get(), &Clipboard::Service::registry_listener, service.get());
    if (auto r = setup_roundtrip(d, "discover the compositor's globals"); !r) return std::unexpected(std::move(r.error()));
    if (service->listener_failed) return std::unexpected(Error{"out of memory", {}, false, true});
    if (!service->manager)
        return fail("the compositor offers no clipboard access without a window",
                    {"it lacks zwlr_data_control_manager_v1 (wlroots' data control, which sway has)"});
    if (!service->seat) return fail("the compositor has no seat, whose clipboard this would be");

    service->device.reset(zwlr_data_control_manager_v1_get_data_device(service->manager.get(), service->seat.get()));
    if (!service->device) return fail("failed to open the clipboard", {os_error_text(ENOMEM)});
    zwlr_data_control_device_v1_add_listener(service->device.get(), &Clipboard::Service::device_listener, service.get());
    // The device's first selection events come with this round trip.
    if (auto r = setup_roundtrip(d, "learn the current selection"); !r) return std::unexpected(std::move(r.error()));
    if (service->listener_failed) return std::unexpected(Error{"out of memory", {}, false, true});
    if (service->broken) return std::unexpected(std::move(*service->broken));

    // The thread takes no signals: they go to the host's threads, and a
    // write to a reader that went away fails with EPIPE instead of raising SIGPIPE.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    Clipboard::Service* raw = service.get();
    try {
        service->thread = std::thread([raw] { raw->run(); });
    } catch (const std::system_error& e) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return fail("failed to start the clipboard's thread", {e.what()});
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return Clipboard(std::move(service));
}

}  // namespace pravlin_lib
