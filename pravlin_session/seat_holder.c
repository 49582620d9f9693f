// pravlin-seat-holder: keeps a virtual keyboard and a virtual pointer on the
// seat of a headless session for as long as the session runs, so that the
// seat always has both capabilities and a client asking for the seat keyboard
// always receives a keymap. It is also the session's guardian: it makes the
// session's directory and account, and cleans up if the session's starter dies.
//
//   pravlin-seat-holder --session-in PARENT [--dynamic-user | --user-id UID --group-id GID]
//                       [--socket PATH [--outputs N] [--layout L] [--variant V]
//                        [--sway-ipc PATH | --watch-keymaps]] [--timeout-ms MS]
//   pravlin-seat-holder --socket PATH --probe
//
// With --session-in it first makes a directory PARENT/pravlin-session-XXXXXX
// holding run/ and home/ for the compositor's account, and prints one line of
// JSON: {"directory": ..., "uid": ..., "gid": ...}. Relative paths given to
// --socket and --sway-ipc are inside that directory. Run by root, the account
// is the one given, or with --dynamic-user a user and group id that no
// account and no process on the machine has, reserved for the holder's life
// by a lock in /run/pravlin-session; every process of that user belongs to the
// session and is killed when the holder ends. The directory is root's and
// open to that group only; run/ and home/ are the account's alone (root
// reaches them all the same), and root-run/, the runtime directory of root's
// programs, is root's alone: the holder links the sockets it is given there
// (hard links) and connects through those links.
//
// With --socket it waits for PATH to appear, connects, waits until N outputs
// have announced their name and mode, sets up its devices and prints one line
// of JSON describing the outputs ({"outputs": [{"name": ..., "width": ...,
// "height": ...}]}). With --probe it prints that line and
// exits without touching the seat.
//
// sway sets the seat's keyboard to none when the active keyboard is destroyed
// (a client with a virtual keyboard disconnecting), and a new wl_keyboard then
// gets no keymap. sway reports every removed input device on its IPC socket;
// on each removed keyboard the holder creates a fresh virtual keyboard, which
// sway makes the active one, and destroys its previous one. No key event is
// ever sent.
//
// A compositor may have no seat until an input device appears (phoc): the
// holder then creates its virtual pointer for no seat in particular, which
// makes the compositor create its default one.
//
// With --watch-keymaps, for compositors without such reports (phoc), the
// holder keeps a wl_keyboard of its own. wlroots sends the keymap of each
// keyboard that becomes active to every wl_keyboard, always the same file for
// one keyboard, so the file tells whose keyboard is active. The loss of the
// active keyboard is announced to nobody, so the holder takes the seat back
// whenever another keyboard becomes active, before its client can go away:
// it sets and clears the Mod3 lock on its own keyboard, and a modifiers change
// makes a keyboard the active one. The focused window sees that modifier come
// and go; no key event is sent.
//
// With --session-in, the holder's standard input is a pipe from the process
// that started the session. It writes "start" once it has written the
// compositor's configuration and compositor.exec into the directory: the
// holder then starts the compositor as its own child, as the account, and
// prints {"compositor": PID} (and {"exited": STATUS} when it ends). It also
// writes "stop PGID" lines naming further process groups of the session. On
// SIGTERM the holder stops the compositor; when the pipe ends, at any point,
// without the holder having been told to stop (the starter was killed
// outright), it also stops those groups. Either way it then kills the dynamic
// user's processes and removes the session directory, without following any
// link in it. A set-up that fails is reported as {"error": REASON}, and the
// holder goes on guarding until one of those.
//
// Exit status: 0 on SIGTERM/SIGINT/SIGHUP, when the compositor goes away or after cleaning up,
// 1 on any failure to set up (with a one-line reason on stderr), 2 on bad usage (likewise).
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/keyctl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <pwd.h>
#include <time.h>
#include <unistd.h>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include "virtual_keyboard-client-protocol.h"
#include "virtual_pointer-client-protocol.h"
#include "xdg_output-client-protocol.h"

#define MAX_OUTPUTS 16
// Run by root for another account, the session directory holds this beside run/: the runtime
// directory of root's programs, root's alone, so that they never share a writable directory with
// the compositor's account. The compositor's sockets are reached there through hard links.
#define ROOT_RUNTIME "root-run"
#define SETUP_TIMEOUT_MS 15000

struct output {
    struct wl_output *wl;
    struct zxdg_output_v1 *xdg;
    uint32_t global;
    char name[64];
    int32_t x, y, width, height, refresh_mhz;
    bool named, sized, done;
};

struct holder {
    struct wl_display *display;
    struct wl_registry *registry;
    struct wl_seat *seat;
    struct zwp_virtual_keyboard_manager_v1 *keyboard_manager;
    struct zwlr_virtual_pointer_manager_v1 *pointer_manager;
    struct zxdg_output_manager_v1 *xdg_output_manager;
    struct zwp_virtual_keyboard_v1 *keyboard;
    struct zwlr_virtual_pointer_v1 *pointer;
    struct output outputs[MAX_OUTPUTS];
    int output_count;
    int keymap_fd;
    uint32_t keymap_size;
    // Removals of our own replaced keyboards that sway has yet to report.
    int own_removals;
    // --watch-keymaps: our wl_keyboard, the inode of our keyboard's keymap
    // file, of the latest one received, and of the one a second wl_keyboard
    // received during set-up.
    struct wl_keyboard *seat_keyboard, *twin_keyboard;
    ino_t own_keymap, last_keymap, twin_keymap;
    uint32_t blip_mask;
    bool foreign_active;
    // Waits also watch these: the signalfd, and the starter's pipe (-1 when
    // there is no starter to watch). `stopping` is set once either has spoken.
    int sfd, starter;
    struct session *session;
    bool stopping;
    // With own_runtime: the compositor's sockets, relative to the session directory, that the
    // holder links into ROOT_RUNTIME and reaches there.
    const char *socket_link, *ipc_link;
};

// What the holder guards with --session-in.
struct session {
    char dir[PATH_MAX];  // "" until made
    int dir_fd;
    uid_t uid;
    gid_t gid;
    int uid_lock;  // held while the dynamic user is ours; -1 for a given account
    pid_t *groups;  // the compositor's, then those the starter named
    size_t count, cap;
    char line[64];
    size_t line_len;
    bool starter_gone, start_asked, ready;
    bool own_runtime;  // root runs the compositor as another account: root's programs get ROOT_RUNTIME
    pid_t compositor;  // 0 until started, -1 once reaped
    int compositor_fd;  // its pidfd
};

static const char *prog = "pravlin-seat-holder";

static int fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The latest failure's reason, which a guarding holder also reports on stdout.
static char failure[512];

static int fail(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vsnprintf(failure, sizeof failure, fmt, args);
    va_end(args);
    fprintf(stderr, "%s: %s\n", prog, failure);
    return 1;
}

static int64_t now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// -- waits that hear the starter, signals and the compositor ---------------------------

static void add_group(struct session *s, pid_t pgid);
static void start_compositor(struct holder *h);
static void print_json_string(const char *text);

// Reads "stop PGID" lines from the starter; false once the pipe has ended.
static bool read_groups(struct session *s, int fd) {
    char buf[512];
    ssize_t n;
    do {
        n = read(fd, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN;
    if (n == 0) return false;
    for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '\n') {
            if (s->line_len + 1 < sizeof s->line) s->line[s->line_len++] = buf[i];
            continue;
        }
        s->line[s->line_len] = '\0';
        s->line_len = 0;
        long pgid;
        if (strcmp(s->line, "start") == 0) s->start_asked = true;
        if (sscanf(s->line, "stop %ld", &pgid) != 1 || pgid <= 1) continue;
        add_group(s, (pid_t)pgid);
    }
    return true;
}

static void add_group(struct session *s, pid_t pgid) {
    if (s->count == s->cap) {
        // Groups that have gone make room first.
        size_t kept = 0;
        for (size_t j = 0; j < s->count; ++j)
            if (kill(-s->groups[j], 0) == 0 || errno == EPERM) s->groups[kept++] = s->groups[j];
        s->count = kept;
    }
    if (s->count == s->cap) {
        const size_t cap = s->cap ? s->cap * 2 : 64;
        pid_t *groups = realloc(s->groups, cap * sizeof *groups);
        if (!groups) return;
        s->groups = groups, s->cap = cap;
    }
    s->groups[s->count++] = pgid;
}

// Takes what the starter wrote; false (and the holder stopping) once its pipe has ended.
static bool hear_starter(struct holder *h) {
    if (read_groups(h->session, h->starter)) {
        if (h->session->start_asked) start_compositor(h);
        return true;
    }
    h->session->starter_gone = h->stopping = true;
    return false;
}

// Reaps the compositor once its pidfd says it has ended, and tells the starter
// its status (as Python's returncode: -N for a signal N).
static void reap_compositor(struct session *s) {
    int status;
    if (s->compositor <= 0 || waitpid(s->compositor, &status, WNOHANG) != s->compositor) return;
    close(s->compositor_fd);
    s->compositor = -1, s->compositor_fd = -1;
    printf("{\"exited\": %d}\n", WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status));
    fflush(stdout);
}

// Waits until `fd` has `events` (1) or the deadline passes (0); -1 when a
// signal or the end of the starter's pipe means the holder has to stop. With
// `fd` -1 it waits until the starter has written something.
static int await_fd(struct holder *h, int fd, short events, int64_t deadline) {
    while (!h->stopping) {
        const int64_t left = deadline - now_ms();
        if (left <= 0) return 0;
        struct pollfd fds[4] = {
            {fd, events, 0}, {h->sfd, POLLIN, 0}, {h->starter, POLLIN, 0}, {h->session->compositor_fd, POLLIN, 0}};
        if (poll(fds, 4, (int)left) < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (fds[1].revents & POLLIN) h->stopping = true;
        else if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (hear_starter(h) && fd < 0) return 1;
        } else if (fds[3].revents & POLLIN) {
            reap_compositor(h->session);
            // The compositor is gone before the seat was taken: nothing left to wait for.
            if (!h->session->ready) h->stopping = true;
        } else if (fds[0].revents) return 1;
    }
    return -1;
}

// -- the compositor ------------------------------------------------------------------

// Reads a file of NUL-terminated fields in the session directory.
static char **read_fields(int dir_fd, const char *name, char **text) {
    const int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0 || st.st_size <= 0 || st.st_size > (1 << 20)) {
        if (fd >= 0) close(fd);
        return NULL;
    }
    *text = malloc((size_t)st.st_size + 1);
    char **fields = calloc((size_t)st.st_size + 1, sizeof *fields);
    size_t got = 0, n = 0;
    for (ssize_t r; *text && got < (size_t)st.st_size && (r = read(fd, *text + got, (size_t)st.st_size - got)) > 0;)
        got += (size_t)r;
    close(fd);
    if (!*text || !fields || got != (size_t)st.st_size || (*text)[got - 1] != '\0') {
        free(fields);
        return NULL;
    }
    for (size_t i = 0; i < got; i += strlen(*text + i) + 1) fields[n++] = *text + i;
    return fields;
}

// Empties the keyrings of the calling process's user, which outlive its processes: a session of a
// dynamic user finds none of an earlier one's keys, and leaves none behind.
static void clear_keys(void) {
    syscall(SYS_keyctl, KEYCTL_CLEAR, KEY_SPEC_USER_KEYRING);
    syscall(SYS_keyctl, KEYCTL_CLEAR, KEY_SPEC_USER_SESSION_KEYRING);
}

// Whether the mount at `path` stays as it is for a confined compositor: the kernel's own file
// systems, where an unprivileged account makes nothing that outlives its processes.
static bool api_mount(const char *path) {
    static const char *const trees[] = {"/proc", "/sys"}, *const mounts[] = {"/dev", "/dev/pts"};
    for (size_t i = 0; i < 2; ++i) {
        const size_t n = strlen(trees[i]);
        if (strncmp(path, trees[i], n) == 0 && (path[n] == '\0' || path[n] == '/')) return true;
        if (strcmp(path, mounts[i]) == 0) return true;
    }
    return false;
}

// Undoes mountinfo's octal escapes (\040 for a space) in place.
static void unescape_mount_path(char *path) {
    char *out = path;
    for (const char *in = path; *in;) {
        if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' && in[3] >= '0' &&
            in[3] <= '7') {
            *out++ = (char)((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
            in += 4;
        } else *out++ = *in++;
    }
    *out = '\0';
}

// Makes the directories of `path` that are missing (mount points in a fresh tmpfs).
static void make_path(const char *path) {
    char buf[PATH_MAX];
    snprintf(buf, sizeof buf, "%s", path);
    for (char *slash = strchr(buf + 1, '/');; slash = strchr(slash + 1, '/')) {
        if (slash) *slash = '\0';
        mkdir(buf, 0755);
        if (!slash) return;
        *slash = '/';
    }
}

// Confines a dynamic user's compositor, in its child and still as root, as systemd confines a
// DynamicUser service: in a mount and an IPC namespace of its own, every mount read-only but the
// kernel's own (/proc, /sys, /dev, /dev/pts), private nosuid,nodev tmpfs on /tmp, /var/tmp and
// /dev/shm, and the session directory, nosuid,nodev, the one place on disk the account can write.
// Whatever the id leaves behind goes with the session directory and the namespaces, so a later
// session of the same id finds nothing, and nothing set-user-id of its ever outlives the session.
// On failure, the reason; NULL once done (the working directory is then the account's home).
static const char *confine(const struct session *s) {
    if (unshare(CLONE_NEWNS | CLONE_NEWIPC) < 0) return "unshare";
    if (mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) < 0) return "mount --make-rprivate /";
    // A copy of the session directory's mount, attached again once the rest is read-only. The copy
    // of the very directory the holder made: its path leads nowhere else in this namespace.
    const int tree = open_tree(AT_FDCWD, s->dir, OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC);
    struct stat made, copied;
    if (tree < 0 || fstat(tree, &copied) < 0 || fstat(s->dir_fd, &made) < 0) return "open_tree";
    if (made.st_dev != copied.st_dev || made.st_ino != copied.st_ino) return "the session directory moved";
    const struct mount_attr session_attr = {.attr_set = MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV};
    if (mount_setattr(tree, "", AT_EMPTY_PATH, (struct mount_attr *)&session_attr, sizeof session_attr) < 0)
        return "mount_setattr on the session directory";
    FILE *mounts = fopen("/proc/self/mountinfo", "re");
    if (!mounts) return "/proc/self/mountinfo";
    const struct mount_attr readonly = {.attr_set = MOUNT_ATTR_RDONLY};
    char *line = NULL;
    size_t size = 0;
    const char *failed = NULL;
    // "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS ...".
    while (!failed && getline(&line, &size, mounts) > 0) {
        char *point = line;
        for (int field = 0; field < 4 && point; ++field) point = strchr(point, ' '), point = point ? point + 1 : NULL;
        char *end = point ? strchr(point, ' ') : NULL;
        if (!end) continue;
        *end = '\0';
        unescape_mount_path(point);
        // A mount hidden under another one is out of reach; the path acts on the visible one.
        if (!api_mount(point) &&
            mount_setattr(AT_FDCWD, point, AT_SYMLINK_NOFOLLOW, (struct mount_attr *)&readonly, sizeof readonly) < 0 &&
            errno != ENOENT)
            failed = "mount_setattr read-only";
    }
    free(line);
    fclose(mounts);
    if (failed) return failed;
    static const char *const scratch[] = {"/tmp", "/var/tmp", "/dev/shm"};
    for (size_t i = 0; i < sizeof scratch / sizeof *scratch; ++i) {
        struct stat st;
        if (lstat(scratch[i], &st) == 0 && S_ISDIR(st.st_mode) &&
            mount("tmpfs", scratch[i], "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") < 0)
            return "mount tmpfs";
    }
    make_path(s->dir);
    if (move_mount(tree, "", AT_FDCWD, s->dir, MOVE_MOUNT_F_EMPTY_PATH) < 0) return "move_mount";
    close(tree);
    // Through the new mount: a directory reached through the old one would lead out of it.
    char home[PATH_MAX];
    snprintf(home, sizeof home, "%s/home", s->dir);
    const int fd = open(home, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || fchdir(fd) < 0) return "the account's home";
    close(fd);
    return NULL;
}

// Starts the compositor as the session's account, in a session of its own,
// from the file the starter wrote, compositor.exec: NUL-terminated fields,
// the log's path, the arguments, an empty field, then the environment. It
// is the holder's child, with SIGKILL as its parent-death signal: it cannot
// outlive the holder, whichever way that ends.
static void start_compositor(struct holder *h) {
    struct session *s = h->session;
    s->start_asked = false;
    if (s->compositor) return;
    char *text = NULL;
    char **fields = read_fields(s->dir_fd, "compositor.exec", &text);
    char **argv = fields ? fields + 1 : NULL, **envp = argv;
    while (envp && *envp && **envp) ++envp;
    const int log = fields && argv[0] && *envp ? open(fields[0], O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY) : -1;
    const int home = openat(s->dir_fd, "home", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const pid_t holder = getpid();
    const pid_t pid = log < 0 || home < 0 ? -1 : fork();
    if (pid == 0) {
        *envp++ = NULL;
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, NULL);
        signal(SIGPIPE, SIG_DFL);
        setsid();
        const int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 0) < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0) _exit(126);
        if (fchdir(home) < 0) _exit(126);
        if (s->uid_lock >= 0) {
            const char *failed = confine(s);
            if (failed) {
                fprintf(stderr, "%s: cannot confine the compositor's account (%s): %s\n", prog, failed,
                        strerror(errno));
                _exit(126);
            }
        }
        if (geteuid() == 0 &&
            (setgroups(0, NULL) < 0 || setresgid(s->gid, s->gid, s->gid) < 0 || setresuid(s->uid, s->uid, s->uid) < 0))
            _exit(126);
        // After the change of user, which clears it; a holder already gone is not waited for.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 || getppid() != holder) _exit(126);
        if (s->uid_lock >= 0) clear_keys();
        execvpe(argv[0], argv, envp);
        fprintf(stderr, "%s: cannot run %s: %s\n", prog, argv[0], strerror(errno));
        _exit(errno == ENOENT ? 127 : 126);
    }
    if (log >= 0) close(log);
    if (home >= 0) close(home);
    free(fields);
    free(text);
    if (pid < 0) {
        fail("cannot start the compositor: %s", log < 0 ? "no readable compositor.exec or log" : strerror(errno));
        printf("{\"error\": ");
        print_json_string(failure);
        printf("}\n");
        fflush(stdout);
        return;
    }
    s->compositor = pid;
    s->compositor_fd = (int)syscall(SYS_pidfd_open, pid, 0);
    add_group(s, pid);
    printf("{\"compositor\": %d}\n", (int)pid);
    fflush(stdout);
}

// Signals the compositor, and its group; a child that has yet to call setsid has none.
static void signal_compositor(const struct session *s, int sig) {
    kill(s->compositor, sig);
    kill(-s->compositor, sig);
}

// Ends the compositor and its process group: SIGTERM, and SIGKILL after `grace_ms`.
static void stop_compositor(struct session *s, int grace_ms) {
    if (s->compositor <= 0) return;
    signal_compositor(s, grace_ms > 0 ? SIGTERM : SIGKILL);
    struct pollfd p = {s->compositor_fd, POLLIN, 0};
    if (grace_ms > 0 && poll(&p, 1, grace_ms) <= 0) signal_compositor(s, SIGKILL);
    while (waitpid(s->compositor, NULL, 0) < 0 && errno == EINTR) {
    }
    kill(-s->compositor, SIGKILL);  // what is left of its group
    close(s->compositor_fd);
    s->compositor = -1, s->compositor_fd = -1;
}

// -- keymap ------------------------------------------------------------------

// A memfd holding the keymap text with its terminating NUL.
static int make_keymap(const char *layout, const char *variant, uint32_t *size, uint32_t *mod3_mask) {
    struct xkb_context *ctx = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (!ctx) return -1;
    // Its own account of a failure spans many lines; ours is the one line that names the layout.
    xkb_context_set_log_level(ctx, XKB_LOG_LEVEL_CRITICAL);
    const struct xkb_rule_names names = {
        .rules = "evdev", .model = "pc105", .layout = layout, .variant = variant, .options = ""};
    struct xkb_keymap *keymap = xkb_keymap_new_from_names(ctx, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    char *text = keymap ? xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : NULL;
    // Every keymap has the eight real modifiers.
    const xkb_mod_index_t mod3 = keymap ? xkb_keymap_mod_get_index(keymap, "Mod3") : XKB_MOD_INVALID;
    *mod3_mask = mod3 < 32 ? 1u << mod3 : 0;
    int fd = -1;
    if (text) {
        const size_t len = strlen(text) + 1;
        fd = memfd_create("pravlin-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        if (fd >= 0 && (write(fd, text, len) != (ssize_t)len ||
                        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) < 0)) {
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

// -- Wayland -------------------------------------------------------------------

static void output_geometry(void *data, struct wl_output *wl, int32_t x, int32_t y, int32_t pw, int32_t ph,
                            int32_t subpixel, const char *make, const char *model, int32_t transform) {
    (void)wl, (void)pw, (void)ph, (void)subpixel, (void)make, (void)model, (void)transform;
    struct output *o = data;
    o->x = x, o->y = y;
}

static void output_mode(void *data, struct wl_output *wl, uint32_t flags, int32_t width, int32_t height,
                        int32_t refresh) {
    (void)wl;
    struct output *o = data;
    if (flags & WL_OUTPUT_MODE_CURRENT)
        o->width = width, o->height = height, o->refresh_mhz = refresh, o->sized = true;
}

static void output_done(void *data, struct wl_output *wl) {
    (void)wl;
    ((struct output *)data)->done = true;
}

static void output_scale(void *data, struct wl_output *wl, int32_t factor) { (void)data, (void)wl, (void)factor; }

static void output_name(void *data, struct wl_output *wl, const char *name) {
    (void)wl;
    struct output *o = data;
    snprintf(o->name, sizeof o->name, "%s", name);
    o->named = true;
}

static void output_description(void *data, struct wl_output *wl, const char *description) {
    (void)data, (void)wl, (void)description;
}

static const struct wl_output_listener output_listener = {
    output_geometry, output_mode, output_done, output_scale, output_name, output_description};

// wl_output's geometry event has the position too, but wlroots always sends 0,0 there.
static void xdg_output_position(void *data, struct zxdg_output_v1 *xdg, int32_t x, int32_t y) {
    (void)xdg;
    struct output *o = data;
    o->x = x, o->y = y;
}

static void xdg_output_size(void *data, struct zxdg_output_v1 *xdg, int32_t width, int32_t height) {
    (void)data, (void)xdg, (void)width, (void)height;
}

static void xdg_output_done(void *data, struct zxdg_output_v1 *xdg) { (void)data, (void)xdg; }

static void xdg_output_name(void *data, struct zxdg_output_v1 *xdg, const char *name) {
    (void)data, (void)xdg, (void)name;
}

static void xdg_output_description(void *data, struct zxdg_output_v1 *xdg, const char *description) {
    (void)data, (void)xdg, (void)description;
}

static const struct zxdg_output_v1_listener xdg_output_listener = {
    xdg_output_position, xdg_output_size, xdg_output_done, xdg_output_name, xdg_output_description};

static void on_global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                      uint32_t version) {
    struct holder *h = data;
    if (strcmp(interface, wl_seat_interface.name) == 0 && !h->seat) {
        h->seat = wl_registry_bind(registry, name, &wl_seat_interface, version < 3 ? version : 3);
    } else if (strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0 && !h->keyboard_manager) {
        h->keyboard_manager = wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1);
    } else if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0 && !h->pointer_manager) {
        h->pointer_manager = wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
    } else if (strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 && !h->xdg_output_manager) {
        h->xdg_output_manager = wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, 1);
    } else if (strcmp(interface, wl_output_interface.name) == 0 && h->output_count < MAX_OUTPUTS &&
               version >= WL_OUTPUT_NAME_SINCE_VERSION) {
        struct output *o = &h->outputs[h->output_count++];
        o->global = name;
        o->wl = wl_registry_bind(registry, name, &wl_output_interface, WL_OUTPUT_NAME_SINCE_VERSION);
        wl_output_add_listener(o->wl, &output_listener, o);
    }
}

static void on_global_remove(void *data, struct wl_registry *registry, uint32_t name) {
    (void)data, (void)registry, (void)name;
}

static const struct wl_registry_listener registry_listener = {on_global, on_global_remove};

// Connects once the compositor has created its socket (watched with inotify;
// the socket may refuse for the moment between bind and listen); at once, or
// not at all, unless `patient`.
// Links the compositor's socket `from` (a path inside the session directory) into ROOT_RUNTIME
// under the same name, as a hard link to the very inode, which is then checked where the
// compositor's account can change nothing: a socket of that account's. 0 when done, else an errno
// (ENOENT: not there yet).
static int link_socket(const struct session *s, const char *from) {
    const char *name = strrchr(from, '/');
    char to[PATH_MAX];
    snprintf(to, sizeof to, ROOT_RUNTIME "/%s", name ? name + 1 : from);
    unlinkat(s->dir_fd, to, 0);
    // Without AT_SYMLINK_FOLLOW a link in the compositor's directory is linked itself, not its target.
    if (linkat(s->dir_fd, from, s->dir_fd, to, 0) < 0) return errno;
    struct stat st;
    if (fstatat(s->dir_fd, to, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == s->uid)
        return 0;
    unlinkat(s->dir_fd, to, 0);
    return ENOTSOCK;
}

// Connects to the Wayland socket at `path`, waiting for it to appear if `patient`. With
// `link_from`, `path` is that socket's link in ROOT_RUNTIME, made once the socket is there.
static struct wl_display *connect_when_ready(struct holder *h, const char *path, const char *link_from,
                                             bool patient, int64_t deadline) {
    struct sockaddr_un addr = {.sun_family = AF_UNIX};
    if (strlen(path) >= sizeof addr.sun_path) {
        fail("socket path too long: %s", path);
        return NULL;
    }
    strcpy(addr.sun_path, path);
    char dir[PATH_MAX];
    if ((link_from ? snprintf(dir, sizeof dir, "%s/%s", h->session->dir, link_from)
                   : snprintf(dir, sizeof dir, "%s", path)) >= (int)sizeof dir) {
        fail("socket path too long: %s", path);
        return NULL;
    }
    char *slash = strrchr(dir, '/');
    if (slash) *slash = '\0';
    int watch = patient ? inotify_init1(IN_CLOEXEC | IN_NONBLOCK) : -1;
    if (patient && (watch < 0 || inotify_add_watch(watch, slash ? dir : ".", IN_CREATE | IN_MOVED_TO) < 0)) {
        fail("cannot watch %s: %s", slash ? dir : ".", strerror(errno));
        if (watch >= 0) close(watch);
        return NULL;
    }
    struct wl_display *display = NULL;
    for (;;) {
        const int linked = link_from ? link_socket(h->session, link_from) : 0;
        if (linked != 0 && linked != ENOENT) {
            fail("cannot link %s into %s: %s", link_from, ROOT_RUNTIME, strerror(linked));
            break;
        }
        int fd = linked == 0 ? socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
        if (linked == 0 && fd < 0) break;
        if (fd >= 0 && connect(fd, (struct sockaddr *)&addr, sizeof addr) == 0) {
            display = wl_display_connect_to_fd(fd);
            if (!display) fail("cannot use the connection to %s", path);
            break;
        }
        const int err = fd < 0 ? ENOENT : errno;
        if (fd >= 0) close(fd);
        const int64_t left = deadline - now_ms();
        if ((err != ENOENT && err != ECONNREFUSED) || left <= 0 || !patient) {
            fail("cannot connect to %s: %s", path, left <= 0 ? "timed out" : strerror(err));
            break;
        }
        if (err == ECONNREFUSED) {
            // Bound but not yet listening: the next step of the compositor's start.
            if (await_fd(h, -1, 0, now_ms() + 1) < 0) break;
            continue;
        }
        const int ready = await_fd(h, watch, POLLIN, deadline);
        if (ready < 0) break;
        if (ready > 0) {
            char buf[4096];
            while (read(watch, buf, sizeof buf) > 0) {
            }
        }
    }
    if (watch >= 0) close(watch);
    return display;
}

static bool outputs_ready(const struct holder *h, int expected) {
    if (h->output_count < expected) return false;
    for (int i = 0; i < h->output_count; ++i)
        if (!h->outputs[i].named || !h->outputs[i].sized || !h->outputs[i].done) return false;
    return true;
}

// Dispatches until `ready` holds, at most until `deadline`.
static bool dispatch_until(struct holder *h, bool (*ready)(const struct holder *, int), int arg,
                           int64_t deadline) {
    while (!ready(h, arg)) {
        if (wl_display_dispatch_pending(h->display) < 0) return false;
        if (ready(h, arg)) break;
        if (wl_display_flush(h->display) < 0 && errno != EAGAIN) return false;
        const int64_t left = deadline - now_ms();
        if (left <= 0) return false;
        if (wl_display_prepare_read(h->display) != 0) continue;
        if (await_fd(h, wl_display_get_fd(h->display), POLLIN, deadline) <= 0) {
            wl_display_cancel_read(h->display);
            return false;
        }
        if (wl_display_read_events(h->display) < 0) return false;
    }
    return true;
}

static void print_json_string(const char *text);

static void print_outputs(const struct holder *h) {
    printf("{\"outputs\": [");
    for (int i = 0; i < h->output_count; ++i) {
        const struct output *o = &h->outputs[i];
        printf("%s{\"name\": ", i ? ", " : "");
        print_json_string(o->name);
        printf(", \"x\": %d, \"y\": %d, \"width\": %d, \"height\": %d, \"refresh_mhz\": %d}", o->x, o->y,
               o->width, o->height, o->refresh_mhz);
    }
    printf("]}\n");
    fflush(stdout);
}

static struct zwp_virtual_keyboard_v1 *new_keyboard(struct holder *h) {
    struct zwp_virtual_keyboard_v1 *kb =
        zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(h->keyboard_manager, h->seat);
    zwp_virtual_keyboard_v1_keymap(kb, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, h->keymap_fd, h->keymap_size);
    return kb;
}

// Makes our keyboard the seat's active one again: a new device is what sway
// activates without any key being sent.
static void reassert_keyboard(struct holder *h) {
    struct zwp_virtual_keyboard_v1 *fresh = new_keyboard(h);
    zwp_virtual_keyboard_v1_destroy(h->keyboard);
    h->keyboard = fresh;
    h->own_removals++;
    wl_display_flush(h->display);
}

// -- the active keyboard, told by its keymap file ---------------------------------

static void keyboard_handle_keymap(void *data, struct wl_keyboard *keyboard, uint32_t format, int32_t fd,
                                   uint32_t size) {
    (void)format, (void)size;
    struct holder *h = data;
    struct stat st;
    const ino_t inode = fstat(fd, &st) == 0 ? st.st_ino : 0;
    close(fd);
    if (keyboard == h->twin_keyboard) {
        h->twin_keymap = inode;
        return;
    }
    h->last_keymap = inode;
    if (h->own_keymap) h->foreign_active = inode != h->own_keymap;
}

static void keyboard_handle_enter(void *data, struct wl_keyboard *keyboard, uint32_t serial,
                                  struct wl_surface *surface, struct wl_array *keys) {
    (void)data, (void)keyboard, (void)serial, (void)surface, (void)keys;
}

static void keyboard_handle_leave(void *data, struct wl_keyboard *keyboard, uint32_t serial,
                                  struct wl_surface *surface) {
    (void)data, (void)keyboard, (void)serial, (void)surface;
}

static void keyboard_handle_key(void *data, struct wl_keyboard *keyboard, uint32_t serial, uint32_t time,
                                uint32_t key, uint32_t state) {
    (void)data, (void)keyboard, (void)serial, (void)time, (void)key, (void)state;
}

static void keyboard_handle_modifiers(void *data, struct wl_keyboard *keyboard, uint32_t serial,
                                      uint32_t depressed, uint32_t latched, uint32_t locked, uint32_t group) {
    (void)data, (void)keyboard, (void)serial, (void)depressed, (void)latched, (void)locked, (void)group;
}

static void keyboard_handle_repeat_info(void *data, struct wl_keyboard *keyboard, int32_t rate, int32_t delay) {
    (void)data, (void)keyboard, (void)rate, (void)delay;
}

static const struct wl_keyboard_listener keyboard_listener = {
    keyboard_handle_keymap, keyboard_handle_enter,     keyboard_handle_leave,
    keyboard_handle_key,    keyboard_handle_modifiers, keyboard_handle_repeat_info};

static void release_keyboard(struct wl_keyboard *keyboard) {
    if (wl_keyboard_get_version(keyboard) >= WL_KEYBOARD_RELEASE_SINCE_VERSION) wl_keyboard_release(keyboard);
    else wl_keyboard_destroy(keyboard);
}

// Makes our keyboard the active one again with a modifiers change: the
// compositor reports only real changes, so the lock goes on, then off.
static void reactivate_by_modifiers(struct holder *h) {
    h->foreign_active = false;
    zwp_virtual_keyboard_v1_modifiers(h->keyboard, 0, 0, h->blip_mask, 0);
    zwp_virtual_keyboard_v1_modifiers(h->keyboard, 0, 0, 0, 0);
}

// After the keyboard has been created: a seat that never had one refuses
// get_keyboard. Both wl_keyboards hear the same keymap, ours; the compositor
// must send the same file to both, or files would not tell keyboards apart.
static void watch_keymaps(struct holder *h) {
    h->seat_keyboard = wl_seat_get_keyboard(h->seat);
    h->twin_keyboard = wl_seat_get_keyboard(h->seat);
    wl_keyboard_add_listener(h->seat_keyboard, &keyboard_listener, h);
    wl_keyboard_add_listener(h->twin_keyboard, &keyboard_listener, h);
}

static int check_own_keymap(struct holder *h) {
    release_keyboard(h->twin_keyboard);
    h->twin_keyboard = NULL;
    if (!h->last_keymap) return fail("the seat keyboard sent no keymap");
    if (h->twin_keymap != h->last_keymap)
        return fail("the compositor sends each wl_keyboard its own copy of the keymap, "
                    "so the holder cannot tell which keyboard is active");
    h->own_keymap = h->last_keymap;
    return 0;
}

// -- sway IPC ----------------------------------------------------------------------

#define IPC_SUBSCRIBE 2u
#define IPC_EVENT_INPUT 0x80000015u
static const char ipc_magic[6] = {'i', '3', '-', 'i', 'p', 'c'};

struct ipc {
    int fd;
    char *buf;
    size_t len, cap;
};

static int ipc_connect(const char *path) {
    struct sockaddr_un addr = {.sun_family = AF_UNIX};
    if (strlen(path) >= sizeof addr.sun_path) return -1;
    strcpy(addr.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static bool write_all(int fd, const void *data, size_t len) {
    const char *p = data;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n, len -= (size_t)n;
    }
    return true;
}

static bool ipc_send(int fd, uint32_t type, const char *payload) {
    char header[14];
    const uint32_t len = (uint32_t)strlen(payload);
    memcpy(header, ipc_magic, 6);
    memcpy(header + 6, &len, 4);
    memcpy(header + 10, &type, 4);
    return write_all(fd, header, sizeof header) && write_all(fd, payload, len);
}

// Reads what the socket has; false on EOF or error.
static bool ipc_fill(struct ipc *ipc) {
    if (ipc->cap - ipc->len < 4096) {
        size_t cap = ipc->cap ? ipc->cap * 2 : 16384;
        char *buf = realloc(ipc->buf, cap);
        if (!buf) return false;
        ipc->buf = buf, ipc->cap = cap;
    }
    ssize_t n;
    do {
        n = read(ipc->fd, ipc->buf + ipc->len, ipc->cap - ipc->len);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    ipc->len += (size_t)n;
    return true;
}

// Takes one whole message off the front of the buffer: its type, and its
// payload NUL-terminated (valid until the next call).
static bool ipc_next(struct ipc *ipc, uint32_t *type, char **payload, size_t *consumed) {
    uint32_t len;
    if (ipc->len < 14) return false;
    memcpy(&len, ipc->buf + 6, 4);
    memcpy(type, ipc->buf + 10, 4);
    if (ipc->len < 14 + (size_t)len) return false;
    // The payload moves down over the type field, which is already read,
    // to make room for its terminator.
    memmove(ipc->buf + 13, ipc->buf + 14, len);
    ipc->buf[13 + len] = '\0';
    *payload = ipc->buf + 13;
    *consumed = 14 + (size_t)len;
    return true;
}

static void ipc_drop(struct ipc *ipc, size_t consumed) {
    memmove(ipc->buf, ipc->buf + consumed, ipc->len - consumed);
    ipc->len -= consumed;
}

// A minimal reader for the one shape we need: the string value of `key` in
// the object that starts at *p (nested objects are entered only through
// `path`). Skips strings with their escapes, so text inside values never
// matches a key.
static const char *skip_ws(const char *p) {
    while (*p == ' ' || *p == '\n' || *p == '\t' || *p == '\r') ++p;
    return p;
}

static const char *skip_string(const char *p) {  // p at the opening quote
    for (++p; *p && *p != '"'; ++p)
        if (*p == '\\' && p[1]) ++p;
    return *p ? p + 1 : p;
}

static const char *skip_value(const char *p) {
    p = skip_ws(p);
    if (*p == '"') return skip_string(p);
    if (*p == '{' || *p == '[') {
        int depth = 0;
        for (; *p; ++p) {
            if (*p == '"') {
                p = skip_string(p) - 1;
                continue;
            }
            if (*p == '{' || *p == '[') ++depth;
            if (*p == '}' || *p == ']') {
                if (--depth == 0) return p + 1;
            }
        }
        return p;
    }
    while (*p && *p != ',' && *p != '}' && *p != ']') ++p;
    return p;
}

// Finds the value of "key" among the members of the object at p.
static const char *member(const char *p, const char *key) {
    p = skip_ws(p);
    if (*p != '{') return NULL;
    p = skip_ws(p + 1);
    const size_t klen = strlen(key);
    while (*p == '"') {
        const char *name = p + 1;
        const char *end = skip_string(p);
        const bool match = (size_t)(end - 1 - name) == klen && strncmp(name, key, klen) == 0;
        p = skip_ws(end);
        if (*p != ':') return NULL;
        p = skip_ws(p + 1);
        if (match) return p;
        p = skip_ws(skip_value(p));
        if (*p != ',') return NULL;
        p = skip_ws(p + 1);
    }
    return NULL;
}

static bool string_is(const char *p, const char *text) {
    if (!p || *p != '"') return false;
    const size_t len = strlen(text);
    return strncmp(p + 1, text, len) == 0 && p[1 + len] == '"';
}

// True for {"change": "removed", "input": {..., "type": "keyboard", ...}}.
static bool keyboard_removed(const char *event) {
    const char *input = member(event, "input");
    return string_is(member(event, "change"), "removed") && input && string_is(member(input, "type"), "keyboard");
}

static void handle_ipc_events(struct holder *h, struct ipc *ipc) {
    uint32_t type;
    char *payload;
    size_t consumed;
    while (ipc_next(ipc, &type, &payload, &consumed)) {
        if (type == IPC_EVENT_INPUT && keyboard_removed(payload)) {
            if (h->own_removals > 0) h->own_removals--;
            else reassert_keyboard(h);
        }
        ipc_drop(ipc, consumed);
    }
}

static bool ipc_subscribe(struct ipc *ipc, const struct session *s, const char *path, const char *link_from) {
    const int linked = link_from ? link_socket(s, link_from) : 0;
    if (linked != 0) {
        fail("cannot link sway's IPC socket %s into %s: %s", link_from, ROOT_RUNTIME, strerror(linked));
        return false;
    }
    ipc->fd = ipc_connect(path);
    if (ipc->fd < 0) {
        fail("cannot connect to sway's IPC socket %s: %s", path, strerror(errno));
        return false;
    }
    if (!ipc_send(ipc->fd, IPC_SUBSCRIBE, "[\"input\"]")) {
        fail("cannot subscribe to sway's input events");
        return false;
    }
    uint32_t type;
    char *payload;
    size_t consumed;
    while (!ipc_next(ipc, &type, &payload, &consumed)) {
        if (!ipc_fill(ipc)) {
            fail("sway closed its IPC socket");
            return false;
        }
    }
    const bool ok = type == IPC_SUBSCRIBE && strstr(payload, "true");
    ipc_drop(ipc, consumed);
    if (!ok) fail("sway refused the input subscription");
    return ok;
}

// -- the session's account and directory --------------------------------------------

// User ids handed out by --dynamic-user: a range that neither distributions
// nor systemd allocate (systemd's table calls 1879048192-2147483647 unused),
// and for a holder in a user namespace that maps only 16-bit ids, the unused
// range below systemd's DynamicUser one.
static const struct {
    uid_t first, count;
} dynamic_ranges[] = {{1879048192u, 65536u}, {60578u, 606u}};
#define UID_LOCKS "/run/pravlin-session"

static bool ids_mapped(const char *map, unsigned long first, unsigned long count) {
    FILE *f = fopen(map, "re");
    if (!f) return true;  // no user namespaces
    unsigned long inside, outside, n;
    bool mapped = false;
    while (!mapped && fscanf(f, "%lu %lu %lu", &inside, &outside, &n) == 3)
        mapped = first >= inside && first + count <= inside + n;
    fclose(f);
    return mapped;
}

static void pause_ms(long ms) {
    const struct timespec pause = {ms / 1000, (ms % 1000) * 1000 * 1000};
    nanosleep(&pause, NULL);
}

// No account and no group has the id, and no live process has it as a user or group id.
static bool id_unused(uid_t id) {
    if (getpwuid(id) || getgrgid(id)) return false;
    DIR *proc = opendir("/proc");
    if (!proc) return false;
    bool used = false;
    char path[300], buf[4096];
    for (struct dirent *e; !used && (e = readdir(proc));) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        snprintf(path, sizeof path, "/proc/%s/status", e->d_name);
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        const ssize_t n = read(fd, buf, sizeof buf - 1);
        close(fd);
        if (n <= 0) continue;
        buf[n] = '\0';
        // A zombie (which an init that reaps late leaves standing) can do nothing as the id.
        if (strstr(buf, "\nState:\tZ")) continue;
        // "Uid:\treal\teffective\tsaved\tfs", and the same for Gid.
        for (const char *key = buf; !used && (key = strstr(key, "id:\t")); key += 4) {
            if (key == buf || (key[-1] != 'U' && key[-1] != 'G')) continue;
            char *p = (char *)key + 4;
            for (int i = 0; i < 4 && !used; ++i) used = strtoul(p, &p, 10) == id;
        }
    }
    closedir(proc);
    return !used;
}

// Locks the file of `id` under UID_LOCKS, made if missing; the lock's descriptor, or -1 when another
// holder has it. A file its holder removed between our open and our lock is not the id's: try again.
static int lock_id(int dir, uid_t id) {
    char name[16];
    snprintf(name, sizeof name, "%u", (unsigned)id);
    for (;;) {
        const int lock = openat(dir, name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (lock < 0) return -1;
        struct stat held, named;
        if (flock(lock, LOCK_EX | LOCK_NB) < 0) {
            close(lock);
            return -1;
        }
        if (fstat(lock, &held) == 0 && fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev)
            return lock;
        close(lock);
    }
}

// Gives up the id's lock, removing its file while still holding it (lock_id's check).
static void unlock_id(int dir, uid_t id, int lock) {
    char name[16];
    snprintf(name, sizeof name, "%u", (unsigned)id);
    unlinkat(dir, name, 0);
    close(lock);
}

static int open_locks(void) {
    if (mkdir(UID_LOCKS, 0700) < 0 && errno != EEXIST) return -1;
    const int dir = open(UID_LOCKS, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (dir >= 0 && (fstat(dir, &st) < 0 || st.st_uid != 0 || (st.st_mode & 022))) {
        close(dir);
        errno = EPERM;
        return -1;
    }
    return dir;
}

// Reserves a user id (and the same group id) for the holder's life. Ids are handed out in turn,
// from the one after the id handed out last (UID_LOCKS/next), so that an id comes back only once
// every other one in its range has been used: 65536 sessions later, weeks at thousands a day. An
// id is taken when its lock under UID_LOCKS is free and nobody uses it; the check matters beside
// the lock: processes of a session whose holder was killed outright may still run as its id.
static int allocate_user(struct session *s) {
    const int dir = open_locks();
    if (dir < 0)
        return fail("cannot use %s: %s", UID_LOCKS, errno == EPERM ? "not a directory of root's alone" : strerror(errno));
    // One holder at a time reads and moves `next`.
    const int next_fd = flock(dir, LOCK_EX) == 0 ? openat(dir, "next", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600) : -1;
    char text[16] = "";
    if (next_fd >= 0 && pread(next_fd, text, sizeof text - 1, 0) < 0) text[0] = '\0';
    const unsigned long next = strtoul(text, NULL, 10);
    for (size_t r = 0; r < sizeof dynamic_ranges / sizeof *dynamic_ranges; ++r) {
        const uid_t first = dynamic_ranges[r].first, count = dynamic_ranges[r].count;
        if (!ids_mapped("/proc/self/uid_map", first, count) || !ids_mapped("/proc/self/gid_map", first, count))
            continue;
        const uid_t start = next >= first && next - first < count ? (uid_t)(next - first) : 0;
        for (uid_t i = 0; i < count; ++i) {
            const uid_t id = first + (start + i) % count;
            const int lock = lock_id(dir, id);
            if (lock < 0) continue;
            if (!id_unused(id)) {
                unlock_id(dir, id, lock);
                continue;
            }
            if (next_fd >= 0) {
                const int len = snprintf(text, sizeof text, "%u\n", (unsigned)(first + (start + i + 1) % count));
                if (pwrite(next_fd, text, (size_t)len, 0) == len) (void)!ftruncate(next_fd, len);
                close(next_fd);
            }
            close(dir);
            s->uid = id, s->gid = id, s->uid_lock = lock;
            return 0;
        }
    }
    if (next_fd >= 0) close(next_fd);
    close(dir);
    return fail("no free user id to run the compositor as");
}

static void release_user(struct session *s) {
    if (s->uid_lock < 0) return;
    const int dir = open_locks();
    if (dir >= 0) {
        unlock_id(dir, s->uid, s->uid_lock);
        close(dir);
    } else close(s->uid_lock);
    s->uid_lock = -1;
}

static void print_json_string(const char *text) {
    putchar('"');
    for (const char *c = text; *c; ++c) {
        if (*c == '"' || *c == '\\') printf("\\%c", *c);
        else if ((unsigned char)*c < 0x20) printf("\\u%04x", *c);
        else putchar(*c);
    }
    putchar('"');
}

// Makes PARENT/pravlin-session-XXXXXX with run/ and home/ for the account;
// run by root, the directory itself is open to the account's group only.
static int make_directory(struct session *s, const char *parent) {
    if (snprintf(s->dir, sizeof s->dir, "%s/pravlin-session-XXXXXX", parent) >= (int)sizeof s->dir) {
        s->dir[0] = '\0';
        return fail("the directory %s has too long a path", parent);
    }
    if (!mkdtemp(s->dir)) {
        const int err = errno;
        s->dir[0] = '\0';
        return fail("cannot make a session directory in %s: %s", parent, strerror(err));
    }
    s->dir_fd = open(s->dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (s->dir_fd < 0) return fail("cannot open %s: %s", s->dir, strerror(errno));
    const bool root = geteuid() == 0;
    static const char *const subdirs[] = {"run", "home"};
    for (size_t i = 0; i < 2; ++i) {
        if (mkdirat(s->dir_fd, subdirs[i], 0700) < 0 ||
            (root && fchownat(s->dir_fd, subdirs[i], s->uid, s->gid, AT_SYMLINK_NOFOLLOW) < 0))
            return fail("cannot make %s/%s: %s", s->dir, subdirs[i], strerror(errno));
    }
    if (s->own_runtime && mkdirat(s->dir_fd, ROOT_RUNTIME, 0700) < 0)
        return fail("cannot make %s/%s: %s", s->dir, ROOT_RUNTIME, strerror(errno));
    if (root && (fchown(s->dir_fd, 0, s->gid) < 0 || fchmod(s->dir_fd, 0710) < 0))
        return fail("cannot hand %s to the compositor's group: %s", s->dir, strerror(errno));
    printf("{\"directory\": ");
    print_json_string(s->dir);
    printf(", \"uid\": %u, \"gid\": %u}\n", (unsigned)s->uid, (unsigned)s->gid);
    fflush(stdout);
    return 0;
}

// Removes what the directory `fd` holds without following a link: each entry
// is reached through the descriptor of its own directory, and directories are
// opened with O_NOFOLLOW, so a link put in place of one (run/ and home/ are the
// compositor account's to change) is itself removed, never its target.
static void empty_directory(int fd, int depth) {
    for (int pass = 0; pass < 3; ++pass) {
        const int own = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR *d = own >= 0 ? fdopendir(own) : NULL;
        if (!d) {
            if (own >= 0) close(own);
            return;
        }
        bool found = false;
        for (struct dirent *e; (e = readdir(d));) {
            const char *name = e->d_name;
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
            found = true;
            if (unlinkat(fd, name, 0) == 0 || errno == ENOENT) continue;
            const int sub = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) {  // no longer a directory: a link or file now
                unlinkat(fd, name, 0);
                continue;
            }
            if (depth < 64) empty_directory(sub, depth + 1);
            close(sub);
            unlinkat(fd, name, AT_REMOVEDIR);
        }
        closedir(d);
        if (!found) return;
    }
}

static void remove_directory(struct session *s) {
    if (s->dir_fd >= 0) {
        empty_directory(s->dir_fd, 0);
        close(s->dir_fd);
        s->dir_fd = -1;
    }
    if (s->dir[0]) rmdir(s->dir);
    s->dir[0] = '\0';
}

// Every process of the dynamic user is the session's: the compositor, what it
// started (swaymsg exec) and whatever outlived it. kill(-1) by a process of
// that user reaches exactly those.
static void kill_user(uid_t uid) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setresuid(uid, uid, uid) == 0) {
            for (int i = 0; i < 3 && kill(-1, SIGKILL) == 0; ++i) pause_ms(1);
            clear_keys();
        }
        _exit(0);
    }
    if (pid > 0)
        while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
        }
}

static void signal_groups(const struct session *s, int sig) {
    for (size_t i = 0; i < s->count; ++i) kill(-s->groups[i], sig);
}

static bool groups_alive(const struct session *s) {
    for (size_t i = 0; i < s->count; ++i)
        if (kill(-s->groups[i], 0) == 0 || errno == EPERM) return true;
    return false;
}

// The starter is gone: stop the session's process groups (a few seconds'
// grace, then SIGKILL).
static void orphan_cleanup(struct session *s) {
    signal_groups(s, SIGTERM);
    for (const int64_t deadline = now_ms() + 3000; groups_alive(s) && now_ms() < deadline;) pause_ms(10);
    signal_groups(s, SIGKILL);
}

// True when the starter's pipe has ended (it died or closed it).
static bool starter_gone(struct holder *h) {
    if (h->session->starter_gone) return true;
    struct pollfd p = {h->starter, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP)))
        if (!hear_starter(h)) return true;
    return false;
}

// -- main ----------------------------------------------------------------------

static int usage(const char *problem) {
    fprintf(stderr,
            "usage: %s --session-in PARENT [--dynamic-user | --user-id UID --group-id GID]\n"
            "       [--socket PATH [--outputs N] [--layout L] [--variant V] [--sway-ipc PATH | --watch-keymaps]]\n"
            "       [--timeout-ms MS]\n"
            "   or: %s --socket PATH --probe\n"
            "%s: %s\n",
            prog, prog, prog, problem);
    return 2;
}

// Sets up and holds the seat until told to stop or the compositor goes.
static int hold(struct holder *h, const char *socket_path, int expected_outputs, const char *sway_ipc,
                bool keymaps, bool probe, int64_t deadline) {
    h->display = connect_when_ready(h, socket_path, h->socket_link, !probe, deadline);
    if (!h->display) return h->stopping ? 0 : 1;
    h->registry = wl_display_get_registry(h->display);
    wl_registry_add_listener(h->registry, &registry_listener, h);
    if (wl_display_roundtrip(h->display) < 0) return fail("the compositor closed the connection");
    if (!dispatch_until(h, outputs_ready, expected_outputs, deadline)) {
        if (h->stopping) return 0;
        if (h->output_count < expected_outputs)
            return fail("the compositor announced %d of %d outputs", h->output_count, expected_outputs);
        return fail("the outputs did not announce their names and modes");
    }
    if (h->xdg_output_manager) {
        for (int i = 0; i < h->output_count; ++i) {
            struct output *o = &h->outputs[i];
            o->xdg = zxdg_output_manager_v1_get_xdg_output(h->xdg_output_manager, o->wl);
            zxdg_output_v1_add_listener(o->xdg, &xdg_output_listener, o);
        }
        if (wl_display_roundtrip(h->display) < 0) return fail("the compositor closed the connection");
    }
    if (probe) {
        print_outputs(h);
        return 0;
    }
    if (!h->keyboard_manager || !h->pointer_manager)
        return fail("the compositor lacks%s%s", !h->keyboard_manager ? " zwp_virtual_keyboard_manager_v1" : "",
                    !h->pointer_manager ? " zwlr_virtual_pointer_manager_v1" : "");
    h->pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(h->pointer_manager, h->seat);
    if (!h->seat) {
        if (wl_display_roundtrip(h->display) < 0) return fail("the compositor refused the virtual pointer");
        if (!h->seat) return fail("the compositor announced no wl_seat, even for a virtual pointer");
    }
    h->keyboard = new_keyboard(h);
    if (keymaps) watch_keymaps(h);
    if (wl_display_roundtrip(h->display) < 0) return fail("the compositor refused the virtual devices");
    if (keymaps && check_own_keymap(h) != 0) return 1;

    struct ipc ipc = {.fd = -1};
    if (sway_ipc && !ipc_subscribe(&ipc, h->session, sway_ipc, h->ipc_link)) return 1;
    print_outputs(h);
    h->session->ready = true;

    struct pollfd fds[5] = {
        {wl_display_get_fd(h->display), POLLIN, 0},
        {h->sfd, POLLIN, 0},
        {ipc.fd, POLLIN, 0},
        {h->starter, POLLIN, 0},
        {h->session->compositor_fd, POLLIN, 0},
    };
    for (;;) {
        if (wl_display_dispatch_pending(h->display) < 0) return 0;
        if (h->foreign_active) reactivate_by_modifiers(h);
        if (wl_display_flush(h->display) < 0 && errno != EAGAIN) return 0;
        handle_ipc_events(h, &ipc);
        if (poll(fds, 5, -1) < 0) {
            if (errno == EINTR) continue;
            return fail("poll: %s", strerror(errno));
        }
        if (fds[1].revents & POLLIN) return 0;  // told to stop
        if ((fds[3].revents & (POLLIN | POLLHUP)) && !hear_starter(h)) return 0;
        if (fds[4].revents & POLLIN) {
            reap_compositor(h->session);
            return 0;
        }
        if ((fds[2].revents & (POLLIN | POLLHUP)) && !ipc_fill(&ipc)) return 0;  // sway is going away
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && wl_display_dispatch(h->display) < 0) {
            if (wl_display_get_error(h->display) == EPROTO) return fail("protocol error from the compositor");
            return 0;
        }
    }
}

// A path given relative to the session directory, made absolute. With own_runtime a socket's
// path is that of its link in ROOT_RUNTIME, and `link` is set to the path given.
static const char *in_session(const struct session *s, const char *path, char *buf, size_t size,
                              const char **link) {
    if (!path || path[0] == '/' || !s->dir[0]) return path;
    const char *name = strrchr(path, '/');
    const int n = s->own_runtime ? snprintf(buf, size, "%s/" ROOT_RUNTIME "/%s", s->dir, name ? name + 1 : path)
                                 : snprintf(buf, size, "%s/%s", s->dir, path);
    if (s->own_runtime) *link = path;
    (void)n;  // a path cut short is too long for a Unix socket, and refused where it is used
    return buf;
}

static bool parse_id(const char *text, unsigned long max, unsigned long *out) {
    char *end;
    errno = 0;
    *out = strtoul(text, &end, 10);
    return *text && *text != '-' && !*end && errno == 0 && *out <= max;
}

int main(int argc, char **argv) {
    const char *socket_path = NULL, *layout = "us", *variant = "", *sway_ipc = NULL, *session_in = NULL;
    unsigned long expected_outputs = 0, timeout_ms = SETUP_TIMEOUT_MS, uid = 0, gid = 0;
    bool probe = false, keymaps = false, dynamic = false, have_uid = false, have_gid = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(arg, "--probe") == 0) probe = true;
        else if (strcmp(arg, "--watch-keymaps") == 0) keymaps = true;
        else if (strcmp(arg, "--dynamic-user") == 0) dynamic = true;
        else if (!value) return usage(strncmp(arg, "--", 2) == 0 ? "an option lacks its value" : "unknown argument");
        else if ((++i, strcmp(arg, "--socket") == 0)) socket_path = value;
        else if (strcmp(arg, "--session-in") == 0) session_in = value;
        else if (strcmp(arg, "--layout") == 0) layout = value;
        else if (strcmp(arg, "--variant") == 0) variant = value;
        else if (strcmp(arg, "--sway-ipc") == 0) sway_ipc = value;
        else if (strcmp(arg, "--outputs") == 0) {
            if (!parse_id(value, MAX_OUTPUTS, &expected_outputs)) return usage("--outputs takes 0 to 16");
        } else if (strcmp(arg, "--timeout-ms") == 0) {
            if (!parse_id(value, INT32_MAX, &timeout_ms)) return usage("--timeout-ms takes a number of milliseconds");
        } else if (strcmp(arg, "--user-id") == 0) {
            if (!(have_uid = parse_id(value, UINT32_MAX - 1, &uid))) return usage("--user-id takes a user id");
        } else if (strcmp(arg, "--group-id") == 0) {
            if (!(have_gid = parse_id(value, UINT32_MAX - 1, &gid))) return usage("--group-id takes a group id");
        } else return usage("unknown option");
    }
    if (probe ? !socket_path || session_in : !session_in) return usage("either --session-in or --probe");
    if (sway_ipc && keymaps) return usage("--sway-ipc and --watch-keymaps exclude each other");
    if (dynamic && (have_uid || have_gid)) return usage("--dynamic-user and --user-id exclude each other");
    if (have_uid != have_gid) return usage("--user-id and --group-id go together");
    if ((dynamic || have_uid) && geteuid() != 0 && (dynamic || uid != geteuid()))
        return usage("only root runs the compositor as another user");

    // Writing to a starter that is gone must not end the holder before it has cleaned up.
    signal(SIGPIPE, SIG_IGN);
    // Signals arrive through the signalfd only.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_BLOCK, &mask, NULL);
    const int sfd = signalfd(-1, &mask, SFD_CLOEXEC);
    if (sfd < 0) return fail("signalfd: %s", strerror(errno));

    struct session session = {
        .dir_fd = -1, .uid_lock = -1, .compositor_fd = -1, .uid = geteuid(), .gid = getegid()};
    struct holder h = {.keymap_fd = -1, .sfd = sfd, .starter = -1, .session = &session};
    const int64_t deadline = now_ms() + (int64_t)timeout_ms;
    int rc = 0;
    bool announced = false;
    if (session_in) {
        h.starter = 0;
        fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
        if (have_uid) session.uid = (uid_t)uid, session.gid = (gid_t)gid;
        rc = dynamic ? allocate_user(&session) : 0;
        session.own_runtime = geteuid() == 0 && session.uid != 0;
        if (rc == 0) rc = make_directory(&session, session_in);
        announced = rc == 0;
    }
    if (rc == 0 && socket_path) {
        char socket_buf[PATH_MAX], ipc_buf[PATH_MAX];
        socket_path = in_session(&session, socket_path, socket_buf, sizeof socket_buf, &h.socket_link);
        sway_ipc = in_session(&session, sway_ipc, ipc_buf, sizeof ipc_buf, &h.ipc_link);
        if (!probe) {
            // The keymap takes milliseconds to build: not before the compositor
            // has been started, whose start would wait for it.
            while (session_in && !session.compositor && await_fd(&h, -1, 0, deadline) > 0) {
            }
            h.keymap_fd = make_keymap(layout, variant, &h.keymap_size, &h.blip_mask);
            if (h.keymap_fd < 0)
                rc = fail("cannot build a keymap for layout '%s'%s%s%s", layout, *variant ? " variant '" : "",
                          variant, *variant ? "'" : "");
            // Re-activating the keyboard races with whichever client asks for the
            // seat keyboard next, so the holder wakes ahead of ordinary processes
            // where it may (root, or an RLIMIT_RTPRIO). It only ever runs for a
            // few microseconds at a time.
            const struct sched_param lowest_realtime = {.sched_priority = 1};
            sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &lowest_realtime);
        }
        if (rc == 0) rc = hold(&h, socket_path, (int)expected_outputs, sway_ipc, keymaps, probe, deadline);
    }
    if (h.display) wl_display_disconnect(h.display);
    if (session_in) {
        if (rc != 0 && announced) {
            printf("{\"error\": ");
            print_json_string(failure);
            printf("}\n");
            fflush(stdout);
        }
        // The directory and the account are guarded until the starter says so, or dies.
        while (announced && await_fd(&h, -1, 0, now_ms() + 3600 * 1000) >= 0) {
        }
        if (starter_gone(&h)) orphan_cleanup(&session);
        // sway loses a SIGTERM that comes before its event loop runs: one that never became ready
        // gets no grace.
        stop_compositor(&session, session.ready ? 5000 : 0);
        if (session.uid_lock >= 0) kill_user(session.uid);
        remove_directory(&session);
        release_user(&session);
    }
    return rc;
}
