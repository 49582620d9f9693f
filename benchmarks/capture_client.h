// What the capture clients of benchmarks/bench_capture.py share: the globals
// they bind, the frame's events, and the clocks they read.
#pragma once

#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <wayland-client.h>

#include "screencopy-client-protocol.h"

static inline int64_t clock_ns(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// Sum over the process's threads of the first field of schedstat: time on a
// CPU in nanoseconds. -1 when it cannot be read.
static inline int64_t process_cpu_ns(long pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/task", pid);
    DIR *dir = opendir(path);
    if (!dir) return -1;
    int64_t total = 0;
    for (struct dirent *e; (e = readdir(dir));) {
        if (e->d_name[0] == '.') continue;
        char stat_path[384];
        snprintf(stat_path, sizeof stat_path, "%s/%s/schedstat", path, e->d_name);
        FILE *f = fopen(stat_path, "r");
        long long ns;
        if (f && fscanf(f, "%lld", &ns) == 1) total += ns;
        if (f) fclose(f);
    }
    closedir(dir);
    return total;
}

struct capture {
    struct wl_shm *shm;
    struct wl_output *output;
    struct zwlr_screencopy_manager_v1 *manager;
    uint32_t width, height, stride;
    // Set by the frame's events; the caller clears them for each frame.
    int have_buffer, buffer_done, ready, failed;
};

static void capture_global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                           uint32_t version) {
    struct capture *c = data;
    if (!c->shm && strcmp(interface, wl_shm_interface.name) == 0)
        c->shm = wl_registry_bind(registry, name, &wl_shm_interface, 1);
    else if (!c->output && strcmp(interface, wl_output_interface.name) == 0)
        c->output = wl_registry_bind(registry, name, &wl_output_interface, 1);
    else if (!c->manager && strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0 && version >= 3)
        c->manager = wl_registry_bind(registry, name, &zwlr_screencopy_manager_v1_interface, 3);
}

static void capture_global_remove(void *data, struct wl_registry *registry, uint32_t name) {
    (void)data, (void)registry, (void)name;
}

static const struct wl_registry_listener capture_registry_listener = {capture_global, capture_global_remove};

static void capture_buffer(void *data, struct zwlr_screencopy_frame_v1 *frame, uint32_t format, uint32_t width,
                           uint32_t height, uint32_t stride) {
    (void)frame, (void)format;
    struct capture *c = data;
    c->width = width, c->height = height, c->stride = stride;
    c->have_buffer = 1;
}

static void capture_flags(void *data, struct zwlr_screencopy_frame_v1 *frame, uint32_t flags) {
    (void)data, (void)frame, (void)flags;
}

static void capture_ready(void *data, struct zwlr_screencopy_frame_v1 *frame, uint32_t hi, uint32_t lo,
                          uint32_t ns) {
    (void)frame, (void)hi, (void)lo, (void)ns;
    ((struct capture *)data)->ready = 1;
}

static void capture_failed(void *data, struct zwlr_screencopy_frame_v1 *frame) {
    (void)frame;
    ((struct capture *)data)->failed = 1;
}

static void capture_damage(void *data, struct zwlr_screencopy_frame_v1 *frame, uint32_t x, uint32_t y, uint32_t w,
                           uint32_t h) {
    (void)data, (void)frame, (void)x, (void)y, (void)w, (void)h;
}

static void capture_dmabuf(void *data, struct zwlr_screencopy_frame_v1 *frame, uint32_t format, uint32_t w,
                           uint32_t h) {
    (void)data, (void)frame, (void)format, (void)w, (void)h;
}

static void capture_buffer_done(void *data, struct zwlr_screencopy_frame_v1 *frame) {
    (void)frame;
    ((struct capture *)data)->buffer_done = 1;
}

static const struct zwlr_screencopy_frame_v1_listener capture_frame_listener = {
    capture_buffer, capture_flags, capture_ready, capture_failed, capture_damage, capture_dmabuf,
    capture_buffer_done};

// Binds the globals a capture needs; 0 on success, else the reason.
static const char *capture_connect(struct wl_display *display, struct capture *c) {
    struct wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &capture_registry_listener, c);
    if (wl_display_roundtrip(display) < 0) return "registry round trip failed";
    if (!c->shm || !c->output || !c->manager) return "missing wl_shm, wl_output or screencopy manager v3";
    return 0;
}

// Dispatches until *flag or the frame's failure is set; 0 on success.
static int capture_wait(struct wl_display *display, struct capture *c, const int *flag) {
    while (!*flag && !c->failed)
        if (wl_display_dispatch(display) < 0) return -1;
    return c->failed ? -1 : 0;
}
