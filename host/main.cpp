// vgs-host: a command-line VST 3 host for the plug-in bundle.
#include <cstdio>
#include <cstring>

#include "commands.h"

struct host_command {
    const char* name;
    const char* usage;
    int (*run)(int argc, char** argv);
};

// One line per command.
static const host_command commands[] = {
    {"info", "info BUNDLE                     factory, classes, buses and parameters", info_command},
    {"render", "render BUNDLE [options]         audio through the plug-in (render --help)", render_command},
    {"edit", "edit BUNDLE [options]           the editor in a window of its own (edit --help)", edit_command},
};

static void usage(FILE* to) {
    std::fputs("usage: vgs-host COMMAND ...\n", to);
    for (const host_command& c : commands) std::fprintf(to, "  vgs-host %s\n", c.usage);
}

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    for (const host_command& c : commands)
        if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 2, argv + 2);
    std::fprintf(stderr, "vgs-host: unknown command \"%s\"\n", argv[1]);
    usage(stderr);
    return 2;
}
