// `info BUNDLE`: what a DAW's plug-in scanner sees.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "host_presets.h"
#include "plugin_loader.h"

using namespace vst3;

static std::string hex_id(const TUID id) {
    std::string s;
    char b[4];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(b, sizeof b, "%02X", (unsigned)(uint8_t)id[i]);
        s += b;
    }
    return s;
}

// The preset file's values in parameter order, named as the plug-in's table names them.
static const char* const param_titles[6] = {"Drive", "Tone", "Heat", "Mix", "Volume", "Bypass"};

static const char* direction_name(BusDirection d) { return d == kInput ? "input" : "output"; }

int info_command(int argc, char** argv) {
    if (argc != 1) {
        std::fputs("usage: vgs-host info BUNDLE\n", stderr);
        return 2;
    }
    plugin_module m;
    std::string error;
    if (!plugin_module_open(&m, argv[0], &error)) {
        std::fprintf(stderr, "vgs-host: %s\n", error.c_str());
        return 1;
    }
    IPluginFactory* f = m.factory;
    std::printf("library: %s\n", m.library_path.c_str());
    PFactoryInfo fi{};
    if (f->vtbl->getFactoryInfo(f, &fi) == kResultOk)
        std::printf("factory: vendor \"%s\", url \"%s\", email \"%s\", flags %d\n", fi.vendor, fi.url, fi.email,
                    fi.flags);

    const int32 count = f->vtbl->countClasses(f);
    std::printf("classes: %d\n", count);
    for (int32 i = 0; i < count; ++i) {
        PClassInfo2 ci{};
        if (f->vtbl->getClassInfo2(f, i, &ci) != kResultOk) {
            PClassInfo basic{};
            if (f->vtbl->getClassInfo(f, i, &basic) != kResultOk) continue;
            std::printf("  [%d] \"%s\" category \"%s\" cid %s\n", i, basic.name, basic.category,
                        hex_id(basic.cid).c_str());
            continue;
        }
        std::printf("  [%d] \"%s\" category \"%s\" cid %s\n", i, ci.name, ci.category, hex_id(ci.cid).c_str());
        std::printf("      subcategories \"%s\" flags %u version \"%s\" sdk \"%s\" cardinality 0x%X\n",
                    ci.subCategories, ci.classFlags, ci.version, ci.sdkVersion, (unsigned)ci.cardinality);
    }

    host_application host;
    host_application_init(&host);
    plugin_instance inst;
    if (!plugin_instance_create(m, &host, &inst, &error)) {
        std::fprintf(stderr, "vgs-host: %s\n", error.c_str());
        plugin_module_close(&m);
        return 1;
    }
    IComponent* c = inst.component;
    IAudioProcessor* p = inst.processor;
    for (MediaType type : {kAudio, kEvent}) {
        for (BusDirection dir : {kInput, kOutput}) {
            const int32 buses = c->vtbl->getBusCount(c, type, dir);
            for (int32 b = 0; b < buses; ++b) {
                BusInfo bi{};
                if (c->vtbl->getBusInfo(c, type, dir, b, &bi) != kResultOk) continue;
                SpeakerArrangement arr = 0;
                p->vtbl->getBusArrangement(p, dir, b, &arr);
                std::printf("bus: %s %s %d \"%s\", %d channel(s), arrangement 0x%llX, %s%s\n",
                            type == kAudio ? "audio" : "event", direction_name(dir), b,
                            utf16_to_string(bi.name, 128).c_str(), bi.channelCount, (unsigned long long)arr,
                            bi.busType == kMain ? "main" : "aux", bi.flags & kDefaultActive ? ", default active" : "");
            }
        }
    }
    std::printf("latency %u samples, tail %u samples, 32-bit %s, 64-bit %s\n", p->vtbl->getLatencySamples(p),
                p->vtbl->getTailSamples(p), p->vtbl->canProcessSampleSize(p, kSample32) == kResultOk ? "yes" : "no",
                p->vtbl->canProcessSampleSize(p, kSample64) == kResultOk ? "yes" : "no");

    IEditController* ec = inst.controller;
    const int32 params = ec->vtbl->getParameterCount(ec);
    std::printf("parameters: %d\n", params);
    for (int32 i = 0; i < params; ++i) {
        ParameterInfo pi{};
        if (ec->vtbl->getParameterInfo(ec, i, &pi) != kResultOk) continue;
        TChar text[128] = {};
        std::string shown = "?";
        if (ec->vtbl->getParamStringByValue(ec, pi.id, pi.defaultNormalizedValue, text) == kResultOk)
            shown = utf16_to_string(text, 128);
        std::string units = utf16_to_string(pi.units, 128);
        std::printf("  [%d] id 0x%08X \"%s\" default %s%s%s (normalized %g), range %g … %g, steps %d, flags 0x%X\n", i,
                    pi.id, utf16_to_string(pi.title, 128).c_str(), shown.c_str(), units.empty() ? "" : " ",
                    units.c_str(), pi.defaultNormalizedValue, ec->vtbl->normalizedParamToPlain(ec, pi.id, 0.0),
                    ec->vtbl->normalizedParamToPlain(ec, pi.id, 1.0), pi.stepCount, pi.flags);
    }
    std::vector<uint8_t> chunk;
    if (plugin_instance_save_state(&inst, &chunk))
        std::printf("state chunk: %zu bytes\n", chunk.size());
    else
        std::printf("state chunk: not available\n");

    plugin_instance_destroy(&inst);
    plugin_module_close(&m);

    // Preset files are the host's to read: what a DAW's preset menu would offer.
    const std::vector<found_preset> presets = list_presets(argv[0]);
    int factory = 0;
    for (const found_preset& p : presets) factory += p.factory;
    std::printf("presets: %d factory (%s), %d user", factory, bundle_preset_dir(argv[0]).c_str(),
                (int)presets.size() - factory);
    char* user = vst_preset_user_dir();
    std::printf(user ? " (%s)\n" : "\n", user);
    free(user);
    for (const found_preset& p : presets) {
        const char* kind = p.factory ? "factory" : "user";
        if (p.error != 0) {
            std::printf("  %-7s \"%s\": refused: %s\n", kind, p.file_name.c_str(), preset_error_text(p.error).c_str());
            continue;
        }
        std::string values;
        for (int i = 0; i < 6; ++i) {
            char v[48];
            std::snprintf(v, sizeof v, "%s%s %g", i ? ", " : "", param_titles[i], (double)p.preset.values[i]);
            values += v;
        }
        std::printf("  %-7s \"%s\"%s%s%s: %s\n", kind, p.preset.name, p.preset.category[0] ? " (" : "",
                    p.preset.category, p.preset.category[0] ? ")" : "", values.c_str());
    }
    return 0;
}
