// The floor for bench_desktop.py: a C client that makes exactly the requests
// one pravlin_desktop action makes, then the one round trip that ends it, and
// nothing else. It times N such actions after a few unmeasured ones and prints
// each one's duration in nanoseconds, one per line.
//
//   input_floor ACTION N      ACTION: bare | key | click | scroll
//
// bare is a round trip alone; key is Ctrl+S (Control_L and s down, the
// modifier state after each change, up in reverse); click a left press and
// release, each closed by a frame; scroll one wheel notch (source, discrete
// step, frame).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <wayland-client.h>

#include "virtual_keyboard-client-protocol.h"
#include "virtual_pointer-client-protocol.h"

struct client {
    struct wl_seat *seat;
    struct zwp_virtual_keyboard_manager_v1 *keyboards;
    struct zwlr_virtual_pointer_manager_v1 *pointers;
    int32_t keymap_fd;
    uint32_t keymap_size;
};

static long long now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static uint32_t now_ms(void) { return (uint32_t)(now_ns() / 1000000); }

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface, uint32_t version) {
    struct client *c = data;
    if (!c->seat && strcmp(interface, wl_seat_interface.name) == 0)
        c->seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    else if (strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
        c->keyboards = wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1);
    else if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0 && version >= 2)
        c->pointers = wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 2);
}

static void global_remove(void *data, struct wl_registry *registry, uint32_t name) {
    (void)data, (void)registry, (void)name;
}

static const struct wl_registry_listener registry_listener = {global, global_remove};

static void keymap(void *data, struct wl_keyboard *kb, uint32_t format, int32_t fd, uint32_t size) {
    struct client *c = data;
    (void)kb, (void)format;
    c->keymap_fd = fd;
    c->keymap_size = size;
}
static void enter(void *d, struct wl_keyboard *k, uint32_t s, struct wl_surface *f, struct wl_array *a) {
    (void)d, (void)k, (void)s, (void)f, (void)a;
}
static void leave(void *d, struct wl_keyboard *k, uint32_t s, struct wl_surface *f) { (void)d, (void)k, (void)s, (void)f; }
static void key(void *d, struct wl_keyboard *k, uint32_t s, uint32_t t, uint32_t c, uint32_t st) {
    (void)d, (void)k, (void)s, (void)t, (void)c, (void)st;
}
static void modifiers(void *d, struct wl_keyboard *k, uint32_t s, uint32_t a, uint32_t b, uint32_t c, uint32_t g) {
    (void)d, (void)k, (void)s, (void)a, (void)b, (void)c, (void)g;
}
static void repeat(void *d, struct wl_keyboard *k, int32_t r, int32_t dl) { (void)d, (void)k, (void)r, (void)dl; }
static const struct wl_keyboard_listener keyboard_listener = {keymap, enter, leave, key, modifiers, repeat};

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: input_floor bare|key|click|scroll N\n");
        return 2;
    }
    const char *action = argv[1];
    const long n = strtol(argv[2], NULL, 10);
    struct wl_display *display = wl_display_connect(NULL);
    if (!display || n <= 0) {
        fprintf(stderr, "input_floor: cannot connect, or N <= 0\n");
        return 1;
    }
    struct client c = {0};
    c.keymap_fd = -1;
    wl_registry_add_listener(wl_display_get_registry(display), &registry_listener, &c);
    wl_display_roundtrip(display);
    if (!c.seat || !c.keyboards || !c.pointers) {
        fprintf(stderr, "input_floor: the compositor lacks a seat or virtual input\n");
        return 1;
    }
    struct wl_keyboard *kb = wl_seat_get_keyboard(c.seat);
    wl_keyboard_add_listener(kb, &keyboard_listener, &c);
    wl_display_roundtrip(display);
    if (c.keymap_fd < 0) {
        fprintf(stderr, "input_floor: no keymap\n");
        return 1;
    }
    struct zwp_virtual_keyboard_v1 *vk = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(c.keyboards, c.seat);
    zwp_virtual_keyboard_v1_keymap(vk, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, c.keymap_fd, c.keymap_size);
    struct zwlr_virtual_pointer_v1 *vp = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(c.pointers, c.seat);
    wl_display_roundtrip(display);

    long long *samples = malloc(sizeof *samples * (size_t)n);
    if (!samples) return 1;
    int rc = 0;
    for (long i = -50; i < n && rc == 0; ++i) {
        const long long start = now_ns();
        const uint32_t t = now_ms();
        if (strcmp(action, "key") == 0) {
            zwp_virtual_keyboard_v1_key(vk, t, 29, 1);
            zwp_virtual_keyboard_v1_modifiers(vk, 4, 0, 0, 0);
            zwp_virtual_keyboard_v1_key(vk, t, 31, 1);
            zwp_virtual_keyboard_v1_key(vk, t, 31, 0);
            zwp_virtual_keyboard_v1_key(vk, t, 29, 0);
            zwp_virtual_keyboard_v1_modifiers(vk, 0, 0, 0, 0);
        } else if (strcmp(action, "click") == 0) {
            zwlr_virtual_pointer_v1_button(vp, t, 0x110, 1);
            zwlr_virtual_pointer_v1_frame(vp);
            zwlr_virtual_pointer_v1_button(vp, t, 0x110, 0);
            zwlr_virtual_pointer_v1_frame(vp);
        } else if (strcmp(action, "scroll") == 0) {
            zwlr_virtual_pointer_v1_axis_source(vp, WL_POINTER_AXIS_SOURCE_WHEEL);
            zwlr_virtual_pointer_v1_axis_discrete(vp, t, WL_POINTER_AXIS_VERTICAL_SCROLL, wl_fixed_from_int(15), 1);
            zwlr_virtual_pointer_v1_frame(vp);
        } else if (strcmp(action, "bare") != 0) {
            fprintf(stderr, "input_floor: unknown action %s\n", action);
            return 2;
        }
        rc = wl_display_roundtrip(display) < 0;
        if (i >= 0) samples[i] = now_ns() - start;
    }
    if (rc) fprintf(stderr, "input_floor: connection failed\n");
    else
        for (long i = 0; i < n; ++i) printf("%lld\n", samples[i]);
    free(samples);
    wl_display_disconnect(display);
    return rc;
}
