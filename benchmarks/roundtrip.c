// The baseline for bench_input.py: times N bare wl_display_roundtrip calls on
// one connection to $WAYLAND_DISPLAY after a few unmeasured ones, and prints
// each call's duration in nanoseconds, one per line.
//
//   roundtrip N
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <wayland-client.h>

static long long now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int main(int argc, char **argv) {
    const long n = argc > 1 ? strtol(argv[1], NULL, 10) : 1000;
    if (n <= 0) {
        fprintf(stderr, "usage: roundtrip N (N > 0)\n");
        return 2;
    }
    struct wl_display *display = wl_display_connect(NULL);
    if (!display) {
        perror("roundtrip: wl_display_connect");
        return 1;
    }
    long long *samples = malloc(sizeof *samples * (size_t)n);
    if (!samples) return 1;
    int rc = 0;
    for (int i = 0; i < 50 && rc == 0; ++i) rc = wl_display_roundtrip(display) < 0;
    for (long i = 0; i < n && rc == 0; ++i) {
        const long long start = now_ns();
        rc = wl_display_roundtrip(display) < 0;
        samples[i] = now_ns() - start;
    }
    if (rc) {
        fprintf(stderr, "roundtrip: connection failed\n");
    } else {
        for (long i = 0; i < n; ++i) printf("%lld\n", samples[i]);
    }
    free(samples);
    wl_display_disconnect(display);
    return rc;
}
