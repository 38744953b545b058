/* The event entry points' header compiles alone in a C program. */
#include <kalax/zxevents.h>

int (*const consumer_fd)(void) = zx_events_fd;
int (*const consumer_dispatch)(int) = zx_events_dispatch;
int (*const consumer_wait)(int) = zx_events_wait;
