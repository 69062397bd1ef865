#include "config/server_text.h"

namespace kestivane::config {

namespace {

constexpr std::string_view separators = " \t";

} // namespace

server_line split_server_line(std::string_view line) {
    server_line parts;
    const std::size_t cut = line.find_first_of(separators);
    parts.server = line.substr(0, cut);
    if (cut == std::string_view::npos) return parts;
    std::string_view rest = line.substr(cut + 1);
    while (!rest.empty()) {
        const std::size_t start = rest.find_first_not_of(separators);
        if (start == std::string_view::npos) break;
        rest.remove_prefix(start);
        const std::size_t end = rest.find_first_of(separators);
        parts.interfaces.push_back(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return parts;
}

bool split_server_text(std::string_view text, address_family family, server_text &parts) {
    parts = server_text{};
    std::string_view address = text;
    if (family == address_family::v4) {
        if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
            address = text.substr(0, colon);
            parts.port = text.substr(colon + 1);
        }
        parts.host = address;
        return true;
    }
    // An IPv6 address is full of colons: a port needs the brackets.
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
        address = text.substr(1, close - 1);
        parts.port = text.substr(close + 2);
    }
    if (const std::size_t percent = address.find('%'); percent != std::string_view::npos) {
        parts.scope = address.substr(percent + 1);
        address = address.substr(0, percent);
    }
    parts.host = address;
    return true;
}

} // namespace kestivane::config
