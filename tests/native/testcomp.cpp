// testcomp: a scriptable fake Wayland compositor for the test suite.
//
//   testcomp --socket /abs/path --scenario scenario.json --record record.jsonl
//
// It announces the globals a JSON scenario lists, answers requests just well
// enough for a client to get through its setup and screen captures, injects
// scripted faults, and records every request received and every event sent as
// one JSON line each. tests/testcomp.py documents the scenario and record formats.
#include "testcomp.h"

#include <wayland-server-protocol.h>

#include "screencopy-server-protocol.h"
#include "virtual_keyboard-server-protocol.h"
#include "virtual_pointer-server-protocol.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <stdexcept>
#include <unordered_map>

namespace {

using namespace testcomp;

// Every interface a resource of ours can have; faults look event counts up here by name.
const wl_interface* const all_interfaces[] = {
    &wl_display_interface, &wl_registry_interface, &wl_callback_interface,
    &wl_shm_interface, &wl_shm_pool_interface, &wl_buffer_interface,
    &wl_seat_interface, &wl_pointer_interface, &wl_keyboard_interface, &wl_touch_interface,
    &wl_output_interface,
    &zwlr_screencopy_manager_v1_interface, &zwlr_screencopy_frame_v1_interface,
    &zwp_virtual_keyboard_manager_v1_interface, &zwp_virtual_keyboard_v1_interface,
    &zwlr_virtual_pointer_manager_v1_interface, &zwlr_virtual_pointer_v1_interface,
};

// ---------------------------------------------------------------- server state

struct ClientState {
    int num = 0;
    wl_listener destroy{};
    std::map<std::string, int> counts;  // "interface.request" -> how many received
    bool cut = false;   // closed or hung by a fault: nothing more is recorded for it
    bool hung = false;  // its connection is held open by us after libwayland let go of it
};

// A hung client's connection, kept open (never read or written) until its peer
// goes away or we exit.
struct HeldConnection {
    int client = 0;
    Fd fd;
    wl_event_source* source = nullptr;
};

struct Frame;

struct Server {
    Scenario sc;
    wl_display* display = nullptr;
    wl_event_loop* loop = nullptr;
    Fd record;
    timespec start{};
    uint64_t seq = 0;
    int next_client = 1;
    std::unordered_map<wl_client*, std::unique_ptr<ClientState>> clients;
    std::list<HeldConnection> held;
    std::string socket_path;
    long long frames_failed = 0;
    std::vector<Frame*> frames;  // live frame resources, oldest first
};

Server g;

// Whether this frame fails at `where`, counting it against fail_times.
bool frame_fails(FrameSetup::Fail where) {
    const FrameSetup& f = g.sc.frame;
    if (f.fail != where || (f.fail_times >= 0 && g.frames_failed >= f.fail_times)) return false;
    ++g.frames_failed;
    return true;
}

std::string ms_since_start() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    double ms = double(now.tv_sec - g.start.tv_sec) * 1e3 + double(now.tv_nsec - g.start.tv_nsec) / 1e6;
    char buf[32];
    snprintf(buf, sizeof buf, "%.3f", ms);
    return buf;
}

// `fields` is either empty or starts with ", ".
void record(int client, const char* dir, const std::string& fields) {
    std::string line = "{\"seq\": " + std::to_string(++g.seq) + ", \"client\": " + std::to_string(client) +
                       ", \"dir\": \"" + dir + "\"" + fields + ", \"t\": " + ms_since_start() + "}\n";
    if (g.record && !write_all(g.record.get(), line.data(), line.size()))
        perror("testcomp: writing the record");
}

ClientState* state_of(wl_client* c) {
    auto it = g.clients.find(c);
    return it == g.clients.end() ? nullptr : it->second.get();
}

std::string object_ref(wl_resource* r) {
    if (!r) return "null";
    return jstr(std::string(wl_resource_get_class(r)) + "@" + std::to_string(wl_resource_get_id(r)));
}

std::string render_args(const wl_message* msg, const wl_argument* args, int count) {
    std::string out = "[";
    int i = 0;
    for (const char* p = msg->signature; *p && i < count; ++p) {
        if ((*p >= '0' && *p <= '9') || *p == '?') continue;
        const wl_argument& a = args[i];
        if (i++) out += ", ";
        switch (*p) {
        case 'i': out += std::to_string(a.i); break;
        case 'u': out += std::to_string(a.u); break;
        case 'n': out += std::to_string(a.n); break;
        case 'f': {
            char buf[40];
            snprintf(buf, sizeof buf, "%.17g", wl_fixed_to_double(a.f));
            out += buf;
            if (!strpbrk(buf, ".en")) out += ".0";
            break;
        }
        case 's': out += jstr(a.s); break;
        // Server-side object arguments are wl_resource pointers.
        case 'o': out += object_ref(reinterpret_cast<wl_resource*>(a.o)); break;
        case 'a': {
            // uint32 words when the size allows, bytes otherwise.
            out += "[";
            if (a.a && a.a->size % 4 == 0) {
                for (size_t k = 0; k < a.a->size / 4; ++k) {
                    uint32_t w;
                    memcpy(&w, static_cast<char*>(a.a->data) + 4 * k, 4);
                    out += (k ? ", " : "") + std::to_string(w);
                }
            } else if (a.a) {
                for (size_t k = 0; k < a.a->size; ++k)
                    out += (k ? ", " : "") + std::to_string(static_cast<unsigned char*>(a.a->data)[k]);
            }
            out += "]";
            break;
        }
        case 'h': {
            struct stat st;
            if (fstat(a.h, &st) == 0)
                out += "{\"fd\": true, \"ino\": " + std::to_string(st.st_ino) + ", \"size\": " +
                       std::to_string(st.st_size) + "}";
            else
                out += "{\"fd\": true, \"ino\": null, \"size\": null}";
            break;
        }
        default: out += "null";
        }
    }
    return out + "]";
}

// ---------------------------------------------------------------- globals and objects

void destroy_request(wl_client*, wl_resource* r) { wl_resource_destroy(r); }

template <typename T>
void delete_data(wl_resource* r) { delete static_cast<T*>(wl_resource_get_user_data(r)); }

wl_resource* create_resource(wl_client* c, const wl_interface* iface, int version, uint32_t id) {
    wl_resource* r = wl_resource_create(c, iface, version, id);
    if (!r) wl_client_post_no_memory(c);
    return r;
}

// wl_shm

void fail_pending_frame(wl_client* c, FrameSetup::Fail where);

struct Pool {
    Fd fd;
    int32_t size = 0;
};
using PoolRef = std::shared_ptr<Pool>;  // buffers keep the pool alive after wl_shm_pool.destroy

struct Buffer {
    PoolRef pool;
    int32_t offset, width, height, stride;
    uint32_t format;
};

const struct wl_buffer_interface buffer_impl = {.destroy = destroy_request};

void pool_create_buffer(wl_client* c, wl_resource* r, uint32_t id, int32_t offset, int32_t width,
                        int32_t height, int32_t stride, uint32_t format) {
    PoolRef& pool = *static_cast<PoolRef*>(wl_resource_get_user_data(r));
    if (format > 1) {
        wl_resource_post_error(r, WL_SHM_ERROR_INVALID_FORMAT, "invalid format 0x%x", format);
        return;
    }
    if (offset < 0 || width <= 0 || height <= 0 || int64_t(stride) < 4 * int64_t(width) ||
        int64_t(offset) + int64_t(stride) * height > pool->size) {
        wl_resource_post_error(r, WL_SHM_ERROR_INVALID_STRIDE, "invalid buffer geometry");
        return;
    }
    wl_resource* b = create_resource(c, &wl_buffer_interface, 1, id);
    if (!b) return;
    wl_resource_set_implementation(b, &buffer_impl, new Buffer{pool, offset, width, height, stride, format},
                                   delete_data<Buffer>);
    fail_pending_frame(c, FrameSetup::Buffer);
}

void pool_resize(wl_client*, wl_resource* r, int32_t size) {
    PoolRef& pool = *static_cast<PoolRef*>(wl_resource_get_user_data(r));
    if (size < pool->size) {
        wl_resource_post_error(r, WL_SHM_ERROR_INVALID_FD, "shrinking a pool is not allowed");
        return;
    }
    pool->size = size;
}

const struct wl_shm_pool_interface pool_impl = {
    .create_buffer = pool_create_buffer, .destroy = destroy_request, .resize = pool_resize};

void shm_create_pool(wl_client* c, wl_resource* r, uint32_t id, int32_t fd, int32_t size) {
    Fd owned(fd);
    if (size <= 0) {
        wl_resource_post_error(r, WL_SHM_ERROR_INVALID_STRIDE, "invalid pool size %d", size);
        return;
    }
    wl_resource* p = create_resource(c, &wl_shm_pool_interface, wl_resource_get_version(r), id);
    if (!p) return;
    auto pool = std::make_shared<Pool>();
    pool->fd = std::move(owned);
    pool->size = size;
    wl_resource_set_implementation(p, &pool_impl, new PoolRef(std::move(pool)), delete_data<PoolRef>);
    fail_pending_frame(c, FrameSetup::Pool);
}

const struct wl_shm_interface shm_impl = {.create_pool = shm_create_pool};

void bind_shm(wl_client* c, GlobalDef* def, uint32_t version, uint32_t id) {
    wl_resource* r = create_resource(c, &def->iface, int(version), id);
    if (!r) return;
    wl_resource_set_implementation(r, &shm_impl, nullptr, nullptr);
    wl_shm_send_format(r, WL_SHM_FORMAT_ARGB8888);
    wl_shm_send_format(r, WL_SHM_FORMAT_XRGB8888);
}

// wl_seat

void pointer_set_cursor(wl_client*, wl_resource*, uint32_t, wl_resource*, int32_t, int32_t) {}

const struct wl_pointer_interface pointer_impl = {.set_cursor = pointer_set_cursor, .release = destroy_request};
const struct wl_keyboard_interface keyboard_impl = {.release = destroy_request};
const struct wl_touch_interface touch_impl = {.release = destroy_request};

void seat_get_pointer(wl_client* c, wl_resource* r, uint32_t id) {
    if (wl_resource* p = create_resource(c, &wl_pointer_interface, wl_resource_get_version(r), id))
        wl_resource_set_implementation(p, &pointer_impl, nullptr, nullptr);
}

void seat_get_touch(wl_client* c, wl_resource* r, uint32_t id) {
    if (wl_resource* t = create_resource(c, &wl_touch_interface, wl_resource_get_version(r), id))
        wl_resource_set_implementation(t, &touch_impl, nullptr, nullptr);
}

void seat_get_keyboard(wl_client* c, wl_resource* r, uint32_t id) {
    if (static_cast<GlobalDef*>(wl_resource_get_user_data(r))->refuse_keyboard) {
        wl_resource_post_error(r, 0, "wl_seat.get_keyboard called when no keyboard capability has existed");
        return;
    }
    wl_resource* kb = create_resource(c, &wl_keyboard_interface, wl_resource_get_version(r), id);
    if (!kb) return;
    wl_resource_set_implementation(kb, &keyboard_impl, nullptr, nullptr);
    for (const KeymapDef& km : g.sc.keymaps) {
        Fd fd(memfd_create("testcomp-keymap", MFD_CLOEXEC));
        size_t size = km.text.size() + (km.nul ? 1 : 0);
        if (!fd || !write_all(fd.get(), km.text.c_str(), size)) {
            perror("testcomp: keymap memfd");
            wl_client_post_no_memory(c);
            return;
        }
        wl_keyboard_send_keymap(kb, km.format, fd.get(), uint32_t(size));
    }
}

const struct wl_seat_interface seat_impl = {.get_pointer = seat_get_pointer,
                                     .get_keyboard = seat_get_keyboard,
                                     .get_touch = seat_get_touch,
                                     .release = destroy_request};

void bind_seat(wl_client* c, GlobalDef* def, uint32_t version, uint32_t id) {
    wl_resource* r = create_resource(c, &def->iface, int(version), id);
    if (!r) return;
    wl_resource_set_implementation(r, &seat_impl, def, nullptr);
    wl_seat_send_capabilities(r, def->capabilities);
    if (version >= 2 && def->name) wl_seat_send_name(r, def->name->c_str());
}

// wl_output

struct OutputRes {
    GlobalDef* def;
    wl_event_source* name_timer = nullptr;
};

void destroy_output(wl_resource* r) {
    auto* o = static_cast<OutputRes*>(wl_resource_get_user_data(r));
    if (o->name_timer) wl_event_source_remove(o->name_timer);
    delete o;
}

const struct wl_output_interface output_impl = {.release = destroy_request};

int send_delayed_name(void* data) {
    auto* r = static_cast<wl_resource*>(data);
    auto* o = static_cast<OutputRes*>(wl_resource_get_user_data(r));
    wl_event_source_remove(o->name_timer);
    o->name_timer = nullptr;
    wl_output_send_name(r, o->def->name->c_str());
    wl_output_send_done(r);
    return 0;
}

void bind_output(wl_client* c, GlobalDef* def, uint32_t version, uint32_t id) {
    wl_resource* r = create_resource(c, &def->iface, int(version), id);
    if (!r) return;
    auto* o = new OutputRes{def};
    wl_resource_set_implementation(r, &output_impl, o, destroy_output);
    wl_output_send_geometry(r, 0, 0, 0, 0, WL_OUTPUT_SUBPIXEL_UNKNOWN, "pravlin", "testcomp",
                            WL_OUTPUT_TRANSFORM_NORMAL);
    wl_output_send_mode(r, WL_OUTPUT_MODE_CURRENT | WL_OUTPUT_MODE_PREFERRED, def->width, def->height, 60000);
    if (version >= 2) wl_output_send_scale(r, 1);
    if (version >= 4) {
        if (def->name && def->name_delay_ms > 0) {
            o->name_timer = wl_event_loop_add_timer(g.loop, send_delayed_name, r);
            if (o->name_timer) wl_event_source_timer_update(o->name_timer, def->name_delay_ms);
        } else if (def->name) {
            wl_output_send_name(r, def->name->c_str());
        }
        wl_output_send_description(r, def->name ? ("testcomp output " + *def->name).c_str() : "testcomp output");
    }
    if (version >= 2) wl_output_send_done(r);
}

// zwlr_screencopy_manager_v1

struct BufferParams {
    uint32_t format, width, height, stride;
};

struct Frame {
    BufferParams params;
    wl_resource* resource = nullptr;
    bool used = false;
};

void destroy_frame(wl_resource* r) {
    auto* f = static_cast<Frame*>(wl_resource_get_user_data(r));
    std::erase(g.frames, f);
    delete f;
}

// "fail": "pool" / "buffer": the client's newest frame not yet copied fails
// when the pool or the buffer for it is created.
void fail_pending_frame(wl_client* c, FrameSetup::Fail where) {
    for (auto it = g.frames.rbegin(); it != g.frames.rend(); ++it) {
        if (wl_resource_get_client((*it)->resource) != c || (*it)->used) continue;
        if (frame_fails(where)) zwlr_screencopy_frame_v1_send_failed((*it)->resource);
        return;
    }
}

sigjmp_buf bus_jump;
volatile sig_atomic_t copying = 0;

// A client can shrink the file behind a pool after we checked its size; the
// write then faults with SIGBUS, which turns into a failed copy.
void on_sigbus(int sig) {
    if (copying) siglongjmp(bus_jump, 1);
    signal(sig, SIG_DFL);
    raise(sig);
}

void fill_pattern(uint8_t* base, const BufferParams& frame, int32_t stride) {
    const FrameSetup& f = g.sc.frame;
    for (uint32_t y = 0; y < frame.height; ++y) {
        uint8_t* row = base + size_t(y) * size_t(stride);
        for (uint32_t x = 0; x < frame.width; ++x) {
            uint8_t* px = row + 4 * size_t(x);
            if (f.solid) {
                px[0] = f.b, px[1] = f.g, px[2] = f.r, px[3] = 0xff;
            } else {
                px[0] = uint8_t(x), px[1] = uint8_t(y), px[2] = uint8_t(x + 2 * y), px[3] = 0x7f;
            }
        }
    }
}

bool write_into(const Buffer& b, const BufferParams& frame) {
    size_t len = size_t(b.offset) + size_t(b.stride) * frame.height;
    void* map = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, b.pool->fd.get(), 0);
    if (map == MAP_FAILED) return false;
    bool ok = true;
    copying = 1;
    if (sigsetjmp(bus_jump, 1) == 0)
        fill_pattern(static_cast<uint8_t*>(map) + b.offset, frame, b.stride);
    else
        ok = false;
    copying = 0;
    munmap(map, len);
    return ok;
}

void frame_copy_common(wl_resource* r, wl_resource* buffer, bool with_damage) {
    auto* fr = static_cast<Frame*>(wl_resource_get_user_data(r));
    if (fr->used) {
        wl_resource_post_error(r, ZWLR_SCREENCOPY_FRAME_V1_ERROR_ALREADY_USED, "frame already copied");
        return;
    }
    fr->used = true;
    if (frame_fails(FrameSetup::Copy)) {
        zwlr_screencopy_frame_v1_send_failed(r);
        return;
    }
    const BufferParams& p = fr->params;
    Buffer* b = wl_resource_instance_of(buffer, &wl_buffer_interface, &buffer_impl)
                    ? static_cast<Buffer*>(wl_resource_get_user_data(buffer))
                    : nullptr;
    if (!b || uint32_t(b->width) < p.width || uint32_t(b->height) < p.height ||
        uint64_t(b->stride) < 4ULL * p.width) {
        wl_resource_post_error(r, ZWLR_SCREENCOPY_FRAME_V1_ERROR_INVALID_BUFFER,
                               "buffer smaller than the frame parameters");
        return;
    }
    struct stat st;
    if (fstat(b->pool->fd.get(), &st) != 0 ||
        (S_ISREG(st.st_mode) && st.st_size < int64_t(b->offset) + int64_t(b->stride) * p.height)) {
        wl_resource_post_error(r, ZWLR_SCREENCOPY_FRAME_V1_ERROR_INVALID_BUFFER,
                               "pool file shorter than the buffer");
        return;
    }
    if (!write_into(*b, p)) {
        zwlr_screencopy_frame_v1_send_failed(r);
        return;
    }
    zwlr_screencopy_frame_v1_send_flags(r, g.sc.frame.y_invert ? ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT : 0);
    if (with_damage && wl_resource_get_version(r) >= 2)
        zwlr_screencopy_frame_v1_send_damage(r, 0, 0, p.width, p.height);
    zwlr_screencopy_frame_v1_send_ready(r, 0, 1, 2);
}

void frame_copy(wl_client*, wl_resource* r, wl_resource* buffer) { frame_copy_common(r, buffer, false); }
void frame_copy_with_damage(wl_client*, wl_resource* r, wl_resource* buffer) {
    frame_copy_common(r, buffer, true);
}

const struct zwlr_screencopy_frame_v1_interface frame_impl = {
    .copy = frame_copy, .destroy = destroy_request, .copy_with_damage = frame_copy_with_damage};

void start_capture(wl_client* c, wl_resource* manager, uint32_t id, wl_resource* output) {
    wl_resource* r = create_resource(c, &zwlr_screencopy_frame_v1_interface, wl_resource_get_version(manager), id);
    if (!r) return;
    const FrameSetup& f = g.sc.frame;
    int ow = 64, oh = 48;
    if (wl_resource_instance_of(output, &wl_output_interface, &output_impl)) {
        auto* o = static_cast<OutputRes*>(wl_resource_get_user_data(output));
        ow = o->def->width;
        oh = o->def->height;
    }
    BufferParams p;
    p.format = f.format;
    p.width = uint32_t(f.width.value_or(ow));
    p.height = uint32_t(f.height.value_or(oh));
    p.stride = uint32_t(f.stride.value_or(4LL * p.width));
    auto* frame = new Frame{p, r};
    wl_resource_set_implementation(r, &frame_impl, frame, destroy_frame);
    g.frames.push_back(frame);
    if (frame_fails(FrameSetup::Capture)) {
        zwlr_screencopy_frame_v1_send_failed(r);
        return;
    }
    zwlr_screencopy_frame_v1_send_buffer(r, p.format, p.width, p.height, p.stride);
    for (const BufferEvent& e : f.extra) {
        uint32_t w = uint32_t(e.width.value_or(p.width));
        zwlr_screencopy_frame_v1_send_buffer(r, uint32_t(e.format.value_or(p.format)), w,
                                             uint32_t(e.height.value_or(p.height)),
                                             uint32_t(e.stride.value_or(4LL * w)));
    }
    if (wl_resource_get_version(r) >= 3) zwlr_screencopy_frame_v1_send_buffer_done(r);
}

void capture_output(wl_client* c, wl_resource* r, uint32_t id, int32_t, wl_resource* output) {
    start_capture(c, r, id, output);
}

// The region does not change the frame parameters: they are the output's.
void capture_output_region(wl_client* c, wl_resource* r, uint32_t id, int32_t, wl_resource* output, int32_t,
                           int32_t, int32_t, int32_t) {
    start_capture(c, r, id, output);
}

const struct zwlr_screencopy_manager_v1_interface screencopy_impl = {
    .capture_output = capture_output, .capture_output_region = capture_output_region, .destroy = destroy_request};

// zwp_virtual_keyboard_manager_v1

void vkbd_keymap(wl_client*, wl_resource*, uint32_t, int32_t fd, uint32_t) { close(fd); }
void vkbd_key(wl_client*, wl_resource*, uint32_t, uint32_t, uint32_t) {}
void vkbd_modifiers(wl_client*, wl_resource*, uint32_t, uint32_t, uint32_t, uint32_t) {}

const struct zwp_virtual_keyboard_v1_interface vkbd_impl = {
    .keymap = vkbd_keymap, .key = vkbd_key, .modifiers = vkbd_modifiers, .destroy = destroy_request};

void create_virtual_keyboard(wl_client* c, wl_resource* r, wl_resource*, uint32_t id) {
    if (wl_resource* k = create_resource(c, &zwp_virtual_keyboard_v1_interface, wl_resource_get_version(r), id))
        wl_resource_set_implementation(k, &vkbd_impl, nullptr, nullptr);
}

const struct zwp_virtual_keyboard_manager_v1_interface vkbd_manager_impl = {
    .create_virtual_keyboard = create_virtual_keyboard};

// zwlr_virtual_pointer_manager_v1

void vptr_motion(wl_client*, wl_resource*, uint32_t, wl_fixed_t, wl_fixed_t) {}
void vptr_motion_absolute(wl_client*, wl_resource*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}
void vptr_button(wl_client*, wl_resource*, uint32_t, uint32_t, uint32_t) {}
void vptr_axis(wl_client*, wl_resource*, uint32_t, uint32_t, wl_fixed_t) {}
void vptr_frame(wl_client*, wl_resource*) {}
void vptr_axis_source(wl_client*, wl_resource*, uint32_t) {}
void vptr_axis_stop(wl_client*, wl_resource*, uint32_t, uint32_t) {}
void vptr_axis_discrete(wl_client*, wl_resource*, uint32_t, uint32_t, wl_fixed_t, int32_t) {}

const struct zwlr_virtual_pointer_v1_interface vptr_impl = {.motion = vptr_motion,
                                                     .motion_absolute = vptr_motion_absolute,
                                                     .button = vptr_button,
                                                     .axis = vptr_axis,
                                                     .frame = vptr_frame,
                                                     .axis_source = vptr_axis_source,
                                                     .axis_stop = vptr_axis_stop,
                                                     .axis_discrete = vptr_axis_discrete,
                                                     .destroy = destroy_request};

void make_virtual_pointer(wl_client* c, wl_resource* manager, uint32_t id) {
    int version = wl_resource_get_version(manager);
    if (wl_resource* p = create_resource(c, &zwlr_virtual_pointer_v1_interface, version, id))
        wl_resource_set_implementation(p, &vptr_impl, nullptr, nullptr);
}
void create_virtual_pointer(wl_client* c, wl_resource* r, wl_resource*, uint32_t id) {
    make_virtual_pointer(c, r, id);
}
void create_virtual_pointer_with_output(wl_client* c, wl_resource* r, wl_resource*, wl_resource*, uint32_t id) {
    make_virtual_pointer(c, r, id);
}

const struct zwlr_virtual_pointer_manager_v1_interface vptr_manager_impl = {
    .create_virtual_pointer = create_virtual_pointer,
    .destroy = destroy_request,
    .create_virtual_pointer_with_output = create_virtual_pointer_with_output};

// global binding

void bind_global(wl_client* c, void* data, uint32_t version, uint32_t id) {
    auto* def = static_cast<GlobalDef*>(data);
    switch (def->kind) {
    case Kind::Shm: bind_shm(c, def, version, id); return;
    case Kind::Seat: bind_seat(c, def, version, id); return;
    case Kind::Output: bind_output(c, def, version, id); return;
    default: break;
    }
    wl_resource* r = create_resource(c, &def->iface, int(version), id);
    if (!r) return;
    const void* impl = nullptr;
    if (def->kind == Kind::Screencopy) impl = &screencopy_impl;
    if (def->kind == Kind::VkbdManager) impl = &vkbd_manager_impl;
    if (def->kind == Kind::VptrManager) impl = &vptr_manager_impl;
    wl_resource_set_implementation(r, impl, nullptr, nullptr);
}

bool create_global(GlobalDef& def) {
    def.global = wl_global_create(g.display, &def.iface, def.version, &def, bind_global);
    if (!def.global)
        fprintf(stderr, "testcomp: cannot create global %s v%d\n", def.iface_name.c_str(), def.version);
    return def.global != nullptr;
}

// The first client's N-th wl_display.sync adds or removes scheduled globals
// before libwayland answers it, so the registry events precede the done.
void on_first_client_sync(int n) {
    for (auto& def : g.sc.globals) {
        if (def->after_syncs == n && !def->global) create_global(*def);
        if (def->remove_after_syncs == n && def->global && !def->removed) {
            wl_global_remove(def->global);
            def->removed = true;
        }
    }
}

// ---------------------------------------------------------------- faults

int on_held_hangup(int, uint32_t, void* data) {
    auto* h = static_cast<HeldConnection*>(data);
    record(h->client, "disconnect", "");
    wl_event_source_remove(h->source);
    g.held.remove_if([h](const HeldConnection& e) { return &e == h; });
    return 0;
}

// Hands the rest of a client's life to libwayland's error path without
// sending it anything: the faulting request is still dispatched, nothing after it.
void end_dispatch_silently(wl_resource* r) { wl_resource_post_error(r, 0, "cut off by a test fault"); }

// "hang": the client's fd number is pointed at a dead socketpair, so the
// error that makes libwayland drop the client goes nowhere; libwayland's
// own dup of the real connection (the one in its epoll set) is closed when it
// destroys the client, and the real connection stays open through our dup,
// unwatched except for hangup.
void hang_client(wl_client* c, ClientState* cs, wl_resource* r) {
    wl_client_flush(c);
    int fd = wl_client_get_fd(c);
    Fd keep(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    int pair[2];
    if (!keep || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) {
        perror("testcomp: hang");
        return;
    }
    dup3(pair[0], fd, O_CLOEXEC);
    close(pair[0]);
    close(pair[1]);
    cs->cut = cs->hung = true;
    end_dispatch_silently(r);
    HeldConnection& h = g.held.emplace_back();
    h.client = cs->num;
    h.fd = std::move(keep);
    h.source = wl_event_loop_add_fd(g.loop, h.fd.get(), 0, on_held_hangup, &h);
    if (!h.source) g.held.pop_back();
}

// Objects whose destructor request the client sent are gone on its side, and
// events for them would be dropped silently; such requests are told apart by name.
bool has_live_events(const char* iface, const char* request) {
    if (!strcmp(request, "destroy") || !strcmp(request, "release")) return false;
    for (const wl_interface* i : all_interfaces)
        if (!strcmp(i->name, iface)) return i->event_count > 0;
    return false;
}

uint32_t event_count_of(const char* iface) {
    for (const wl_interface* i : all_interfaces)
        if (!strcmp(i->name, iface)) return uint32_t(i->event_count);
    return 0;
}

void send_raw(wl_client* c, uint32_t object, uint32_t size, uint32_t opcode) {
    wl_client_flush(c);
    uint32_t msg[2] = {object, size << 16 | opcode};
    if (send(wl_client_get_fd(c), msg, sizeof msg, MSG_NOSIGNAL) != sizeof msg) perror("testcomp: raw send");
}

// A request argument as one wire word: ids for objects and new ids.
uint32_t argument_word(const wl_protocol_logger_message* m, uint32_t index) {
    int i = 0;
    for (const char* p = m->message->signature; *p; ++p) {
        if ((*p >= '0' && *p <= '9') || *p == '?') continue;
        if (i == int(index) && i < m->arguments_count) {
            const wl_argument& a = m->arguments[i];
            if (*p == 'o') return a.o ? wl_resource_get_id(reinterpret_cast<wl_resource*>(a.o)) : 0;
            return a.u;  // 'n', 'u', 'i' and 'f' share the 32-bit slot
        }
        ++i;
    }
    return 0;
}

void trigger_fault(const Fault& f, wl_client* c, ClientState* cs, const wl_protocol_logger_message* m, int n) {
    static const char* const names[] = {"close", "protocol_error", "bad_opcode", "truncated", "hang", "raw"};
    wl_resource* r = m->resource;
    const char* request = m->message->name;
    std::string fields = ", \"action\": \"" + std::string(names[int(f.action)]) + "\", \"request\": " +
                         jstr(f.request) + ", \"occurrence\": " + std::to_string(n);
    const char* iface = wl_resource_get_class(r);
    switch (f.action) {
    case Action::Close:
        record(cs->num, "fault", fields);
        wl_client_flush(c);
        shutdown(wl_client_get_fd(c), SHUT_RDWR);
        cs->cut = true;
        end_dispatch_silently(r);
        break;
    case Action::ProtocolError:
        record(cs->num, "fault", fields);
        wl_resource_post_error(r, f.code, "%s", f.message.c_str());
        break;
    case Action::BadOpcode: {
        bool own = has_live_events(iface, request);
        uint32_t object = own ? wl_resource_get_id(r) : 1;
        uint32_t opcode = own ? event_count_of(iface) : uint32_t(wl_display_interface.event_count);
        record(cs->num, "fault", fields + ", \"object\": " + std::to_string(object) + ", \"opcode\": " +
                                     std::to_string(opcode) + ", \"size\": 8");
        send_raw(c, object, 8, opcode);
        break;
    }
    case Action::Truncated:
        // wl_display.delete_id without its uint argument.
        record(cs->num, "fault", fields + ", \"object\": 1, \"opcode\": 1, \"size\": 8");
        send_raw(c, 1, 8, WL_DISPLAY_DELETE_ID);
        break;
    case Action::Hang:
        record(cs->num, "fault", fields);
        hang_client(c, cs, r);
        break;
    case Action::Raw: {
        std::vector<uint32_t> words;
        std::string listed;
        for (const RawWord& w : f.words) {
            uint32_t v = w.kind == RawWord::Object ? wl_resource_get_id(r)
                         : w.kind == RawWord::Arg  ? argument_word(m, w.value)
                                                   : w.value;
            listed += (words.empty() ? "" : ", ") + std::to_string(v);
            words.push_back(v);
        }
        record(cs->num, "fault", fields + ", \"words\": [" + listed + "]");
        wl_client_flush(c);
        const size_t size = words.size() * sizeof(uint32_t);
        if (send(wl_client_get_fd(c), words.data(), size, MSG_NOSIGNAL) != ssize_t(size))
            perror("testcomp: raw send");
        break;
    }
    }
}

// ---------------------------------------------------------------- recording

void on_protocol(void*, wl_protocol_logger_type type, const wl_protocol_logger_message* m) {
    wl_client* c = wl_resource_get_client(m->resource);
    ClientState* cs = state_of(c);
    if (!cs || cs->cut) return;
    bool is_request = type == WL_PROTOCOL_LOGGER_REQUEST;
    const char* iface = wl_resource_get_class(m->resource);
    record(cs->num, is_request ? "request" : "event",
           ", \"interface\": " + jstr(iface) + ", \"id\": " + std::to_string(wl_resource_get_id(m->resource)) +
               (is_request ? ", \"request\": " : ", \"event\": ") + jstr(m->message->name) +
               ", \"args\": " + render_args(m->message, m->arguments, m->arguments_count));
    if (!is_request) return;

    std::string key = std::string(iface) + "." + m->message->name;
    int n = ++cs->counts[key];
    if (cs->num == 1 && key == "wl_display.sync") on_first_client_sync(n);
    for (const Fault& f : g.sc.faults) {
        if (f.request != key || f.occurrence != n || (f.client && f.client != cs->num)) continue;
        trigger_fault(f, c, cs, m, n);
        if (cs->cut) break;
    }
}

void on_client_destroyed(wl_listener* l, void* data) {
    auto* c = static_cast<wl_client*>(data);
    ClientState* cs = state_of(c);
    if (!cs || &cs->destroy != l) return;
    if (!cs->hung) record(cs->num, "disconnect", "");
    g.clients.erase(c);
}

void on_client_created(wl_listener*, void* data) {
    auto* c = static_cast<wl_client*>(data);
    auto cs = std::make_unique<ClientState>();
    cs->num = g.next_client++;
    cs->destroy.notify = on_client_destroyed;
    wl_client_add_destroy_listener(c, &cs->destroy);
    record(cs->num, "connect", "");
    g.clients[c] = std::move(cs);
}

wl_listener client_created{{}, on_client_created};

int on_terminate(int, void*) {
    wl_display_terminate(g.display);
    return 0;
}

Fd listen_on(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path[0] != '/' || path.size() >= sizeof addr.sun_path)
        throw std::runtime_error("socket path must be absolute and shorter than " +
                                 std::to_string(sizeof addr.sun_path) + " bytes: " + path);
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path.c_str());
    Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd.get(), 128) != 0)
        throw std::runtime_error("cannot listen on " + path + ": " + strerror(errno));
    return fd;
}

int usage() {
    fprintf(stderr, "usage: testcomp --socket /abs/path --scenario scenario.json --record record.jsonl\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string scenario_path, record_path;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) return usage();
        if (a == "--socket") g.socket_path = argv[++i];
        else if (a == "--scenario") scenario_path = argv[++i];
        else if (a == "--record") record_path = argv[++i];
        else return usage();
    }
    if (g.socket_path.empty() || record_path.empty()) return usage();

    clock_gettime(CLOCK_MONOTONIC, &g.start);
    Fd listener;
    try {
        g.sc = load_scenario(scenario_path);
        listener = listen_on(g.socket_path);
    } catch (const std::exception& e) {
        fprintf(stderr, "testcomp: %s\n", e.what());
        return 2;
    }
    g.record.reset(open(record_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
    if (!g.record) {
        perror(("testcomp: " + record_path).c_str());
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa{};
    sa.sa_handler = on_sigbus;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, nullptr);

    g.display = wl_display_create();
    if (!g.display) return 1;
    g.loop = wl_display_get_event_loop(g.display);
    wl_protocol_logger* logger = wl_display_add_protocol_logger(g.display, on_protocol, nullptr);
    wl_display_add_client_created_listener(g.display, &client_created);
    for (auto& def : g.sc.globals)
        if (def->after_syncs == 0 && !create_global(*def)) return 1;
    if (wl_display_add_socket_fd(g.display, listener.get()) != 0) {
        fprintf(stderr, "testcomp: cannot add the socket to the display\n");
        return 1;
    }
    listener.release();  // the display owns it now
    wl_event_source* sig_sources[] = {wl_event_loop_add_signal(g.loop, SIGTERM, on_terminate, nullptr),
                                      wl_event_loop_add_signal(g.loop, SIGINT, on_terminate, nullptr)};

    fputs("READY\n", stdout);
    fflush(stdout);
    wl_display_run(g.display);

    wl_display_destroy_clients(g.display);
    for (HeldConnection& h : g.held) {
        record(h.client, "disconnect", "");
        wl_event_source_remove(h.source);
    }
    g.held.clear();
    for (wl_event_source* s : sig_sources)
        if (s) wl_event_source_remove(s);
    for (auto& def : g.sc.globals)
        if (def->global) wl_global_destroy(def->global);
    wl_protocol_logger_destroy(logger);
    wl_display_destroy(g.display);
    unlink(g.socket_path.c_str());
    return 0;
}
