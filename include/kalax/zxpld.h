/* Data-log client: download, delete and convert the data log of monitoring units.
 *
 * Every callback runs on the module's worker thread; the pointers it receives
 * are valid only during the call. A callback must not close its own module:
 * zxpld_close then fails with code 39 and the module stays open.
 *
 * A request succeeds (on_csv, on_bin, on_del, on_delall) only when the unit
 * answered with a status line and head of a success status; a delete is never
 * reported done on no reply or garbage. Every other outcome calls the request's
 * error callback with the codes listed in zx.h (71: no reply, 12: over 32 MiB,
 * 19: too slow, 34: reset, 47-70: the unit's HTTP error status). */
#ifndef KALAX_ZXPLD_H
#define KALAX_ZXPLD_H

#include <stdint.h>

#include "zx.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Record-type filter values. */
enum {
    KALLOG_TYPE_ALL = 0,
    KALLOG_TYPE_NORMAL = 1,
    KALLOG_TYPE_ALARM = 2
};

/* Record-group filter values. */
enum {
    KALLOG_GROUP_ALL = 0,
    KALLOG_GROUP_SENSORS = 1,
    KALLOG_GROUP_BINARIES = 2,
    KALLOG_GROUP_INPUTS = 3,
    KALLOG_GROUP_OUTPUTS = 4
};

typedef struct zxpld_settings_struct {
    const char *address;   /* dotted IPv4 text, at most 15 characters; required */
    int32_t     port;      /* default 80 */
    int32_t     type_filter;
    int32_t     group_filter;
    const char *user;      /* null: no credentials; empty still sends a header */
    const char *password;
    void       *user_data; /* passed to every callback */
    void (*on_connect)(int module, void *user_data);
    void (*on_connect_error)(int module, void *user_data, zx_error_struct *error);
    /* After every received chunk, also one without body bytes. */
    void (*on_data)(int module, void *user_data, const char *data, int count);
    /* The filtered CSV text of a finished download. */
    void (*on_csv)(int module, void *user_data, const char *text, int length);
    void (*on_bin)(int module, void *user_data, const char *data, int length);
    void (*on_del)(int module, void *user_data);
    void (*on_delall)(int module, void *user_data);
    void (*on_csv_error)(int module, void *user_data, zx_error_struct *error);
    void (*on_bin_error)(int module, void *user_data, zx_error_struct *error);
    void (*on_del_error)(int module, void *user_data, zx_error_struct *error);
    void (*on_delall_error)(int module, void *user_data, zx_error_struct *error);
} zxpld_settings_struct;

ZX_API int  zxpld_init(void);
ZX_API int  zxpld_uninit(void);
ZX_API void zxpld_count_ref2zero(void);
ZX_API int  zxpld_clr_settings_struct(zxpld_settings_struct *settings);
ZX_API int  zxpld_open(const zxpld_settings_struct *settings);
ZX_API int  zxpld_close(int module);
ZX_API int  zxpld_get_spilog_csv(int module);
ZX_API int  zxpld_get_spilog_bin(int module);
ZX_API int  zxpld_get_spilog_del(int module);
ZX_API int  zxpld_get_spilog_delall(int module);
ZX_API int  zxpld_error(int module, zx_error_struct *error);
ZX_API int  zxpld_error_print(int module);
/* Binary log to CSV lines, filtered with the module's filters (0: none).
 * *text_length: capacity on entry, characters written on return.
 * 0 when consumed or the output is full (cut, zero-terminated); -1 when malformed. */
ZX_API int  zxpld_bin2csv(int module, const unsigned char *data, int length, char *text, int *text_length);
/* Offset in `text` of the first byte after the line equal to the log's last line
 * (`last_line`, or when null the last line of the file `file_name`), 0 when none.
 * A file's last line longer than 10,237 characters is matched by its last
 * 10,237 characters. */
ZX_API int  zxpld_duplicate_seek(const char *file_name, const char *last_line,
                                 const char *text, int length, int *offset);

#ifdef __cplusplus
}
#endif

#endif /* KALAX_ZXPLD_H */
