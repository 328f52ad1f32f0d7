// The edit controller: the object the host uses to list, convert and automate the six
// parameters and to open editors. It keeps its own plain values and the list of open
// views, so that every value change reaches every open editor.
#pragma once

#include <cstdint>

#include "vst3/vst3_interfaces.h"

struct plug_view;

struct edit_controller {
    // Interface pointers first, in this order; each interface's functions find the
    // record from their own pointer's fixed position.
    vst3::IEditController controller_iface;
    vst3::IMidiMapping midi_mapping_iface;
    vst3::IConnectionPoint connection_iface;
    int32_t ref_count;
    // Set by initialize, cleared by terminate; not reference-counted.
    vst3::FUnknown* host_context;
    // Plain value of each parameter, in parameter-index order.
    double controller_values[6];
    // The host's handler; the controller holds one reference to it.
    vst3::IComponentHandler* component_handler;
    // Slots of open views; a null slot is free. The slot count never shrinks.
    plug_view** view_list;
    uint64_t view_count;
};

// The factory's createInstance for the controller class: iid must be FUnknown,
// IPluginBase or IEditController (else kNoInterface, obj untouched); kOutOfMemory when
// the allocation fails; otherwise stores the IEditController pointer with one reference.
vst3::tresult controller_create(const vst3::TUID iid, void** obj);

// The record behind an IEditController pointer handed out by this controller.
inline edit_controller* controller_from_iface(vst3::IEditController* iface) {
    return reinterpret_cast<edit_controller*>(iface);
}
