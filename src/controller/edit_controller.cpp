// The edit controller object: reference counting, parameter queries and conversions,
// the host's component handler, and the fan-out of value changes to open editors.
#include "controller/edit_controller.h"

#include <cstddef>
#include <cstdlib>

#include "controller/param_table.h"
#include "editor/editor_link.h"
#include "editor/plug_view.h"
#include "state/state_chunk.h"

using namespace vst3;

static void set_defaults(edit_controller* ec) {
    for (int i = 0; i < param_count; ++i) ec->controller_values[i] = param_range_table[i].default_plain;
}

// ---- one shared queryInterface / addRef / release for all three interfaces ----

static tresult controller_query(edit_controller* ec, const TUID iid, void** obj) {
    if (obj == nullptr) return kInvalidArgument;
    void* iface = nullptr;
    if (iid != nullptr) {
        if (iid_equal(iid, FUnknown_iid) || iid_equal(iid, IPluginBase_iid) ||
            iid_equal(iid, IEditController_iid))
            iface = &ec->controller_iface;
        else if (iid_equal(iid, IMidiMapping_iid))
            iface = &ec->midi_mapping_iface;
        else if (iid_equal(iid, IConnectionPoint_iid))
            iface = &ec->connection_iface;
    }
    *obj = iface;
    if (iface == nullptr) return kNoInterface;
    ++ec->ref_count;
    return kResultOk;
}

static uint32 controller_add_ref(edit_controller* ec) { return (uint32)++ec->ref_count; }

static void controller_destroy(edit_controller* ec) {
    // Views the host still holds end their editors and forget this controller, so a view
    // that lives on never touches the freed list. Their references are the host's: the
    // host releases them when it is done.
    for (uint64_t i = 0; i < ec->view_count; ++i) {
        plug_view* view = ec->view_list[i];
        ec->view_list[i] = nullptr;
        if (view != nullptr) plug_view_forget_controller(view);
    }
    // Nobody could give the handler's reference back after this, so it goes now.
    if (ec->component_handler != nullptr) ec->component_handler->vtbl->release(ec->component_handler);
    std::free(ec->view_list);
    std::free(ec);
}

static uint32 controller_release(edit_controller* ec) {
    int32 count = --ec->ref_count;
    if (count == 0) controller_destroy(ec);
    return (uint32)count;
}

template <typename Iface, std::size_t offset>
struct iface_of {
    static edit_controller* self(Iface* p) {
        return reinterpret_cast<edit_controller*>(reinterpret_cast<char*>(p) - offset);
    }
    static tresult query(Iface* p, const TUID iid, void** obj) { return controller_query(self(p), iid, obj); }
    static uint32 add_ref(Iface* p) { return controller_add_ref(self(p)); }
    static uint32 release(Iface* p) { return controller_release(self(p)); }
};

using as_controller = iface_of<IEditController, offsetof(edit_controller, controller_iface)>;
using as_midi = iface_of<IMidiMapping, offsetof(edit_controller, midi_mapping_iface)>;
using as_connection = iface_of<IConnectionPoint, offsetof(edit_controller, connection_iface)>;

// ---- IPluginBase ----

static tresult initialize(IEditController* self, FUnknown* context) {
    edit_controller* ec = as_controller::self(self);
    if (ec->host_context != nullptr) return kResultFalse;
    ec->host_context = context;
    set_defaults(ec);
    return kResultOk;
}

static tresult terminate(IEditController* self) {
    as_controller::self(self)->host_context = nullptr;
    return kResultOk;
}

// ---- IEditController ----

static tresult set_component_state(IEditController* self, IBStream* stream) {
    return controller_set_component_state(as_controller::self(self), stream);
}

// Everything lives in the component's chunk; the controller has no state of its own.
static tresult set_state(IEditController*, IBStream*) { return kNotImplemented; }
static tresult get_state(IEditController*, IBStream*) { return kNotImplemented; }

static int32 get_parameter_count(IEditController*) { return param_count; }

static tresult get_parameter_info(IEditController*, int32 index, ParameterInfo* info) {
    if ((uint32)index >= (uint32)param_count) return kResultFalse;
    if (info == nullptr) return kInvalidArgument;
    *info = param_info_table[index];
    return kResultOk;
}

static tresult get_param_string_by_value(IEditController*, ParamID id, ParamValue normalized, TChar* string) {
    const int index = param_index_of(id);
    if (index < 0) return kResultFalse;
    if (string == nullptr) return kInvalidArgument;
    return param_format(index, normalized, string) == 0 ? kResultOk : kResultFalse;
}

static tresult get_param_value_by_string(IEditController*, ParamID id, TChar* string, ParamValue* normalized) {
    const int index = param_index_of(id);
    if (index < 0) return kResultFalse;
    if (string == nullptr || normalized == nullptr) return kInvalidArgument;
    return param_parse(index, string, normalized) == 0 ? kResultOk : kResultFalse;
}

// An id that is not a parameter has no range; such queries answer 0.
static ParamValue normalized_param_to_plain(IEditController*, ParamID id, ParamValue normalized) {
    const int index = param_index_of(id);
    return index < 0 ? 0.0 : param_to_plain(index, normalized);
}

static ParamValue plain_param_to_normalized(IEditController*, ParamID id, ParamValue plain) {
    const int index = param_index_of(id);
    return index < 0 ? 0.0 : param_to_normalized(index, plain);
}

static ParamValue get_param_normalized(IEditController* self, ParamID id) {
    const int index = param_index_of(id);
    return index < 0 ? 0.0 : param_to_normalized(index, as_controller::self(self)->controller_values[index]);
}

static tresult set_param_normalized(IEditController* self, ParamID id, ParamValue value) {
    edit_controller* ec = as_controller::self(self);
    const int index = param_index_of(id);
    if (index < 0) return kResultFalse;
    // A NaN has no place in the range; keep the last good value.
    if (value != value) return kResultFalse;
    ec->controller_values[index] = param_apply_normalized(index, value);
    // Every running editor shows the new value.
    const float plain = (float)ec->controller_values[index];
    for (uint64_t i = 0; i < ec->view_count; ++i) {
        plug_view* view = ec->view_list[i];
        editor_link* link = view != nullptr ? plug_view_link(view) : nullptr;
        if (link != nullptr) editor_link_send_param(link, (uint32_t)index, plain);
    }
    return kResultOk;
}

static tresult set_component_handler(IEditController* self, IComponentHandler* handler) {
    edit_controller* ec = as_controller::self(self);
    if (handler == ec->component_handler) return kResultOk;
    if (ec->component_handler != nullptr) ec->component_handler->vtbl->release(ec->component_handler);
    ec->component_handler = handler;
    if (handler != nullptr) handler->vtbl->addRef(handler);
    return kResultOk;
}

static IPlugView* create_view(IEditController* self, FIDString name) {
    if (name == nullptr) return nullptr;
    return plug_view_create(as_controller::self(self), name);
}

static constexpr IEditControllerVtbl controller_vtbl{
    as_controller::query,
    as_controller::add_ref,
    as_controller::release,
    initialize,
    terminate,
    set_component_state,
    set_state,
    get_state,
    get_parameter_count,
    get_parameter_info,
    get_param_string_by_value,
    get_param_value_by_string,
    normalized_param_to_plain,
    plain_param_to_normalized,
    get_param_normalized,
    set_param_normalized,
    set_component_handler,
    create_view,
};

// ---- IMidiMapping: no controller is mapped to a parameter ----

static tresult get_midi_controller_assignment(IMidiMapping*, int32, int16, CtrlNumber, ParamID*) {
    return kInvalidArgument;
}

static constexpr IMidiMappingVtbl midi_vtbl{
    as_midi::query, as_midi::add_ref, as_midi::release, get_midi_controller_assignment,
};

// ---- IConnectionPoint: present so hosts can connect; no messages are exchanged ----

static tresult connect(IConnectionPoint*, IConnectionPoint* other) {
    return other == nullptr ? kInvalidArgument : kResultOk;
}
static tresult disconnect(IConnectionPoint*, IConnectionPoint*) { return kResultOk; }
static tresult notify(IConnectionPoint*, IMessage*) { return kResultOk; }

static constexpr IConnectionPointVtbl connection_vtbl{
    as_connection::query, as_connection::add_ref, as_connection::release, connect, disconnect, notify,
};

// ---- creation ----

tresult controller_create(const TUID iid, void** obj) {
    if (iid == nullptr || !(iid_equal(iid, FUnknown_iid) || iid_equal(iid, IPluginBase_iid) ||
                            iid_equal(iid, IEditController_iid)))
        return kNoInterface;
    if (obj == nullptr) return kInvalidArgument;
    edit_controller* ec = static_cast<edit_controller*>(std::calloc(1, sizeof(edit_controller)));
    if (ec == nullptr) return kOutOfMemory;
    ec->controller_iface.vtbl = &controller_vtbl;
    ec->midi_mapping_iface.vtbl = &midi_vtbl;
    ec->connection_iface.vtbl = &connection_vtbl;
    ec->ref_count = 1;
    // Queries before initialize already see the defaults.
    set_defaults(ec);
    *obj = &ec->controller_iface;
    return kResultOk;
}
