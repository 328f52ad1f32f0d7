#include "module/factory.h"

#include <string.h>

#include "component/component.h"
#include "controller/edit_controller.h"

using namespace vst3;

// Class ids as bytes in memory order (the Linux layout).
const factory_class factory_classes[factory_class_count] = {
    {.cid = {(int8)0x66, (int8)0xAD, (int8)0x22, (int8)0xC7, (int8)0xC2, (int8)0x0E, (int8)0x46, (int8)0x2C,
             (int8)0xB2, (int8)0x94, (int8)0x47, (int8)0xBB, (int8)0xA4, (int8)0x50, (int8)0x5C, (int8)0x82},
     .category = kVstAudioEffectClass,
     .name = "Vellum Grist Saturator",
     .class_flags = kDistributable,
     .sub_categories = "Fx|Distortion",
     .vendor = "",
     .version = "1.2.1.1",
     .sdk_version = "VST 3.8.0 | Zorbe",
     .sdk_version_unicode = "VST 3.8.0"},
    {.cid = {(int8)0x03, (int8)0x01, (int8)0x51, (int8)0x3B, (int8)0x7A, (int8)0x93, (int8)0x49, (int8)0x19,
             (int8)0xB6, (int8)0x4C, (int8)0xA7, (int8)0xF5, (int8)0x70, (int8)0x3C, (int8)0xCE, (int8)0x54},
     .category = kVstComponentControllerClass,
     .name = "Vellum Grist Saturator Controller",
     .class_flags = 0,
     .sub_categories = "",
     .vendor = "",
     .version = "1.2.1.1",
     .sdk_version = "VST 3.8.0 | Zorbe",
     .sdk_version_unicode = "VST 3.8.0"},
};

// Copies a text into a fixed field, always terminated, the rest zero-filled.
template <size_t N>
static void copy_text(char8 (&field)[N], const char* text)
{
    memset(field, 0, N);
    strncpy(field, text, N - 1);
}

template <size_t N>
static void copy_text(char16 (&field)[N], const char* text)
{
    memset(field, 0, sizeof field);
    for (size_t i = 0; i + 1 < N && text[i]; i++)
        field[i] = (char16)(unsigned char)text[i];
}

const TUID& component_class_id = factory_classes[0].cid;
const TUID& controller_class_id = factory_classes[1].cid;

static tresult factory_query_interface(IPluginFactory3* self, const TUID iid, void** obj)
{
    if (iid_equal(iid, FUnknown_iid) || iid_equal(iid, IPluginFactory_iid) ||
        iid_equal(iid, IPluginFactory2_iid) || iid_equal(iid, IPluginFactory3_iid)) {
        *obj = self;  // static object: no reference is added
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

static uint32 factory_add_ref(IPluginFactory3*) { return 1; }
static uint32 factory_release(IPluginFactory3*) { return 1; }

static tresult factory_get_factory_info(IPluginFactory3*, PFactoryInfo* info)
{
    if (!info)
        return kInvalidArgument;
    copy_text(info->vendor, factory_vendor);
    copy_text(info->url, factory_url);
    copy_text(info->email, factory_email);
    info->flags = kUnicode;
    return kResultOk;
}

static int32 factory_count_classes(IPluginFactory3*) { return factory_class_count; }

static bool valid_class_index(int32 index) { return index >= 0 && index < factory_class_count; }

// The fields the three class-info forms share; `copy_text` picks 8- or 16-bit text
// from the field's type.
template <typename info_type>
static void fill_basic_info(const factory_class& c, info_type* info)
{
    memcpy(info->cid, c.cid, sizeof(TUID));
    info->cardinality = kManyInstances;
    copy_text(info->category, c.category);
    copy_text(info->name, c.name);
}

template <typename info_type>
static void fill_extended_info(const factory_class& c, info_type* info, const char* sdk_version)
{
    fill_basic_info(c, info);
    info->classFlags = c.class_flags;
    copy_text(info->subCategories, c.sub_categories);
    copy_text(info->vendor, c.vendor);
    copy_text(info->version, c.version);
    copy_text(info->sdkVersion, sdk_version);
}

static tresult factory_get_class_info(IPluginFactory3*, int32 index, PClassInfo* info)
{
    if (!valid_class_index(index) || !info)
        return kInvalidArgument;
    fill_basic_info(factory_classes[index], info);
    return kResultOk;
}

static tresult factory_get_class_info2(IPluginFactory3*, int32 index, PClassInfo2* info)
{
    if (!valid_class_index(index) || !info)
        return kInvalidArgument;
    fill_extended_info(factory_classes[index], info, factory_classes[index].sdk_version);
    return kResultOk;
}

static tresult factory_get_class_info_unicode(IPluginFactory3*, int32 index, PClassInfoW* info)
{
    if (!valid_class_index(index) || !info)
        return kInvalidArgument;
    fill_extended_info(factory_classes[index], info, factory_classes[index].sdk_version_unicode);
    return kResultOk;
}

static tresult factory_create_instance(IPluginFactory3*, FIDString cid, FIDString iid, void** obj)
{
    const int8* class_id = (const int8*)cid;
    const int8* interface_id = (const int8*)iid;
    if (iid_equal(class_id, component_class_id))
        return component_create(interface_id, obj);
    if (iid_equal(class_id, controller_class_id))
        return controller_create(interface_id, obj);
    *obj = nullptr;
    return kNoInterface;
}

static tresult factory_set_host_context(IPluginFactory3*, FUnknown*) { return kNotImplemented; }

static constexpr IPluginFactory3Vtbl factory_vtbl = {
    .queryInterface = factory_query_interface,
    .addRef = factory_add_ref,
    .release = factory_release,
    .getFactoryInfo = factory_get_factory_info,
    .countClasses = factory_count_classes,
    .getClassInfo = factory_get_class_info,
    .createInstance = factory_create_instance,
    .getClassInfo2 = factory_get_class_info2,
    .getClassInfoUnicode = factory_get_class_info_unicode,
    .setHostContext = factory_set_host_context,
};

static IPluginFactory3 factory_object = {&factory_vtbl};

IPluginFactory* factory_instance(void) { return &factory_object; }
