// Preset files in the VST 3 preset format (".vstpreset"): a header naming the
// component's class, a data area with the component's state chunk and an XML metadata
// chunk, then the list of chunks. The plug-in itself never reads these: hosts,
// `vgs-host` and the editor program do, and every file they read is untrusted.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t vst_preset_max_bytes = 64 * 1024;  // larger files are refused (EFBIG)

struct vst_preset {
    char name[128];      // UTF-8, NUL-terminated
    char category[64];   // UTF-8, NUL-terminated, may be empty
    float values[6];     // plain values, Drive, Tone, Heat, Mix, Volume, Bypass
};

// The bytes of a .vstpreset for p: the "VST3" header with the component's class id, a chunk
// list holding exactly the component-state chunk getState writes for these values, and the
// metadata chunk with name and category. malloc'd; the caller frees. 0, or -1 with errno.
// The values are taken as the component takes them (clamped to their ranges, Bypass 0 or
// 1); a NaN value, or a name or category that is not NUL-terminated in its field, not
// valid UTF-8 or holds control characters, is refused with EINVAL.
int vst_preset_write(const vst_preset* p, uint8_t** data, size_t* size);
// The component-state chunk alone for p's values, as in the file vst_preset_write makes:
// what a host hands to IComponent::setState when it loads the preset. 0, or -1 with errno.
int vst_preset_component_chunk(const vst_preset* p, uint8_t** chunk, size_t* size);
// Parses untrusted bytes. 0, or -1 with errno: EINVAL for anything malformed, another class id
// or a corrupt chunk; EFBIG above vst_preset_max_bytes. *out is untouched on failure.
// The values come out as the component would take them from the chunk (clamped, Bypass
// 0 or 1). A file without metadata, or without a name or category in it, gives empty texts.
int vst_preset_read(const uint8_t* data, size_t size, vst_preset* out);
// Reads a file (regular files only, bounded, never blocks on a FIFO). On success, if the file has
// no name in its metadata, the name is the file name without ".vstpreset".
int vst_preset_load_file(const char* path, vst_preset* out);
// Writes p to a temporary file beside path and renames it into place; nothing is left on failure.
// Missing directories above path are made (0755); the file is made 0644.
int vst_preset_save_file(const char* path, const vst_preset* p);
// Whether name can be a preset file name: not empty, no '/', no leading '.', no control
// characters (< 0x20 or 0x7f), at most 100 bytes, valid UTF-8.
bool vst_preset_name_is_plain(const char* name);
// The user's VST 3 preset folder: $HOME/.vst3/presets/Tresk.Sonwave/Vellum Grist Saturator
// (HOME, else the password entry's home). malloc'd; null with errno on failure.
char* vst_preset_user_dir(void);
