#include "edit_handler.h"

#include <cstdio>
#include <string>

#include "plugin_loader.h"

using namespace vst3;

static edit_handler* from_iface(IComponentHandler* self) { return reinterpret_cast<edit_handler*>(self); }

static std::string title_of(edit_handler* handler, ParamID id)
{
    IEditController* ec = handler->controller;
    int32 count = ec->vtbl->getParameterCount(ec);
    for (int32 i = 0; i < count; i++) {
        ParameterInfo info{};
        if (ec->vtbl->getParameterInfo(ec, i, &info) == kResultOk && info.id == id)
            return utf16_to_string(info.title, 128);
    }
    return "#" + std::to_string(id);
}

// One line per call on standard output, flushed at once: people watch it and tests
// read it through a pipe.
static void say(edit_handler* handler, const char* call, ParamID id, const char* value)
{
    if (handler->quiet)
        return;
    std::printf("%s %s%s\n", call, title_of(handler, id).c_str(), value);
    std::fflush(stdout);
}

static tresult begin_edit(IComponentHandler* self, ParamID id)
{
    say(from_iface(self), "beginEdit", id, "");
    return kResultOk;
}

// A value the host takes in, from an edit or its own automation: printed, held for the
// component's next process call and given to the controller, which shows it in the
// open editors.
static void take_value(edit_handler* handler, const char* call, ParamID id, ParamValue normalized)
{
    char value[48];
    std::snprintf(value, sizeof value, " %.6g", normalized);
    say(handler, call, id, value);
    handler->pending[id] = normalized;
    IEditController* ec = handler->controller;
    ec->vtbl->setParamNormalized(ec, id, normalized);
}

static tresult perform_edit(IComponentHandler* self, ParamID id, ParamValue normalized)
{
    take_value(from_iface(self), "performEdit", id, normalized);
    return kResultOk;
}

static tresult end_edit(IComponentHandler* self, ParamID id)
{
    say(from_iface(self), "endEdit", id, "");
    return kResultOk;
}

static tresult restart_component(IComponentHandler*, int32) { return kNotImplemented; }

static const IComponentHandlerVtbl handler_vtbl = {
    .queryInterface = [](IComponentHandler* self, const TUID iid, void** obj) -> tresult {
        if (obj == nullptr)
            return kInvalidArgument;
        if (iid != nullptr && (iid_equal(iid, FUnknown_iid) || iid_equal(iid, IComponentHandler_iid))) {
            ++from_iface(self)->ref_count;
            *obj = self;
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    },
    .addRef = [](IComponentHandler* self) -> uint32 { return (uint32) ++from_iface(self)->ref_count; },
    .release = [](IComponentHandler* self) -> uint32 { return (uint32) --from_iface(self)->ref_count; },
    .beginEdit = begin_edit,
    .performEdit = perform_edit,
    .endEdit = end_edit,
    .restartComponent = restart_component,
};

void edit_handler_init(edit_handler* handler, IEditController* controller, bool quiet)
{
    handler->iface.vtbl = &handler_vtbl;
    handler->ref_count = 1;
    handler->controller = controller;
    handler->quiet = quiet;
    handler->pending.clear();
}

void edit_handler_automate(edit_handler* handler, ParamID id, ParamValue normalized)
{
    take_value(handler, "automation", id, normalized);
}

void edit_handler_take_pending(edit_handler* handler, param_changes* changes)
{
    param_changes_clear(changes);
    for (const auto& [id, value] : handler->pending)
        param_changes_add(changes, id, 0, value);
    handler->pending.clear();
}
