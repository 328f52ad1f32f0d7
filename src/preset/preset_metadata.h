// The preset file's metadata chunk: a small XML document of <Attr id=… value=…/>
// elements, and the text checks its name and category share with preset file names.
#pragma once

#include <cstddef>
#include <cstdint>

struct vst_preset;

// Whether the bytes are valid UTF-8 (shortest forms, no surrogates, at most U+10FFFF)
// without control characters (< 0x20 or 0x7f).
bool preset_text_ok(const char* text, size_t len);

// The longest prefix of text, at most limit bytes, that ends on a character boundary
// (text is valid UTF-8).
size_t preset_text_fit(const char* text, size_t len, size_t limit);

// The metadata document for p's name and category: a new buffer (no terminator counted
// in *size), or null with errno (EINVAL for a name or category preset_text_ok refuses).
char* preset_metadata_write(const vst_preset* p, size_t* size);

// Reads the name ("Name") and category ("MusicalCategory") out of a metadata document
// into p's fields (empty when absent, cut on a character boundary when too long).
// 0, or -1 with EINVAL for malformed XML or a text preset_text_ok refuses.
int preset_metadata_read(const uint8_t* xml, size_t size, vst_preset* p);
