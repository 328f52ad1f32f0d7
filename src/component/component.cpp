// The component object: reference counting, initialization, buses, arrangements and
// processing set-up. process itself lives in process_driver.cpp.
#include "component/component.h"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "controller/param_table.h"
#include "module/factory.h"
#include "state/state_chunk.h"

using namespace vst3;

// ---- one shared queryInterface / addRef / release for all four interfaces ----

static tresult component_query(component* c, const TUID iid, void** obj) {
    if (obj == nullptr) return kInvalidArgument;
    void* iface = nullptr;
    if (iid != nullptr) {
        if (iid_equal(iid, FUnknown_iid) || iid_equal(iid, IPluginBase_iid) || iid_equal(iid, IComponent_iid))
            iface = &c->component_iface;
        else if (iid_equal(iid, IAudioProcessor_iid))
            iface = &c->processor_iface;
        else if (iid_equal(iid, IProcessContextRequirements_iid))
            iface = &c->context_requirements_iface;
        else if (iid_equal(iid, IConnectionPoint_iid))
            iface = &c->connection_iface;
    }
    *obj = iface;
    if (iface == nullptr) return kNoInterface;
    ++c->ref_count;
    return kResultOk;
}

static uint32 component_add_ref(component* c) { return (uint32)++c->ref_count; }

static uint32 component_release(component* c) {
    int32 count = --c->ref_count;
    if (count == 0) std::free(c);
    return (uint32)count;
}

// Each interface finds the record from its pointer's fixed position in it.
template <typename Iface, std::size_t offset>
struct iface_of {
    static component* self(Iface* p) { return reinterpret_cast<component*>(reinterpret_cast<char*>(p) - offset); }
    static tresult query(Iface* p, const TUID iid, void** obj) { return component_query(self(p), iid, obj); }
    static uint32 add_ref(Iface* p) { return component_add_ref(self(p)); }
    static uint32 release(Iface* p) { return component_release(self(p)); }
};

using as_component = iface_of<IComponent, offsetof(component, component_iface)>;
using as_processor = iface_of<IAudioProcessor, offsetof(component, processor_iface)>;
using as_requirements =
    iface_of<IProcessContextRequirements, offsetof(component, context_requirements_iface)>;
using as_connection = iface_of<IConnectionPoint, offsetof(component, connection_iface)>;

// ---- IComponent / IPluginBase ----

static tresult initialize(IComponent* self, FUnknown* context) {
    component* c = as_component::self(self);
    if (c->host_context != nullptr) return kResultFalse;
    c->host_context = context;
    component_audio_init(c);
    c->processing_enabled = 0;
    c->input_active = 0;
    c->output_active = 0;
    return kResultOk;
}

static tresult terminate(IComponent* self) {
    as_component::self(self)->host_context = nullptr;
    return kResultOk;
}

static tresult get_controller_class_id(IComponent*, TUID class_id) {
    if (class_id == nullptr) return kResultFalse;
    std::memcpy(class_id, controller_class_id, sizeof(TUID));
    return kResultOk;
}

static tresult set_io_mode(IComponent*, IoMode) { return kNotImplemented; }

static int32 get_bus_count(IComponent*, MediaType type, BusDirection dir) {
    return type == kAudio && (dir == kInput || dir == kOutput) ? 1 : 0;
}

static constexpr BusInfo input_bus{kAudio, kInput, 1, u"Input", kMain, kDefaultActive};
static constexpr BusInfo output_bus{kAudio, kOutput, 1, u"Output", kMain, kDefaultActive};

static tresult get_bus_info(IComponent*, MediaType type, BusDirection dir, int32 index, BusInfo* bus) {
    if (type != kAudio || index != 0 || (dir != kInput && dir != kOutput) || bus == nullptr)
        return kInvalidArgument;
    *bus = dir == kInput ? input_bus : output_bus;
    return kResultOk;
}

static tresult get_routing_info(IComponent*, RoutingInfo*, RoutingInfo*) { return kNotImplemented; }

static tresult activate_bus(IComponent* self, MediaType type, BusDirection dir, int32 index, TBool state) {
    component* c = as_component::self(self);
    if (type != kAudio || index != 0) return kInvalidArgument;
    if (dir == kInput)
        c->input_active = state ? 1 : 0;
    else if (dir == kOutput)
        c->output_active = state ? 1 : 0;
    else
        return kInvalidArgument;
    return kResultOk;
}

static tresult set_active(IComponent* self, TBool state) {
    component* c = as_component::self(self);
    if (!state) return kResultOk;
    // Without a usable rate from setupProcessing the coefficients cannot be computed.
    // The activation is refused and nothing changes: a component never activated stays
    // silent, one activated before keeps that activation's rate and buses.
    if (!(c->sample_rate > 0.0f) || !std::isfinite(c->sample_rate)) return kResultFalse;
    c->processing_enabled = c->input_active && c->output_active;
    dsp_activate(&c->dsp, c->sample_rate);
    return kResultOk;
}

static tresult set_state(IComponent* self, IBStream* stream) {
    return component_set_state(as_component::self(self), stream);
}
static tresult get_state(IComponent* self, IBStream* stream) {
    return component_get_state(as_component::self(self), stream);
}

static constexpr IComponentVtbl component_vtbl{
    as_component::query, as_component::add_ref, as_component::release,
    initialize,          terminate,             get_controller_class_id,
    set_io_mode,         get_bus_count,         get_bus_info,
    get_routing_info,    activate_bus,          set_active,
    set_state,           get_state,
};

// ---- IAudioProcessor ----

static tresult set_bus_arrangements(IAudioProcessor*, SpeakerArrangement* inputs, int32 num_ins,
                                    SpeakerArrangement* outputs, int32 num_outs) {
    if (num_ins < 0 || num_outs < 0) return kInvalidArgument;
    if (num_ins != 1 || num_outs != 1 || inputs == nullptr || outputs == nullptr) return kResultFalse;
    return inputs[0] == kSpeakerM && outputs[0] == kSpeakerM ? kResultOk : kResultFalse;
}

static tresult get_bus_arrangement(IAudioProcessor*, BusDirection dir, int32 index, SpeakerArrangement* arr) {
    if ((dir != kInput && dir != kOutput) || index != 0 || arr == nullptr) return kInvalidArgument;
    *arr = kSpeakerM;
    return kResultOk;
}

static tresult can_process_sample_size(IAudioProcessor*, int32 size) {
    return size == kSample32 ? kResultOk : kNotImplemented;
}

static uint32 get_latency_samples(IAudioProcessor*) { return 0; }

// A double beyond the float range becomes an infinity of its sign (a plain conversion
// of such a value is undefined); a NaN stays a NaN.
static float rate_to_float(double rate) {
    if (rate > (double)FLT_MAX) return INFINITY;
    if (rate < -(double)FLT_MAX) return -INFINITY;
    return (float)rate;
}

static tresult setup_processing(IAudioProcessor* self, ProcessSetup* setup) {
    if (setup == nullptr) return kInvalidArgument;
    // Any rate is stored as given; setActive(true) refuses one it cannot design for.
    as_processor::self(self)->sample_rate = rate_to_float(setup->sampleRate);
    return kResultOk;
}

static tresult set_processing(IAudioProcessor*, TBool) { return kNotImplemented; }

static tresult process(IAudioProcessor* self, ProcessData* data) {
    return component_process(as_processor::self(self), data);
}

static uint32 get_tail_samples(IAudioProcessor*) { return kNoTail; }

static constexpr IAudioProcessorVtbl processor_vtbl{
    as_processor::query,     as_processor::add_ref, as_processor::release,
    set_bus_arrangements,    get_bus_arrangement,   can_process_sample_size,
    get_latency_samples,     setup_processing,      set_processing,
    process,                 get_tail_samples,
};

// ---- IProcessContextRequirements ----

static uint32 get_process_context_requirements(IProcessContextRequirements*) { return 0; }

static constexpr IProcessContextRequirementsVtbl requirements_vtbl{
    as_requirements::query, as_requirements::add_ref, as_requirements::release,
    get_process_context_requirements,
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

tresult component_create(const TUID iid, void** obj) {
    if (iid == nullptr || !(iid_equal(iid, FUnknown_iid) || iid_equal(iid, IPluginBase_iid) ||
                            iid_equal(iid, IComponent_iid)))
        return kNoInterface;
    if (obj == nullptr) return kInvalidArgument;
    // Zeroed, so a host that processes before initialize meets a silent, inactive
    // component rather than undefined fields.
    component* c = static_cast<component*>(std::calloc(1, sizeof(component)));
    if (c == nullptr) return kOutOfMemory;
    c->component_iface.vtbl = &component_vtbl;
    c->processor_iface.vtbl = &processor_vtbl;
    c->context_requirements_iface.vtbl = &requirements_vtbl;
    c->connection_iface.vtbl = &connection_vtbl;
    c->ref_count = 1;
    c->host_context = nullptr;
    *obj = &c->component_iface;
    return kResultOk;
}
