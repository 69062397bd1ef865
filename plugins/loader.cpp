// Plug-in loading: file and symbol names, the descriptor copy, the option
// lists, and the init hooks.
#include "plugins/loader.h"

#include <dlfcn.h>
#include <err.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/settings.h"
#include "plugins/hooks.h"

namespace {

// Plug-in names keep their first 49 characters, so the symbol name (name +
// "_plugin") stays within 56; file paths keep their first 99 characters.
constexpr std::size_t name_cut = 49;
constexpr std::size_t path_cut = 99;

// A heap copy of text, NUL-terminated, as the C records hold their strings.
char *copy_text(std::string_view text) {
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (copy == nullptr) process_error(16, "malloc");
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

} // namespace

void load_plugin(std::string_view name, int line) {
    if (plugins_number >= kestivane::plugins_limit) errx(1, "Too many plugins. Line: %d", line);

    const std::string kept(name.substr(0, name_cut));
    const std::string symbol = kept + "_plugin";
    std::string path = std::string(plugin_base) + "kestivane_" + kept + "_plugin.so";
    if (path.size() > path_cut) path.resize(path_cut);

    // Functions are bound at their first call, so a plug-in that names a relay
    // function it never calls still loads.
    void *handle = dlopen(path.c_str(), RTLD_LAZY);
    if (handle == nullptr) {
        const char *why = dlerror();
        std::printf("dlerror(): %s\n", why != nullptr ? why : "unknown error");
        std::fflush(stdout);
        errx(1, "Can't open plugin: %s", path.c_str());
    }
    // The plug-in stays loaded for the life of the process: the handle is
    // deliberately never closed, since the copied hooks point into it.
    const void *descriptor = dlsym(handle, symbol.c_str());
    if (descriptor == nullptr) errx(1, "Can't load symbol %s", symbol.c_str());

    auto *copy = static_cast<struct plugin *>(std::malloc(sizeof(struct plugin)));
    if (copy == nullptr) process_error(16, "malloc");
    std::memcpy(copy, descriptor, sizeof(struct plugin));
    auto *head = static_cast<struct plugin_options_head *>(std::malloc(sizeof(struct plugin_options_head)));
    if (head == nullptr) process_error(16, "malloc");
    SLIST_INIT(head);

    plugins[plugins_number] = copy;
    options_heads[plugins_number] = head;
    ++plugins_number;
    logd(kestivane::log_debug, "Plugin #%d (%s) loaded", plugins_number, kept.c_str());
}

void append_plugin_option(std::string_view text) {
    // Lines only ever come from a plug-in's section, which exists once its
    // plug-in is loaded.
    if (plugins_number == 0) return;
    struct plugin_options_head *head = options_heads[plugins_number - 1];

    auto *option = static_cast<struct plugin_option *>(std::malloc(sizeof(struct plugin_option)));
    if (option == nullptr) process_error(16, "malloc");
    option->text = copy_text(text);
    SLIST_NEXT(option, next) = nullptr;

    // The list keeps file order; sections are short, so finding the tail by
    // walking costs nothing worth a second pointer in the head cell.
    if (SLIST_EMPTY(head)) {
        SLIST_INSERT_HEAD(head, option, next);
        return;
    }
    struct plugin_option *last = SLIST_FIRST(head);
    while (SLIST_NEXT(last, next) != nullptr) last = SLIST_NEXT(last, next);
    SLIST_INSERT_AFTER(last, option, next);
}

void init_plugins() {
    for (unsigned i = 0; i < plugins_number; ++i) {
        const struct plugin *p = plugins[i];
        if (p->init != nullptr && p->init(options_heads[i]) == 0)
            errx(1, "Can't initialize a plugin %s\n", kestivane::plugin_label(p));
    }
}
