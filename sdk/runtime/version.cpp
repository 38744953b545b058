// The library's version, for callers that must know which build they loaded.
#include "kalax/zx.h"

extern "C" const char *zx_version(void) { return KALAX_VERSION; }
