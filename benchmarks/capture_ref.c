// A capture client that reuses one shared-memory buffer, for comparison with
// screenshot()'s fresh file per capture (benchmarks/bench_capture.py): the
// buffer is made at the first capture and mapped; per capture a frame, a copy
// into that buffer and one memcpy into freshly malloc'ed memory.
//
//   capture_ref COUNT [COMPOSITOR_PID]
//
// Captures the first output a few times unmeasured, then COUNT times, and
// prints each capture's wall time as "ns N", then "cpu_ns N" (this process's
// CPU time over the measured loop) and, given the compositor's pid,
// "compositor_ns N" (its CPU time over the same loop, from /proc). Built by
// benchmarks/bench_capture.py.
#define _GNU_SOURCE
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "capture_client.h"

static int die(const char *what) {
    fprintf(stderr, "capture_ref: %s\n", what);
    return 1;
}

int main(int argc, char **argv) {
    long count = argc >= 2 && argc <= 3 ? strtol(argv[1], NULL, 10) : 0;
    long compositor = argc == 3 ? strtol(argv[2], NULL, 10) : 0;
    if (count <= 0) return die("usage: capture_ref COUNT [COMPOSITOR_PID]");

    struct wl_display *display = wl_display_connect(NULL);
    if (!display) return die("cannot connect to the compositor");
    struct capture r = {0};
    const char *unusable = capture_connect(display, &r);
    if (unusable) return die(unusable);

    int64_t *latency = calloc((size_t)count, sizeof *latency);
    if (!latency) return die("out of memory");
    struct wl_buffer *buffer = NULL;
    uint8_t *mapped = NULL;
    size_t mapped_size = 0;
    int64_t compositor_start = -1, cpu_start = 0;
    // Unmeasured captures first: the buffer is made and mapped, and malloc's
    // heap grows to the frame's size.
    for (long i = -3; i < count; ++i) {
        if (i == 0) {
            compositor_start = compositor ? process_cpu_ns(compositor) : -1;
            cpu_start = clock_ns(CLOCK_PROCESS_CPUTIME_ID);
        }
        const int64_t start = clock_ns(CLOCK_MONOTONIC);
        r.buffer_done = r.ready = 0;
        struct zwlr_screencopy_frame_v1 *frame = zwlr_screencopy_manager_v1_capture_output(r.manager, 0, r.output);
        zwlr_screencopy_frame_v1_add_listener(frame, &capture_frame_listener, &r);
        if (capture_wait(display, &r, &r.buffer_done) < 0) return die("capture failed");
        if (!buffer) {
            mapped_size = (size_t)r.stride * r.height;
            int fd = memfd_create("capture_ref", MFD_CLOEXEC);
            if (fd < 0 || ftruncate(fd, (off_t)mapped_size) < 0) return die(strerror(errno));
            mapped = mmap(NULL, mapped_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (mapped == MAP_FAILED) return die(strerror(errno));
            struct wl_shm_pool *pool = wl_shm_create_pool(r.shm, fd, (int32_t)mapped_size);
            buffer = wl_shm_pool_create_buffer(pool, 0, (int32_t)r.width, (int32_t)r.height, (int32_t)r.stride,
                                               WL_SHM_FORMAT_XRGB8888);
            wl_shm_pool_destroy(pool);
            close(fd);
        }
        zwlr_screencopy_frame_v1_copy(frame, buffer);
        if (capture_wait(display, &r, &r.ready) < 0) return die("copy failed");
        zwlr_screencopy_frame_v1_destroy(frame);

        const size_t row = (size_t)r.width * 4;
        uint8_t *pixels = malloc(row * r.height);
        if (!pixels) return die("out of memory");
        if (row == r.stride) {
            memcpy(pixels, mapped, row * r.height);
        } else {
            for (uint32_t y = 0; y < r.height; ++y) memcpy(pixels + y * row, mapped + (size_t)y * r.stride, row);
        }
        // Keep the copy from being optimised away.
        volatile uint8_t sink = pixels[row * r.height - 1];
        (void)sink;
        free(pixels);
        if (i >= 0) latency[i] = clock_ns(CLOCK_MONOTONIC) - start;
    }
    const int64_t cpu = clock_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
    const int64_t compositor_end = compositor ? process_cpu_ns(compositor) : -1;
    for (long i = 0; i < count; ++i) printf("ns %lld\n", (long long)latency[i]);
    printf("cpu_ns %lld\n", (long long)cpu);
    if (compositor_start >= 0 && compositor_end >= 0)
        printf("compositor_ns %lld\n", (long long)(compositor_end - compositor_start));

    free(latency);
    if (buffer) wl_buffer_destroy(buffer);
    if (mapped) munmap(mapped, mapped_size);
    wl_display_disconnect(display);
    return 0;
}
