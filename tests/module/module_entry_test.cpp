// Module entry counting and the bundle directories, through a real copy of the built
// bundle loaded with dlopen (so the paths are those of a bundle, not the test program).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "dsp/arch.h"
#include "module/module_entry.h"

namespace {

struct loaded_module {
    void* handle = nullptr;
    bool (*entry)(void*) = nullptr;
    bool (*exit)() = nullptr;
    void* (*factory)() = nullptr;
};

std::string make_temp_dir()
{
    char templ[] = "/tmp/vgs-module-XXXXXX";
    EXPECT_NE(mkdtemp(templ), nullptr);
    return templ;
}

int run(const std::string& command) { return system(command.c_str()); }

// Copies the built bundle under root and loads its library through `via` (a path
// below root that may contain symbolic links).
loaded_module load_copy(const std::string& root, const std::string& bundle_path)
{
    loaded_module m;
    std::string so = bundle_path + "/Contents/" + arch_bundle_dir + "/Vellum Grist Saturator.so";
    m.handle = dlopen(so.c_str(), RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(m.handle, nullptr) << dlerror();
    if (!m.handle)
        return m;
    m.entry = (bool (*)(void*))dlsym(m.handle, "ModuleEntry");
    m.exit = (bool (*)())dlsym(m.handle, "ModuleExit");
    m.factory = (void* (*)())dlsym(m.handle, "GetPluginFactory");
    (void)root;
    return m;
}

TEST(ModuleEntry, BundleReachedThroughSymbolicLinkGivesResolvedPaths)
{
    std::string root = make_temp_dir();
    std::string real_bundle = root + "/real/Vellum Grist Saturator.vst3";
    ASSERT_EQ(run("mkdir -p '" + root + "/real' && cp -r '" VGS_BUNDLE_DIR "' '" + real_bundle + "'"), 0);
    ASSERT_EQ(symlink((root + "/real").c_str(), (root + "/link").c_str()), 0);

    loaded_module m = load_copy(root, root + "/link/Vellum Grist Saturator.vst3");
    ASSERT_TRUE(m.entry && m.exit && m.factory);
    auto module_dir = (const char* (*)())dlsym(m.handle, "get_module_dir");
    // Only the three module exports are visible; the accessors are internal.
    EXPECT_EQ(module_dir, nullptr);

    // The factory does not depend on ModuleEntry.
    void* before = m.factory();
    EXPECT_NE(before, nullptr);
    EXPECT_TRUE(m.entry(nullptr));
    EXPECT_TRUE(m.entry(nullptr));
    EXPECT_EQ(m.factory(), before);
    EXPECT_TRUE(m.exit());   // one entry remains
    EXPECT_FALSE(m.exit());  // the last one: paths freed
    EXPECT_FALSE(m.exit());  // unmatched: nothing left to undo, no double free
    EXPECT_TRUE(m.entry(nullptr));  // a fresh entry works again after that
    EXPECT_FALSE(m.exit());
    dlclose(m.handle);
    run("rm -rf '" + root + "'");
}

// The accessors in this test program's own copy of the module code: the library file
// is the test executable, so the directories are derived from its location.
TEST(ModuleEntry, CountingAndDirectoriesInProcess)
{
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = 0;
    char* resolved = realpath(exe, nullptr);
    ASSERT_NE(resolved, nullptr);
    std::string path = resolved;
    free(resolved);
    std::string dir = path.substr(0, path.rfind('/'));
    std::string parent = dir.substr(0, dir.rfind('/'));

    ASSERT_EQ(module_entry_count_now(), 0);
    EXPECT_FALSE(ModuleExit());  // never below zero
    EXPECT_EQ(module_entry_count_now(), 0);
    EXPECT_EQ(get_module_dir(), nullptr);

    ASSERT_TRUE(ModuleEntry(nullptr));
    const char* first = get_module_dir();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::string(first), dir);
    EXPECT_EQ(std::string(get_resources_dir()), parent + "/Resources");
    ASSERT_TRUE(ModuleEntry(nullptr));
    EXPECT_EQ(get_module_dir(), first);  // computed once
    EXPECT_EQ(module_entry_count_now(), 2);
    EXPECT_TRUE(ModuleExit());
    EXPECT_EQ(get_module_dir(), first);  // survives the first exit
    EXPECT_FALSE(ModuleExit());
    EXPECT_EQ(get_module_dir(), nullptr);
    EXPECT_EQ(get_resources_dir(), nullptr);
    EXPECT_EQ(module_entry_count_now(), 0);
}

}  // namespace
