/* A test plug-in whose name is exactly 49 characters long: a section header
 * naming it with more characters after those 49 still loads it, since the
 * relay keeps only the first 49 in both the file and the symbol name. */
#include "plugins/kestivane_plugin.h"

struct plugin name_cut_after_forty_nine_characters_0123456789ab_plugin = {.name = "long"};
