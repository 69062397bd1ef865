// Opening an interface for capture, frame output and UDP. Not built yet: no
// interface opens.
#include "plugins/kestivane_plugin.h"

extern "C" int32_t open_interface(const char * /*name*/) { return 0; }
