// The least a capture can cost when it is made the way screenshot() makes it:
// per capture a frame, a round trip, a fresh unlinked shm_open'd file, a pool
// and a round trip, a buffer and a round trip, the copy, then the file read
// with read() into freshly allocated memory, buffer and pool destroyed, the
// descriptor closed, the memory freed. Same requests in the same order; each
// step done the cheapest way there is.
//
//   capture_floor COUNT [COMPOSITOR_PID] [--no-roundtrips]
//
// Captures the first output a few times unmeasured, then COUNT times, and
// prints each capture's wall time as "ns N", then "cpu_ns N" (this process's
// CPU time over the measured loop), given the compositor's pid
// "compositor_ns N" (its CPU time over the same loop, from /proc), and
// "roundtrips_ns N" and "roundtrips_cpu_ns N": wall and CPU time spent in the
// round trips after create_pool and create_buffer. --no-roundtrips leaves
// those two round trips out. Built by benchmarks/bench_capture.py.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include "capture_client.h"

static int die(const char *what) {
    fprintf(stderr, "capture_floor: %s\n", what);
    return 1;
}

// "/wl_shm-" and six letters or digits, exclusive create, unlinked at once.
static int fresh_shm_file(off_t size) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char bytes[6];
        if (getrandom(bytes, sizeof bytes, 0) != (ssize_t)sizeof bytes) continue;
        char name[15] = "/wl_shm-";
        for (int i = 0; i < 6; ++i) name[8 + i] = alphabet[bytes[i] % 62];
        name[14] = '\0';
        int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0) continue;
        shm_unlink(name);
        if (ftruncate(fd, size) < 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    return -1;
}

// Unmeasured captures first, so that the loop finds malloc's heap grown to
// the frame's size, as a long-running caller does.
static const long warm_up = 3;

// wl_display_roundtrip, adding its wall and CPU time to the totals.
static int timed_roundtrip(struct wl_display *display, int64_t *wall, int64_t *cpu) {
    const int64_t wall0 = clock_ns(CLOCK_MONOTONIC), cpu0 = clock_ns(CLOCK_THREAD_CPUTIME_ID);
    const int rc = wl_display_roundtrip(display);
    *cpu += clock_ns(CLOCK_THREAD_CPUTIME_ID) - cpu0;
    *wall += clock_ns(CLOCK_MONOTONIC) - wall0;
    return rc;
}

int main(int argc, char **argv) {
    long count = 0, compositor = 0;
    int roundtrips = 1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--no-roundtrips") == 0)
            roundtrips = 0;
        else if (!count)
            count = strtol(argv[i], NULL, 10);
        else
            compositor = strtol(argv[i], NULL, 10);
    }
    if (count <= 0) return die("usage: capture_floor COUNT [COMPOSITOR_PID] [--no-roundtrips]");

    struct wl_display *display = wl_display_connect(NULL);
    if (!display) return die("cannot connect to the compositor");
    struct capture s = {0};
    const char *unusable = capture_connect(display, &s);
    if (unusable) return die(unusable);

    int64_t *latency = calloc((size_t)count, sizeof *latency);
    if (!latency) return die("out of memory");
    uint64_t checksum = 0;
    int64_t roundtrip_ns = 0, roundtrip_cpu_ns = 0;
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    int64_t compositor_start = -1, cpu_start = 0;
    for (long i = -warm_up; i < count; ++i) {
        if (i == 0) {
            roundtrip_ns = roundtrip_cpu_ns = 0;
            compositor_start = compositor ? process_cpu_ns(compositor) : -1;
            cpu_start = clock_ns(CLOCK_PROCESS_CPUTIME_ID);
        }
        const int64_t start = clock_ns(CLOCK_MONOTONIC);
        s.have_buffer = s.ready = 0;
        struct zwlr_screencopy_frame_v1 *frame = zwlr_screencopy_manager_v1_capture_output(s.manager, 0, s.output);
        zwlr_screencopy_frame_v1_add_listener(frame, &capture_frame_listener, &s);
        if (wl_display_roundtrip(display) < 0 || capture_wait(display, &s, &s.have_buffer) < 0)
            return die("capture failed");

        const size_t row = (size_t)s.width * 4, size = row * s.height;
        if (s.stride != row) return die("padded strides are not handled");
        int fd = fresh_shm_file((off_t)size);
        if (fd < 0) return die(strerror(errno));
        struct wl_shm_pool *pool = wl_shm_create_pool(s.shm, fd, (int32_t)size);
        if (roundtrips && timed_roundtrip(display, &roundtrip_ns, &roundtrip_cpu_ns) < 0)
            return die("round trip failed");
        struct wl_buffer *buffer = wl_shm_pool_create_buffer(pool, 0, (int32_t)s.width, (int32_t)s.height,
                                                             (int32_t)s.stride, WL_SHM_FORMAT_XRGB8888);
        if (roundtrips && timed_roundtrip(display, &roundtrip_ns, &roundtrip_cpu_ns) < 0)
            return die("round trip failed");
        zwlr_screencopy_frame_v1_copy(frame, buffer);
        if (capture_wait(display, &s, &s.ready) < 0) return die("copy failed");
        zwlr_screencopy_frame_v1_destroy(frame);

        // Page-aligned inside a malloc'ed block, as screenshot() does: read()
        // into memory 16 bytes past a page boundary takes four times as long.
        uint8_t *block = malloc(size + page);
        if (!block) return die("out of memory");
        uint8_t *pixels = block + (page - (uintptr_t)block % page) % page;
        for (size_t done = 0; done < size;) {
            ssize_t n = read(fd, pixels + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return die(n < 0 ? strerror(errno) : "short file");
            done += (size_t)n;
        }
        wl_buffer_destroy(buffer);
        wl_shm_pool_destroy(pool);
        wl_display_flush(display);
        close(fd);
        checksum += pixels[size - 1];
        free(block);
        if (i >= 0) latency[i] = clock_ns(CLOCK_MONOTONIC) - start;
    }
    const int64_t cpu = clock_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
    const int64_t compositor_end = compositor ? process_cpu_ns(compositor) : -1;
    for (long i = 0; i < count; ++i) printf("ns %lld\n", (long long)latency[i]);
    printf("cpu_ns %lld\n", (long long)cpu);
    if (compositor_start >= 0 && compositor_end >= 0)
        printf("compositor_ns %lld\n", (long long)(compositor_end - compositor_start));
    if (roundtrips) {
        printf("roundtrips_ns %lld\n", (long long)roundtrip_ns);
        printf("roundtrips_cpu_ns %lld\n", (long long)roundtrip_cpu_ns);
    }
    printf("checksum %llu\n", (unsigned long long)checksum);

    free(latency);
    wl_display_disconnect(display);
    return 0;
}
