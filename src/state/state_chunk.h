// The three VST 3 state methods: the component saves and loads its chunk, the
// controller reads the component's chunk. The objects' function tables call these.
#pragma once

#include "vst3/vst3_interfaces.h"

struct component;
struct edit_controller;

// IComponent::getState: writes one chunk at the stream's current position.
vst3::tresult component_get_state(component* c, vst3::IBStream* stream);
// IComponent::setState: loads the six values and stages them for the audio thread.
vst3::tresult component_set_state(component* c, vst3::IBStream* stream);
// IEditController::setComponentState: loads the six values into the controller and
// shows them in every open editor.
vst3::tresult controller_set_component_state(edit_controller* ctl, vst3::IBStream* stream);

// A stored value as the parameter takes it: widened, Bypass rounded to 0 or 1, clamped
// to the plain range. The stored value is never a NaN (the loader refuses those).
double state_value_to_plain(int index, float value);
