// Writes the bundle's Contents/Resources/moduleinfo.json at build time. Every value is
// asked of the factory through its VST 3 interface, the way a host reads it, so the file
// can never say something the factory does not.
//
// usage: vgs-moduleinfo MODULE_NAME OUTPUT_FILE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "module/module_entry.h"
#include "plugin_loader.h"

using namespace vst3;

// JSON string literal; the factory's texts are ASCII, anything below 0x20 is escaped.
static std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char ch : text) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += (char)ch;
        } else if (ch < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", ch);
            out += escape;
        } else {
            out += (char)ch;
        }
    }
    return out + "\"";
}

static std::string bounded(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

// Class ids are written as 32 hex digits of the 16 bytes in memory order.
static std::string cid_text(const TUID cid)
{
    char text[33];
    for (int i = 0; i < 16; i++)
        snprintf(text + 2 * i, 3, "%02X", (unsigned)(uint8)cid[i]);
    return text;
}

static std::string sub_category_list(const std::string& joined)
{
    std::string out = "[";
    size_t start = 0;
    bool first = true;
    while (start < joined.size()) {
        size_t bar = joined.find('|', start);
        if (bar == std::string::npos)
            bar = joined.size();
        if (bar > start) {
            out += first ? "" : ", ";
            out += quoted(joined.substr(start, bar - start));
            first = false;
        }
        start = bar + 1;
    }
    return out + "]";
}

static const char* boolean(bool value) { return value ? "true" : "false"; }

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s MODULE_NAME OUTPUT_FILE\n", argv[0]);
        return 2;
    }
    IPluginFactory* factory = GetPluginFactory();
    if (factory == nullptr) {
        fprintf(stderr, "no factory\n");
        return 1;
    }
    // The Unicode class info is what hosts read from a factory that offers it.
    IPluginFactory3* factory3 = nullptr;
    if (factory->vtbl->queryInterface(factory, IPluginFactory3_iid, (void**)&factory3) != kResultOk) {
        fprintf(stderr, "factory without IPluginFactory3\n");
        return 1;
    }
    PFactoryInfo factory_info;
    if (factory3->vtbl->getFactoryInfo(factory3, &factory_info) != kResultOk) {
        fprintf(stderr, "getFactoryInfo failed\n");
        return 1;
    }
    const std::string factory_vendor = bounded(factory_info.vendor, sizeof factory_info.vendor);

    std::string classes;
    std::string module_version;
    const int32 count = factory3->vtbl->countClasses(factory3);
    for (int32 i = 0; i < count; i++) {
        PClassInfoW info;
        if (factory3->vtbl->getClassInfoUnicode(factory3, i, &info) != kResultOk) {
            fprintf(stderr, "getClassInfoUnicode(%d) failed\n", (int)i);
            return 1;
        }
        std::string vendor = utf16_to_string(info.vendor, sizeof info.vendor / sizeof info.vendor[0]);
        // An empty class vendor means the factory's vendor, as hosts read it.
        if (vendor.empty())
            vendor = factory_vendor;
        const std::string version = utf16_to_string(info.version, sizeof info.version / sizeof info.version[0]);
        if (i == 0)
            module_version = version;
        char numbers[96];
        snprintf(numbers, sizeof numbers, "      \"Class Flags\": %u,\n      \"Cardinality\": %d,\n",
                 (unsigned)info.classFlags, (int)info.cardinality);
        classes += std::string(i ? ",\n" : "") + "    {\n" +
                   "      \"CID\": " + quoted(cid_text(info.cid)) + ",\n" +
                   "      \"Category\": " + quoted(bounded(info.category, sizeof info.category)) + ",\n" +
                   "      \"Name\": " + quoted(utf16_to_string(info.name, sizeof info.name / sizeof info.name[0])) + ",\n" +
                   "      \"Vendor\": " + quoted(vendor) + ",\n" +
                   "      \"Version\": " + quoted(version) + ",\n" +
                   "      \"SDKVersion\": " +
                   quoted(utf16_to_string(info.sdkVersion, sizeof info.sdkVersion / sizeof info.sdkVersion[0])) + ",\n" +
                   "      \"Sub Categories\": " + sub_category_list(bounded(info.subCategories, sizeof info.subCategories)) +
                   ",\n" + numbers + "      \"Snapshots\": []\n    }";
    }

    std::string json = "{\n";
    json += "  \"Name\": " + quoted(argv[1]) + ",\n";
    json += "  \"Version\": " + quoted(module_version) + ",\n";
    json += "  \"Factory Info\": {\n";
    json += "    \"Vendor\": " + quoted(factory_vendor) + ",\n";
    json += "    \"URL\": " + quoted(bounded(factory_info.url, sizeof factory_info.url)) + ",\n";
    json += "    \"E-Mail\": " + quoted(bounded(factory_info.email, sizeof factory_info.email)) + ",\n";
    json += "    \"Flags\": {\n";
    json += std::string("      \"Unicode\": ") + boolean(factory_info.flags & kUnicode) + ",\n";
    json += std::string("      \"Classes Discardable\": ") + boolean(factory_info.flags & kClassesDiscardable) + ",\n";
    json += std::string("      \"Component Non Discardable\": ") +
            boolean(factory_info.flags & kComponentNonDiscardable) + "\n";
    json += "    }\n  },\n";
    json += "  \"Classes\": [\n" + classes + "\n  ]\n}\n";

    // Written beside the target and renamed, so a reader never sees half a file.
    const std::string temporary = std::string(argv[2]) + ".tmp";
    FILE* file = fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        perror(temporary.c_str());
        return 1;
    }
    const bool written = fwrite(json.data(), 1, json.size(), file) == json.size();
    if (fclose(file) != 0 || !written || rename(temporary.c_str(), argv[2]) != 0) {
        perror(argv[2]);
        remove(temporary.c_str());
        return 1;
    }
    return 0;
}
