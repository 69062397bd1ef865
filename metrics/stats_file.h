// Replacing a file whole: readers see the old content or the new, never a
// part of either.
#pragma once

#include <string>
#include <string_view>

namespace kestivane::metrics {

// Writes content to a new file in path's directory and renames it over
// path. On failure the temporary file is gone, path is untouched, and error
// says which step failed and why.
bool replace_file(const std::string &path, std::string_view content, std::string &error);

} // namespace kestivane::metrics
