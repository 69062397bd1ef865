// Server answers and their delivery to clients. Not built yet.
#include <unistd.h>

#include "plugins/kestivane_plugin.h"

extern "C" void *process_server_answer(void * /*unused*/) {
    for (;;) pause();
}
