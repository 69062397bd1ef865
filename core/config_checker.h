// The process that checks a configuration file for a reload. The relay
// runs threads, and a fork of it could copy a lock another thread holds
// into the child, where nobody would ever release it; so the checks are
// forked from this process instead, which is forked while the relay is
// still single-threaded and stays so.
#pragma once

#include <string>

namespace kestivane {

// Forks the checker for the file at path. Called once, before any thread
// starts. It ends when the relay does.
void start_config_checker(const std::string &path);

// Checks the file afresh, in a child of the checker: true with the file's
// description, or false with what the refusal said (its status when it
// said nothing).
bool check_configuration(std::string &description, std::string &error);

} // namespace kestivane
