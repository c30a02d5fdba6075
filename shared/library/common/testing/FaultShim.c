/* A fault injector for tests, loaded with LD_PRELOAD into a program under test.
 *
 * BROLIX_FAULT names one fault as ACTION:CALL[:SUFFIX[:NTH]]:
 *   ACTION  fail  the call returns -1 with errno EIO (ENOSPC for write calls)
 *           skip  the call is not made and reports success (fsync and
 *                 syncfs only: what a program costs without waiting for the
 *                 disk)
 *           stop  the process stops itself (SIGSTOP) before the call and
 *                 makes it when continued
 *           kill  the process kills itself (SIGKILL) before the call
 *   CALL    fsync (fsync, fdatasync and syncfs), rename (rename, renameat and
 *           renameat2), link (linkat) or unlink (unlink and unlinkat)
 *   SUFFIX  only calls whose (first) path ends in this text count; empty or
 *           missing: every call counts. A path given relative to a folder's
 *           descriptor counts as that folder's path, "/", and the name.
 *   NTH     the fault strikes the NTH counting call (from 1) and only that one;
 *           missing: every counting call
 * Calls that do not count go to the C library unchanged.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char g_action[16];
static char g_call[16];
static char g_suffix[PATH_MAX];
static long g_nth;
static long g_count;
static int g_parsed;

static void parse(void) {
    if (g_parsed) return;
    g_parsed = 1;
    const char* setting = getenv("BROLIX_FAULT");
    if (setting == NULL) return;
    char copy[PATH_MAX + 64];
    snprintf(copy, sizeof copy, "%s", setting);
    char* fields[4] = {NULL, NULL, NULL, NULL};
    int n = 0;
    char* p = copy;
    while (n < 4) {
        fields[n++] = p;
        char* colon = strchr(p, ':');
        if (colon == NULL) break;
        *colon = '\0';
        p = colon + 1;
    }
    if (fields[0]) snprintf(g_action, sizeof g_action, "%s", fields[0]);
    if (fields[1]) snprintf(g_call, sizeof g_call, "%s", fields[1]);
    if (fields[2]) snprintf(g_suffix, sizeof g_suffix, "%s", fields[2]);
    g_nth = fields[3] ? atol(fields[3]) : 0;
}

static int endsWith(const char* path, const char* suffix) {
    if (suffix[0] == '\0') return 1;
    if (path == NULL) return 0;
    size_t a = strlen(path), b = strlen(suffix);
    return a >= b && strcmp(path + a - b, suffix) == 0;
}

/* The path of an open descriptor, for calls that take one. */
static void descriptorPath(int fd, char* out, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, size - 1);
    out[n > 0 ? n : 0] = '\0';
}

/* 1 when the call must fail, after stopping or killing the process if asked. */
static int strikes(const char* call, const char* path) {
    parse();
    if (strcmp(g_call, call) != 0 || !endsWith(path, g_suffix)) return 0;
    ++g_count;
    if (g_nth != 0 && g_count != g_nth) return 0;
    if (strcmp(g_action, "kill") == 0) raise(SIGKILL);
    if (strcmp(g_action, "stop") == 0) {
        raise(SIGSTOP);
        return 0;
    }
    return strcmp(g_action, "fail") == 0 || strcmp(g_action, "skip") == 0;
}

#define NEXT(name, type) ((type)dlsym(RTLD_NEXT, name))

/* The fault of a flush call on `fd`: -1 (errno EIO) for "fail", 0 for "skip"
 * (the call is not made), 1 when the call is to be made. */
static int flushFault(int fd) {
    char path[PATH_MAX];
    descriptorPath(fd, path, sizeof path);
    if (!strikes("fsync", path)) return 1;
    if (strcmp(g_action, "skip") == 0) return 0;
    errno = EIO;
    return -1;
}

int fsync(int fd) {
    const int fault = flushFault(fd);
    return fault <= 0 ? fault : NEXT("fsync", int (*)(int))(fd);
}

int fdatasync(int fd) {
    const int fault = flushFault(fd);
    return fault <= 0 ? fault : NEXT("fdatasync", int (*)(int))(fd);
}

int syncfs(int fd) {
    const int fault = flushFault(fd);
    return fault <= 0 ? fault : NEXT("syncfs", int (*)(int))(fd);
}


/* The path a call names: `name` itself, or with a folder's descriptor that
 * folder's path, "/" and `name`. */
static const char* atPath(int dir, const char* name, char* out, size_t size) {
    if (name == NULL || name[0] == '/' || dir == AT_FDCWD) return name;
    char folder[PATH_MAX];
    descriptorPath(dir, folder, sizeof folder);
    snprintf(out, size, "%s/%s", folder, name);
    return out;
}

int rename(const char* from, const char* to) {
    if (strikes("rename", from)) {
        errno = EIO;
        return -1;
    }
    return NEXT("rename", int (*)(const char*, const char*))(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    char path[PATH_MAX * 2];
    if (strikes("rename", atPath(fromDir, from, path, sizeof path))) {
        errno = EIO;
        return -1;
    }
    return NEXT("renameat", int (*)(int, const char*, int, const char*))(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
    char path[PATH_MAX * 2];
    if (strikes("rename", atPath(fromDir, from, path, sizeof path))) {
        errno = EIO;
        return -1;
    }
    return NEXT("renameat2", int (*)(int, const char*, int, const char*, unsigned int))(fromDir, from, toDir, to,
                                                                                        flags);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    char path[PATH_MAX * 2];
    if (strikes("link", atPath(toDir, to, path, sizeof path))) {
        errno = EIO;
        return -1;
    }
    return NEXT("linkat", int (*)(int, const char*, int, const char*, int))(fromDir, from, toDir, to, flags);
}

int unlink(const char* path) {
    if (strikes("unlink", path)) {
        errno = EIO;
        return -1;
    }
    return NEXT("unlink", int (*)(const char*))(path);
}

int unlinkat(int dir, const char* name, int flags) {
    char path[PATH_MAX * 2];
    if (strikes("unlink", atPath(dir, name, path, sizeof path))) {
        errno = EIO;
        return -1;
    }
    return NEXT("unlinkat", int (*)(int, const char*, int))(dir, name, flags);
}
