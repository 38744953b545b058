/* Delivery of the object layer's events on their owner's thread, for hosts
 * that are not C++ or that run an event loop of their own.
 *
 * Every thread that makes a device or log object owns one event queue; the
 * units' worker threads post to it and the thread delivers on itself. The
 * queue's descriptor polls readable while events are pending, so it can be
 * added to poll/epoll, GLib, Qt, libuv or Python's asyncio.
 *
 * On Windows the queue is a message-only window of the thread: workers post
 * it messages and the thread's own message loop (GetMessage/DispatchMessage)
 * delivers the events; zx_events_wait runs that loop for a while, every
 * window of the thread getting its messages. There is no descriptor:
 * zx_events_fd makes the queue and returns -1. */
#ifndef KALAX_ZXEVENTS_H
#define KALAX_ZXEVENTS_H

#include "zx.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The calling thread's queue descriptor, the queue made if it has none. It
 * stays the same for the life of the thread; do not close or read it.
 * -1 with code 5 in slot 0 of both clients' error records when no queue can
 * be made. Always -1 on Windows (see above), an error recorded only when the
 * queue could not be made. */
ZX_API int zx_events_fd(void);

/* Delivers up to `max` pending events of the calling thread on this thread
 * (`max` <= 0: all that are pending now); returns the number delivered. */
ZX_API int zx_events_dispatch(int max);

/* Waits until an event is pending or `timeout_ms` has passed (negative: no
 * limit), then delivers all pending ones; returns the number delivered, 0 on
 * time-out. The message loop of a simple program. */
ZX_API int zx_events_wait(int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif
