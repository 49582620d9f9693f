#include "helper.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <vector>

#include "shm.hpp"

namespace pravlin_lib {

namespace {

enum class EnvState { Unset, NotUnicode, Set };

struct EnvValue {
    EnvState state;
    std::string value;
};

EnvValue read_env(const char* name)
{
    const char* raw = std::getenv(name);
    if (!raw) return {EnvState::Unset, {}};
    std::string value(raw);
    if (!is_valid_utf8(value)) return {EnvState::NotUnicode, std::move(value)};
    return {EnvState::Set, std::move(value)};
}

Result<std::string> socket_path(const std::optional<std::string>& wayland_display)
{
    std::string name;
    if (wayland_display) {
        name = *wayland_display;
    } else {
        EnvValue env = read_env("WAYLAND_DISPLAY");
        name = env.state == EnvState::Set ? std::move(env.value) : std::string("wayland-0");
    }
    if (name.starts_with('/')) return name;

    const EnvValue dir = read_env("XDG_RUNTIME_DIR");
    if (dir.state == EnvState::Unset) return fail("no XDG_RUNTIME_DIR set", {"environment variable not found"});
    if (dir.state == EnvState::NotUnicode)
        return fail("no XDG_RUNTIME_DIR set",
                    {"environment variable was not valid unicode: " + quoted(dir.value)});
    if (dir.value.empty()) return name;
    return dir.value.ends_with('/') ? dir.value + name : dir.value + "/" + name;
}

Result<Fd> connect_unix_stream(const std::string& path)
{
    const auto refuse = [&](std::string cause) {
        return fail("failed to connect to unix stream " + quoted(path), {std::move(cause)});
    };
    if (path.find('\0') != std::string::npos) return refuse("paths must not contain interior null bytes");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return refuse("path must be shorter than SUN_LEN");
    std::memcpy(addr.sun_path, path.data(), path.size());

    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return refuse(os_error_text(errno));
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return refuse(os_error_text(errno));
    return fd;
}

}  // namespace

Result<DisplayPtr> connect_wayland(const std::optional<std::string>& wayland_display)
{
    auto path = socket_path(wayland_display);
    if (!path) return std::unexpected(std::move(path.error()));
    auto fd = connect_unix_stream(*path);
    if (!fd) return std::unexpected(std::move(fd.error()));
    // The library owns the descriptor from here on, and closes it itself when
    // it refuses it.
    DisplayPtr display(wl_display_connect_to_fd(fd->release()));
    if (!display) return fail("failed to connect to wayland compositor", {os_error_text(errno)});
    return display;
}

std::optional<Error> lacking_globals(const AppData& app_data)
{
    std::vector<const char*> missing;
    if (!app_data.seat) missing.push_back(wl_seat_interface.name);
    if (!app_data.virtual_keyboard_manager) missing.push_back(zwp_virtual_keyboard_manager_v1_interface.name);
    if (!app_data.virtual_pointer_manager) missing.push_back(zwlr_virtual_pointer_manager_v1_interface.name);
    if (missing.empty()) return std::nullopt;
    std::string names;
    for (size_t i = 0; i < missing.size(); ++i)
        names += (i == 0 ? "" : i + 1 == missing.size() ? " and " : ", ") + std::string(missing[i]);
    return Error{"the compositor lacks " + names +
                     ": pravlin needs a wlroots-family compositor such as sway, one that offers a seat, "
                     "virtual keyboards and virtual pointers (and screencopy for screenshots)",
                 {}, true};
}

namespace {

constexpr const char* keyboard_remedy =
    "run under pravlin-run (the pravlin_session package), whose headless session has a keyboard, or keep "
    "a client that holds a virtual keyboard connected";

std::unexpected<Error> seat_without_keyboard()
{
    return internal_failure(std::string("the seat has no keyboard, and the virtual keyboard needs its keymap: ") +
                            keyboard_remedy);
}

bool seat_never_had_keyboard(const AppData& app_data)
{
    return app_data.seat_capabilities && !(*app_data.seat_capabilities & WL_SEAT_CAPABILITY_KEYBOARD);
}

// What a failed round trip of the keyboard set-up tells the user: a missing
// global, or a seat without a keyboard, before the failure itself. wlroots
// answers get_keyboard on a seat that never had a keyboard with the seat's
// missing_capability error; the seat's own events, queued behind it, are
// never dispatched.
std::unexpected<Error> keyboard_round_trip_failed(const AppData& app_data, EventQueue& event_queue,
                                                  const DispatchFailure& failure, const std::string& what)
{
    if (failure.to_error().out_of_memory) return std::unexpected(failure.to_error());
    if (auto lacking = lacking_globals(app_data)) return std::unexpected(std::move(*lacking));
    const wl_interface* interface = nullptr;
    uint32_t id = 0;
    const uint32_t code = wl_display_get_protocol_error(event_queue.display(), &interface, &id);
    if (interface == &wl_seat_interface && code == WL_SEAT_ERROR_MISSING_CAPABILITY &&
        id == wl_proxy_get_id(reinterpret_cast<wl_proxy*>(app_data.seat.get())))
        return seat_without_keyboard();
    return failure.fails_construction(what);
}

}  // namespace

Result<VirtualKeyboard> setup_virtual_keyboard(AppData& app_data, QueueHandle, EventQueue& event_queue)
{
    if (!app_data.seat) return std::unexpected(*lacking_globals(app_data));

    wl_keyboard* keyboard = wl_seat_get_keyboard(app_data.seat.get());
    if (!keyboard) return internal_failure("failed to request the seat keyboard");
    app_data.listen_keyboard(keyboard);

    if (auto r = event_queue.roundtrip(); !r)
        return keyboard_round_trip_failed(app_data, event_queue, r.error(),
                                          "round trip failed while waiting for the keymap");

    if (!app_data.virtual_keyboard_manager) return std::unexpected(*lacking_globals(app_data));

    Proxy<zwp_virtual_keyboard_v1> virtual_keyboard(zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(
        app_data.virtual_keyboard_manager.get(), app_data.seat.get()));
    if (!virtual_keyboard) return internal_failure("failed to create the virtual keyboard");

    std::optional<Keymap> keymap = std::exchange(app_data.keymap, std::nullopt);
    if (!keymap) {
        if (auto lacking = lacking_globals(app_data)) return std::unexpected(std::move(*lacking));
        if (seat_never_had_keyboard(app_data)) return seat_without_keyboard();
        return internal_failure(std::string("the seat keyboard sent no keymap (the seat has no active keyboard): ") +
                                keyboard_remedy);
    }

    // Always xkb_v1, whatever the seat announced. libwayland duplicates the
    // descriptor while marshalling, so ours closes when `keymap` goes.
    zwp_virtual_keyboard_v1_keymap(virtual_keyboard.get(), WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1,
                                   keymap->fd.get(), keymap->size);

    if (auto r = event_queue.roundtrip(); !r)
        return keyboard_round_trip_failed(app_data, event_queue, r.error(),
                                          "round trip failed after sending the keymap");
    return VirtualKeyboard{std::move(virtual_keyboard), std::move(*keymap)};
}

Result<std::string> read_keymap(const Keymap& keymap)
{
    std::string text(keymap.size, '\0');
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::pread(keymap.fd.get(), text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail("failed to read the keymap", {os_error_text(errno)});
        if (n == 0) return fail("failed to read the keymap", {"the file is shorter than announced"});
        done += static_cast<size_t>(n);
    }
    return text;
}

Result<Session> open_session(const std::optional<std::string>& wayland_display, bool track_layout)
{
    auto display = connect_wayland(wayland_display);
    if (!display) return std::unexpected(std::move(display.error()));
    auto queue = EventQueue::create(std::move(*display));
    if (!queue) return std::unexpected(std::move(queue.error()));

    auto app_data = std::make_unique<AppData>();
    app_data->track_layout = track_layout;
    queue->resolve_objects_with(
        [app = app_data.get()](std::string_view interface) { return app->only_object_of(interface); });
    if (!app_data->listen_registry(queue->handle())) return internal_failure("failed to request the registry");
    if (auto r = queue->roundtrip(); !r)
        return r.error().fails_construction("round trip failed while discovering globals");

    auto virtual_keyboard = setup_virtual_keyboard(*app_data, queue->handle(), *queue);
    if (!virtual_keyboard) return std::unexpected(std::move(virtual_keyboard.error()));

    if (auto lacking = lacking_globals(*app_data)) return std::unexpected(std::move(*lacking));
    Proxy<zwlr_virtual_pointer_v1> virtual_pointer(zwlr_virtual_pointer_manager_v1_create_virtual_pointer(
        app_data->virtual_pointer_manager.get(), app_data->seat.get()));
    if (!virtual_pointer) return internal_failure("failed to create the virtual pointer");
    if (auto r = queue->roundtrip(); !r)
        return r.error().fails_construction("round trip failed after creating the virtual pointer");

    return Session{std::move(*queue), std::move(app_data), std::move(*virtual_keyboard), std::move(virtual_pointer)};
}

Result<> wait_for_output_names(AppData& app_data, EventQueue& event_queue)
{
    // An output bound below version 4 is never sent a name: waiting for one
    // would never end, so such outputs are left nameless.
    const auto unnamed = [&] {
        for (const auto& [global_name, output] : app_data.outputs)
            if (!output.name && wl_output_get_version(output.output.get()) >= WL_OUTPUT_NAME_SINCE_VERSION)
                return true;
        return false;
    };
    while (unnamed())
        if (auto r = event_queue.blocking_dispatch(); !r) return std::unexpected(r.error().to_error());
    return {};
}

// -- screenshot ----------------------------------------------------------------

Result<wl_output*> choose_output(const AppData& app_data, const std::optional<std::string>& screen_name)
{
    if (screen_name) {
        for (const auto& [global_name, output] : app_data.outputs)
            if (output.name && *output.name == *screen_name) return output.output.get();
        return fail("no WLOutput with name " + *screen_name);
    }
    if (app_data.outputs.empty()) return fail("at least one display need to be set");
    if (app_data.outputs.size() > 1)
        return fail("more that one WLOuput set. Please specify the name of the one to use");
    return app_data.outputs.begin()->second.output.get();
}

namespace {

// The frame told us it cannot be copied: it is of no further use, so it is
// destroyed and the record cleared, leaving the session ready for the next try.
std::unexpected<Error> frame_failed(AppData& app_data)
{
    if (app_data.screencopy) zwlr_screencopy_frame_v1_destroy(app_data.screencopy->frame.release());
    app_data.screencopy.reset();
    app_data.capture_pending = false;
    return fail("the compositor could not capture the output");
}

// Rows are read into packed memory; a stride wider than a row leaves its
// padding in the file.
Result<> read_rows(int fd, uint8_t* out, const BufferParams& params)
{
    const size_t row = static_cast<size_t>(params.width) * 4;
    const size_t total = row * params.height;
    const bool packed = params.stride == row;
    size_t done = 0;
    while (done < total) {
        const size_t y = done / row, in_row = done % row;
        const size_t want = packed ? total - done : row - in_row;
        const off_t offset = static_cast<off_t>(y * params.stride + in_row);
        const ssize_t n = packed ? ::read(fd, out + done, want) : ::pread(fd, out + done, want, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(os_error_text(errno));
        }
        if (n == 0) return fail("failed to fill whole buffer");
        done += static_cast<size_t>(n);
    }
    return {};
}

// read() copies out of the file's pages, which start on page boundaries. Into
// memory a few bytes past a boundary (malloc's own mapped blocks start 16
// bytes in) every load of that copy meets a store just made at the same offset
// within a page, which the processor must rule out as its source, and the
// read takes four times as long (8 MB: 3.9 ms against 0.7 ms). So the pixels
// start on a page boundary. The block still comes from malloc, which hands the
// same memory to the next capture of the same size instead of fresh pages.
Result<> allocate_pixels(Image& image, size_t size)
{
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    image.block.reset(static_cast<uint8_t*>(std::malloc(size + page)));
    if (!image.block) return fail("failed to allocate " + std::to_string(size) + " bytes");
    const auto start = reinterpret_cast<uintptr_t>(image.block.get());
    image.pixels = image.block.get() + ((page - start % page) % page);
    return {};
}

}  // namespace

Result<Image> screenshot(AppData& app_data, QueueHandle, EventQueue& event_queue,
                         const std::optional<std::string>& screen_name)
{
    const auto dispatch_error = [](const DispatchFailure& f) { return std::unexpected(f.to_error()); };

    auto output = choose_output(app_data, screen_name);
    if (!output) return std::unexpected(std::move(output.error()));
    if (!app_data.screencopy_manager) return fail("no screencopy manager");
    if (const auto& failure = event_queue.broken()) return dispatch_error(*failure);

    zwlr_screencopy_frame_v1* frame =
        zwlr_screencopy_manager_v1_capture_output(app_data.screencopy_manager.get(), 0, *output);
    if (!frame) return fail("failed to request a capture", {os_error_text(errno)});
    app_data.start_capture(frame);

    if (auto r = event_queue.roundtrip(); !r) return dispatch_error(r.error());
    while (!app_data.screencopy->buffer && !app_data.screencopy->failed)
        if (auto r = event_queue.blocking_dispatch(); !r) return dispatch_error(r.error());
    if (app_data.screencopy->failed) return frame_failed(app_data);

    const BufferParams params = *app_data.screencopy->buffer;
    const uint64_t row = uint64_t{params.width} * 4;
    const uint64_t size = uint64_t{params.stride} * params.height;
    // wl_shm takes the pool size as a signed 32-bit number.
    if (params.width == 0 || params.height == 0 || params.stride < row || size > INT32_MAX)
        return fail("the compositor offered unusable buffer parameters: width " + std::to_string(params.width) +
                    ", height " + std::to_string(params.height) + ", stride " +
                    std::to_string(params.stride));

    auto file = create_shm_file(size);
    if (!file) return std::unexpected(std::move(file.error()));
    if (!app_data.shm) return fail("no shared memory");

    // Destroyed on every way out, so that the compositor lets go of its
    // mapping of the file as well; a broken session only frees the proxies.
    struct PoolDestroy {
        const EventQueue* queue;
        void operator()(wl_shm_pool* p) const
        {
            if (queue->broken()) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(p));
            else wl_shm_pool_destroy(p);
        }
    };
    struct BufferDestroy {
        const EventQueue* queue;
        void operator()(wl_buffer* b) const
        {
            if (queue->broken()) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(b));
            else wl_buffer_destroy(b);
        }
    };
    std::unique_ptr<wl_shm_pool, PoolDestroy> pool(
        wl_shm_create_pool(app_data.shm.get(), file->get(), static_cast<int32_t>(size)), PoolDestroy{&event_queue});
    if (!pool) return fail("failed to create the shared-memory pool", {os_error_text(errno)});
    if (auto r = event_queue.roundtrip(); !r) return dispatch_error(r.error());
    if (app_data.screencopy->failed) return frame_failed(app_data);

    std::unique_ptr<wl_buffer, BufferDestroy> buffer(
        wl_shm_pool_create_buffer(pool.get(), 0, static_cast<int32_t>(params.width),
                                  static_cast<int32_t>(params.height), static_cast<int32_t>(params.stride),
                                  WL_SHM_FORMAT_XRGB8888),
        BufferDestroy{&event_queue});
    if (!buffer) return fail("failed to create the buffer", {os_error_text(errno)});
    app_data.listen_buffer(buffer.get());
    if (auto r = event_queue.roundtrip(); !r) return dispatch_error(r.error());
    if (app_data.screencopy->failed) return frame_failed(app_data);

    zwlr_screencopy_frame_v1_copy(app_data.screencopy->frame.get(), buffer.get());
    app_data.capture_pending = true;
    while (app_data.capture_pending && !app_data.screencopy->failed)
        if (auto r = event_queue.blocking_dispatch(); !r) return dispatch_error(r.error());
    if (app_data.screencopy->failed) return frame_failed(app_data);

    zwlr_screencopy_frame_v1_destroy(app_data.screencopy->frame.release());
    app_data.screencopy.reset();

    Image image;
    image.width = params.width;
    image.height = params.height;
    if (auto r = allocate_pixels(image, static_cast<size_t>(row * params.height)); !r)
        return std::unexpected(std::move(r.error()));
    if (auto r = read_rows(file->get(), image.pixels, params); !r) return std::unexpected(std::move(r.error()));
    buffer.reset();
    pool.reset();
    // No wait follows, so send the destroys now: the compositor can let go of
    // the file before the next call.
    event_queue.flush();
    return image;
}

}  // namespace pravlin_lib
