// Loading plug-ins from configuration sections and running their init hooks.
#pragma once

#include <string_view>

// Loads the plug-in of a section header "[<name>-plugin...]" met at `line`
// and makes its option list the one that append_plugin_option fills.
void load_plugin(std::string_view name, int line);

// Appends one line of the current plug-in section to its option list.
void append_plugin_option(std::string_view text);

// Runs every loaded plug-in's init hook in loading order; a refusal ends the
// process.
void init_plugins();
