// The .vstpreset layout, all integers little-endian:
//   header      "VST3", int32 format version 1, the class id as 32 ASCII hex digits,
//               int64 offset of the chunk list                              (48 bytes)
//   data area   the chunks' bytes
//   chunk list  "List", int32 entry count, then per entry a 4-byte chunk id, int64
//               offset and int64 size of its data
// This plug-in writes two chunks: "Comp" (the component's state chunk) and "Info" (the
// XML metadata). Its controller keeps no state of its own, so a "Cont" chunk, which other
// writers may add, is not needed and is ignored on reading, as are unknown chunks.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "controller/param_table.h"
#include "preset/preset_metadata.h"
#include "preset/vst_preset.h"
#include "state/state_archive.h"

namespace {
constexpr size_t header_size = 48;
constexpr size_t list_head_size = 8;
constexpr size_t entry_size = 20;
constexpr int32_t format_version = 1;
// The component's class id (the factory's first class) as the header spells it: its 16
// bytes in memory order, two upper-case hex digits each.
constexpr char component_class_text[] = "66AD22C7C20E462CB29447BBA4505C82";
static_assert(sizeof component_class_text == 33);

struct chunk_ref {
    size_t offset, size;
    bool found;
};
}  // namespace

static void put_le(uint8_t* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

static uint64_t get_le(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; i--) v = v << 8 | p[i];
    return v;
}

int vst_preset_component_chunk(const vst_preset* p, uint8_t** chunk, size_t* size) {
    float values[param_count];
    for (int i = 0; i < param_count; i++) {
        if (std::isnan(p->values[i])) {
            errno = EINVAL;
            return -1;
        }
        values[i] = static_cast<float>(param_clamp_plain(i, static_cast<double>(p->values[i])));
    }
    // A component that was given these values and never activated saves exactly this.
    *chunk = state_chunk_write(values, 0.0f, size);
    return *chunk ? 0 : -1;
}

int vst_preset_write(const vst_preset* p, uint8_t** data, size_t* size) {
    uint8_t* state = nullptr;
    size_t state_size = 0;
    if (vst_preset_component_chunk(p, &state, &state_size) != 0) return -1;
    size_t meta_size = 0;
    char* meta = preset_metadata_write(p, &meta_size);
    if (!meta) {
        free(state);
        return -1;
    }

    const size_t list_offset = header_size + state_size + meta_size;
    const size_t total = list_offset + list_head_size + 2 * entry_size;
    uint8_t* out = static_cast<uint8_t*>(malloc(total));
    if (!out) {
        free(state);
        free(meta);
        errno = ENOMEM;
        return -1;
    }
    memcpy(out, "VST3", 4);
    put_le(out + 4, format_version, 4);
    memcpy(out + 8, component_class_text, 32);
    put_le(out + 40, list_offset, 8);
    memcpy(out + header_size, state, state_size);
    memcpy(out + header_size + state_size, meta, meta_size);
    uint8_t* list = out + list_offset;
    memcpy(list, "List", 4);
    put_le(list + 4, 2, 4);
    const struct {
        const char* id;
        size_t offset, size;
    } entries[2] = {{"Comp", header_size, state_size}, {"Info", header_size + state_size, meta_size}};
    for (int i = 0; i < 2; i++) {
        uint8_t* e = list + list_head_size + i * entry_size;
        memcpy(e, entries[i].id, 4);
        put_le(e + 4, entries[i].offset, 8);
        put_le(e + 12, entries[i].size, 8);
    }
    free(state);
    free(meta);
    *data = out;
    *size = total;
    return 0;
}

// Hex digits compared without regard to case: writers differ in the case they use.
static bool class_id_is_ours(const uint8_t* text) {
    for (int i = 0; i < 32; i++) {
        uint8_t c = text[i];
        if (c >= 'a' && c <= 'f') c = static_cast<uint8_t>(c - 'a' + 'A');
        if (c != static_cast<uint8_t>(component_class_text[i])) return false;
    }
    return true;
}

namespace {
struct value_capture {
    float values[param_count];
};
}  // namespace

static void capture_nothing(void*) {}

static void capture_value(void* context, int index, float value) {
    // As the component takes a stored value: widened, Bypass rounded, clamped.
    static_cast<value_capture*>(context)->values[index] =
        static_cast<float>(param_clamp_plain(index, static_cast<double>(value)));
}

int vst_preset_read(const uint8_t* data, size_t size, vst_preset* out) {
    if (size > vst_preset_max_bytes) {
        errno = EFBIG;
        return -1;
    }
    if (!data || size < header_size || memcmp(data, "VST3", 4) != 0 ||
        static_cast<int32_t>(get_le(data + 4, 4)) != format_version || !class_id_is_ours(data + 8))
        goto malformed;
    {
        const uint64_t list_offset = get_le(data + 40, 8);
        if (list_offset < header_size || list_offset > size - list_head_size ||
            memcmp(data + list_offset, "List", 4) != 0)
            goto malformed;
        const uint64_t count = get_le(data + list_offset + 4, 4);
        const size_t list_end = static_cast<size_t>(list_offset) + list_head_size;
        if (count > 0x7FFFFFFF || count > (size - list_end) / entry_size) goto malformed;

        chunk_ref comp = {}, info = {};
        for (uint64_t i = 0; i < count; i++) {
            const uint8_t* e = data + list_end + i * entry_size;
            const uint64_t offset = get_le(e + 4, 8), length = get_le(e + 12, 8);
            // Every chunk's data lies in the data area, between the header and the list.
            if (offset < header_size || offset > list_offset || length > list_offset - offset) goto malformed;
            chunk_ref* ref = memcmp(e, "Comp", 4) == 0 ? &comp : memcmp(e, "Info", 4) == 0 ? &info : nullptr;
            if (!ref) continue;
            if (ref->found) goto malformed;  // which of two would count is not for the reader to guess
            *ref = {static_cast<size_t>(offset), static_cast<size_t>(length), true};
        }
        if (!comp.found) goto malformed;

        vst_preset read = {};
        if (info.found && preset_metadata_read(data + info.offset, info.size, &read) != 0) goto malformed;
        value_capture captured = {};
        const state_sink sink = {
            .context = &captured, .lock = capture_nothing, .unlock = capture_nothing, .set_value = capture_value};
        if (load_state(&sink, data + comp.offset, comp.size) != 0) {
            if (errno != ENOMEM) errno = EINVAL;
            return -1;
        }
        memcpy(read.values, captured.values, sizeof read.values);
        *out = read;
        return 0;
    }

malformed:
    errno = EINVAL;
    return -1;
}
