// The .vstpreset writer and reader: round trips of random presets, the component chunk
// byte for byte as the component saves it, a table of damaged and foreign files that must
// be refused without touching the output, and the file, name and folder helpers on a
// real file system.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "controller/param_table.h"
#include "dsp/overdrive_dsp.h"
#include "module/factory.h"
#include "preset/vst_preset.h"
#include "state/plugin_instance.h"

namespace {

using bytes = std::vector<uint8_t>;

vst_preset make(const char* name, const char* category, std::vector<float> values) {
    vst_preset p = {};
    snprintf(p.name, sizeof p.name, "%s", name);
    snprintf(p.category, sizeof p.category, "%s", category);
    for (int i = 0; i < 6; i++) p.values[i] = values[i];
    return p;
}

bytes write(const vst_preset& p) {
    uint8_t* data = nullptr;
    size_t size = 0;
    EXPECT_EQ(vst_preset_write(&p, &data, &size), 0) << strerror(errno);
    bytes out(data, data + size);
    free(data);
    return out;
}

uint64_t get_le(const bytes& b, size_t at, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = v << 8 | b.at(at + i);
    return v;
}

void put_le(bytes* b, size_t at, uint64_t v, int n) {
    for (int i = 0; i < n; i++) b->at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

// Where a chunk's entry lies in the list (-1 when absent), read independently of the reader.
long entry_of(const bytes& b, const char* id) {
    const size_t list = get_le(b, 40, 8);
    for (size_t i = 0; i < get_le(b, list + 4, 4); i++)
        if (memcmp(b.data() + list + 8 + 20 * i, id, 4) == 0) return static_cast<long>(list + 8 + 20 * i);
    return -1;
}

bytes chunk_of(const bytes& b, const char* id) {
    const long e = entry_of(b, id);
    if (e < 0) return {};
    const size_t offset = get_le(b, e + 4, 8), size = get_le(b, e + 12, 8);
    return bytes(b.begin() + offset, b.begin() + offset + size);
}

// A file rebuilt from chunks: header, data, list, as any writer may lay it out.
bytes assemble(const std::vector<std::pair<std::string, bytes>>& chunks, const char* class_id) {
    bytes out(48, 0);
    memcpy(out.data(), "VST3", 4);
    put_le(&out, 4, 1, 4);
    memcpy(out.data() + 8, class_id, 32);
    std::vector<std::pair<size_t, size_t>> at;
    for (const auto& [id, data] : chunks) {
        at.push_back({out.size(), data.size()});
        out.insert(out.end(), data.begin(), data.end());
    }
    put_le(&out, 40, out.size(), 8);
    const size_t list = out.size();
    out.resize(list + 8 + 20 * chunks.size());
    memcpy(out.data() + list, "List", 4);
    put_le(&out, list + 4, chunks.size(), 4);
    for (size_t i = 0; i < chunks.size(); i++) {
        memcpy(out.data() + list + 8 + 20 * i, chunks[i].first.data(), 4);
        put_le(&out, list + 12 + 20 * i, at[i].first, 8);
        put_le(&out, list + 20 + 20 * i, at[i].second, 8);
    }
    return out;
}

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

const vst_preset sample = make("Crunch & <Co>", "Guitar", {60, 55, 50, 100, 100, 0});

TEST(vst_preset, random_presets_come_back_as_the_component_takes_them) {
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> value(-50.0f, 260.0f);
    const char* names[] = {"Default", "Édge \"of\" Breakup", "日本語 'lead'", "a&b<c>d", "x"};
    for (int round = 0; round < 200; round++) {
        vst_preset p = make(names[round % 5], round % 3 ? "Bass" : "", {0, 0, 0, 0, 0, 0});
        for (float& v : p.values) v = value(rng);
        if (round % 7 == 0) p.values[round % 6] = -INFINITY;
        vst_preset back;
        memset(&back, 0xAB, sizeof back);
        const bytes file = write(p);
        ASSERT_EQ(vst_preset_read(file.data(), file.size(), &back), 0) << round;
        EXPECT_STREQ(back.name, p.name);
        EXPECT_STREQ(back.category, p.category);
        for (int i = 0; i < 6; i++)
            EXPECT_EQ(back.values[i], static_cast<float>(param_clamp_plain(i, p.values[i]))) << round << " " << i;
    }
}

TEST(vst_preset, header_names_the_component_class_and_the_chunks_are_comp_and_info) {
    const bytes file = write(sample);
    ASSERT_GE(file.size(), 48u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "VST3");
    EXPECT_EQ(get_le(file, 4, 4), 1u);
    // The class id as 32 upper-case hex digits of the factory's bytes in memory order,
    // the spelling the DAW's scanner shows for this class.
    std::string hex;
    for (int i = 0; i < 16; i++) {
        char b[3];
        snprintf(b, sizeof b, "%02X", static_cast<unsigned>(static_cast<uint8_t>(component_class_id[i])));
        hex += b;
    }
    EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 40), hex);
    EXPECT_EQ(get_le(file, get_le(file, 40, 8) + 4, 4), 2u);
    const bytes info_chunk = chunk_of(file, "Info");
    const std::string info(info_chunk.begin(), info_chunk.end());
    EXPECT_NE(info.find("id=\"Name\" value=\"Crunch &amp; &lt;Co&gt;\""), std::string::npos) << info;
    EXPECT_NE(info.find("id=\"MusicalCategory\" value=\"Guitar\""), std::string::npos) << info;
    EXPECT_NE(info.find("id=\"PlugInName\" value=\"Vellum Grist Saturator\""), std::string::npos) << info;
}

TEST(vst_preset, comp_chunk_is_what_get_state_writes_for_the_values) {
    // The values reach the component's DSP directly, not through any chunk, and its own
    // getState is the reference.
    const float values[][6] = {{50, 50, 50, 100, 100, 0}, {73.5f, 31.25f, 87.5f, 62.5f, 112.5f, 1}, {0, 100, 0, 0, 200, 0}};
    for (const auto& v : values) {
        state_test::plugin_instance inst;
        for (int i = 0; i < 6; i++) dsp_set_param(&inst.c->dsp, i, v[i]);
        vst_preset p = make("p", "", std::vector<float>(v, v + 6));
        EXPECT_EQ(chunk_of(write(p), "Comp"), inst.save());
    }
}

TEST(vst_preset, damaged_or_foreign_files_are_refused_and_leave_the_output_alone) {
    const bytes good = write(sample);
    const bytes comp = chunk_of(good, "Comp"), info = chunk_of(good, "Info");
    const char* ours = "66AD22C7C20E462CB29447BBA4505C82";
    bytes nan_comp = comp;
    {
        // A NaN as the "drive" value: the map's record is the two lengths, the key, then
        // the value's four bytes.
        const std::string s(nan_comp.begin(), nan_comp.end());
        const size_t at = s.find(std::string("\x05\0\0\0\x04\0\0\0drive", 13));
        ASSERT_NE(at, std::string::npos);
        for (int i = 0; i < 4; i++) nan_comp[at + 13 + i] = i == 3 ? 0x7F : 0xFF;
    }
    struct damage {
        const char* what;
        std::function<bytes()> make;
        int error;
    };
    const std::vector<damage> cases = {
        {"empty", [] { return bytes(); }, EINVAL},
        {"bad magic", [&] { bytes b = good; b[0] = 'X'; return b; }, EINVAL},
        {"format version 2", [&] { bytes b = good; put_le(&b, 4, 2, 4); return b; }, EINVAL},
        {"another class", [&] { return assemble({{"Comp", comp}}, "66AD22C7C20E462CB29447BBA4505C83"); }, EINVAL},
        {"another class, text", [&] { return assemble({{"Comp", comp}}, "not a class id at all, no hex..."); }, EINVAL},
        {"list offset past the end", [&] { bytes b = good; put_le(&b, 40, b.size(), 8); return b; }, EINVAL},
        {"list offset in the header", [&] { bytes b = good; put_le(&b, 40, 8, 8); return b; }, EINVAL},
        {"huge list offset", [&] { bytes b = good; put_le(&b, 40, ~0ull, 8); return b; }, EINVAL},
        {"no list id", [&] { bytes b = good; b[get_le(good, 40, 8)] = 'l'; return b; }, EINVAL},
        {"entry count too large", [&] { bytes b = good; put_le(&b, get_le(good, 40, 8) + 4, 3, 4); return b; }, EINVAL},
        {"negative entry count", [&] { bytes b = good; put_le(&b, get_le(good, 40, 8) + 4, 0xFFFFFFFF, 4); return b; }, EINVAL},
        {"chunk beyond the data", [&] { bytes b = good; put_le(&b, entry_of(b, "Comp") + 12, b.size(), 8); return b; }, EINVAL},
        {"chunk offset wraps", [&] { bytes b = good; put_le(&b, entry_of(b, "Comp") + 4, ~0ull - 3, 8); return b; }, EINVAL},
        {"no component chunk", [&] { return assemble({{"Info", info}}, ours); }, EINVAL},
        {"two component chunks", [&] { return assemble({{"Comp", comp}, {"Comp", comp}}, ours); }, EINVAL},
        {"corrupt component chunk", [&] { bytes c = comp; c[0] ^= 0x55; c[148] ^= 1; return assemble({{"Comp", c}}, ours); }, EINVAL},
        {"NaN value", [&] { return assemble({{"Comp", nan_comp}}, ours); }, EINVAL},
        {"unterminated XML", [&] { return assemble({{"Comp", comp}, {"Info", text("<MetaInfo><Attr id=\"Name\"")}}, ours); }, EINVAL},
        {"unbalanced XML", [&] { return assemble({{"Comp", comp}, {"Info", text("<MetaInfo></Meta>")}}, ours); }, EINVAL},
        {"unknown entity", [&] { return assemble({{"Comp", comp}, {"Info", text("<A><Attr id=\"Name\" value=\"&bogus;\"/></A>")}}, ours); }, EINVAL},
        {"document type", [&] { return assemble({{"Comp", comp}, {"Info", text("<!DOCTYPE x [<!ENTITY a \"b\">]><A/>")}}, ours); }, EINVAL},
        {"control character in the name", [&] { return assemble({{"Comp", comp}, {"Info", text("<A><Attr id=\"Name\" value=\"a&#x1b;[2J\"/></A>")}}, ours); }, EINVAL},
        {"invalid UTF-8 in the name", [&] { return assemble({{"Comp", comp}, {"Info", text("<A><Attr id=\"Name\" value=\"\xC0\xAF\"/></A>")}}, ours); }, EINVAL},
        {"one byte too many", [&] { bytes b = good; b.resize(vst_preset_max_bytes + 1); return b; }, EFBIG},
    };
    for (const damage& d : cases) {
        const bytes b = d.make();
        vst_preset out, before;
        memset(&out, 0x5A, sizeof out);
        before = out;
        errno = 0;
        EXPECT_EQ(vst_preset_read(b.data(), b.size(), &out), -1) << d.what;
        EXPECT_EQ(errno, d.error) << d.what;
        EXPECT_EQ(memcmp(&out, &before, sizeof out), 0) << d.what << ": output touched";
    }
    // Every cut of a good file loses its list, which lies at the end.
    for (size_t n = 0; n < good.size(); n++) {
        vst_preset out;
        EXPECT_EQ(vst_preset_read(good.data(), n, &out), -1) << "cut at " << n;
    }
}

TEST(vst_preset, what_other_writers_may_add_or_leave_out_still_loads) {
    const bytes comp = chunk_of(write(sample), "Comp");
    const std::string xml =
        "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- made elsewhere -->\n<MetaInfo>\n"
        "  <Attr id='MusicalCategory' value='Dr&#252;ms' type='string'/>\n"
        "  <Attr id=\"Name\" value=\"Smash &#x1F941; &quot;hard&quot;\" type=\"string\"></Attr>\n</MetaInfo>\n";
    struct variant {
        const char* what;
        bytes file;
        const char* name;
        const char* category;
    } variants[] = {
        {"lower-case class id, a controller chunk, an unknown chunk",
         assemble({{"Cont", {}}, {"Comp", comp}, {"Prog", text("xyz")}}, "66ad22c7c20e462cb29447bba4505c82"), "", ""},
        {"metadata of its own kind", assemble({{"Info", text(xml)}, {"Comp", comp}}, "66AD22C7C20E462CB29447BBA4505C82"),
         "Smash \xF0\x9F\xA5\x81 \"hard\"", "Dr\xC3\xBCms"},
        {"an empty metadata chunk", assemble({{"Comp", comp}, {"Info", {}}}, "66AD22C7C20E462CB29447BBA4505C82"), "", ""},
    };
    for (const variant& v : variants) {
        vst_preset out;
        ASSERT_EQ(vst_preset_read(v.file.data(), v.file.size(), &out), 0) << v.what;
        EXPECT_STREQ(out.name, v.name) << v.what;
        EXPECT_STREQ(out.category, v.category) << v.what;
        EXPECT_EQ(out.values[0], 60.0f) << v.what;
    }
    // A name longer than the field is cut on a character boundary: 200 two-byte letters.
    std::string longname;
    for (int i = 0; i < 200; i++) longname += "\xC3\xA9";
    const bytes file = assemble({{"Comp", comp}, {"Info", text("<M><Attr id=\"Name\" value=\"" + longname + "\"/></M>")}},
                                "66AD22C7C20E462CB29447BBA4505C82");
    vst_preset out;
    ASSERT_EQ(vst_preset_read(file.data(), file.size(), &out), 0);
    EXPECT_EQ(strlen(out.name), 126u);
}

TEST(vst_preset, writer_refuses_what_it_could_not_read_back) {
    vst_preset p = sample;
    uint8_t* data = nullptr;
    size_t size = 0;
    p.values[3] = NAN;
    EXPECT_EQ(vst_preset_write(&p, &data, &size), -1);
    EXPECT_EQ(errno, EINVAL);
    p = sample;
    strcpy(p.name, "tab\there");
    EXPECT_EQ(vst_preset_write(&p, &data, &size), -1);
    EXPECT_EQ(errno, EINVAL);
    p = sample;
    memset(p.category, 'c', sizeof p.category);  // no terminator in its field
    EXPECT_EQ(vst_preset_write(&p, &data, &size), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(vst_preset, plain_names) {
    const struct {
        std::string name;
        bool plain;
    } table[] = {
        {"Crunch", true},           {"Édge of Breakup", true}, {"日本語", true},      {"a.b", true},
        {std::string(100, 'x'), true}, {std::string(101, 'x'), false}, {"", false},   {".hidden", false},
        {"..", false},              {"a/b", false},            {"/abs", false},      {"tab\tname", false},
        {"new\nline", false},       {"del\x7f", false},        {"\xC0\xAF", false},  {"\xED\xA0\x80", false},
        {"\xF4\x90\x80\x80", false}, {"cut\xC3", false},       {"\xE2\x82", false},
    };
    for (const auto& t : table) EXPECT_EQ(vst_preset_name_is_plain(t.name.c_str()), t.plain) << t.name;
    EXPECT_FALSE(vst_preset_name_is_plain(nullptr));
}

struct temp_dir {
    std::string path;
    temp_dir() {
        char t[] = "/tmp/vgs-preset-XXXXXX";
        path = mkdtemp(t);
    }
    ~temp_dir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::vector<std::string> entries(const std::string& sub = "") const {
        std::vector<std::string> out;
        FILE* p = popen(("ls -A '" + path + sub + "'").c_str(), "r");
        char line[512];
        while (p && fgets(line, sizeof line, p)) out.push_back(std::string(line, strcspn(line, "\n")));
        if (p) pclose(p);
        return out;
    }
};

TEST(vst_preset_files, save_makes_the_folder_replaces_whole_and_leaves_no_temporary_file) {
    temp_dir dir;
    const std::string path = dir.path + "/a/b/My Lead.vstpreset";
    ASSERT_EQ(vst_preset_save_file(path.c_str(), &sample), 0) << strerror(errno);
    vst_preset other = make("", "", {10, 20, 30, 40, 50, 1});
    ASSERT_EQ(vst_preset_save_file(path.c_str(), &other), 0);
    EXPECT_EQ(dir.entries("/a/b"), std::vector<std::string>{"My Lead.vstpreset"});
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    vst_preset back;
    ASSERT_EQ(vst_preset_load_file(path.c_str(), &back), 0);
    // No name in its metadata: the file's name stands in.
    EXPECT_STREQ(back.name, "My Lead");
    EXPECT_EQ(back.values[5], 1.0f);

    // A target that is a folder fails, and the earlier file and the folder stay as they were.
    ASSERT_EQ(mkdir((dir.path + "/a/b/taken.vstpreset").c_str(), 0755), 0);
    EXPECT_EQ(vst_preset_save_file((dir.path + "/a/b/taken.vstpreset").c_str(), &sample), -1);
    vst_preset bad = sample;
    bad.values[0] = NAN;
    EXPECT_EQ(vst_preset_save_file(path.c_str(), &bad), -1);
    EXPECT_EQ(dir.entries("/a/b"), (std::vector<std::string>{"My Lead.vstpreset", "taken.vstpreset"}));
    ASSERT_EQ(vst_preset_load_file(path.c_str(), &back), 0);
    EXPECT_EQ(back.values[5], 1.0f);
}

TEST(vst_preset_files, load_refuses_folders_fifos_and_oversized_files_without_waiting) {
    temp_dir dir;
    vst_preset out = sample;
    EXPECT_EQ(vst_preset_load_file((dir.path + "/missing.vstpreset").c_str(), &out), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(vst_preset_load_file(dir.path.c_str(), &out), -1);
    EXPECT_EQ(errno, EISDIR);
    // No writer ever opens the FIFO: a blocking open or read would hang the test.
    const std::string fifo = dir.path + "/fifo.vstpreset";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(vst_preset_load_file(fifo.c_str(), &out), -1);
    EXPECT_EQ(errno, EINVAL);
    const std::string big = dir.path + "/big.vstpreset";
    bytes file = write(sample);
    file.resize(vst_preset_max_bytes + 1);
    FILE* f = fopen(big.c_str(), "wb");
    ASSERT_TRUE(f);
    fwrite(file.data(), 1, file.size(), f);
    fclose(f);
    EXPECT_EQ(vst_preset_load_file(big.c_str(), &out), -1);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(memcmp(&out, &sample, sizeof out), 0);
}

TEST(vst_preset_files, user_folder_follows_home_else_the_password_entry) {
    const char* saved = getenv("HOME");
    const std::string old = saved ? saved : "";
    setenv("HOME", "/home/someone", 1);
    char* dir = vst_preset_user_dir();
    ASSERT_TRUE(dir);
    EXPECT_STREQ(dir, "/home/someone/.vst3/presets/Tresk.Sonwave/Vellum Grist Saturator");
    free(dir);
    unsetenv("HOME");
    dir = vst_preset_user_dir();
    ASSERT_TRUE(dir);
    const std::string from_passwd = dir;
    free(dir);
    EXPECT_EQ(from_passwd.substr(0, 1), "/");
    EXPECT_NE(from_passwd.find("/.vst3/presets/Tresk.Sonwave/Vellum Grist Saturator"), std::string::npos);
    if (saved) setenv("HOME", old.c_str(), 1);
}

}  // namespace
