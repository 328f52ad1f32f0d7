// A small LV2 host for the tests: the built plug-in library opened with dlopen as any
// LV2 host opens it, a URID map, one instance with its ports, and the state extension
// driven through store and retrieve callbacks.
#pragma once

#include <lv2/core/lv2.h>
#include <lv2/state/state.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct lv2_library {
    void* handle = nullptr;
    const LV2_Descriptor* descriptor = nullptr;
};

// Opens BUNDLE/vellum_grist_saturator.so and takes descriptor 0; false with `error` set.
bool lv2_library_open(lv2_library* lib, const std::string& bundle_dir, std::string* error);
void lv2_library_close(lv2_library* lib);

// URIs to URIDs, 1 upwards, as a host's map hands them out.
struct urid_table {
    std::map<std::string, uint32_t> ids;
};
uint32_t urid_of(urid_table* table, const char* uri);

// One saved property, as a host keeps it between save and restore.
struct saved_property {
    uint32_t key = 0;
    uint32_t type = 0;
    uint32_t flags = 0;
    std::vector<uint8_t> value;
};

class lv2_instance {
public:
    // Instantiates at `rate` (with the URID map unless `with_map` is false), connects the
    // six control ports to values at their defaults and activates.
    lv2_instance(const lv2_library& lib, double rate, bool with_map = true);
    ~lv2_instance();
    bool ok() const { return handle_ != nullptr; }

    // Control port `index` (0..5) as the next run() reads it.
    void set_control(uint32_t index, float value) { controls_[index] = value; }
    // One run() over `count` samples; `in` and `out` may be the same buffer.
    void run(const float* in, float* out, uint32_t count);

    // deactivate, then activate: the signal path starts over at the values in force.
    void reactivate();

    LV2_State_Status save(std::vector<saved_property>* properties);
    LV2_State_Status restore(const std::vector<saved_property>& properties);
    uint32_t urid(const char* uri) { return urid_of(&urids_, uri); }

private:
    const LV2_Descriptor* descriptor_ = nullptr;
    LV2_Handle handle_ = nullptr;
    urid_table urids_;
    float controls_[6];
};
