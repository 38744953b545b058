/* Shared part of the KalAx C interface: error records, result-code texts,
 * mutex and semaphore wrappers and small string helpers. */
#ifndef KALAX_ZX_H
#define KALAX_ZX_H

#include <stdint.h>
#if !defined(_WIN32)
#include <pthread.h>
#endif

#if defined(KALAX_BUILDING) && defined(_WIN32)
#define ZX_API __declspec(dllexport)
#elif defined(KALAX_BUILDING)
#define ZX_API __attribute__((visibility("default")))
#else
#define ZX_API
#endif

/* The version of these headers; zx_version() gives the library's own, which
 * differs when a program runs with another build than it was compiled with. */
#define KALAX_VERSION_MAJOR 0
#define KALAX_VERSION_MINOR 1
#define KALAX_VERSION_PATCH 0
#define KALAX_VERSION "0.1.0"

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

/* How both clients judge a unit's reply (codes in the error record):
 *   28  the connection failed; sys_code is the connect's own error
 *       (ECONNREFUSED "Connection refused" for a port with no server,
 *       ETIMEDOUT when no connection came within 5 seconds; on Windows
 *       Winsock's codes, WSAECONNREFUSED 10061 and WSAETIMEDOUT 10060, with
 *       the system's texts).
 *   34  a read failed, also a connection reset in the middle of the reply.
 *   47-70  the unit answered with an HTTP error status (400-417, 500-505),
 *       whatever followed, also when its head was cut short after the status.
 *   71  "HTTP unknown": no reply at all. The connection closed, stayed silent
 *       for 10 seconds or brought anything but a status line "HTTP/x.y NNN"
 *       and a head ending in an empty line (CR LF CR LF, or bare LF line ends)
 *       before its body; also a head over 16 KiB.
 *   12  the reply passed its size bound: the 20000-byte receive buffer of the
 *       XML client, 32 MiB for a whole reply of either client.
 *   19  "Timeout": the reply ran past its time bound, 30 seconds plus one
 *       second per 1024 bytes received (a unit that drips without end).
 * A reply ends when the unit closes the connection or, once its head has
 * arrived, after 10 seconds of silence; what came until then is the body. */

/* Longest message plus terminator. */
#define ZX_ERROR_TEXT_MIN 38

/* Copies the message of `code` into `buffer` (at least 38 bytes); codes outside
 * 0-89 give "NULL". Returns 0. */
ZX_API int zx_error_i2s(int code, char *buffer);

/* Recursive mutex. On Windows the storage of a critical section, laid out as
 * one so that this header needs no <windows.h>. */
#if defined(_WIN32)
typedef struct zx_thread_mutex {
    void *debug_info;
    long  lock_count, recursion_count;
    void *owning_thread, *lock_semaphore, *spin_count;
} zx_thread_mutex_t;
#else
typedef pthread_mutex_t zx_thread_mutex_t;
#endif
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

/* "MAJOR.MINOR.PATCH" of the loaded library: a static text, never null. */
ZX_API const char *zx_version(void);

#ifdef __cplusplus
}
#endif

#endif /* KALAX_ZX_H */
