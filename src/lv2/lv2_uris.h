// The names the LV2 edition is known by: its URIs and the ports' order, shared by the
// plug-in, its editor and the bundle's Turtle.
#pragma once

#include <cstdint>

#define VGS_LV2_URI "https://www.tresk-sonwave.example/plugins/vellum-grist-saturator"
#define VGS_LV2_UI_URI VGS_LV2_URI "#editor"
// The state property that holds the component's chunk, as an atom:Chunk.
#define VGS_LV2_STATE_CHUNK_URI VGS_LV2_URI "#chunk"

// Ports 0..5 are the six parameters in parameter-index order, so a port index is the
// parameter index; then the mono audio input and output.
inline constexpr uint32_t lv2_port_audio_in = 6;
inline constexpr uint32_t lv2_port_audio_out = 7;
inline constexpr uint32_t lv2_port_count = 8;
