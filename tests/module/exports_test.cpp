// What the built plug-in libraries show the dynamic loader: the VST 3 module exactly its
// three module exports, the LV2 plug-in only lv2_descriptor, the LV2 editor only
// lv2ui_descriptor; no run-time dependency but libc and libX11 (the LV2 plug-in, which
// draws nothing, libc alone).
#include <gtest/gtest.h>

#include <stdio.h>

#include <set>
#include <string>

namespace {

std::string command_output(const std::string& command)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

struct library {
    const char* path;
    std::set<std::string> exports;
    std::set<std::string> allowed_needed;
};

const library libraries[] = {
    {VGS_PLUGIN_SO, {"ModuleEntry", "GetPluginFactory", "ModuleExit"}, {"libc.so.6", "libX11.so.6"}},
    {VGS_LV2_BUNDLE_DIR "/vellum_grist_saturator.so", {"lv2_descriptor"}, {"libc.so.6"}},
    {VGS_LV2_BUNDLE_DIR "/vellum_grist_saturator_ui.so", {"lv2ui_descriptor"}, {"libc.so.6", "libX11.so.6"}},
};

// A build with the sanitizers (VGS_SANITIZE) links their run-time libraries into every
// library; nothing else may come with them.
bool sanitizer_runtime(const std::string& name)
{
#ifdef VGS_SANITIZED
    return name.rfind("libasan.so.", 0) == 0 || name.rfind("libubsan.so.", 0) == 0;
#else
    (void)name;
    return false;
#endif
}

std::set<std::string> lines_of(const std::string& out)
{
    std::set<std::string> names;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        std::string name = out.substr(start, end - start);
        if (!name.empty())
            names.insert(name.substr(0, name.find('@')));
        start = end == std::string::npos ? out.size() : end + 1;
    }
    return names;
}

TEST(Exports, EachLibraryExportsOnlyItsEntryAndNeedsOnlyLibcAndLibX11)
{
    for (const library& lib : libraries) {
        SCOPED_TRACE(lib.path);
        const std::string quoted = std::string("'") + lib.path + "'";
        // Defined (not UND) global or weak symbols in the dynamic symbol table.
        EXPECT_EQ(lines_of(command_output("readelf -W --dyn-syms " + quoted +
                                          " | awk '$7 != \"UND\" && ($5 == \"GLOBAL\" || $5 == \"WEAK\") {print $8}'")),
                  lib.exports);
        std::string out = command_output("readelf -W -d " + quoted + " | grep NEEDED");
        std::set<std::string> needed;
        size_t pos = 0;
        while ((pos = out.find('[', pos)) != std::string::npos) {
            size_t end = out.find(']', pos);
            needed.insert(out.substr(pos + 1, end - pos - 1));
            pos = end;
        }
        ASSERT_FALSE(needed.empty());
        for (const std::string& name : needed)
            EXPECT_TRUE(lib.allowed_needed.count(name) || sanitizer_runtime(name)) << name;
        EXPECT_TRUE(needed.count("libc.so.6"));
    }
}

TEST(Exports, BundleLayout)
{
    std::string out = command_output("test -f '" VGS_PLUGIN_SO "' && test -d '" VGS_BUNDLE_DIR
                                     "/Contents/Resources' && echo ok");
    EXPECT_EQ(out, "ok\n");
}

}  // namespace
