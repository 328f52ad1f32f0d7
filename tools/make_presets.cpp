// Writes the factory bank into the bundles at build time, from the one table in
// src/preset/factory_bank.cpp:
//   - into each PRESETS_DIR: one "<Name>.vstpreset" per preset and "factory.txt", the file
//     names in bank order (preset files of earlier builds that the bank no longer has are
//     removed);
//   - into LV2_BUNDLE: "presets.ttl", the bank as pset:Presets with their six port values,
//     and "manifest.ttl": MANIFEST_HEAD followed by an entry for each preset.
//
// usage: vgs-make-presets LV2_BUNDLE MANIFEST_HEAD PLUGIN_URI PRESETS_DIR...
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "preset/factory_bank.h"
#include "preset/vst_preset.h"

namespace {

const char* const port_symbols[6] = {"drive", "tone", "heat", "mix", "volume", "bypass"};

bool fail(const std::string& what)
{
    std::fprintf(stderr, "vgs-make-presets: %s\n", what.c_str());
    return false;
}

bool write_text(const std::string& path, const std::string& text)
{
    const std::string temp = path + ".part";
    FILE* f = std::fopen(temp.c_str(), "w");
    if (!f)
        return fail("cannot write " + temp + ": " + std::strerror(errno));
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return fail("cannot write " + path);
    }
    return true;
}

std::string file_name(const factory_preset& p) { return std::string(p.name) + ".vstpreset"; }

bool write_presets(const std::string& dir)
{
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return fail("cannot make " + dir + ": " + std::strerror(errno));
    std::set<std::string> wanted;
    std::string list;
    for (int i = 0; i < factory_bank_size; i++) {
        const factory_preset& f = factory_bank[i];
        if (!vst_preset_name_is_plain(f.name))
            return fail(std::string("not a plain preset name: ") + f.name);
        vst_preset p = {};
        std::snprintf(p.name, sizeof p.name, "%s", f.name);
        std::snprintf(p.category, sizeof p.category, "%s", f.category);
        std::memcpy(p.values, f.values, sizeof p.values);
        const std::string path = dir + "/" + file_name(f);
        if (vst_preset_save_file(path.c_str(), &p) != 0)
            return fail("cannot write " + path + ": " + std::strerror(errno));
        wanted.insert(file_name(f));
        list += file_name(f) + "\n";
    }
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > 10 && name.ends_with(".vstpreset") && !wanted.count(name))
                std::remove((dir + "/" + name).c_str());
        }
        closedir(d);
    }
    return write_text(dir + "/factory.txt", list);
}

// A preset's name as part of its URI: lower case, words joined by '-'.
std::string slug(const char* name)
{
    std::string s;
    for (const char* c = name; *c; c++) {
        const char l = (char)std::tolower((unsigned char)*c);
        if ((l >= 'a' && l <= 'z') || (l >= '0' && l <= '9'))
            s += l;
        else if (!s.empty() && s.back() != '-')
            s += '-';
    }
    while (!s.empty() && s.back() == '-')
        s.pop_back();
    return s;
}

std::string turtle_string(const char* text)
{
    std::string s = "\"";
    for (const char* c = text; *c; c++) {
        if (*c == '"' || *c == '\\')
            s += '\\';
        s += *c;
    }
    return s + "\"";
}

// A decimal literal: Turtle reads "50" as an integer, "50.0" as a decimal.
std::string turtle_number(float v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", (double)v);
    std::string s = text;
    if (s.find_first_of(".e") == std::string::npos)
        s += ".0";
    return s;
}

std::string preset_uri(const std::string& plugin_uri, const factory_preset& p)
{
    return "<" + plugin_uri + "#preset-" + slug(p.name) + ">";
}

bool write_lv2(const std::string& bundle, const std::string& manifest_head, const std::string& plugin_uri)
{
    std::string ttl =
        "@prefix lv2:  <http://lv2plug.in/ns/lv2core#> .\n"
        "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
        "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n\n"
        "# The factory bank (generated from src/preset/factory_bank.cpp): each preset's\n"
        "# label and the values of ports 0 to 5.\n";
    std::string entries = "\n# The factory bank, described in presets.ttl.\n";
    std::set<std::string> uris;
    for (int i = 0; i < factory_bank_size; i++) {
        const factory_preset& p = factory_bank[i];
        const std::string uri = preset_uri(plugin_uri, p);
        if (!uris.insert(uri).second)
            return fail(std::string("two presets share the URI of ") + p.name);
        ttl += "\n" + uri + "\n    a pset:Preset ;\n    lv2:appliesTo <" + plugin_uri + "> ;\n    rdfs:label " +
               turtle_string(p.name) + " ;\n    rdfs:comment " + turtle_string(p.category) + " ;\n    lv2:port ";
        for (int k = 0; k < 6; k++)
            ttl += std::string(k ? " , " : "") + "[\n        lv2:symbol \"" + port_symbols[k] +
                   "\" ;\n        pset:value " + turtle_number(p.values[k]) + "\n    ]";
        ttl += " .\n";
        entries += "\n" + uri + "\n    a pset:Preset ;\n    lv2:appliesTo <" + plugin_uri +
                   "> ;\n    rdfs:seeAlso <presets.ttl> .\n";
    }
    FILE* f = std::fopen(manifest_head.c_str(), "r");
    if (!f)
        return fail("cannot read " + manifest_head);
    std::string head;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        head.append(buf, n);
    std::fclose(f);
    // The presets' entries need the vocabulary's prefix in the manifest too.
    head = "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n" + head;
    return write_text(bundle + "/presets.ttl", ttl) && write_text(bundle + "/manifest.ttl", head + entries);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fputs("usage: vgs-make-presets LV2_BUNDLE MANIFEST_HEAD PLUGIN_URI PRESETS_DIR...\n", stderr);
        return 2;
    }
    for (int i = 4; i < argc; i++)
        if (!write_presets(argv[i]))
            return 1;
    return write_lv2(argv[1], argv[2], argv[3]) ? 0 : 1;
}
