#include "host_objects.h"

#include <cstring>

using namespace vst3;

// The host's objects live in the host's own storage; counting references keeps the
// protocol honest, but reaching zero frees nothing.

// ---- host application ----

static tresult app_query(IHostApplication* self, const TUID iid, void** obj) {
    if (obj == nullptr) return kInvalidArgument;
    if (iid != nullptr && (iid_equal(iid, FUnknown_iid) || iid_equal(iid, IHostApplication_iid))) {
        ++reinterpret_cast<host_application*>(self)->ref_count;
        *obj = self;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}
static uint32 app_add_ref(IHostApplication* self) { return ++reinterpret_cast<host_application*>(self)->ref_count; }
static uint32 app_release(IHostApplication* self) { return --reinterpret_cast<host_application*>(self)->ref_count; }

static tresult app_get_name(IHostApplication*, String128 name) {
    if (name == nullptr) return kInvalidArgument;
    static constexpr char16_t host_name[] = u"vgs-host";
    std::memset(name, 0, sizeof(String128));
    std::memcpy(name, host_name, sizeof host_name);
    return kResultOk;
}

// The plug-in exchanges no messages, so the host makes no objects for it.
static tresult app_create_instance(IHostApplication*, TUID, TUID, void** obj) {
    if (obj != nullptr) *obj = nullptr;
    return kResultFalse;
}

static constexpr IHostApplicationVtbl app_vtbl{app_query, app_add_ref, app_release, app_get_name,
                                               app_create_instance};

void host_application_init(host_application* app) {
    app->iface.vtbl = &app_vtbl;
    app->ref_count = 1;
}

// ---- memory stream ----

static memory_stream* stream_of(IBStream* self) { return reinterpret_cast<memory_stream*>(self); }

static tresult stream_query(IBStream* self, const TUID iid, void** obj) {
    if (obj == nullptr) return kInvalidArgument;
    if (iid != nullptr && (iid_equal(iid, FUnknown_iid) || iid_equal(iid, IBStream_iid))) {
        ++stream_of(self)->ref_count;
        *obj = self;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}
static uint32 stream_add_ref(IBStream* self) { return ++stream_of(self)->ref_count; }
static uint32 stream_release(IBStream* self) { return --stream_of(self)->ref_count; }

static tresult stream_read(IBStream* self, void* buffer, int32 count, int32* done) {
    memory_stream* s = stream_of(self);
    if (count < 0 || (buffer == nullptr && count > 0)) return kInvalidArgument;
    int64_t left = (int64_t)s->bytes.size() - s->position;
    int32 n = left <= 0 ? 0 : (int32)(left < count ? left : count);
    if (n > 0) std::memcpy(buffer, s->bytes.data() + s->position, (size_t)n);
    s->position += n;
    if (done != nullptr) *done = n;
    return kResultOk;
}

static tresult stream_write(IBStream* self, void* buffer, int32 count, int32* done) {
    memory_stream* s = stream_of(self);
    if (count < 0 || (buffer == nullptr && count > 0)) return kInvalidArgument;
    size_t end = (size_t)s->position + (size_t)count;
    if (end > s->bytes.size()) s->bytes.resize(end);
    if (count > 0) std::memcpy(s->bytes.data() + s->position, buffer, (size_t)count);
    s->position += count;
    if (done != nullptr) *done = count;
    return kResultOk;
}

static tresult stream_seek(IBStream* self, int64 pos, int32 mode, int64* result) {
    memory_stream* s = stream_of(self);
    int64 base = mode == kIBSeekSet ? 0 : mode == kIBSeekCur ? s->position : mode == kIBSeekEnd ? (int64)s->bytes.size() : -1;
    if (base < 0 || base + pos < 0) return kInvalidArgument;
    s->position = base + pos;
    if (result != nullptr) *result = s->position;
    return kResultOk;
}

static tresult stream_tell(IBStream* self, int64* pos) {
    if (pos == nullptr) return kInvalidArgument;
    *pos = stream_of(self)->position;
    return kResultOk;
}

static constexpr IBStreamVtbl stream_vtbl{stream_query, stream_add_ref, stream_release, stream_read,
                                          stream_write, stream_seek,    stream_tell};

void memory_stream_init(memory_stream* s) {
    s->iface.vtbl = &stream_vtbl;
    s->ref_count = 1;
    s->bytes.clear();
    s->position = 0;
}

void memory_stream_rewind(memory_stream* s) { s->position = 0; }

// ---- parameter changes ----

static param_queue* queue_of(IParamValueQueue* self) { return reinterpret_cast<param_queue*>(self); }
static param_changes* changes_of(IParameterChanges* self) { return reinterpret_cast<param_changes*>(self); }

// Queues and change lists live inside the host's block; their counts are nominal.
template <typename Iface>
static tresult nominal_query(Iface* self, const TUID iid, void** obj, const TUID& own) {
    if (obj == nullptr) return kInvalidArgument;
    if (iid != nullptr && (iid_equal(iid, FUnknown_iid) || iid_equal(iid, own))) {
        *obj = self;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

static tresult queue_query(IParamValueQueue* self, const TUID iid, void** obj) {
    return nominal_query(self, iid, obj, IParamValueQueue_iid);
}
static uint32 queue_add_ref(IParamValueQueue*) { return 1; }
static uint32 queue_release(IParamValueQueue*) { return 1; }
static ParamID queue_id(IParamValueQueue* self) { return queue_of(self)->id; }
static int32 queue_point_count(IParamValueQueue* self) { return queue_of(self)->point_count; }

static tresult queue_get_point(IParamValueQueue* self, int32 index, int32* offset, ParamValue* value) {
    param_queue* q = queue_of(self);
    if (index < 0 || index >= q->point_count || offset == nullptr || value == nullptr) return kInvalidArgument;
    *offset = q->offsets[index];
    *value = q->values[index];
    return kResultOk;
}

static tresult queue_add_point(IParamValueQueue* self, int32 offset, ParamValue value, int32* index) {
    param_queue* q = queue_of(self);
    if (q->point_count >= host_max_points) return kResultFalse;
    q->offsets[q->point_count] = offset;
    q->values[q->point_count] = value;
    if (index != nullptr) *index = q->point_count;
    ++q->point_count;
    return kResultOk;
}

static constexpr IParamValueQueueVtbl queue_vtbl{queue_query,       queue_add_ref,   queue_release,
                                                 queue_id,          queue_point_count, queue_get_point,
                                                 queue_add_point};

static tresult changes_query(IParameterChanges* self, const TUID iid, void** obj) {
    return nominal_query(self, iid, obj, IParameterChanges_iid);
}
static uint32 changes_add_ref(IParameterChanges*) { return 1; }
static uint32 changes_release(IParameterChanges*) { return 1; }
static int32 changes_count(IParameterChanges* self) { return changes_of(self)->queue_count; }

static IParamValueQueue* changes_get(IParameterChanges* self, int32 index) {
    param_changes* pc = changes_of(self);
    if (index < 0 || index >= pc->queue_count) return nullptr;
    return &pc->queues[index].iface;
}

static IParamValueQueue* changes_add(IParameterChanges* self, const ParamID* id, int32* index) {
    param_changes* pc = changes_of(self);
    if (id == nullptr) return nullptr;
    for (int32 i = 0; i < pc->queue_count; ++i) {
        if (pc->queues[i].id == *id) {
            if (index != nullptr) *index = i;
            return &pc->queues[i].iface;
        }
    }
    if (pc->queue_count >= host_max_queues) return nullptr;
    param_queue* q = &pc->queues[pc->queue_count];
    q->iface.vtbl = &queue_vtbl;
    q->id = *id;
    q->point_count = 0;
    if (index != nullptr) *index = pc->queue_count;
    ++pc->queue_count;
    return &q->iface;
}

static constexpr IParameterChangesVtbl changes_vtbl{changes_query, changes_add_ref, changes_release,
                                                    changes_count, changes_get,     changes_add};

void param_changes_init(param_changes* pc) {
    pc->iface.vtbl = &changes_vtbl;
    pc->queue_count = 0;
}

void param_changes_clear(param_changes* pc) { pc->queue_count = 0; }

bool param_changes_add(param_changes* pc, ParamID id, int32_t offset, double normalized) {
    IParamValueQueue* q = changes_add(&pc->iface, &id, nullptr);
    return q != nullptr && queue_add_point(q, offset, normalized, nullptr) == kResultOk;
}

// ---- edit recorder ----

static edit_recorder* recorder_of(IComponentHandler* self) { return reinterpret_cast<edit_recorder*>(self); }

static tresult recorder_query(IComponentHandler* self, const TUID iid, void** obj) {
    tresult r = nominal_query(self, iid, obj, IComponentHandler_iid);
    if (r == kResultOk) ++recorder_of(self)->ref_count;
    return r;
}
static uint32 recorder_add_ref(IComponentHandler* self) { return ++recorder_of(self)->ref_count; }
static uint32 recorder_release(IComponentHandler* self) { return --recorder_of(self)->ref_count; }
static tresult recorder_begin(IComponentHandler* self, ParamID) {
    ++recorder_of(self)->begin_count;
    return kResultOk;
}
static tresult recorder_perform(IComponentHandler* self, ParamID id, ParamValue value) {
    recorder_of(self)->edits.push_back({id, value});
    return kResultOk;
}
static tresult recorder_end(IComponentHandler* self, ParamID) {
    ++recorder_of(self)->end_count;
    return kResultOk;
}
static tresult recorder_restart(IComponentHandler*, int32) { return kResultOk; }

static constexpr IComponentHandlerVtbl recorder_vtbl{recorder_query, recorder_add_ref, recorder_release,
                                                     recorder_begin, recorder_perform, recorder_end,
                                                     recorder_restart};

void edit_recorder_init(edit_recorder* r) {
    r->iface.vtbl = &recorder_vtbl;
    r->ref_count = 1;
    r->begin_count = 0;
    r->end_count = 0;
    r->edits.clear();
}
