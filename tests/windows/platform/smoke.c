/* The Windows build's smoke test, a C program on kalax.dll as a user writes
 * it: it reads a simulated unit's values over Winsock and prints the first
 * item, finds a port without a server refused with the system's own text, and
 * runs the calling thread's event queue (a message-only window) idle.
 *   kalax_smoke.exe HOST PORT CLOSED_PORT
 * Exit status 0 when every check held. */
#include <kalax/zxevents.h>
#include <kalax/zxxml.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static int failures = 0;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                        \
        }                                                                      \
    } while (0)

static void print_error(const char *what, int module) {
    zx_error_struct e;
    memset(&e, 0, sizeof e);
    if (zxxml_error(module, &e) < 0 || e.code == 0) zxxml_error(0, &e);
    printf("%s: %s (%d): %s (%d)\n", what, e.text, e.code, e.sys_text, e.sys_code);
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: kalax_smoke HOST PORT CLOSED_PORT\n");
        return 2;
    }
    const char *host = argv[1];
    const int port = atoi(argv[2]);
    const int closed = atoi(argv[3]);
    zxxml_settings_struct settings;
    memset(&settings, 0, sizeof settings);
    printf("kalax %s\n", zx_version());
    CHECK(zxxml_init() == 0);

    /* A unit's values, the first item printed. */
    zxxml_values_struct *values = NULL;
    zxxml_values_count_struct *counts = NULL;
    const int unit = zxxml_open(host, port, &settings, NULL);
    CHECK(unit > 0);
    if (unit > 0) {
        const int ok = zxxml_wait_finish(unit, 0, 5) == 0 && zxxml_get_values(unit) == 0 &&
                       zxxml_wait_finish(unit, 2, 30) == 0 && zxxml_get_values_cache(unit, &values, &counts) == 0;
        CHECK(ok);
        if (ok) {
            CHECK(counts->SenSet > 0);
            printf("unit %s: %d sensors\n", values->Agent_DeviceName, (int)counts->SenSet);
            if (counts->SenSet > 0)
                printf("first item: %s = %s %s\n", values->SenSet_Entry_Name[0], values->SenSet_Entry_Value[0],
                       values->SenSet_Entry_Units[0]);
        } else {
            print_error("values", unit);
        }
        CHECK(zxxml_close(unit) == 0);
    }

    /* Nobody listens: refused, with Winsock's code and the system's text. */
    const int none = zxxml_open(host, closed, &settings, NULL);
    CHECK(none > 0);
    if (none > 0) {
        CHECK(zxxml_wait_finish(none, 0, 5) == 0 && zxxml_get_values(none) == 0);
        CHECK(zxxml_wait_finish(none, 2, 30) == 0);
        CHECK(zxxml_get_values_cache(none, &values, &counts) < 0);
        zx_error_struct e;
        memset(&e, 0, sizeof e);
        CHECK(zxxml_error(none, &e) == 0);
        printf("closed port: %s (%d): %s (%d)\n", e.text, e.code, e.sys_text, e.sys_code);
        CHECK(e.code == 28);
        CHECK(e.sys_code == 10061); /* WSAECONNREFUSED */
        CHECK(e.sys_text[0] != '\0');
        CHECK(zxxml_close(none) == 0);
    }

    /* The thread's queue is a window: no descriptor, an idle wait times out. */
    CHECK(zx_events_fd() == -1);
    const clock_t start = clock();
    CHECK(zx_events_wait(100) == 0);
    CHECK((clock() - start) * 1000 / CLOCKS_PER_SEC >= 90);
    CHECK(zx_events_dispatch(0) == 0);

    CHECK(zxxml_uninit() == 0);
    if (failures == 0) printf("smoke: all checks held\n");
    return failures == 0 ? 0 : 1;
}
