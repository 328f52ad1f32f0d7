// The built bundle, opened once per test suite through the host's loader, and helpers
// for driving and observing instances through the VST 3 interfaces only.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host_objects.h"
#include "plugin_loader.h"

namespace host_test {

// Parameter ids as the parameter table publishes them.
inline constexpr vst3::ParamID drive_id = 0x74888ACA;
inline constexpr vst3::ParamID tone_id = 0x4C2D6AF2;
inline constexpr vst3::ParamID mix_id = 0x3615B43C;
inline constexpr vst3::ParamID volume_id = 0x06DC463A;
inline constexpr vst3::ParamID bypass_id = 0x08FC0058;

class bundle_test : public ::testing::Test {
protected:
    static inline plugin_module module;
    static inline host_application host;

    static void SetUpTestSuite() {
        std::string error;
        host_application_init(&host);
        ASSERT_TRUE(plugin_module_open(&module, VGS_BUNDLE_DIR, &error)) << error;
    }
    static void TearDownTestSuite() { plugin_module_close(&module); }

    void SetUp() override { ASSERT_NE(module.factory, nullptr); }

    // A created, connected pair, optionally set up and activated at 44100 Hz.
    static void make(plugin_instance* inst, bool activate = true) {
        std::string error;
        ASSERT_TRUE(plugin_instance_create(module, &host, inst, &error)) << error;
        if (activate) {
            ASSERT_TRUE(plugin_instance_activate(inst, 44100.0, 4096, &error)) << error;
        }
    }

    // A bare object of one class, as createInstance hands it out.
    template <typename T>
    static T* create(const char* category, const vst3::TUID iid) {
        vst3::PClassInfo info{};
        EXPECT_TRUE(plugin_find_class(module.factory, category, &info));
        void* obj = nullptr;
        EXPECT_EQ(module.factory->vtbl->createInstance(module.factory, reinterpret_cast<vst3::FIDString>(info.cid),
                                                       reinterpret_cast<vst3::FIDString>(iid), &obj),
                  vst3::kResultOk);
        return static_cast<T*>(obj);
    }
};

// The plain value stored under `key` in a state chunk. The parameters map stores each
// entry as a 32-bit key length, a 32-bit value length (4), the key, then the float.
inline float chunk_value(const std::vector<uint8_t>& chunk, const char* key) {
    const uint32_t key_len = (uint32_t)std::strlen(key);
    std::vector<uint8_t> pattern(8 + key_len);
    const uint32_t value_len = 4;
    std::memcpy(pattern.data(), &key_len, 4);
    std::memcpy(pattern.data() + 4, &value_len, 4);
    std::memcpy(pattern.data() + 8, key, key_len);
    for (size_t i = 0; i + pattern.size() + 4 <= chunk.size(); ++i) {
        if (std::memcmp(chunk.data() + i, pattern.data(), pattern.size()) == 0) {
            float v;
            std::memcpy(&v, chunk.data() + i + pattern.size(), 4);
            return v;
        }
    }
    ADD_FAILURE() << "no \"" << key << "\" in the chunk";
    return -12345.0f;
}

// The value the DSP is using for `key`, as the component saves it.
inline float saved_value(plugin_instance* inst, const char* key) {
    std::vector<uint8_t> chunk;
    EXPECT_TRUE(plugin_instance_save_state(inst, &chunk));
    return chunk_value(chunk, key);
}

// Deterministic noise at about -10 dBFS.
inline std::vector<float> noise(size_t n, uint32_t seed = 1) {
    std::vector<float> v(n);
    for (float& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = ((float)(seed >> 8) / 16777216.0f - 0.5f) * 0.6f;
    }
    return v;
}

inline bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace host_test
