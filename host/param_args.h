// Parameter settings as the commands take them on their command lines: numbers,
// NAME=VALUE and SECONDS:NAME=VALUE in plain units, and their translation into the
// id and normalized value the plug-in's controller gives them.
#pragma once

#include <string>

#include "plugin_loader.h"

// One change at a time in seconds.
struct param_event {
    double time = 0.0;
    std::string name;
    double plain = 0.0;
};

// A finite number and nothing after it.
bool parse_number(const char* text, double* value);
// NAME=VALUE with a non-empty name; the value is left as text.
bool parse_assignment(const std::string& text, std::string* name, std::string* value);
// SECONDS:NAME=VALUE with SECONDS >= 0.
bool parse_event(const std::string& text, param_event* event);

// The id and normalized value of `name` = `plain` (name found ignoring case), refused
// with a message when the name is unknown or the value outside the parameter's range.
bool param_resolve(plugin_instance* inst, const std::string& name, double plain, vst3::ParamID* id,
                   double* normalized, std::string* error);
