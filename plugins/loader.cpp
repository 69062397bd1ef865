// Plug-in loading. Not built yet: a plug-in section ends the process the way
// a plug-in that cannot be loaded does.
#include "plugins/loader.h"

#include <err.h>

#include <cstdio>
#include <string>

#include "core/settings.h"

void load_plugin(std::string_view name, int /*line*/) {
    std::string path = std::string(plugin_base) + "kestivane_" + std::string(name) + "_plugin.so";
    std::printf("dlerror(): %s\n", "plug-in loading is not available in this build");
    std::fflush(stdout);
    errx(1, "Can't open plugin: %s", path.c_str());
}

void append_plugin_option(std::string_view /*text*/) {}

void init_plugins() {
    for (unsigned i = 0; i < plugins_number; ++i) {
        const struct plugin *p = plugins[i];
        if (p->init != nullptr && p->init(options_heads[i]) == 0)
            errx(1, "Can't initialize a plugin %s\n", p->name);
    }
}
