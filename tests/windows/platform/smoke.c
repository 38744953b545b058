/* The Windows build's smoke test, a C program on kalax.dll as a user writes
 * it: it reads a simulated unit's values over Winsock and prints the first
 * item, finds a port without a server refused with the system's own text, and
 * runs the calling thread's event queue (a message-only window) idle.
 *   kalax_smoke.exe HOST PORT CLOSED_PORT
 * Exit status 0 when every check held. */
#include <kalax/zxevents.h>
#include <kalax/zxpld.h>
#include <kalax/zxxml.h>

#include <windows.h>

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

/* A callback that closes its own module: the worker ends by unwinding
 * through this C frame, and the call never comes back. */
static volatile int self_close_ran = 0, self_close_returned = 0;

static void close_self(int module, void *owner, int index, zxxml_values_struct *values,
                       zxxml_values_count_struct *counts) {
    (void)owner, (void)index, (void)values, (void)counts;
    self_close_ran = 1;
    zxxml_close_for_callback(module);
    self_close_returned = 1;
}

/* The data log's downloads, as the worker hands them over. */
struct log_result {
    volatile LONG done;
    int failed;
    char first_line[200];
    int length;
    unsigned char *bin;
};

static void first_line_of(const char *text, int length, char *out, size_t size) {
    int n = 0;
    while (n < length && text[n] != '\r' && text[n] != '\n' && (size_t)n + 1 < size) ++n;
    memcpy(out, text, (size_t)n);
    out[n] = '\0';
}

static void on_csv(int module, void *user_data, const char *text, int length) {
    struct log_result *r = user_data;
    (void)module;
    r->length = length;
    first_line_of(text, length, r->first_line, sizeof r->first_line);
    InterlockedExchange(&r->done, 1);
}

static void on_bin(int module, void *user_data, const char *data, int length) {
    struct log_result *r = user_data;
    (void)module;
    r->length = length;
    r->bin = malloc(length > 0 ? (size_t)length : 1);
    if (r->bin && length > 0) memcpy(r->bin, data, (size_t)length);
    InterlockedExchange(&r->done, 1);
}

static void on_log_error(int module, void *user_data, zx_error_struct *error) {
    struct log_result *r = user_data;
    (void)module;
    fprintf(stderr, "log: %s (%d): %s (%d)\n", error->text, error->code, error->sys_text, error->sys_code);
    r->failed = 1;
    InterlockedExchange(&r->done, 1);
}

static int wait_done(struct log_result *r) {
    for (int i = 0; i < 1000 && !InterlockedCompareExchange(&r->done, 0, 0); ++i) Sleep(10);
    return r->done && !r->failed;
}

/* Reads the unit's data log as CSV and as binary records, converted here. */
static void data_log(const char *host, int port) {
    struct log_result csv, bin;
    memset(&csv, 0, sizeof csv);
    memset(&bin, 0, sizeof bin);
    CHECK(zxpld_init() == 0);
    zxpld_settings_struct settings;
    CHECK(zxpld_clr_settings_struct(&settings) == 0);
    settings.address = host;
    settings.port = port;
    settings.on_csv = on_csv;
    settings.on_bin = on_bin;
    settings.on_connect_error = on_log_error;
    settings.on_csv_error = on_log_error;
    settings.on_bin_error = on_log_error;
    settings.user_data = &csv;
    const int log = zxpld_open(&settings);
    CHECK(log > 0);
    if (log > 0) {
        CHECK(zxpld_get_spilog_csv(log) == 0);
        CHECK(wait_done(&csv) && csv.length > 0);
        printf("data log (CSV): %d bytes, first line \"%s\"\n", csv.length, csv.first_line);
        CHECK(zxpld_close(log) == 0);
    }
    settings.user_data = &bin;
    const int log2 = zxpld_open(&settings);
    CHECK(log2 > 0);
    if (log2 > 0) {
        CHECK(zxpld_get_spilog_bin(log2) == 0);
        CHECK(wait_done(&bin) && bin.length > 0);
        if (bin.bin && bin.length > 0) {
            static char text[1 << 20];
            int text_length = (int)sizeof text;
            CHECK(zxpld_bin2csv(log2, bin.bin, bin.length, text, &text_length) == 0 && text_length > 0);
            char line[200];
            first_line_of(text, text_length, line, sizeof line);
            printf("data log (binary): %d bytes, as CSV %d, first line \"%s\"\n", bin.length, text_length, line);
        }
        CHECK(zxpld_close(log2) == 0);
    }
    free(bin.bin);
    CHECK(zxpld_uninit() == 0);
}

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
            /* The document written to a file is the body byte for byte. */
            char *body = NULL;
            int length = 0;
            CHECK(zxxml_get_values_xml(unit, &body, &length) == 0 && length > 0);
            char path[512];
            snprintf(path, sizeof path, "%s\\kalax-smoke-values.xml", getenv("TEMP") ? getenv("TEMP") : ".");
            CHECK(zxxml_get_values_to_file(unit, path) == 0);
            FILE *f = fopen(path, "rb");
            CHECK(f != NULL);
            if (f && body) {
                char *back = malloc((size_t)length + 16);
                const size_t got = back ? fread(back, 1, (size_t)length + 16, f) : 0;
                CHECK(got == (size_t)length && memcmp(back, body, (size_t)length) == 0);
                printf("values.xml: %d bytes, the file %d\n", length, (int)got);
                free(back);
            }
            if (f) fclose(f);
            remove(path);
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

    data_log(host, port);

    /* A worker ended from inside its own callback. */
    zxxml_settings_struct closing;
    memset(&closing, 0, sizeof closing);
    closing.callbacks.on_values = close_self;
    const int self = zxxml_open(host, closed, &closing, NULL);
    CHECK(self > 0);
    if (self > 0) {
        static const char tiny[] = "<?xml version=\"1.0\"?><Root></Root>";
        CHECK(zxxml_wait_finish(self, 0, 5) == 0);
        CHECK(zxxml_load_values(self, tiny, (int)sizeof tiny - 1) == 0);
        for (int i = 0; i < 500 && zxxml_type_of(self) >= 0; ++i) Sleep(10);
        CHECK(self_close_ran && !self_close_returned);
        CHECK(zxxml_type_of(self) == -1);
        CHECK(zxxml_get_values(self) == -1);
        zx_error_struct e;
        memset(&e, 0, sizeof e);
        CHECK(zxxml_error(self, &e) == 0 && e.code == 40);
        printf("closed from its callback: ran %d, returned %d, then code %d\n", self_close_ran, self_close_returned,
               e.code);
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
