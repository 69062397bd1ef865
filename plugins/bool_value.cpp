// get_bool_value: how plug-ins read yes/no values from their option lines.
#include <strings.h>

#include <cstring>

#include "plugins/kestivane_plugin.h"

extern "C" int32_t get_bool_value(const char *text) {
    return strcasecmp(text, "yes") == 0 || strcasecmp(text, "on") == 0 || std::strcmp(text, "1") == 0;
}
