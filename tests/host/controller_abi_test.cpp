// The edit controller as a host meets it: interfaces, parameter queries, value storage
// and the component handler's references.
#include <cmath>

#include "bundle_fixture.h"

using namespace vst3;
using namespace host_test;

namespace {

class controller_abi : public bundle_test {};

TEST_F(controller_abi, interfaces_share_one_count_and_refuse_other_ids) {
    IEditController* ec = create<IEditController>(kVstComponentControllerClass, IEditController_iid);
    ASSERT_NE(ec, nullptr);
    void* obj = &obj;
    EXPECT_EQ(ec->vtbl->queryInterface(ec, IEditController2_iid, &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
    obj = &obj;
    EXPECT_EQ(ec->vtbl->queryInterface(ec, IComponent_iid, &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);

    IMidiMapping* midi = nullptr;
    ASSERT_EQ(ec->vtbl->queryInterface(ec, IMidiMapping_iid, reinterpret_cast<void**>(&midi)), kResultOk);
    ParamID id = 77;
    EXPECT_EQ(midi->vtbl->getMidiControllerAssignment(midi, 0, 0, 7, &id), kInvalidArgument);
    IConnectionPoint* cp = nullptr;
    ASSERT_EQ(midi->vtbl->queryInterface(midi, IConnectionPoint_iid, reinterpret_cast<void**>(&cp)), kResultOk);
    EXPECT_EQ(cp->vtbl->connect(cp, nullptr), kInvalidArgument);
    EXPECT_EQ(cp->vtbl->notify(cp, nullptr), kResultOk);
    void* base = nullptr;
    ASSERT_EQ(cp->vtbl->queryInterface(cp, IPluginBase_iid, &base), kResultOk);
    EXPECT_EQ(base, ec);
    EXPECT_EQ(midi->vtbl->release(midi), 3u);
    EXPECT_EQ(cp->vtbl->release(cp), 2u);
    EXPECT_EQ(ec->vtbl->release(ec), 1u);
    EXPECT_EQ(ec->vtbl->release(ec), 0u);
}

TEST_F(controller_abi, parameter_info_covers_exactly_six_indices) {
    plugin_instance inst;
    make(&inst, false);
    IEditController* ec = inst.controller;
    ASSERT_EQ(ec->vtbl->getParameterCount(ec), 6);
    ParameterInfo info;
    std::memset(&info, 0x5A, sizeof info);
    const ParameterInfo untouched = info;
    EXPECT_EQ(ec->vtbl->getParameterInfo(ec, 6, &info), kResultFalse);
    EXPECT_EQ(ec->vtbl->getParameterInfo(ec, -1, &info), kResultFalse);
    EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
    ASSERT_EQ(ec->vtbl->getParameterInfo(ec, 5, &info), kResultOk);
    EXPECT_EQ(info.id, bypass_id);
    EXPECT_EQ(utf16_to_string(info.title, 128), "Bypass");

    // Ids outside the table: text calls refuse, conversions answer 0.
    TChar text[128] = {u'x', 0};
    EXPECT_EQ(ec->vtbl->getParamStringByValue(ec, 0xDEADBEEF, 0.5, text), kResultFalse);
    EXPECT_EQ(text[0], u'x');
    double v = -1.0;
    EXPECT_EQ(ec->vtbl->getParamValueByString(ec, 0xDEADBEEF, text, &v), kResultFalse);
    EXPECT_EQ(v, -1.0);
    EXPECT_EQ(ec->vtbl->getParamNormalized(ec, 0xDEADBEEF), 0.0);
    EXPECT_EQ(ec->vtbl->normalizedParamToPlain(ec, 0xDEADBEEF, 0.5), 0.0);
    EXPECT_EQ(ec->vtbl->setParamNormalized(ec, 0xDEADBEEF, 0.5), kResultFalse);

    // Volume at 0.5 is its default of 100 (range 0 … 200).
    ASSERT_EQ(ec->vtbl->getParamStringByValue(ec, volume_id, 0.5, text), kResultOk);
    EXPECT_EQ(utf16_to_string(text, 128), "100.00");
    EXPECT_EQ(ec->vtbl->normalizedParamToPlain(ec, volume_id, 0.25), 50.0);
    plugin_instance_destroy(&inst);
}

TEST_F(controller_abi, stored_values_are_rounded_clamped_and_never_nan) {
    plugin_instance inst;
    make(&inst, false);
    IEditController* ec = inst.controller;
    EXPECT_EQ(ec->vtbl->getParamNormalized(ec, volume_id), 0.5);
    EXPECT_EQ(ec->vtbl->setParamNormalized(ec, bypass_id, 0.5), kResultOk);
    EXPECT_EQ(ec->vtbl->getParamNormalized(ec, bypass_id), 1.0);
    EXPECT_EQ(ec->vtbl->setParamNormalized(ec, bypass_id, 0.49), kResultOk);
    EXPECT_EQ(ec->vtbl->getParamNormalized(ec, bypass_id), 0.0);
    EXPECT_EQ(ec->vtbl->setParamNormalized(ec, volume_id, 1.5), kResultOk);
    EXPECT_EQ(ec->vtbl->getParamNormalized(ec, volume_id), 1.0);
    EXPECT_EQ(ec->vtbl->setParamNormalized(ec, drive_id, -2.0), kResultOk);
    EXPECT_EQ(ec->vtbl->getParamNormalized(ec, drive_id), 0.0);
    EXPECT_EQ(ec->vtbl->setParamNormalized(ec, tone_id, 0.3), kResultOk);
    EXPECT_EQ(ec->vtbl->setParamNormalized(ec, tone_id, std::nan("")), kResultFalse);
    EXPECT_DOUBLE_EQ(ec->vtbl->getParamNormalized(ec, tone_id), 0.3);

    // After terminate and a new initialize the defaults are back.
    ASSERT_EQ(ec->vtbl->initialize(ec, reinterpret_cast<FUnknown*>(&host.iface)), kResultFalse);
    ASSERT_EQ(ec->vtbl->terminate(ec), kResultOk);
    ASSERT_EQ(ec->vtbl->initialize(ec, reinterpret_cast<FUnknown*>(&host.iface)), kResultOk);
    EXPECT_EQ(ec->vtbl->getParamNormalized(ec, volume_id), 0.5);
    EXPECT_EQ(ec->vtbl->getParamNormalized(ec, tone_id), 0.5);
    plugin_instance_destroy(&inst);
}

TEST_F(controller_abi, the_component_handler_is_held_by_exactly_one_reference) {
    edit_recorder first, second;
    edit_recorder_init(&first);
    edit_recorder_init(&second);
    IEditController* ec = create<IEditController>(kVstComponentControllerClass, IEditController_iid);
    ASSERT_NE(ec, nullptr);
    ASSERT_EQ(ec->vtbl->setComponentHandler(ec, &first.iface), kResultOk);
    ASSERT_EQ(ec->vtbl->setComponentHandler(ec, &first.iface), kResultOk);
    EXPECT_EQ(first.ref_count, 2);
    ASSERT_EQ(ec->vtbl->setComponentHandler(ec, &second.iface), kResultOk);
    EXPECT_EQ(first.ref_count, 1);
    EXPECT_EQ(second.ref_count, 2);
    ASSERT_EQ(ec->vtbl->setComponentHandler(ec, nullptr), kResultOk);
    EXPECT_EQ(second.ref_count, 1);
    // A handler still held when the controller goes is given back.
    ASSERT_EQ(ec->vtbl->setComponentHandler(ec, &first.iface), kResultOk);
    EXPECT_EQ(first.ref_count, 2);
    EXPECT_EQ(ec->vtbl->release(ec), 0u);
    EXPECT_EQ(first.ref_count, 1);
    EXPECT_TRUE(first.edits.empty());
}

TEST_F(controller_abi, the_controller_learns_the_components_values_from_its_chunk) {
    plugin_instance a, b;
    make(&a);
    make(&b, false);
    param_changes changes;
    param_changes_init(&changes);
    param_changes_add(&changes, drive_id, 0, 0.8);
    param_changes_add(&changes, bypass_id, 0, 1.0);
    ASSERT_EQ(plugin_instance_process(&a, nullptr, nullptr, 0, &changes.iface), kResultOk);
    std::vector<uint8_t> chunk;
    ASSERT_TRUE(plugin_instance_save_state(&a, &chunk));
    std::string error;
    ASSERT_TRUE(plugin_instance_load_state(&b, chunk, &error)) << error;
    EXPECT_DOUBLE_EQ(b.controller->vtbl->getParamNormalized(b.controller, drive_id), 0.8);
    EXPECT_EQ(b.controller->vtbl->getParamNormalized(b.controller, bypass_id), 1.0);
    plugin_instance_destroy(&a);
    plugin_instance_destroy(&b);
}

}  // namespace
