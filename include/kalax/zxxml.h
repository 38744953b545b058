/* Agent XML client: values.xml and setup.xml of monitoring units.
 *
 * Modules are small integers (1-99). Request calls only queue work; a module's
 * worker thread does the network work and runs every callback of the module.
 * Failures return -1 and leave their code in the error record of the module
 * (slot 0 for library-wide failures), read with zxxml_error(). */
#ifndef KALAX_ZXXML_H
#define KALAX_ZXXML_H

#include <stdint.h>

#include "zx.h"
#include "zxxml_records.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZXXML_ID_COUNT_MAX 100 /* module slots, slot 0 reserved */
#define ZXXML_MODULES_MAX  500 /* members of one group module */
#define AUTHENTICATE_MAX   100 /* width of each credential text */
#define LENGTH_MAX         20000 /* longest text accepted by the load calls */

/* Every callback runs on the module's worker thread with no lock held. `index`
 * is -1 for a single unit and the member index inside a group. Record pointers
 * point to copies valid only during the call; they are null when the request
 * failed (its code is then in the module's error record). */
typedef void (*zxxml_on_values_t)(int module, void *owner, int index,
                                  zxxml_values_struct *values, zxxml_values_count_struct *counts);
typedef void (*zxxml_on_setup_t)(int module, void *owner, int index,
                                 zxxml_setup_struct *setup, zxxml_setup_count_struct *counts);
/* Once after a group pass. */
typedef void (*zxxml_on_many_t)(int module, void *owner);
/* A connection to the unit was established. */
typedef void (*zxxml_on_connect_t)(int module, void *owner, int index);
/* A connection step failed; `error` is the module's own record. */
typedef void (*zxxml_on_error_t)(int module, void *owner, int index, zx_error_struct *error);

typedef struct zxxml_callback_struct {
    zxxml_on_values_t  on_values;
    zxxml_on_setup_t   on_setup;
    zxxml_on_many_t    on_values_many;
    zxxml_on_many_t    on_setup_many;
    zxxml_on_setup_t   on_send_setup;
    zxxml_on_connect_t on_connect;
    zxxml_on_error_t   on_error;
} zxxml_callback_struct;

typedef struct zxxml_settings_struct {
    int32_t connect_on_open; /* nonzero: one trial connection when the worker starts */
    char    get_user[AUTHENTICATE_MAX], get_password[AUTHENTICATE_MAX];
    char    set_user[AUTHENTICATE_MAX], set_password[AUTHENTICATE_MAX];
    zxxml_callback_struct callbacks;
} zxxml_settings_struct;

/* Edits a group member's setup record in place before it is sent; result unused. */
typedef int (*zxxml_setup_modifier_t)(zxxml_setup_struct *setup);

/* ---- lifecycle and module table ---- */
/* A program may return from main or call exit() with modules open, in any state
 * and without zxxml_uninit: the library's process-wide state is never torn down
 * at exit, so its workers cannot block or break the exit. */
ZX_API int  zxxml_init(void);
ZX_API int  zxxml_uninit(void);
ZX_API void zxxml_count_ref2zero(void);
ZX_API int  zxxml_open(const char *host, int port, const zxxml_settings_struct *settings, void *owner);
ZX_API int  zxxml_open_many(void *owner);
ZX_API int  zxxml_close(int module);
/* Closes a module from inside one of its own callbacks and ends the worker that
 * runs the callback: it does not return, and the slot is free for a new open
 * (later requests on the module give code 40). The worker ends by unwinding its
 * stack through the callback, so every frame of the caller between the callback's
 * entry and this call must let an unwind pass: no noexcept function (C++ ends the
 * process there) and no catch (...) that does not rethrow. Local objects of those
 * frames are destroyed on the way out. Called from any other thread it does
 * nothing but store code 39 in the module's record (use zxxml_close there); a
 * module number outside 1-99 stores code 18 in slot 0. */
ZX_API void zxxml_close_for_callback(int module);
ZX_API int  zxxml_clr_settings_struct(zxxml_settings_struct *settings);
ZX_API int  zxxml_add_module(int module, const char *address, int port, const zxxml_settings_struct *settings);
ZX_API int  zxxml_count_modules(int module);
ZX_API int  zxxml_active_modules(int module, const int32_t *active);
ZX_API int  zxxml_get_module(int module, char *address /*16*/, int *port);
ZX_API int  zxxml_get_module_many(int module, int index, char *address /*16*/, int *port);
ZX_API int  zxxml_type_of(int module);

/* ---- requests and completion ---- */
ZX_API int  zxxml_get_values(int module);
ZX_API int  zxxml_get_setup(int module);
ZX_API int  zxxml_load_values(int module, const char *text, int length);
ZX_API int  zxxml_load_setup(int module, const char *text, int length);
/* Kinds: 0,1 worker runs; 2,3 values; 4,5 setup; 6 SNMP manager; 7,8 upload;
 * 9 load values; 10 load setup. */
ZX_API int  zxxml_finish(int module, int kind);
ZX_API int  zxxml_wait_finish(int module, int kind, int timeout_seconds);

/* ---- retrieval ---- */
ZX_API int  zxxml_get_values_xml(int module, char **text, int *length);
ZX_API int  zxxml_get_values_xml_copy(int module, char *buffer, int *length);
ZX_API int  zxxml_get_values_to_file(int module, const char *path);
ZX_API int  zxxml_get_values_cache(int module, zxxml_values_struct **values, zxxml_values_count_struct **counts);
ZX_API int  zxxml_get_values_cache_copy(int module, zxxml_values_struct *values, zxxml_values_count_struct *counts);
ZX_API int  zxxml_get_setup_xml(int module, char **text, int *length);
ZX_API int  zxxml_get_setup_xml_copy(int module, char *buffer, int *length);
ZX_API int  zxxml_get_setup_to_file(int module, const char *path);
ZX_API int  zxxml_get_setup_cache(int module, zxxml_setup_struct **setup, zxxml_setup_count_struct **counts);
ZX_API int  zxxml_get_setup_cache_copy(int module, zxxml_setup_struct *setup, zxxml_setup_count_struct *counts);

ZX_API int  zxxml_get_values_xml_many(int module, int index, char **text, int *length);
ZX_API int  zxxml_get_values_xml_many_copy(int module, int index, char *buffer, int *length);
ZX_API int  zxxml_get_values_to_file_many(int module, int index, const char *path);
ZX_API int  zxxml_get_values_cache_many(int module, int index, zxxml_values_struct **values,
                                        zxxml_values_count_struct **counts);
ZX_API int  zxxml_get_values_cache_many_copy(int module, int index, zxxml_values_struct *values,
                                             zxxml_values_count_struct *counts);
ZX_API int  zxxml_get_setup_xml_many(int module, int index, char **text, int *length);
ZX_API int  zxxml_get_setup_xml_many_copy(int module, int index, char *buffer, int *length);
ZX_API int  zxxml_get_setup_to_file_many(int module, int index, const char *path);
ZX_API int  zxxml_get_setup_cache_many(int module, int index, zxxml_setup_struct **setup,
                                       zxxml_setup_count_struct **counts);
ZX_API int  zxxml_get_setup_cache_many_copy(int module, int index, zxxml_setup_struct *setup,
                                            zxxml_setup_count_struct *counts);
ZX_API int  zxxml_get_values_many_status(int module, int index, int32_t *time);
ZX_API int  zxxml_get_setup_many_status(int module, int index, int32_t *time);

/* ---- changing a unit ---- */
ZX_API int  zxxml_send_setup_xml(int module, const char *text, int length);
ZX_API int  zxxml_send_setup_xml_many(int module, const char *text, int length);
ZX_API int  zxxml_send_setup(int module, const zxxml_setup_struct *setup, const zxxml_setup_count_struct *counts);
ZX_API int  zxxml_send_setup_many(int module, zxxml_setup_modifier_t modifier);
ZX_API int  zxxml_set_snmp_manager(int module, const char *address, int port);
ZX_API int  zxxml_get_snmp_manager(int module);
ZX_API int  zxxml_get_snmp_manager_cache(int module, char *address /*16*/, int *port);
ZX_API int  zxxml_authenticate_get(int module, const char *user, const char *password);
ZX_API int  zxxml_authenticate_set(int module, const char *user, const char *password);
ZX_API int  zxxml_callback(int module, const zxxml_callback_struct *callbacks);
ZX_API int  zxxml_clr_callback(int module, zxxml_callback_struct *callbacks);

/* ---- errors ---- */
ZX_API int  zxxml_error(int module, zx_error_struct *error);
ZX_API int  zxxml_error_many(int module, int index, zx_error_struct *error);
/* Prints "text (code): sys_text (sys_code)\n" to standard output. */
ZX_API int  zxxml_error_print(int module);

#ifdef __cplusplus
}
#endif

#endif /* KALAX_ZXXML_H */
