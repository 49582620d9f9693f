// A plain xdg-shell window that reports the pointer and keyboard input it is
// given, one JSON object per line on stdout:
//
//   {"ev":"configured","w":W,"h":H}   after each configure is acked and committed
//   {"ev":"enter","x":X,"y":Y,"mono":M} / {"ev":"motion","time":T,"x":X,"y":Y,"mono":M}
//   {"ev":"button","time":T,"button":B,"state":S,"mono":M}   {"ev":"frame","mono":M}
//   {"ev":"kbenter","mono":M}
//   {"ev":"key","time":T,"key":K,"state":S,"sym":"a","mono":M}
//
// T is the compositor's event time (ms), M our CLOCK_MONOTONIC at receipt
// (ms, fractional). Positions are surface-local. The keysym name comes from
// the keymap the compositor last sent. Runs until killed or disconnected.
//
// It shows a pattern that tells every pixel from every other up to 4096x4096:
// at surface-local (x, y), red x % 256, green y % 256, blue 16 * (x / 256) + y / 256.
#define _GNU_SOURCE
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include "pw-xdg-shell-client-protocol.h"

struct window {
    struct wl_compositor *compositor;
    struct wl_shm *shm;
    struct xdg_wm_base *wm_base;
    struct wl_seat *seat;
    struct wl_surface *surface;
    struct wl_pointer *pointer;
    struct wl_keyboard *keyboard;
    struct wl_buffer *buffer;
    int32_t width, height;  // pending size from the toplevel configure
    int32_t buf_width, buf_height;
    struct xkb_context *xkb;
    struct xkb_keymap *keymap;
    struct xkb_state *xkb_state;
};

static double mono_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

static void emit(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void emit(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

static struct wl_buffer *make_buffer(struct wl_shm *shm, int32_t w, int32_t h) {
    const int32_t stride = w * 4;
    const size_t size = (size_t)stride * (size_t)h;
    int fd = memfd_create("pointer-window", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, (off_t)size) < 0) {
        if (fd >= 0) close(fd);
        return NULL;
    }
    uint32_t *px = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (px == MAP_FAILED) {
        close(fd);
        return NULL;
    }
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            px[(size_t)y * (size_t)w + (size_t)x] = 0xff000000u | (uint32_t)(x & 0xff) << 16 |
                                                    (uint32_t)(y & 0xff) << 8 |
                                                    (uint32_t)((x >> 8 << 4 | y >> 8) & 0xff);
    munmap(px, size);
    struct wl_shm_pool *pool = wl_shm_create_pool(shm, fd, (int32_t)size);
    struct wl_buffer *buffer = wl_shm_pool_create_buffer(pool, 0, w, h, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    return buffer;
}

// -- xdg-shell

static void wm_ping(void *data, struct xdg_wm_base *base, uint32_t serial) {
    (void)data;
    xdg_wm_base_pong(base, serial);
}
static const struct xdg_wm_base_listener wm_base_listener = {wm_ping};

static void surface_configure(void *data, struct xdg_surface *xdg_surface, uint32_t serial) {
    struct window *w = data;
    xdg_surface_ack_configure(xdg_surface, serial);
    const int32_t width = w->width > 0 ? w->width : 320, height = w->height > 0 ? w->height : 240;
    if (!w->buffer || width != w->buf_width || height != w->buf_height) {
        if (w->buffer) wl_buffer_destroy(w->buffer);
        w->buffer = make_buffer(w->shm, width, height);
        if (!w->buffer) {
            fprintf(stderr, "pointer_window: no buffer\n");
            exit(1);
        }
        w->buf_width = width, w->buf_height = height;
        wl_surface_attach(w->surface, w->buffer, 0, 0);
        wl_surface_damage(w->surface, 0, 0, width, height);
    }
    wl_surface_commit(w->surface);
    emit("{\"ev\":\"configured\",\"w\":%d,\"h\":%d}\n", width, height);
}
static const struct xdg_surface_listener surface_listener = {surface_configure};

static void toplevel_configure(void *data, struct xdg_toplevel *t, int32_t width, int32_t height,
                               struct wl_array *states) {
    (void)t, (void)states;
    struct window *w = data;
    w->width = width, w->height = height;
}
static void toplevel_close(void *data, struct xdg_toplevel *t) {
    (void)data, (void)t;
    exit(0);
}
static const struct xdg_toplevel_listener toplevel_listener = {.configure = toplevel_configure,
                                                               .close = toplevel_close};  // v1: nothing else

// -- pointer

static void pointer_enter(void *data, struct wl_pointer *p, uint32_t serial, struct wl_surface *s,
                          wl_fixed_t x, wl_fixed_t y) {
    (void)data, (void)p, (void)serial, (void)s;
    emit("{\"ev\":\"enter\",\"x\":%.4f,\"y\":%.4f,\"mono\":%.3f}\n", wl_fixed_to_double(x),
         wl_fixed_to_double(y), mono_ms());
}
static void pointer_leave(void *data, struct wl_pointer *p, uint32_t serial, struct wl_surface *s) {
    (void)data, (void)p, (void)serial, (void)s;
    emit("{\"ev\":\"leave\",\"mono\":%.3f}\n", mono_ms());
}
static void pointer_motion(void *data, struct wl_pointer *p, uint32_t time, wl_fixed_t x, wl_fixed_t y) {
    (void)data, (void)p;
    emit("{\"ev\":\"motion\",\"time\":%u,\"x\":%.4f,\"y\":%.4f,\"mono\":%.3f}\n", time, wl_fixed_to_double(x),
         wl_fixed_to_double(y), mono_ms());
}
static void pointer_button(void *data, struct wl_pointer *p, uint32_t serial, uint32_t time, uint32_t button,
                           uint32_t state) {
    (void)data, (void)p, (void)serial;
    emit("{\"ev\":\"button\",\"time\":%u,\"button\":%u,\"state\":%u,\"mono\":%.3f}\n", time, button, state,
         mono_ms());
}
static void pointer_axis(void *data, struct wl_pointer *p, uint32_t time, uint32_t axis, wl_fixed_t value) {
    (void)data, (void)p, (void)time, (void)axis, (void)value;
}
static void pointer_frame(void *data, struct wl_pointer *p) {
    (void)data, (void)p;
    emit("{\"ev\":\"frame\",\"mono\":%.3f}\n", mono_ms());
}
static void pointer_axis_source(void *data, struct wl_pointer *p, uint32_t source) {
    (void)data, (void)p, (void)source;
}
static void pointer_axis_stop(void *data, struct wl_pointer *p, uint32_t time, uint32_t axis) {
    (void)data, (void)p, (void)time, (void)axis;
}
static void pointer_axis_discrete(void *data, struct wl_pointer *p, uint32_t axis, int32_t discrete) {
    (void)data, (void)p, (void)axis, (void)discrete;
}
// Bound at seat version 5 at most: axis_value120 (v8) is never sent.
static const struct wl_pointer_listener pointer_listener = {
    .enter = pointer_enter, .leave = pointer_leave, .motion = pointer_motion, .button = pointer_button,
    .axis = pointer_axis, .frame = pointer_frame, .axis_source = pointer_axis_source,
    .axis_stop = pointer_axis_stop, .axis_discrete = pointer_axis_discrete};

// -- keyboard

static void keyboard_keymap(void *data, struct wl_keyboard *k, uint32_t format, int32_t fd, uint32_t size) {
    (void)k;
    struct window *w = data;
    char *text = format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 ? mmap(NULL, size, PROT_READ, MAP_PRIVATE, fd, 0)
                                                             : MAP_FAILED;
    close(fd);
    if (text == MAP_FAILED) return;
    struct xkb_keymap *keymap =
        xkb_keymap_new_from_buffer(w->xkb, text, strnlen(text, size), XKB_KEYMAP_FORMAT_TEXT_V1, 0);
    munmap(text, size);
    if (!keymap) return;
    xkb_state_unref(w->xkb_state);
    xkb_keymap_unref(w->keymap);
    w->keymap = keymap;
    w->xkb_state = xkb_state_new(keymap);
}
static void keyboard_enter(void *data, struct wl_keyboard *k, uint32_t serial, struct wl_surface *s,
                           struct wl_array *keys) {
    (void)data, (void)k, (void)serial, (void)s, (void)keys;
    emit("{\"ev\":\"kbenter\",\"mono\":%.3f}\n", mono_ms());
}
static void keyboard_leave(void *data, struct wl_keyboard *k, uint32_t serial, struct wl_surface *s) {
    (void)data, (void)k, (void)serial, (void)s;
}
static void keyboard_key(void *data, struct wl_keyboard *k, uint32_t serial, uint32_t time, uint32_t key,
                         uint32_t state) {
    (void)k, (void)serial;
    struct window *w = data;
    char name[64] = "";
    if (w->xkb_state) xkb_keysym_get_name(xkb_state_key_get_one_sym(w->xkb_state, key + 8), name, sizeof name);
    emit("{\"ev\":\"key\",\"time\":%u,\"key\":%u,\"state\":%u,\"sym\":\"%s\",\"mono\":%.3f}\n", time, key, state,
         name, mono_ms());
}
static void keyboard_modifiers(void *data, struct wl_keyboard *k, uint32_t serial, uint32_t depressed,
                               uint32_t latched, uint32_t locked, uint32_t group) {
    (void)k, (void)serial;
    struct window *w = data;
    if (w->xkb_state) xkb_state_update_mask(w->xkb_state, depressed, latched, locked, 0, 0, group);
}
static void keyboard_repeat_info(void *data, struct wl_keyboard *k, int32_t rate, int32_t delay) {
    (void)data, (void)k, (void)rate, (void)delay;
}
static const struct wl_keyboard_listener keyboard_listener = {
    keyboard_keymap, keyboard_enter, keyboard_leave, keyboard_key, keyboard_modifiers, keyboard_repeat_info};

// -- seat and globals

static void seat_capabilities(void *data, struct wl_seat *seat, uint32_t caps) {
    struct window *w = data;
    if ((caps & WL_SEAT_CAPABILITY_POINTER) && !w->pointer) {
        w->pointer = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(w->pointer, &pointer_listener, w);
    }
    if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) && !w->keyboard) {
        w->keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(w->keyboard, &keyboard_listener, w);
    }
}
static void seat_name(void *data, struct wl_seat *seat, const char *name) { (void)data, (void)seat, (void)name; }
static const struct wl_seat_listener seat_listener = {seat_capabilities, seat_name};

static void on_global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                      uint32_t version) {
    struct window *w = data;
    if (strcmp(interface, wl_compositor_interface.name) == 0)
        w->compositor = wl_registry_bind(registry, name, &wl_compositor_interface, 4);
    else if (strcmp(interface, wl_shm_interface.name) == 0)
        w->shm = wl_registry_bind(registry, name, &wl_shm_interface, 1);
    else if (strcmp(interface, xdg_wm_base_interface.name) == 0)
        w->wm_base = wl_registry_bind(registry, name, &xdg_wm_base_interface, 1);
    else if (strcmp(interface, wl_seat_interface.name) == 0 && !w->seat)
        w->seat = wl_registry_bind(registry, name, &wl_seat_interface, version < 5 ? version : 5);
}
static void on_global_remove(void *data, struct wl_registry *r, uint32_t name) { (void)data, (void)r, (void)name; }
static const struct wl_registry_listener registry_listener = {on_global, on_global_remove};

int main(int argc, char **argv) {
    struct window w = {0};
    struct wl_display *display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "pointer_window: cannot connect\n");
        return 1;
    }
    w.xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    wl_registry_add_listener(wl_display_get_registry(display), &registry_listener, &w);
    wl_display_roundtrip(display);
    if (!w.compositor || !w.shm || !w.wm_base || !w.seat || !w.xkb) {
        fprintf(stderr, "pointer_window: missing globals\n");
        return 1;
    }
    xdg_wm_base_add_listener(w.wm_base, &wm_base_listener, &w);
    wl_seat_add_listener(w.seat, &seat_listener, &w);
    w.surface = wl_compositor_create_surface(w.compositor);
    struct xdg_surface *xdg_surface = xdg_wm_base_get_xdg_surface(w.wm_base, w.surface);
    xdg_surface_add_listener(xdg_surface, &surface_listener, &w);
    struct xdg_toplevel *toplevel = xdg_surface_get_toplevel(xdg_surface);
    xdg_toplevel_add_listener(toplevel, &toplevel_listener, &w);
    xdg_toplevel_set_title(toplevel, "pointer-window");
    xdg_toplevel_set_app_id(toplevel, argc > 1 ? argv[1] : "pointer-window");
    wl_surface_commit(w.surface);
    while (wl_display_dispatch(display) >= 0) {
    }
    return 0;
}
