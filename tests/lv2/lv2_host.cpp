#include "lv2_host.h"

#include <dlfcn.h>
#include <lv2/urid/urid.h>

#include <cstring>

bool lv2_library_open(lv2_library* lib, const std::string& bundle_dir, std::string* error)
{
    const std::string path = bundle_dir + "/vellum_grist_saturator.so";
    lib->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib->handle) {
        *error = dlerror();
        return false;
    }
    auto entry = (LV2_Descriptor_Function)dlsym(lib->handle, "lv2_descriptor");
    lib->descriptor = entry ? entry(0) : nullptr;
    if (!lib->descriptor) {
        *error = "no lv2_descriptor, or no descriptor 0";
        lv2_library_close(lib);
        return false;
    }
    return true;
}

void lv2_library_close(lv2_library* lib)
{
    if (lib->handle)
        dlclose(lib->handle);
    *lib = lv2_library{};
}

uint32_t urid_of(urid_table* table, const char* uri)
{
    auto [it, added] = table->ids.emplace(uri, (uint32_t)table->ids.size() + 1);
    return it->second;
}

static LV2_URID map_uri(LV2_URID_Map_Handle handle, const char* uri)
{
    return urid_of(static_cast<urid_table*>(handle), uri);
}

// The port defaults of the Turtle description, in port order.
static constexpr float port_defaults[6] = {50, 50, 50, 100, 100, 0};

lv2_instance::lv2_instance(const lv2_library& lib, double rate, bool with_map) : descriptor_(lib.descriptor)
{
    LV2_URID_Map map = {&urids_, map_uri};
    const LV2_Feature map_feature = {LV2_URID__map, &map};
    const LV2_Feature* with[] = {&map_feature, nullptr};
    const LV2_Feature* without[] = {nullptr};
    handle_ = descriptor_->instantiate(descriptor_, rate, "/nowhere/", with_map ? with : without);
    if (!handle_)
        return;
    for (uint32_t i = 0; i < 6; i++) {
        controls_[i] = port_defaults[i];
        descriptor_->connect_port(handle_, i, &controls_[i]);
    }
    descriptor_->activate(handle_);
}

lv2_instance::~lv2_instance()
{
    if (!handle_)
        return;
    descriptor_->deactivate(handle_);
    descriptor_->cleanup(handle_);
}

void lv2_instance::run(const float* in, float* out, uint32_t count)
{
    descriptor_->connect_port(handle_, 6, const_cast<float*>(in));
    descriptor_->connect_port(handle_, 7, out);
    descriptor_->run(handle_, count);
}

void lv2_instance::reactivate()
{
    descriptor_->deactivate(handle_);
    descriptor_->activate(handle_);
}

static const LV2_State_Interface* state_of(const LV2_Descriptor* d)
{
    return static_cast<const LV2_State_Interface*>(d->extension_data(LV2_STATE__interface));
}

static LV2_State_Status store(LV2_State_Handle handle, uint32_t key, const void* value, size_t size, uint32_t type,
                              uint32_t flags)
{
    auto* properties = static_cast<std::vector<saved_property>*>(handle);
    const auto* bytes = static_cast<const uint8_t*>(value);
    properties->push_back({key, type, flags, std::vector<uint8_t>(bytes, bytes + size)});
    return LV2_STATE_SUCCESS;
}

static const void* retrieve(LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags)
{
    for (const saved_property& p : *static_cast<const std::vector<saved_property>*>(handle)) {
        if (p.key == key) {
            *size = p.value.size();
            *type = p.type;
            *flags = p.flags;
            return p.value.data();
        }
    }
    return nullptr;
}

LV2_State_Status lv2_instance::save(std::vector<saved_property>* properties)
{
    const LV2_State_Interface* state = state_of(descriptor_);
    if (!state)
        return LV2_STATE_ERR_UNKNOWN;
    return state->save(handle_, store, properties, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, nullptr);
}

LV2_State_Status lv2_instance::restore(const std::vector<saved_property>& properties)
{
    const LV2_State_Interface* state = state_of(descriptor_);
    if (!state)
        return LV2_STATE_ERR_UNKNOWN;
    return state->restore(handle_, retrieve, const_cast<std::vector<saved_property>*>(&properties), 0, nullptr);
}
