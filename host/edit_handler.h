// The edit command's IComponentHandler: the editor's gestures and values as a DAW
// receives them. Each edit is printed, held for the next process call, and echoed to
// the controller with setParamNormalized, as hosts do when they record automation.
#pragma once

#include <cstdint>
#include <map>

#include "host_objects.h"
#include "vst3/vst3_interfaces.h"

struct edit_handler {
    vst3::IComponentHandler iface;
    int32_t ref_count;
    vst3::IEditController* controller;
    bool quiet;
    // The latest value of each parameter edited since the last process call.
    std::map<vst3::ParamID, double> pending;
};

void edit_handler_init(edit_handler* handler, vst3::IEditController* controller, bool quiet);

// Plays a change of the host's own automation: printed as "automation NAME NORMALIZED",
// sent to the controller with setParamNormalized and held for the next process call.
// It is no edit: nothing is reported as beginEdit/performEdit.
void edit_handler_automate(edit_handler* handler, vst3::ParamID id, double normalized);

// Moves the pending values into `changes`, one point at offset 0 per parameter.
void edit_handler_take_pending(edit_handler* handler, param_changes* changes);
