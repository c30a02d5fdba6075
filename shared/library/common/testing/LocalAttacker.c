/* Another local account at work, for tests of what the programs hold against
 * it: run as an unprivileged user beside a program that writes into a folder
 * that user may write, it does one thing over and over, as fast as it can,
 * until it is sent SIGTERM; then it prints what it achieved on one line.
 *
 *   brolix_local_attacker read PATH
 *       opens PATH and reads what it can; prints "opened N read B"
 *       (B bytes read in N openings)
 *   brolix_local_attacker swap FOLDER NAME FAKE
 *       moves FOLDER/NAME.tmp aside, plants symbolic and hard links to FAKE
 *       at FOLDER/NAME.tmp and FOLDER/NAME.lock and removes whatever stands
 *       there, in changing order; prints "moved N planted M"
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static volatile sig_atomic_t g_stop;

static void stop(int signal) {
    (void)signal;
    g_stop = 1;
}

static int readLoop(const char* path) {
    long opened = 0, bytes = 0;
    char buffer[65536];
    while (!g_stop) {
        const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
        if (fd < 0) continue;
        ++opened;
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) bytes += n;
        close(fd);
    }
    printf("opened %ld read %ld\n", opened, bytes);
    return 0;
}

static int swapLoop(const char* folder, const char* name, const char* fake) {
    char tmp[PATH_MAX], aside[PATH_MAX], lock[PATH_MAX];
    snprintf(tmp, sizeof tmp, "%s/%s.tmp", folder, name);
    snprintf(aside, sizeof aside, "%s/%s.tmp.aside", folder, name);
    snprintf(lock, sizeof lock, "%s/%s.lock", folder, name);
    long moved = 0, planted = 0;
    for (unsigned long round = 0; !g_stop; ++round) {
        switch (round % 6) {
            case 0:
                if (rename(tmp, aside) == 0) ++moved;
                if (symlink(fake, tmp) == 0) ++planted;
                break;
            case 1:
                if (rename(tmp, aside) == 0) ++moved;
                if (link(fake, tmp) == 0) ++planted;
                break;
            case 2:
                unlink(lock);
                if (symlink(fake, lock) == 0) ++planted;
                break;
            case 3:
                unlink(lock);
                if (link(fake, lock) == 0) ++planted;
                break;
            case 4:
                /* Leave the names free for a moment, so that writers get on. */
                unlink(tmp);
                unlink(lock);
                usleep(200);
                break;
            default:
                unlink(aside);
                if (symlink(fake, tmp) == 0) ++planted;
                break;
        }
    }
    printf("moved %ld planted %ld\n", moved, planted);
    return 0;
}

int main(int argc, char** argv) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = stop;
    sigaction(SIGTERM, &action, NULL);
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc == 3 && strcmp(argv[1], "read") == 0) return readLoop(argv[2]);
    if (argc == 5 && strcmp(argv[1], "swap") == 0) return swapLoop(argv[2], argv[3], argv[4]);
    fprintf(stderr, "usage: brolix_local_attacker read PATH | swap FOLDER NAME FAKE\n");
    return 2;
}
