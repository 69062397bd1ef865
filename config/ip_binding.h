// bind_ip: the address an interface relays from, when it carries several.
#pragma once

#include <string_view>

// Handles the value of one bind_ip key ("<ifname> <address>") met at `line`
// of the configuration file. Keeps the binding only if the interface carries
// the address now; a value without a blank ends the process.
void bind_ip(std::string_view value, int line);
