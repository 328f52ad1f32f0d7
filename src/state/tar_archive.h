// POSIX ustar archives held in memory, to and from a kv_map from member name to
// member content. The writer makes only regular-file members with fixed owner, mode and
// time, so an archive's bytes depend on the map alone; the reader takes every member.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/kv_map.h"

// A new buffer with the archive of the map's entries in key order, ending in two zero
// blocks; the caller frees it. Null for a name of 100 bytes or more or content the size
// field cannot carry (EINVAL), or exhausted memory (ENOMEM).
uint8_t* tar_serialize(const kv_map* map, size_t* size);
// A new map from member name to content, pointing into data (which must outlive it),
// or null with errno EINVAL (malformed or truncated) or ENOMEM.
kv_map* tar_parse(const uint8_t* data, size_t size);
