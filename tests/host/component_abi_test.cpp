// The component's object model, buses, arrangements and set-up as a host meets them.
#include "bundle_fixture.h"

using namespace vst3;
using namespace host_test;

namespace {

class component_abi : public bundle_test {};

TEST_F(component_abi, interfaces_share_one_reference_count_and_refuse_foreign_ids) {
    IComponent* c = create<IComponent>(kVstAudioEffectClass, IComponent_iid);
    ASSERT_NE(c, nullptr);

    void* obj = &obj;
    EXPECT_EQ(c->vtbl->queryInterface(c, IEditController_iid, &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
    obj = &obj;
    EXPECT_EQ(c->vtbl->queryInterface(c, IMidiMapping_iid, &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);

    // FUnknown and IPluginBase both lead to the IComponent pointer.
    void* base = nullptr;
    ASSERT_EQ(c->vtbl->queryInterface(c, IPluginBase_iid, &base), kResultOk);
    EXPECT_EQ(base, c);
    EXPECT_EQ(c->vtbl->release(c), 1u);

    IAudioProcessor* p = nullptr;
    ASSERT_EQ(c->vtbl->queryInterface(c, IAudioProcessor_iid, reinterpret_cast<void**>(&p)), kResultOk);
    IProcessContextRequirements* r = nullptr;
    ASSERT_EQ(p->vtbl->queryInterface(p, IProcessContextRequirements_iid, reinterpret_cast<void**>(&r)), kResultOk);
    IConnectionPoint* cp = nullptr;
    ASSERT_EQ(r->vtbl->queryInterface(r, IConnectionPoint_iid, reinterpret_cast<void**>(&cp)), kResultOk);
    // Any interface answers for the whole object: four references now.
    void* back = nullptr;
    ASSERT_EQ(cp->vtbl->queryInterface(cp, FUnknown_iid, &back), kResultOk);
    EXPECT_EQ(back, c);
    EXPECT_EQ(cp->vtbl->addRef(cp), 6u);
    EXPECT_EQ(r->vtbl->release(r), 5u);
    EXPECT_EQ(cp->vtbl->release(cp), 4u);
    EXPECT_EQ(cp->vtbl->release(cp), 3u);
    EXPECT_EQ(c->vtbl->release(c), 2u);
    EXPECT_EQ(r->vtbl->getProcessContextRequirements(r), 0u);
    // The processor's release leaves the object alive for the creator's reference.
    EXPECT_EQ(p->vtbl->release(p), 1u);
    EXPECT_EQ(c->vtbl->getBusCount(c, kAudio, kInput), 1);
    EXPECT_EQ(c->vtbl->release(c), 0u);
}

TEST_F(component_abi, buses_and_arrangements_are_one_mono_pair) {
    plugin_instance inst;
    make(&inst, false);
    IComponent* c = inst.component;
    IAudioProcessor* p = inst.processor;

    EXPECT_EQ(c->vtbl->getBusCount(c, kAudio, kInput), 1);
    EXPECT_EQ(c->vtbl->getBusCount(c, kAudio, kOutput), 1);
    EXPECT_EQ(c->vtbl->getBusCount(c, kEvent, kInput), 0);
    EXPECT_EQ(c->vtbl->getBusCount(c, kEvent, kOutput), 0);

    BusInfo bus;
    std::memset(&bus, 0xAB, sizeof bus);
    ASSERT_EQ(c->vtbl->getBusInfo(c, kAudio, kOutput, 0, &bus), kResultOk);
    EXPECT_EQ(bus.mediaType, kAudio);
    EXPECT_EQ(bus.direction, kOutput);
    EXPECT_EQ(bus.channelCount, 1);
    EXPECT_EQ(utf16_to_string(bus.name, 128), "Output");
    EXPECT_EQ(bus.busType, kMain);
    EXPECT_EQ(bus.flags, (uint32)kDefaultActive);
    ASSERT_EQ(c->vtbl->getBusInfo(c, kAudio, kInput, 0, &bus), kResultOk);
    EXPECT_EQ(utf16_to_string(bus.name, 128), "Input");

    // Refusals write nothing.
    BusInfo untouched;
    std::memset(&untouched, 0xAB, sizeof untouched);
    bus = untouched;
    EXPECT_EQ(c->vtbl->getBusInfo(c, kAudio, kOutput, 1, &bus), kInvalidArgument);
    EXPECT_EQ(c->vtbl->getBusInfo(c, kAudio, kInput, -1, &bus), kInvalidArgument);
    EXPECT_EQ(c->vtbl->getBusInfo(c, kEvent, kInput, 0, &bus), kInvalidArgument);
    EXPECT_EQ(c->vtbl->getBusInfo(c, kAudio, 2, 0, &bus), kInvalidArgument);
    EXPECT_EQ(std::memcmp(&bus, &untouched, sizeof bus), 0);

    EXPECT_EQ(c->vtbl->activateBus(c, kAudio, kInput, 1, 1), kInvalidArgument);
    EXPECT_EQ(c->vtbl->activateBus(c, kEvent, kInput, 0, 1), kInvalidArgument);

    SpeakerArrangement mono[2] = {kSpeakerArrMono, kSpeakerArrMono};
    SpeakerArrangement stereo = kSpeakerArrStereo, stereo_out = kSpeakerArrStereo;
    EXPECT_EQ(p->vtbl->setBusArrangements(p, mono, 1, mono + 1, 1), kResultOk);
    EXPECT_EQ(p->vtbl->setBusArrangements(p, &stereo, 1, &stereo_out, 1), kResultFalse);
    EXPECT_EQ(p->vtbl->setBusArrangements(p, mono, 2, mono, 1), kResultFalse);
    EXPECT_EQ(p->vtbl->setBusArrangements(p, mono, -1, mono, 1), kInvalidArgument);
    EXPECT_EQ(p->vtbl->setBusArrangements(p, mono, 1, mono, -1), kInvalidArgument);
    EXPECT_EQ(p->vtbl->setBusArrangements(p, nullptr, 0, nullptr, 0), kResultFalse);

    SpeakerArrangement arr = 0;
    EXPECT_EQ(p->vtbl->getBusArrangement(p, kOutput, 0, &arr), kResultOk);
    EXPECT_EQ(arr, kSpeakerArrMono);
    EXPECT_EQ(p->vtbl->getBusArrangement(p, kOutput, 1, &arr), kInvalidArgument);
    EXPECT_EQ(p->vtbl->getBusArrangement(p, 2, 0, &arr), kInvalidArgument);

    EXPECT_EQ(p->vtbl->canProcessSampleSize(p, kSample32), kResultOk);
    EXPECT_EQ(p->vtbl->canProcessSampleSize(p, kSample64), kNotImplemented);
    EXPECT_EQ(p->vtbl->getLatencySamples(p), 0u);
    EXPECT_EQ(p->vtbl->getTailSamples(p), 0u);

    TUID cid;
    PClassInfo controller_info{};
    ASSERT_TRUE(plugin_find_class(module.factory, kVstComponentControllerClass, &controller_info));
    ASSERT_EQ(c->vtbl->getControllerClassId(c, cid), kResultOk);
    EXPECT_EQ(std::memcmp(cid, controller_info.cid, 16), 0);
    EXPECT_EQ(c->vtbl->getControllerClassId(c, nullptr), kResultFalse);

    EXPECT_EQ(inst.component_connection->vtbl->connect(inst.component_connection, nullptr), kInvalidArgument);
    plugin_instance_destroy(&inst);
}

TEST_F(component_abi, initialize_refuses_a_second_call_and_resets_after_terminate) {
    plugin_instance inst;
    make(&inst);
    IComponent* c = inst.component;
    EXPECT_EQ(c->vtbl->initialize(c, reinterpret_cast<FUnknown*>(&host.iface)), kResultFalse);

    param_changes changes;
    param_changes_init(&changes);
    param_changes_add(&changes, drive_id, 0, 0.7);
    ASSERT_EQ(plugin_instance_process(&inst, nullptr, nullptr, 0, &changes.iface), kResultOk);
    EXPECT_EQ(saved_value(&inst, "drive"), 70.0f);
    // The refused second initialize changed nothing.
    EXPECT_EQ(c->vtbl->initialize(c, reinterpret_cast<FUnknown*>(&host.iface)), kResultFalse);
    EXPECT_EQ(saved_value(&inst, "drive"), 70.0f);

    plugin_instance_deactivate(&inst);
    ASSERT_EQ(c->vtbl->terminate(c), kResultOk);
    ASSERT_EQ(c->vtbl->initialize(c, reinterpret_cast<FUnknown*>(&host.iface)), kResultOk);
    // Defaults again (Drive 50), and no activation since: the saved rate is 0.
    std::vector<uint8_t> chunk;
    ASSERT_TRUE(plugin_instance_save_state(&inst, &chunk));
    EXPECT_EQ(chunk_value(chunk, "drive"), 50.0f);
    EXPECT_EQ(chunk_value(chunk, "sample_rate"), 0.0f);
    plugin_instance_destroy(&inst);
}

TEST_F(component_abi, the_rate_reaches_the_dsp_only_at_activation) {
    plugin_instance inst;
    make(&inst, false);
    IComponent* c = inst.component;
    IAudioProcessor* p = inst.processor;
    // Activation before any set-up has no rate to design the filters for.
    c->vtbl->activateBus(c, kAudio, kInput, 0, 1);
    c->vtbl->activateBus(c, kAudio, kOutput, 0, 1);
    EXPECT_EQ(c->vtbl->setActive(c, 1), kResultFalse);
    std::vector<float> in = noise(256), out(256, 1.0f);
    ASSERT_EQ(plugin_instance_process(&inst, in.data(), out.data(), 256, nullptr), kResultOk);
    EXPECT_EQ(out, std::vector<float>(256, 0.0f)) << "an unprepared component stays silent";

    // An unusable rate is stored as given, but no activation is built on it.
    for (double bad : {0.0, -44100.0, 1e300}) {
        ProcessSetup setup{kRealtime, kSample32, 512, bad};
        EXPECT_EQ(p->vtbl->setupProcessing(p, &setup), kResultOk) << bad;
        EXPECT_EQ(c->vtbl->setActive(c, 1), kResultFalse) << bad;
        ASSERT_EQ(plugin_instance_process(&inst, in.data(), out.data(), 256, nullptr), kResultOk);
        EXPECT_EQ(out, std::vector<float>(256, 0.0f)) << bad;
    }
    ProcessSetup setup{kRealtime, kSample32, 512, 44100.0};
    ASSERT_EQ(p->vtbl->setupProcessing(p, &setup), kResultOk);
    EXPECT_EQ(saved_value(&inst, "sample_rate"), 0.0f);
    ASSERT_EQ(c->vtbl->setActive(c, 1), kResultOk);
    EXPECT_EQ(saved_value(&inst, "sample_rate"), 44100.0f);
    // A new rate waits for the next activation.
    setup.sampleRate = 96000.0;
    ASSERT_EQ(p->vtbl->setupProcessing(p, &setup), kResultOk);
    EXPECT_EQ(saved_value(&inst, "sample_rate"), 44100.0f);
    ASSERT_EQ(c->vtbl->setActive(c, 0), kResultOk);
    ASSERT_EQ(c->vtbl->setActive(c, 1), kResultOk);
    EXPECT_EQ(saved_value(&inst, "sample_rate"), 96000.0f);
    c->vtbl->setActive(c, 0);
    plugin_instance_destroy(&inst);
}

}  // namespace
