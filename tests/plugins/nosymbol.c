/* nosymbol: a test plug-in that loads but exports its descriptor under the
 * wrong name, so the relay cannot find "nosymbol_plugin". */
#include "plugins/kestivane_plugin.h"

struct plugin nosymbol_descriptor = {.name = "nosymbol"};
