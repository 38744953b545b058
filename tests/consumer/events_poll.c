/* A C host of the object layer's event delivery: it knows only zxevents.h and
 * libkalax.so. It runs a poll loop on the calling thread's queue descriptor
 * and counts deliveries; with no object posting, the loop must stay quiet,
 * time out as asked and deliver nothing. Exit status 0 when all holds. */
#include <kalax/zxevents.h>

#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <time.h>

static int failures = 0;

#define CHECK(cond)                                                         \
    do {                                                                    \
        if (!(cond)) {                                                      \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

static long elapsed_ms(const struct timespec *since) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since->tv_sec) * 1000L + (now.tv_nsec - since->tv_nsec) / 1000000L;
}

/* Another thread has a queue, and so a descriptor, of its own. */
static void *other_thread(void *arg) {
    int *fd = arg;
    *fd = zx_events_fd();
    return NULL;
}

int main(void) {
    const int fd = zx_events_fd();
    CHECK(fd >= 0);
    CHECK(zx_events_fd() == fd); /* the same for the life of the thread */

    /* An event loop: poll the descriptor, dispatch what is pending. */
    int delivered = 0;
    for (int round = 0; round < 3; ++round) {
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, 20);
        CHECK(ready == 0); /* nothing posted: never readable */
        if (ready > 0) delivered += zx_events_dispatch(0);
    }
    CHECK(delivered == 0);
    CHECK(zx_events_dispatch(0) == 0);
    CHECK(zx_events_dispatch(5) == 0);

    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    CHECK(zx_events_wait(100) == 0); /* time-out: nothing delivered */
    CHECK(elapsed_ms(&start) >= 90); /* and it did wait */
    CHECK(zx_events_wait(0) == 0);

    int other = -1;
    pthread_t thread;
    CHECK(pthread_create(&thread, NULL, other_thread, &other) == 0);
    CHECK(pthread_join(thread, NULL) == 0);
    CHECK(other >= 0 && other != fd);

    if (failures == 0) printf("zx_events: descriptor %d, %d deliveries, all checks held\n", fd, delivered);
    return failures == 0 ? 0 : 1;
}
