// Loading the plug-in bundle the way a DAW does, and driving its two objects through
// the VST 3 interfaces only: module entry and exit, class lookup, instance creation,
// initialization, connection, state transfer, set-up, activation and processing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host_objects.h"
#include "vst3/vst3_interfaces.h"

struct plugin_module {
    void* handle = nullptr;
    bool (*module_entry)(void*) = nullptr;
    bool (*module_exit)() = nullptr;
    vst3::IPluginFactory* (*get_factory)() = nullptr;
    vst3::IPluginFactory* factory = nullptr;
    std::string library_path;
    bool entered = false;
};

// The library inside a bundle: BUNDLE/Contents/<x86_64-linux|aarch64-linux>/<bundle name>.so.
std::string bundle_library_path(const std::string& bundle_dir);

// dlopen of the bundle's library, ModuleEntry, GetPluginFactory. On failure `error`
// says which step failed and the module is left closed.
bool plugin_module_open(plugin_module* m, const std::string& bundle_dir, std::string* error);
// ModuleExit (when entered) and dlclose.
void plugin_module_close(plugin_module* m);

// The first class of the given category; copies its PClassInfo.
bool plugin_find_class(vst3::IPluginFactory* factory, const char* category, vst3::PClassInfo* info);

// One component with its controller, as a DAW keeps them.
struct plugin_instance {
    vst3::IComponent* component = nullptr;
    vst3::IAudioProcessor* processor = nullptr;
    vst3::IEditController* controller = nullptr;
    vst3::IConnectionPoint* component_connection = nullptr;
    vst3::IConnectionPoint* controller_connection = nullptr;
    bool component_initialized = false;
    bool controller_initialized = false;
    bool connected = false;
    // Whether getState → setComponentState went through at creation.
    bool state_transferred = false;
    bool active = false;
    double sample_rate = 0.0;
};

// createInstance of both classes, queryInterface for the processor, initialize with
// `host`, connection of the two connection points and getState → setComponentState
// (a failure of that last step is recorded in state_transferred, not fatal).
bool plugin_instance_create(const plugin_module& m, host_application* host, plugin_instance* inst,
                            std::string* error);
// setActive(false) if active, disconnect, terminate and release of everything held.
void plugin_instance_destroy(plugin_instance* inst);

// The component's chunk (getState).
bool plugin_instance_save_state(plugin_instance* inst, std::vector<uint8_t>* chunk);
// setState on the component and setComponentState on the controller with one chunk.
bool plugin_instance_load_state(plugin_instance* inst, const std::vector<uint8_t>& chunk, std::string* error);

// Mono arrangement, setupProcessing (offline, 32-bit), activation of both buses,
// setActive(true), setProcessing(true).
bool plugin_instance_activate(plugin_instance* inst, double sample_rate, int32_t max_block, std::string* error);
void plugin_instance_deactivate(plugin_instance* inst);

// One process call over a mono block; `in` and `out` may be the same buffer; either may
// be null to pass a bus without channels. `changes` may be null.
vst3::tresult plugin_instance_process(plugin_instance* inst, float* in, float* out, int32_t samples,
                                      vst3::IParameterChanges* changes);

// A parameter by title, ignoring case ("drive" finds "Drive").
bool plugin_find_parameter(plugin_instance* inst, const std::string& title, vst3::ParameterInfo* info);

// UTF-16 text of the plug-in's records as UTF-8 (ASCII is all the plug-in uses).
std::string utf16_to_string(const vst3::char16* text, size_t max_units);
