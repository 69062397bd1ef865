/* bare: a test plug-in with an init and no hooks at all. It must load, be
 * initialised and leave every packet alone. */
#include "plugins/kestivane_plugin.h"

static int inits;

int bare_inits(void) { return inits; }

static int32_t bare_init(struct plugin_options_head *options) {
    (void)options;
    ++inits;
    return 1;
}

struct plugin bare_plugin = {.name = "bare", .init = bare_init};
