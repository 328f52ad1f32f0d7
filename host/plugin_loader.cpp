#include "plugin_loader.h"

#include <dlfcn.h>

#include <cctype>
#include <cstring>

#include "dsp/arch.h"

using namespace vst3;

std::string utf16_to_string(const char16* text, size_t max_units) {
    std::string out;
    for (size_t i = 0; i < max_units && text[i] != 0; ++i) {
        char16 c = text[i];
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string bundle_library_path(const std::string& bundle_dir) {
    std::string dir = bundle_dir;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string name = dir.substr(dir.find_last_of('/') + 1);
    const std::string suffix = ".vst3";
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.resize(name.size() - suffix.size());
    return dir + "/Contents/" + std::string(arch_bundle_dir) + "/" + name + ".so";
}

static bool fail(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
}

bool plugin_module_open(plugin_module* m, const std::string& bundle_dir, std::string* error) {
    *m = plugin_module{};
    m->library_path = bundle_library_path(bundle_dir);
    m->handle = dlopen(m->library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m->handle == nullptr) {
        const char* why = dlerror();
        return fail(error, std::string("cannot load ") + m->library_path + ": " + (why ? why : "unknown"));
    }
    m->module_entry = reinterpret_cast<bool (*)(void*)>(dlsym(m->handle, "ModuleEntry"));
    m->module_exit = reinterpret_cast<bool (*)()>(dlsym(m->handle, "ModuleExit"));
    m->get_factory = reinterpret_cast<IPluginFactory* (*)()>(dlsym(m->handle, "GetPluginFactory"));
    if (m->module_entry == nullptr || m->module_exit == nullptr || m->get_factory == nullptr) {
        plugin_module_close(m);
        return fail(error, "the library does not export ModuleEntry, ModuleExit and GetPluginFactory");
    }
    if (!m->module_entry(m->handle)) {
        plugin_module_close(m);
        return fail(error, "ModuleEntry failed");
    }
    m->entered = true;
    m->factory = m->get_factory();
    if (m->factory == nullptr) {
        plugin_module_close(m);
        return fail(error, "GetPluginFactory returned no factory");
    }
    return true;
}

void plugin_module_close(plugin_module* m) {
    if (m->entered && m->module_exit != nullptr) m->module_exit();
    if (m->handle != nullptr) dlclose(m->handle);
    *m = plugin_module{};
}

bool plugin_find_class(IPluginFactory* factory, const char* category, PClassInfo* info) {
    const int32 count = factory->vtbl->countClasses(factory);
    for (int32 i = 0; i < count; ++i) {
        PClassInfo ci{};
        if (factory->vtbl->getClassInfo(factory, i, &ci) != kResultOk) continue;
        if (std::strncmp(ci.category, category, sizeof ci.category) == 0) {
            *info = ci;
            return true;
        }
    }
    return false;
}

template <typename T>
static void release_and_clear(T*& p) {
    if (p != nullptr) p->vtbl->release(p);
    p = nullptr;
}

// getState of the component into setComponentState of the controller, as a DAW does
// after creating the pair.
static bool transfer_state(plugin_instance* inst, std::string* error) {
    memory_stream stream;
    memory_stream_init(&stream);
    if (inst->component->vtbl->getState(inst->component, &stream.iface) != kResultOk)
        return fail(error, "getState failed");
    memory_stream_rewind(&stream);
    if (inst->controller->vtbl->setComponentState(inst->controller, &stream.iface) != kResultOk)
        return fail(error, "setComponentState failed");
    return true;
}

bool plugin_instance_create(const plugin_module& m, host_application* host, plugin_instance* inst,
                            std::string* error) {
    *inst = plugin_instance{};
    IPluginFactory* f = m.factory;
    PClassInfo component_info{};
    if (!plugin_find_class(f, kVstAudioEffectClass, &component_info))
        return fail(error, "the factory has no audio effect class");
    void* obj = nullptr;
    if (f->vtbl->createInstance(f, reinterpret_cast<FIDString>(component_info.cid), reinterpret_cast<FIDString>(IComponent_iid), &obj) != kResultOk || obj == nullptr)
        return fail(error, "createInstance of the component failed");
    inst->component = static_cast<IComponent*>(obj);

    obj = nullptr;
    if (inst->component->vtbl->queryInterface(inst->component, IAudioProcessor_iid, &obj) != kResultOk) {
        plugin_instance_destroy(inst);
        return fail(error, "the component has no IAudioProcessor");
    }
    inst->processor = static_cast<IAudioProcessor*>(obj);

    if (inst->component->vtbl->initialize(inst->component, reinterpret_cast<FUnknown*>(&host->iface)) != kResultOk) {
        plugin_instance_destroy(inst);
        return fail(error, "initialize of the component failed");
    }
    inst->component_initialized = true;

    // The controller class comes from the component, as it would for a DAW; the
    // category lookup is the fallback.
    TUID controller_cid{};
    if (inst->component->vtbl->getControllerClassId(inst->component, controller_cid) != kResultOk) {
        PClassInfo controller_info{};
        if (!plugin_find_class(f, kVstComponentControllerClass, &controller_info)) {
            plugin_instance_destroy(inst);
            return fail(error, "no controller class");
        }
        std::memcpy(controller_cid, controller_info.cid, sizeof controller_cid);
    }
    obj = nullptr;
    if (f->vtbl->createInstance(f, reinterpret_cast<FIDString>(controller_cid), reinterpret_cast<FIDString>(IEditController_iid), &obj) != kResultOk || obj == nullptr) {
        plugin_instance_destroy(inst);
        return fail(error, "createInstance of the controller failed");
    }
    inst->controller = static_cast<IEditController*>(obj);
    if (inst->controller->vtbl->initialize(inst->controller, reinterpret_cast<FUnknown*>(&host->iface)) != kResultOk) {
        plugin_instance_destroy(inst);
        return fail(error, "initialize of the controller failed");
    }
    inst->controller_initialized = true;

    obj = nullptr;
    if (inst->component->vtbl->queryInterface(inst->component, IConnectionPoint_iid, &obj) == kResultOk)
        inst->component_connection = static_cast<IConnectionPoint*>(obj);
    obj = nullptr;
    if (inst->controller->vtbl->queryInterface(inst->controller, IConnectionPoint_iid, &obj) == kResultOk)
        inst->controller_connection = static_cast<IConnectionPoint*>(obj);
    if (inst->component_connection != nullptr && inst->controller_connection != nullptr) {
        IConnectionPoint* a = inst->component_connection;
        IConnectionPoint* b = inst->controller_connection;
        if (a->vtbl->connect(a, b) != kResultOk || b->vtbl->connect(b, a) != kResultOk) {
            plugin_instance_destroy(inst);
            return fail(error, "connecting component and controller failed");
        }
        inst->connected = true;
    }

    // A component without a chunk leaves the controller at its defaults; a DAW goes on.
    inst->state_transferred = transfer_state(inst, nullptr);
    return true;
}

void plugin_instance_destroy(plugin_instance* inst) {
    if (inst->active) plugin_instance_deactivate(inst);
    if (inst->connected) {
        IConnectionPoint* a = inst->component_connection;
        IConnectionPoint* b = inst->controller_connection;
        a->vtbl->disconnect(a, b);
        b->vtbl->disconnect(b, a);
        inst->connected = false;
    }
    release_and_clear(inst->component_connection);
    release_and_clear(inst->controller_connection);
    if (inst->controller_initialized) inst->controller->vtbl->terminate(inst->controller);
    if (inst->component_initialized) inst->component->vtbl->terminate(inst->component);
    inst->controller_initialized = inst->component_initialized = false;
    release_and_clear(inst->processor);
    release_and_clear(inst->controller);
    release_and_clear(inst->component);
}

bool plugin_instance_save_state(plugin_instance* inst, std::vector<uint8_t>* chunk) {
    memory_stream stream;
    memory_stream_init(&stream);
    if (inst->component->vtbl->getState(inst->component, &stream.iface) != kResultOk) return false;
    *chunk = std::move(stream.bytes);
    return true;
}

bool plugin_instance_load_state(plugin_instance* inst, const std::vector<uint8_t>& chunk, std::string* error) {
    memory_stream stream;
    memory_stream_init(&stream);
    stream.bytes = chunk;
    if (inst->component->vtbl->setState(inst->component, &stream.iface) != kResultOk)
        return fail(error, "the component refused the state (setState)");
    memory_stream_rewind(&stream);
    if (inst->controller->vtbl->setComponentState(inst->controller, &stream.iface) != kResultOk)
        return fail(error, "the controller refused the state (setComponentState)");
    return true;
}

bool plugin_instance_activate(plugin_instance* inst, double sample_rate, int32_t max_block, std::string* error) {
    IAudioProcessor* p = inst->processor;
    IComponent* c = inst->component;
    SpeakerArrangement in = kSpeakerArrMono, out = kSpeakerArrMono;
    if (p->vtbl->setBusArrangements(p, &in, 1, &out, 1) != kResultOk)
        return fail(error, "the mono arrangement was refused");
    if (p->vtbl->canProcessSampleSize(p, kSample32) != kResultOk)
        return fail(error, "32-bit processing is not supported");
    ProcessSetup setup{kOffline, kSample32, max_block, sample_rate};
    if (p->vtbl->setupProcessing(p, &setup) != kResultOk) return fail(error, "setupProcessing failed");
    if (c->vtbl->activateBus(c, kAudio, kInput, 0, 1) != kResultOk ||
        c->vtbl->activateBus(c, kAudio, kOutput, 0, 1) != kResultOk)
        return fail(error, "activateBus failed");
    if (c->vtbl->setActive(c, 1) != kResultOk) return fail(error, "setActive failed");
    // The plug-in does not implement setProcessing; a DAW calls it all the same.
    p->vtbl->setProcessing(p, 1);
    inst->active = true;
    inst->sample_rate = sample_rate;
    return true;
}

void plugin_instance_deactivate(plugin_instance* inst) {
    if (!inst->active) return;
    inst->processor->vtbl->setProcessing(inst->processor, 0);
    inst->component->vtbl->setActive(inst->component, 0);
    inst->active = false;
}

tresult plugin_instance_process(plugin_instance* inst, float* in, float* out, int32_t samples,
                                IParameterChanges* changes) {
    float* in_channels[1] = {in};
    float* out_channels[1] = {out};
    AudioBusBuffers in_bus{};
    in_bus.numChannels = in != nullptr ? 1 : 0;
    in_bus.channelBuffers32 = in_channels;
    AudioBusBuffers out_bus{};
    out_bus.numChannels = out != nullptr ? 1 : 0;
    out_bus.channelBuffers32 = out_channels;
    ProcessData data{};
    data.processMode = kOffline;
    data.symbolicSampleSize = kSample32;
    data.numSamples = samples;
    data.numInputs = 1;
    data.numOutputs = 1;
    data.inputs = &in_bus;
    data.outputs = &out_bus;
    data.inputParameterChanges = changes;
    return inst->processor->vtbl->process(inst->processor, &data);
}

bool plugin_find_parameter(plugin_instance* inst, const std::string& title, ParameterInfo* info) {
    IEditController* ec = inst->controller;
    const int32 count = ec->vtbl->getParameterCount(ec);
    for (int32 i = 0; i < count; ++i) {
        ParameterInfo pi{};
        if (ec->vtbl->getParameterInfo(ec, i, &pi) != kResultOk) continue;
        std::string name = utf16_to_string(pi.title, 128);
        if (name.size() != title.size()) continue;
        bool same = true;
        for (size_t k = 0; k < name.size() && same; ++k)
            same = std::tolower((unsigned char)name[k]) == std::tolower((unsigned char)title[k]);
        if (same) {
            *info = pi;
            return true;
        }
    }
    return false;
}
