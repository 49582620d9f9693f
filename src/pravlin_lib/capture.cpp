#include "capture.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/mman.h>

#include "listener.hpp"
#include "shm.hpp"

namespace pravlin_lib {

namespace {

// Slots an output keeps; past this, a slot whose pixels a caller still
// holds is given up to the caller rather than another one made beside it.
constexpr size_t slots_per_output = 3;

// Both are blue, green, red, then alpha or nothing, in memory.
bool readable_format(uint32_t format)
{
    return format == WL_SHM_FORMAT_ARGB8888 || format == WL_SHM_FORMAT_XRGB8888;
}

struct Mapping {
    void* address;
    size_t size;
    Mapping(void* a, size_t s) : address(a), size(s) {}
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() { ::munmap(address, size); }
};

}  // namespace

struct Capture::Slot {
    const EventQueue* queue;
    std::shared_ptr<Mapping> memory;  // shared with the images handed out
    wl_shm_pool* pool = nullptr;
    wl_buffer* buffer = nullptr;
    BufferParams params{};
    bool in_flight = false;

    Slot(const EventQueue* q) : queue(q) {}
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot()
    {
        // A broken session sends nothing more; the proxies are freed all the same.
        const bool send = !queue->broken();
        if (buffer) send ? wl_buffer_destroy(buffer) : wl_proxy_destroy(reinterpret_cast<wl_proxy*>(buffer));
        if (pool) send ? wl_shm_pool_destroy(pool) : wl_proxy_destroy(reinterpret_cast<wl_proxy*>(pool));
    }
    bool free() const { return !in_flight && memory.use_count() == 1; }
};

struct Capture::Pending {
    Proxy<zwlr_screencopy_frame_v1> frame;
    bool damage = false;
    bool cursor = false;
    std::optional<BufferParams> params;
    bool params_known = false;
    bool copying = false;
    bool ready = false;
    bool failed = false;
    uint32_t flags = 0;
    uint64_t time_ns = 0;
    std::optional<std::array<uint32_t, 4>> damage_box;
    Slot* slot = nullptr;

    ~Pending()
    {
        if (slot) slot->in_flight = false;
    }
};

struct Capture::PerOutput {
    std::vector<std::unique_ptr<Slot>> slots;
    std::unique_ptr<Pending> pending;
};

namespace {

using Pending = Capture::Pending;

Pending& pending(void* data) { return *static_cast<Pending*>(data); }

// `render` builds the EventText; it runs only for a record that will be
// forwarded.
template <class Render>
void log_event(std::string_view prefix, const Render& render)
{
    PRAVLIN_INFO(log::target::app_data, std::string(prefix) + render().str());
}


void handle_buffer(void* data, zwlr_screencopy_frame_v1* frame, uint32_t format, uint32_t width, uint32_t height,
                   uint32_t stride)
{
    log_event("Screencopy event: ", [&] {
        return EventText("Buffer").arg("format", format).arg("width", width).arg("height", height)
            .arg("stride", stride);
    });
    Pending& p = pending(data);
    if (!p.params && readable_format(format)) p.params = BufferParams{format, width, height, stride};
    // Before version 3 no buffer_done follows: the one buffer event is all.
    if (zwlr_screencopy_frame_v1_get_version(frame) < ZWLR_SCREENCOPY_FRAME_V1_BUFFER_DONE_SINCE_VERSION)
        p.params_known = true;
}

void handle_flags(void* data, zwlr_screencopy_frame_v1*, uint32_t flags)
{
    log_event("Screencopy event: ", [&] { return EventText("Flags").arg("flags", flags); });
    pending(data).flags = flags;
}

void handle_ready(void* data, zwlr_screencopy_frame_v1*, uint32_t sec_hi, uint32_t sec_lo, uint32_t nsec)
{
    log_event("Screencopy event: ", [&] {
        return EventText("Ready").arg("tv_sec_hi", sec_hi).arg("tv_sec_lo", sec_lo).arg("tv_nsec", nsec);
    });
    Pending& p = pending(data);
    p.time_ns = ((uint64_t{sec_hi} << 32 | sec_lo) * 1000000000u) + nsec;
    p.ready = true;
}

void handle_failed(void* data, zwlr_screencopy_frame_v1*)
{
    log_event("Screencopy event: ", [] { return EventText("Failed"); });
    pending(data).failed = true;
}

void handle_damage(void* data, zwlr_screencopy_frame_v1*, uint32_t x, uint32_t y, uint32_t width, uint32_t height)
{
    log_event("Screencopy event: ", [&] {
        return EventText("Damage").arg("x", x).arg("y", y).arg("width", width).arg("height", height);
    });
    pending(data).damage_box = std::array<uint32_t, 4>{x, y, width, height};
}

void handle_linux_dmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height)
{
    log_event("Screencopy event: ", [&] {
        return EventText("LinuxDmabuf").arg("format", format).arg("width", width).arg("height", height);
    });
}

void handle_buffer_done(void* data, zwlr_screencopy_frame_v1*)
{
    log_event("Screencopy event: ", [] { return EventText("BufferDone"); });
    pending(data).params_known = true;
}

const zwlr_screencopy_frame_v1_listener listener = {
    .buffer = guarded<handle_buffer>,
    .flags = guarded<handle_flags>,
    .ready = guarded<handle_ready>,
    .failed = guarded<handle_failed>,
    .damage = guarded<handle_damage>,
    .linux_dmabuf = guarded<handle_linux_dmabuf>,
    .buffer_done = guarded<handle_buffer_done>,
};

struct Target {
    uint32_t global_name;
    const Output* output;
    Capture::PerOutput* state;
};

Result<std::unique_ptr<Capture::Slot>> make_slot(AppData& app_data, const EventQueue& queue, const BufferParams& params)
{
    const uint64_t size = uint64_t{params.stride} * params.height;
    if (params.width == 0 || params.height == 0 || params.stride < uint64_t{params.width} * 4 || size > INT32_MAX)
        return fail("the compositor offered unusable buffer parameters: width " + std::to_string(params.width) +
                    ", height " + std::to_string(params.height) + ", stride " + std::to_string(params.stride));
    auto file = create_shm_file(size);
    if (!file) return std::unexpected(std::move(file.error()));
    void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, file->get(), 0);
    if (address == MAP_FAILED) return fail("failed to map the capture buffer", {os_error_text(errno)});
    auto slot = std::make_unique<Capture::Slot>(&queue);
    slot->memory = std::make_shared<Mapping>(address, size);
    slot->params = params;
    slot->pool = wl_shm_create_pool(app_data.shm.get(), file->get(), static_cast<int32_t>(size));
    if (!slot->pool) return fail("failed to create the shared-memory pool", {os_error_text(errno)});
    slot->buffer = wl_shm_pool_create_buffer(slot->pool, 0, static_cast<int32_t>(params.width),
                                             static_cast<int32_t>(params.height), static_cast<int32_t>(params.stride),
                                             params.format);
    if (!slot->buffer) return fail("failed to create the buffer", {os_error_text(errno)});
    app_data.listen_buffer(slot->buffer);
    return slot;
}

bool same(const BufferParams& a, const BufferParams& b)
{
    return a.format == b.format && a.width == b.width && a.height == b.height && a.stride == b.stride;
}

// A free slot for these parameters, made if need be.
Result<Capture::Slot*> slot_for(AppData& app_data, const EventQueue& queue, Capture::PerOutput& out,
                                const BufferParams& params)
{
    auto& slots = out.slots;
    // Slots of another size will not serve again.
    std::erase_if(slots, [&](const auto& s) { return s->free() && !same(s->params, params); });
    for (auto& s : slots)
        if (s->free()) return s.get();
    if (slots.size() >= slots_per_output) {
        const auto lent = std::find_if(slots.begin(), slots.end(), [](const auto& s) { return !s->in_flight; });
        if (lent != slots.end()) slots.erase(lent);
    }
    auto made = make_slot(app_data, queue, params);
    if (!made) return std::unexpected(std::move(made.error()));
    slots.push_back(std::move(*made));
    return slots.back().get();
}

void cancel(Capture::PerOutput& out, const EventQueue& queue)
{
    if (!out.pending) return;
    if (!queue.broken() && out.pending->frame) zwlr_screencopy_frame_v1_destroy(out.pending->frame.release());
    out.pending.reset();
}

Image image_of(const Capture::Slot& slot, bool y_invert)
{
    Image image;
    image.keeper = slot.memory;
    image.pixels = static_cast<uint8_t*>(slot.memory->address);
    image.width = slot.params.width;
    image.height = slot.params.height;
    image.stride = slot.params.stride;
    image.y_invert = y_invert;
    return image;
}

}  // namespace

Capture::Capture() = default;
Capture::Capture(Capture&&) noexcept = default;
Capture::~Capture() = default;

Result<std::vector<Frame>> Capture::next(AppData& app_data, EventQueue& queue, const CaptureRequest& request)
{
    if (const auto& failure = queue.broken()) return std::unexpected(failure->to_error());
    std::vector<Target> targets;
    if (request.screens.empty()) {
        for (const auto& [global_name, output] : app_data.outputs) targets.push_back({global_name, &output, nullptr});
        if (targets.empty()) return fail("at least one display need to be set");
    } else {
        for (const auto& name : request.screens) {
            const auto it = std::find_if(app_data.outputs.begin(), app_data.outputs.end(),
                                         [&](const auto& o) { return o.second.name == name; });
            if (it == app_data.outputs.end()) return fail("no WLOutput with name " + name);
            targets.push_back({it->first, &it->second, nullptr});
        }
    }
    if (!app_data.screencopy_manager) return fail("no screencopy manager");
    if (!app_data.shm) return fail("no shared memory");

    // Outputs gone since the last call take their slots with them.
    std::erase_if(outputs_, [&](const auto& e) { return !app_data.outputs.contains(e.first); });

    for (auto& t : targets) {
        auto& state = outputs_[t.global_name];
        if (!state) state = std::make_unique<PerOutput>();
        t.state = state.get();
        Pending* p = state->pending.get();
        if (p && (p->damage != request.damage || p->cursor != request.cursor || p->failed)) cancel(*state, queue);
        if (!state->pending) {
            auto fresh = std::make_unique<Pending>();
            fresh->damage = request.damage;
            fresh->cursor = request.cursor;
            fresh->frame.reset(zwlr_screencopy_manager_v1_capture_output(app_data.screencopy_manager.get(),
                                                                         request.cursor ? 1 : 0,
                                                                         t.output->output.get()));
            if (!fresh->frame) return fail("failed to request a capture", {os_error_text(errno)});
            zwlr_screencopy_frame_v1_add_listener(fresh->frame.get(), &listener, fresh.get());
            state->pending = std::move(fresh);
        }
    }

    const auto deadline = request.timeout ? std::optional(std::chrono::steady_clock::now() + *request.timeout)
                                          : std::nullopt;
    for (;;) {
        size_t ready = 0;
        for (auto& t : targets) {
            Pending& p = *t.state->pending;
            if (p.failed) {
                cancel(*t.state, queue);
                return fail("the compositor could not capture the output");
            }
            if (p.ready) ++ready;
            if (!p.params_known || p.copying) continue;
            if (!p.params) {
                cancel(*t.state, queue);
                return fail("the compositor offers no pixel format this client reads");
            }
            auto slot = slot_for(app_data, queue, *t.state, *p.params);
            if (!slot) return std::unexpected(std::move(slot.error()));
            p.slot = *slot;
            p.slot->in_flight = true;
            if (p.damage) zwlr_screencopy_frame_v1_copy_with_damage(p.frame.get(), p.slot->buffer);
            else zwlr_screencopy_frame_v1_copy(p.frame.get(), p.slot->buffer);
            p.copying = true;
        }
        if (request.damage ? ready > 0 : ready == targets.size()) break;

        Dispatched waited;
        if (!request.damage) {
            waited = queue.blocking_dispatch();
        } else {
            const auto until = deadline.value_or(std::chrono::steady_clock::now() + std::chrono::hours(24));
            if (std::chrono::steady_clock::now() >= until) break;
            bool woken;
            waited = queue.dispatch_until(until, request.wake_fd, woken);
            if (waited && woken) break;
        }
        if (!waited) return std::unexpected(waited.error().to_error());
    }

    std::vector<Frame> frames;
    for (auto& t : targets) {
        Pending& p = *t.state->pending;
        if (!p.ready) continue;
        Frame frame;
        frame.screen = t.output->name.value_or("");
        frame.image = image_of(*p.slot, p.flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT);
        frame.time_ns = p.time_ns;
        frame.damage = p.damage_box;
        frames.push_back(std::move(frame));
        cancel(*t.state, queue);
    }
    // The destroys go now: nothing may wait after the last frame.
    queue.flush();
    return frames;
}

}  // namespace pravlin_lib
