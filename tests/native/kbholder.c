// Gives a seat a keyboard by attaching a virtual keyboard with a plain US
// keymap, then idles. A headless sway seat has no keyboard otherwise, and
// wl_seat.get_keyboard on such a seat is a protocol error.
//
// Prints "READY" once the compositor has processed the keymap; exits 0 on
// SIGTERM or when the compositor goes away, 1 on setup or protocol errors.
//
// sway makes the newest keyboard the seat's active one and, when that keyboard
// goes away with its client, leaves the seat without an active keyboard; the
// next wl_seat.get_keyboard then gets no keymap. SIGUSR1 replaces our virtual
// keyboard with a fresh one, which becomes the active keyboard again, and
// prints "READY" once more.
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include "virtual_keyboard-client-protocol.h"

struct globals {
    struct wl_seat *seat;
    struct zwp_virtual_keyboard_manager_v1 *manager;
};

static void on_global(void *data, struct wl_registry *registry, uint32_t name,
                      const char *interface, uint32_t version) {
    (void)version;
    struct globals *g = data;
    if (!g->seat && strcmp(interface, wl_seat_interface.name) == 0)
        g->seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    else if (!g->manager && strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
        g->manager = wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1);
}

static void on_global_remove(void *data, struct wl_registry *registry, uint32_t name) {
    (void)data, (void)registry, (void)name;
}

static const struct wl_registry_listener registry_listener = {on_global, on_global_remove};

static volatile sig_atomic_t terminated;
static volatile sig_atomic_t reattach;

static void on_signal(int sig) {
    if (sig == SIGTERM)
        terminated = 1;
    else
        reattach = 1;
}

static int fail(const char *msg) {
    fprintf(stderr, "kbholder: %s\n", msg);
    return 1;
}

// Returns a memfd holding the keymap text including its NUL, or -1.
static int keymap_fd(uint32_t *size) {
    struct xkb_context *ctx = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (!ctx)
        return -1;
    const struct xkb_rule_names names = {
        .rules = "evdev", .model = "pc105", .layout = "us", .variant = "", .options = ""};
    struct xkb_keymap *keymap = xkb_keymap_new_from_names(ctx, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    char *text = keymap ? xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : NULL;
    int fd = -1;
    if (text) {
        size_t len = strlen(text) + 1;
        fd = memfd_create("kbholder-keymap", MFD_CLOEXEC);
        if (fd >= 0 && write(fd, text, len) != (ssize_t)len) {
            close(fd);
            fd = -1;
        }
        *size = (uint32_t)len;
    }
    free(text);
    xkb_keymap_unref(keymap);
    xkb_context_unref(ctx);
    return fd;
}

// Creates a virtual keyboard with the keymap and waits until the compositor
// has processed it. Returns NULL on failure.
static struct zwp_virtual_keyboard_v1 *attach(struct wl_display *display, struct globals *g) {
    uint32_t size = 0;
    int fd = keymap_fd(&size);
    if (fd < 0) {
        fail("cannot build the keymap");
        return NULL;
    }
    struct zwp_virtual_keyboard_v1 *kb =
        zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(g->manager, g->seat);
    zwp_virtual_keyboard_v1_keymap(kb, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, size);
    close(fd);  // libwayland dups fds it sends
    if (wl_display_roundtrip(display) < 0) {
        fail("compositor rejected the virtual keyboard");
        zwp_virtual_keyboard_v1_destroy(kb);
        return NULL;
    }
    fputs("READY\n", stdout);
    fflush(stdout);
    return kb;
}

// Dispatches until SIGTERM or disconnect. The signals stay blocked except
// inside ppoll, so one cannot slip in between the flag check and the wait.
static int idle(struct wl_display *display, struct globals *g, struct zwp_virtual_keyboard_v1 **kb,
                const sigset_t *waitmask) {

    struct pollfd pfd = {.fd = wl_display_get_fd(display), .events = POLLIN};
    while (!terminated) {
        if (reattach) {
            reattach = 0;
            zwp_virtual_keyboard_v1_destroy(*kb);
            *kb = attach(display, g);
            if (!*kb)
                return 1;
            continue;
        }
        if (wl_display_flush(display) < 0 && errno != EAGAIN)
            break;
        int n = ppoll(&pfd, 1, NULL, waitmask);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail("poll failed");
        }
        if (wl_display_dispatch(display) < 0)
            break;
    }
    if (terminated)
        return 0;
    // A compositor that shuts down just closes the socket; only a protocol
    // error means we did something wrong.
    if (wl_display_get_error(display) == EPROTO)
        return fail("protocol error from compositor");
    return 0;
}

int main(void) {
    // Handled from the start: a SIGUSR1 sent as soon as READY appears must
    // not find the default action (termination) still in place.
    sigset_t block, waitmask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGUSR1);
    sigprocmask(SIG_BLOCK, &block, &waitmask);
    sigdelset(&waitmask, SIGTERM);
    sigdelset(&waitmask, SIGUSR1);
    struct sigaction sa = {.sa_handler = on_signal};
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGUSR1, &sa, NULL);

    struct wl_display *display = wl_display_connect(NULL);
    if (!display)
        return fail("cannot connect to the Wayland display");

    struct globals g = {0};
    struct zwp_virtual_keyboard_v1 *kb = NULL;
    struct wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, &g);
    int rc = 1;
    if (wl_display_roundtrip(display) < 0) {
        fail("initial roundtrip failed");
        goto out;
    }
    if (!g.seat) {
        fail("compositor has no wl_seat");
        goto out;
    }
    if (!g.manager) {
        fail("compositor has no zwp_virtual_keyboard_manager_v1");
        goto out;
    }

    kb = attach(display, &g);
    if (!kb)
        goto out;
    rc = idle(display, &g, &kb, &waitmask);

out:
    // The compositor drops the keyboard from the seat when we disconnect.
    if (kb)
        zwp_virtual_keyboard_v1_destroy(kb);
    if (g.manager)
        zwp_virtual_keyboard_manager_v1_destroy(g.manager);
    if (g.seat)
        wl_seat_destroy(g.seat);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return rc;
}
