// vst_preset_read on arbitrary bytes: a refusal leaves the output as it was; an accepted
// file gives terminated, plain texts and six values inside their ranges, and writing
// those back gives a file that reads as the same preset.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "controller/param_table.h"
#include "preset/preset_metadata.h"
#include "preset/vst_preset.h"

template <size_t N>
static void check_text(const char (&field)[N]) {
    const char* end = static_cast<const char*>(memchr(field, '\0', N));
    if (!end || !preset_text_ok(field, static_cast<size_t>(end - field))) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vst_preset out, before;
    memset(&out, 0xA5, sizeof out);
    before = out;
    if (vst_preset_read(data, size, &out) != 0) {
        if (memcmp(&out, &before, sizeof out) != 0) abort();
        return 0;
    }
    check_text(out.name);
    check_text(out.category);
    for (int i = 0; i < param_count; i++)
        if (std::isnan(out.values[i]) || out.values[i] < param_range_table[i].min ||
            out.values[i] > param_range_table[i].max)
            abort();

    uint8_t* file = nullptr;
    size_t file_size = 0;
    if (vst_preset_write(&out, &file, &file_size) != 0) abort();
    vst_preset again;
    memset(&again, 0, sizeof again);
    if (vst_preset_read(file, file_size, &again) != 0) abort();
    if (strcmp(again.name, out.name) != 0 || strcmp(again.category, out.category) != 0 ||
        memcmp(again.values, out.values, sizeof out.values) != 0)
        abort();
    free(file);
    return 0;
}
