// Test helpers: an in-memory IBStream standing in for the host's stream, and a chunk
// builder that assembles chunks from kv_map and tar directly, so that tests can make
// chunks the component would never write.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "state/kv_map.h"
#include "state/tar_archive.h"
#include "vst3/vst3_interfaces.h"

namespace state_test {

using bytes = std::vector<uint8_t>;
using entries = std::vector<std::pair<std::string, std::string>>;

// A host stream over a byte vector, with switches for the failures a host can show.
struct memory_stream {
    vst3::IBStream iface;
    bytes data;
    int64_t pos = 0;
    int32_t read_limit = -1;  // >= 0: each read delivers at most this many bytes
    int64_t write_budget = -1;  // >= 0: bytes accepted before writes come up short
    bool fail_seek = false;
    bool fail_tell = false;

    memory_stream();
    explicit memory_stream(bytes content) : memory_stream() { data = std::move(content); }
    vst3::IBStream* stream() { return &iface; }
};

inline memory_stream* as_memory(vst3::IBStream* s) { return reinterpret_cast<memory_stream*>(s); }

inline const vst3::IBStreamVtbl memory_stream_vtbl = {
    .queryInterface = [](vst3::IBStream*, const vst3::TUID, void** obj) -> vst3::tresult {
        *obj = nullptr;
        return vst3::kNoInterface;
    },
    .addRef = [](vst3::IBStream*) -> vst3::uint32 { return 1; },
    .release = [](vst3::IBStream*) -> vst3::uint32 { return 1; },
    .read = [](vst3::IBStream* s, void* buffer, vst3::int32 n, vst3::int32* got) -> vst3::tresult {
        memory_stream* m = as_memory(s);
        int64_t avail = static_cast<int64_t>(m->data.size()) - m->pos;
        int64_t count = n < avail ? n : (avail > 0 ? avail : 0);
        if (m->read_limit >= 0 && count > m->read_limit) count = m->read_limit;
        if (count > 0) memcpy(buffer, m->data.data() + m->pos, static_cast<size_t>(count));
        m->pos += count;
        if (got) *got = static_cast<vst3::int32>(count);
        return count == n ? vst3::kResultOk : vst3::kResultFalse;
    },
    .write = [](vst3::IBStream* s, void* buffer, vst3::int32 n, vst3::int32* put) -> vst3::tresult {
        memory_stream* m = as_memory(s);
        int64_t count = n;
        if (m->write_budget >= 0 && count > m->write_budget) count = m->write_budget;
        if (m->write_budget >= 0) m->write_budget -= count;
        if (m->data.size() < static_cast<size_t>(m->pos + count)) m->data.resize(static_cast<size_t>(m->pos + count));
        if (count > 0) memcpy(m->data.data() + m->pos, buffer, static_cast<size_t>(count));
        m->pos += count;
        if (put) *put = static_cast<vst3::int32>(count);
        return count == n ? vst3::kResultOk : vst3::kResultFalse;
    },
    .seek = [](vst3::IBStream* s, vst3::int64 pos, vst3::int32 mode, vst3::int64* result) -> vst3::tresult {
        memory_stream* m = as_memory(s);
        if (m->fail_seek) return vst3::kResultFalse;
        int64_t base = mode == vst3::kIBSeekSet ? 0 : mode == vst3::kIBSeekCur ? m->pos : static_cast<int64_t>(m->data.size());
        m->pos = base + pos;
        if (result) *result = m->pos;
        return vst3::kResultOk;
    },
    .tell = [](vst3::IBStream* s, vst3::int64* pos) -> vst3::tresult {
        memory_stream* m = as_memory(s);
        if (m->fail_tell) return vst3::kResultFalse;
        *pos = m->pos;
        return vst3::kResultOk;
    },
};

inline memory_stream::memory_stream() : iface{&memory_stream_vtbl} {}

// The four little-endian bytes of a float.
inline std::string f32(float v) {
    uint32_t u = std::bit_cast<uint32_t>(v);
    std::string s(4, '\0');
    for (int i = 0; i < 4; i++) s[i] = static_cast<char>(u >> (8 * i));
    return s;
}

inline std::string f32_bits(uint32_t u) { return f32(std::bit_cast<float>(u)); }

inline bytes map_file(const entries& e) {
    kv_map* m = kv_map_new();
    for (auto& [k, v] : e) kv_map_insert(m, k.data(), k.size(), v.data(), v.size());
    size_t size = 0;
    uint8_t* file = kv_map_serialize(m, &size);
    kv_map_free(m);
    bytes out = file ? bytes(file, file + size) : bytes();
    free(file);
    return out;
}

inline bytes tar_file(const std::vector<std::pair<std::string, bytes>>& members) {
    kv_map* m = kv_map_new();
    for (auto& [k, v] : members) kv_map_insert(m, k.data(), k.size(), v.data(), v.size());
    size_t size = 0;
    uint8_t* file = tar_serialize(m, &size);
    kv_map_free(m);
    bytes out = file ? bytes(file, file + size) : bytes();
    free(file);
    return out;
}

inline bytes to_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

struct chunk_spec {
    entries info = {{"id", "tresk-vellum-grist-saturator"}};
    entries params = {{"drive", f32(50)}, {"tone", f32(50)}, {"heat", f32(50)},
                      {"mix", f32(100)},  {"volume", f32(100)}, {"bypass", f32(0)}};
    std::string version = "1.0";
    bool with_version = true, with_info = true, with_params = true, with_dsp = true;
    std::vector<std::pair<std::string, bytes>> extra_inner, extra_outer;

    // Replaces (or adds) one parameter's stored bytes.
    chunk_spec& param(const std::string& key, const std::string& value) {
        for (auto& [k, v] : params)
            if (k == key) {
                v = value;
                return *this;
            }
        params.push_back({key, value});
        return *this;
    }
};

inline bytes build_chunk(const chunk_spec& s) {
    std::vector<std::pair<std::string, bytes>> inner = s.extra_inner;
    if (s.with_version) inner.push_back({"version", to_bytes(s.version)});
    if (s.with_info) inner.push_back({"info.map", map_file(s.info)});
    if (s.with_params) inner.push_back({"parameters.map", map_file(s.params)});
    std::vector<std::pair<std::string, bytes>> outer = s.extra_outer;
    if (s.with_dsp) outer.push_back({"dsp.tar", tar_file(inner)});
    return tar_file(outer);
}

}  // namespace state_test
