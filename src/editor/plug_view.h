// The editor view the controller hands to the host: an IPlugView for X11 embedding
// only. Attaching it starts an editor link; a 20 ms run-loop timer drives the link
// and keeps the container as large as the host's window.
#pragma once

#include <cstdint>

#include "vst3/vst3_interfaces.h"

struct edit_controller;
struct editor_link;
struct plug_view;

// createView's work: for the name "editor", a new view with one reference, entered
// in the controller's view_list (first free slot, else the list grows by one).
// Null for any other name or when memory runs out.
vst3::IPlugView* plug_view_create(edit_controller* controller, const char* name);

// The view behind an IPlugView pointer made by plug_view_create.
inline plug_view* plug_view_from_iface(vst3::IPlugView* iface)
{
    return reinterpret_cast<plug_view*>(iface);
}

// The view's running editor, or null when the view is not attached. Value changes
// go to it with editor_link_send_param.
editor_link* plug_view_link(const plug_view* view);

// For the controller's last release: the view's editor ends and the view forgets its
// controller. The references are the host's, so the view stays valid until the host
// releases it: removed() and release() still work, and nothing it does reaches the
// controller any more.
void plug_view_forget_controller(plug_view* view);
