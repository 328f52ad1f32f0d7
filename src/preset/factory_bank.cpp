#include "preset/factory_bank.h"

// From a clean boost through the edge of breakup, crunch and lead to a saturated wall, a
// dark and a bright drive, parallel blends (Mix below 100) for bass, drums, a bus and a
// voice, and the six defaults. Each preset's Volume sets the RMS level of the demo signal
// through it to the dry demo's (0 dB, within the 0.75 dB of one step), or 6 dB above it
// for the boost; only "Default", the plug-in's initial state, sits lower, at -1.3 dB.
// vgs-preset-table measures the figures the README lists.
//
// Every value is a multiple of 3.125: x/100 (and Volume's x/200) is then exact in binary,
// so whichever route a host takes through normalized values, single or double precision,
// it lands on the same plain value, and a DAW's render of a preset equals vgs-host's.
const factory_preset factory_bank[] = {
    // name                 category   Drive    Tone     Heat     Mix      Volume   Bypass
    {"Default",             "General", {50.0f,   50.0f,   50.0f,   100.0f,  100.0f,  0.0f}},
    {"Clean Boost",         "Guitar",  {0.0f,    62.5f,   25.0f,   12.5f,   71.875f, 0.0f}},
    {"Edge of Breakup",     "Guitar",  {31.25f,  59.375f, 37.5f,   81.25f,  84.375f, 0.0f}},
    {"Crunch",              "Guitar",  {62.5f,   62.5f,   50.0f,   100.0f,  103.125f,0.0f}},
    {"Lead",                "Guitar",  {84.375f, 71.875f, 62.5f,   100.0f,  103.125f,0.0f}},
    {"Saturated Wall",      "Guitar",  {100.0f,  68.75f,  12.5f,   100.0f,  96.875f, 0.0f}},
    {"Dark Drive",          "Guitar",  {68.75f,  21.875f, 50.0f,   100.0f,  112.5f,  0.0f}},
    {"Bright Drive",        "Guitar",  {68.75f,  93.75f,  50.0f,   100.0f,  100.0f,  0.0f}},
    {"Bass Grit",           "Bass",    {56.25f,  37.5f,   37.5f,   71.875f, 78.125f, 0.0f}},
    {"Drum Smash",          "Drums",   {100.0f,  62.5f,   75.0f,   68.75f,  75.0f,   0.0f}},
    {"Warm Bus",            "Mix",     {12.5f,   50.0f,   25.0f,   50.0f,   59.375f, 0.0f}},
    {"Vocal Edge",          "Mix",     {37.5f,   81.25f,  37.5f,   56.25f,  62.5f,   0.0f}},
};
const int factory_bank_size = sizeof factory_bank / sizeof factory_bank[0];
