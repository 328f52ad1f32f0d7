// The preset selector's decisions and the folders it lists, on real files written by
// the preset library: the factory bank's list, the user's folder with what else may lie
// there, and "Save as" with names that cannot be file names.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "preset/factory_bank.h"
#include "preset/vst_preset.h"
#include "preset_folders.h"
#include "preset_selector.h"

namespace {

preset_item item(const char* name, std::vector<float> values, bool user = false)
{
    preset_item p = {};
    snprintf(p.name, sizeof p.name, "%s", name);
    memcpy(p.values, values.data(), sizeof p.values);
    p.user = user;
    return p;
}

// A malloc'd copy, as preset_folders_read hands over.
preset_item* list_of(const std::vector<preset_item>& items)
{
    preset_item* out = (preset_item*)malloc(sizeof(preset_item) * items.size());
    memcpy(out, items.data(), sizeof(preset_item) * items.size());
    return out;
}

const std::vector<float> defaults = {50, 50, 50, 100, 100, 0};

TEST(PresetSelector, RecognisesMarksChangedStepsAndKeepsTheChoiceAcrossReloads)
{
    preset_selector s;
    selector_init(&s);
    EXPECT_EQ(selector_step(&s, 1), -1) << "nothing to step to";
    std::vector<preset_item> items = {item("Default", defaults), item("Crunch", {60, 55, 50, 100, 100, 0}),
                                      item("Lead", {80, 60, 60, 100, 100, 0}),
                                      item("Alpha", {10, 20, 30, 40, 50, 1}, true),
                                      item("Beta", {1, 2, 3, 4, 5, 0}, true)};
    // Before the plug-in has told the values nothing is recognised.
    selector_set_items(&s, list_of(items), 5, 3, nullptr);
    EXPECT_EQ(s.current, -1);
    EXPECT_EQ(s.factory_count, 3);
    EXPECT_STREQ(s.names[4], "Beta");
    float values[6] = {60, 55, 50, 100, 100, 0};
    selector_values_moved(&s, values);
    EXPECT_EQ(s.current, 1);
    EXPECT_FALSE(s.changed);
    // The host's echo, an ulp away, is the same preset; a real move is a change, and
    // moving back undoes the mark.
    values[0] = std::nextafter(60.0f, 100.0f);
    selector_values_moved(&s, values);
    EXPECT_FALSE(s.changed);
    values[0] = 60.01f;
    selector_values_moved(&s, values);
    EXPECT_EQ(s.current, 1);
    EXPECT_TRUE(s.changed);
    values[0] = 60;
    selector_values_moved(&s, values);
    EXPECT_FALSE(s.changed);
    // Exactly another preset's values (the host loaded it): that one is shown.
    const float lead[6] = {80, 60, 60, 100, 100, 0};
    selector_values_moved(&s, lead);
    EXPECT_EQ(s.current, 2);
    EXPECT_FALSE(s.changed);
    selector_values_moved(&s, values);
    EXPECT_EQ(s.current, 1);

    // Arrows wrap round; with none chosen they start at either end.
    EXPECT_EQ(selector_step(&s, 1), 2);
    EXPECT_EQ(selector_step(&s, -1), 0);
    selector_choose(&s, 4);
    EXPECT_EQ(selector_step(&s, 1), 0);
    selector_choose(&s, 0);
    EXPECT_EQ(selector_step(&s, -1), 4);
    selector_choose(&s, 9); // not an item: nothing happens
    EXPECT_EQ(s.current, 0);

    // A reload where the user's "Alpha" moved and a factory "Alpha" exists keeps the
    // user's one chosen, by group and name, and tells whether the values still are its.
    selector_choose(&s, 3);
    const float alpha[6] = {10, 20, 30, 40, 50, 1};
    std::vector<preset_item> again = {item("Default", defaults), item("Alpha", {0, 0, 0, 0, 0, 0}),
                                      item("Aardvark", {9, 9, 9, 9, 9, 0}, true),
                                      item("Alpha", {10, 20, 30, 40, 50, 1}, true)};
    selector_set_items(&s, list_of(again), 4, 2, alpha);
    EXPECT_EQ(s.current, 3);
    EXPECT_FALSE(s.changed);
    EXPECT_EQ(selector_find_user(&s, "Alpha"), 3);
    EXPECT_EQ(selector_find_user(&s, "Default"), -1) << "a factory name is not the user's";
    // Gone from the list: what the values hold is recognised instead, or nothing.
    std::vector<preset_item> without = {item("Default", defaults)};
    selector_set_items(&s, list_of(without), 1, 1, alpha);
    EXPECT_EQ(s.current, -1);
    const float at_default[6] = {50, 50, 50, 100, 100, 0};
    selector_set_items(&s, list_of(without), 1, 1, at_default);
    EXPECT_EQ(s.current, 0);
    selector_free(&s);
    EXPECT_EQ(s.count, 0);
}

class PresetFolders : public ::testing::Test {
protected:
    std::string root, resources, bank, user;

    void SetUp() override
    {
        char dir[] = "/tmp/mmpresets-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root = dir;
        resources = root + "/Resources";
        bank = resources + "/presets";
        user = root + "/home/.vst3/presets/Tresk.Sonwave/Vellum Grist Saturator";
    }
    void TearDown() override { system(("rm -rf '" + root + "'").c_str()); }

    void save(const std::string& path, const char* name, std::vector<float> values)
    {
        vst_preset p = {};
        snprintf(p.name, sizeof p.name, "%s", name);
        memcpy(p.values, values.data(), sizeof p.values);
        ASSERT_EQ(vst_preset_save_file(path.c_str(), &p), 0) << path;
    }
    static void write(const std::string& path, const std::string& bytes) { std::ofstream(path) << bytes; }

    std::vector<std::string> names_read(int* factory_count)
    {
        preset_item* items;
        int count;
        preset_folders_read(resources.c_str(), user.c_str(), &items, &count, factory_count);
        std::vector<std::string> out;
        for (int i = 0; i < count; i++)
            out.push_back(std::string(items[i].user ? "user " : "factory ") + items[i].name);
        free(items);
        return out;
    }
    std::set<std::string> files_in(const std::string& dir)
    {
        std::set<std::string> out;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d))
                if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                    out.insert(e->d_name);
            closedir(d);
        }
        return out;
    }
};

TEST_F(PresetFolders, TheBankInItsOrderThenTheUsersByNameAndNothingUnreadable)
{
    int factory_count = -1;
    EXPECT_TRUE(names_read(&factory_count).empty()) << "no folders: no presets, and no failure";
    EXPECT_EQ(factory_count, 0);

    save(bank + "/Zed.vstpreset", "Zed", {1, 2, 3, 4, 5, 0});
    save(bank + "/Default.vstpreset", "Default", defaults);
    save(root + "/Outside.vstpreset", "Outside", defaults);
    write(bank + "/Broken.vstpreset", "VST3 not really a preset");
    // Bank order, whatever the directory's: CRLF, blank lines, a name that climbs out,
    // a missing file, a broken one, a hidden one and a listed file without the suffix.
    write(bank + "/factory.txt", "Default.vstpreset\r\n\n../../Outside.vstpreset\nMissing.vstpreset\n"
                                 "Broken.vstpreset\n.Default.vstpreset\nfactory.txt\nZed.vstpreset");
    save(user + "/zeta.vstpreset", "zeta", defaults);
    save(user + "/Alpha.vstpreset", "A name of its own", {10, 20, 30, 40, 50, 1});
    save(user + "/beta.vstpreset", "beta", defaults);
    write(user + "/bad.vstpreset", std::string(100, 'x'));
    // The bank installed into the user's folder is listed once; a user's own "Zed"
    // with other values is the user's.
    save(user + "/Default.vstpreset", "Default", defaults);
    save(user + "/Zed.vstpreset", "Zed", {9, 9, 9, 9, 9, 0});
    write(user + "/notes.txt", "not a preset");
    write(user + "/.hidden.vstpreset", "");
    mkdir((user + "/folder.vstpreset").c_str(), 0755);
    mkfifo((user + "/pipe.vstpreset").c_str(), 0644); // must not hold the editor
    std::vector<std::string> want = {"factory Default", "factory Zed", "user Alpha", "user beta", "user Zed",
                                     "user zeta"};
    EXPECT_EQ(names_read(&factory_count), want);
    EXPECT_EQ(factory_count, 2);

    // The values come through as stored; the user's file is known by its file name.
    preset_item* items;
    int count;
    preset_folders_read(resources.c_str(), user.c_str(), &items, &count, &factory_count);
    ASSERT_EQ(count, 6);
    const float alpha[6] = {10, 20, 30, 40, 50, 1};
    EXPECT_EQ(memcmp(items[2].values, alpha, sizeof alpha), 0);
    free(items);
}

TEST_F(PresetFolders, SaveRefusesNamesThatAreNoFileNamesAndAsksBeforeReplacing)
{
    const float values[6] = {12, 34, 56, 78, 90, 0};
    const char* refused[] = {"", "a/b", "/etc", "..", ".hidden", "tab\there", "bell\x07", "del\x7f",
                             "bad \xC3 utf-8", nullptr};
    std::string long_name(101, 'n');
    for (const char** n = refused;; n++) {
        const char* name = *n ? *n : long_name.c_str();
        EXPECT_NE(preset_name_problem(name), nullptr) << name;
        EXPECT_EQ(preset_folders_save(user.c_str(), name, values, true), preset_bad_name) << name;
        if (!*n)
            break;
    }
    struct stat st;
    EXPECT_NE(stat(user.c_str(), &st), 0) << "a refused name wrote something";

    EXPECT_EQ(preset_name_problem("Crunch 2 \xC3\xBC"), nullptr);
    ASSERT_EQ(preset_folders_save(user.c_str(), "Crunch 2 \xC3\xBC", values, false), preset_saved);
    std::set<std::string> want = {"Crunch 2 \xC3\xBC.vstpreset"};
    EXPECT_EQ(files_in(user), want) << "one file and nothing beside it";
    vst_preset read;
    ASSERT_EQ(vst_preset_load_file((user + "/Crunch 2 \xC3\xBC.vstpreset").c_str(), &read), 0);
    EXPECT_STREQ(read.name, "Crunch 2 \xC3\xBC");
    EXPECT_EQ(memcmp(read.values, values, sizeof values), 0);

    // Again under the same name: asked first, replaced when told.
    const float other[6] = {1, 1, 1, 1, 1, 1};
    EXPECT_EQ(preset_folders_save(user.c_str(), "Crunch 2 \xC3\xBC", other, false), preset_exists);
    ASSERT_EQ(vst_preset_load_file((user + "/Crunch 2 \xC3\xBC.vstpreset").c_str(), &read), 0);
    EXPECT_EQ(memcmp(read.values, values, sizeof values), 0) << "replaced without asking";
    EXPECT_EQ(preset_folders_save(user.c_str(), "Crunch 2 \xC3\xBC", other, true), preset_saved);
    ASSERT_EQ(vst_preset_load_file((user + "/Crunch 2 \xC3\xBC.vstpreset").c_str(), &read), 0);
    EXPECT_EQ(memcmp(read.values, other, sizeof other), 0);
    EXPECT_EQ(files_in(user), want);

    // A folder that cannot be made: a failure with its reason, nothing left.
    write(root + "/plain-file", "");
    errno = 0;
    EXPECT_EQ(preset_folders_save((root + "/plain-file/sub").c_str(), "X", values, false), preset_save_failed);
    EXPECT_NE(errno, 0);
}

// Each edition's editor lists its own bundle's resources: both list the same bank, in
// the bank's order, with the same values.
TEST(BundledPresets, BothEditionsListTheWholeFactoryBank)
{
    preset_item *vst3, *lv2;
    int vst3_count, lv2_count, vst3_factory, lv2_factory;
    preset_folders_read(VGS_RESOURCES_DIR, nullptr, &vst3, &vst3_count, &vst3_factory);
    preset_folders_read(VGS_LV2_RESOURCES_DIR, nullptr, &lv2, &lv2_count, &lv2_factory);
    ASSERT_EQ(vst3_count, factory_bank_size);
    ASSERT_EQ(lv2_count, factory_bank_size);
    EXPECT_EQ(vst3_factory, factory_bank_size);
    EXPECT_EQ(lv2_factory, factory_bank_size);
    for (int i = 0; i < factory_bank_size; i++) {
        EXPECT_STREQ(vst3[i].name, factory_bank[i].name);
        EXPECT_STREQ(lv2[i].name, factory_bank[i].name);
        EXPECT_EQ(memcmp(vst3[i].values, factory_bank[i].values, sizeof vst3[i].values), 0) << vst3[i].name;
        EXPECT_EQ(memcmp(lv2[i].values, factory_bank[i].values, sizeof lv2[i].values), 0) << lv2[i].name;
    }
    free(vst3);
    free(lv2);
}

} // namespace
