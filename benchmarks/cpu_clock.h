// Clocks the capture clients of benchmarks/bench_capture.py read.
#pragma once

#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

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
