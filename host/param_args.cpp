#include "param_args.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

using namespace vst3;

bool parse_number(const char* text, double* value) {
    if (text == nullptr || *text == 0) return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (errno != 0 || *end != 0 || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

bool parse_assignment(const std::string& text, std::string* name, std::string* value) {
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    *name = text.substr(0, eq);
    *value = text.substr(eq + 1);
    return true;
}

bool parse_event(const std::string& text, param_event* event) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    std::string value;
    if (!parse_number(text.substr(0, colon).c_str(), &event->time) || event->time < 0) return false;
    if (!parse_assignment(text.substr(colon + 1), &event->name, &value)) return false;
    return parse_number(value.c_str(), &event->plain);
}

bool param_resolve(plugin_instance* inst, const std::string& name, double plain, ParamID* id, double* normalized,
                   std::string* error) {
    ParameterInfo info{};
    if (!plugin_find_parameter(inst, name, &info)) {
        *error = "no parameter named \"" + name + "\"";
        return false;
    }
    IEditController* ec = inst->controller;
    double v = ec->vtbl->plainParamToNormalized(ec, info.id, plain);
    if (!(v >= 0.0 && v <= 1.0)) {
        double lo = ec->vtbl->normalizedParamToPlain(ec, info.id, 0.0);
        double hi = ec->vtbl->normalizedParamToPlain(ec, info.id, 1.0);
        char text[160];
        std::snprintf(text, sizeof text, "%s=%g is outside %g … %g", name.c_str(), plain, lo, hi);
        *error = text;
        return false;
    }
    *id = info.id;
    *normalized = v;
    return true;
}
