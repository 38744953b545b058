/* Shared part of the KalAx C interface: error records, result-code texts,
 * mutex and semaphore wrappers and small string helpers. */
#ifndef KALAX_ZX_H
#define KALAX_ZX_H

#include <pthread.h>
#include <stdint.h>

#if defined(KALAX_BUILDING)
#define ZX_API __attribute__((visibility("default")))
#else
#define ZX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One failure as the library saw it. Copied whole into callers' buffers, so the
 * layout is fixed: 216 bytes. */
typedef struct zx_error_struct {
    int32_t sys_code;     /* errno when the failure was stored */
    int32_t code;         /* result code 0-89 (or whatever was stored) */
    char    sys_text[104];/* strerror(sys_code) */
    char    text[104];    /* message of `code`, "NULL" when it has none */
} zx_error_struct;

/* Longest message plus terminator. */
#define ZX_ERROR_TEXT_MIN 38

/* Copies the message of `code` into `buffer` (at least 38 bytes); codes outside
 * 0-89 give "NULL". Returns 0. */
ZX_API int zx_error_i2s(int code, char *buffer);

/* Recursive mutex. */
typedef pthread_mutex_t zx_thread_mutex_t;
ZX_API int  zx_thread_mutex_init(zx_thread_mutex_t *m);
ZX_API int  zx_thread_mutex_lock(zx_thread_mutex_t *m);
ZX_API int  zx_thread_mutex_unlock(zx_thread_mutex_t *m);
ZX_API void zx_thread_mutex_destroy(zx_thread_mutex_t *m);

/* Binary semaphore: count 0 or 1; a post while the count is 1 fails (-1). */
typedef struct zx_sem *zx_sem_t;
ZX_API int zx_sem_init(zx_sem_t *s);
ZX_API int zx_sem_post(zx_sem_t *s);
ZX_API int zx_sem_wait(zx_sem_t *s);
/* Nonzero when the semaphore was released, 0 when there was nothing to release. */
ZX_API int zx_sem_destroy(zx_sem_t *s);

ZX_API char   *zx_strsep(char **stringp, const char *delim);
ZX_API char   *zx_strtok_r(char *str, const char *delim, char **saveptr);
/* Modifies `path` (drops one trailing separator); a backslash wins over a slash. */
ZX_API char   *zx_basename(char *path);
/* Hex digits anywhere in the text, every other character skipped; wraps at 32 bits. */
ZX_API int32_t zx_htoi(const char *text);

#ifdef __cplusplus
}
#endif

#endif /* KALAX_ZX_H */
