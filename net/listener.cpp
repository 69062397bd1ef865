// Capture of client requests. Not built yet.
#include <unistd.h>

#include "plugins/kestivane_plugin.h"

extern "C" int32_t sanity_check(const uint8_t * /*frame*/, uint32_t /*len*/) { return 0; }

extern "C" void *listener(void * /*iface*/) {
    for (;;) pause();
}
