// What the built plug-in library shows the dynamic loader: exactly the three module
// exports, and no run-time dependency but libc and libX11.
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

const std::string plugin = "'" VGS_PLUGIN_SO "'";

TEST(Exports, OnlyTheThreeModuleFunctions)
{
    // Defined (not UND) global or weak symbols in the dynamic symbol table.
    std::string out = command_output("readelf -W --dyn-syms " + plugin +
                                     " | awk '$7 != \"UND\" && ($5 == \"GLOBAL\" || $5 == \"WEAK\") {print $8}'");
    std::set<std::string> names;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        std::string name = out.substr(start, end - start);
        if (!name.empty())
            names.insert(name.substr(0, name.find('@')));
        start = end == std::string::npos ? out.size() : end + 1;
    }
    EXPECT_EQ(names, (std::set<std::string>{"ModuleEntry", "GetPluginFactory", "ModuleExit"}));
}

TEST(Exports, NeedsOnlyLibcAndLibX11)
{
    std::string out = command_output("readelf -W -d " + plugin + " | grep NEEDED");
    std::set<std::string> needed;
    size_t pos = 0;
    while ((pos = out.find('[', pos)) != std::string::npos) {
        size_t end = out.find(']', pos);
        needed.insert(out.substr(pos + 1, end - pos - 1));
        pos = end;
    }
    ASSERT_FALSE(needed.empty());
    for (const std::string& lib : needed)
        EXPECT_TRUE(lib == "libc.so.6" || lib == "libX11.so.6") << lib;
    EXPECT_TRUE(needed.count("libc.so.6"));
}

TEST(Exports, BundleLayout)
{
    std::string out = command_output("test -f " + plugin + " && test -d '" VGS_BUNDLE_DIR
                                     "/Contents/Resources' && echo ok");
    EXPECT_EQ(out, "ok\n");
}

}  // namespace
