// The factory's answers, read through its interface table as a host would.
#include <gtest/gtest.h>

#include <cstring>

#include "module/factory.h"
#include "module/module_entry.h"

using namespace vst3;

namespace {

IPluginFactory3* factory() { return GetPluginFactory(); }

std::string narrow(const char16* text)
{
    std::string s;
    for (; *text; text++)
        s += (char)*text;
    return s;
}

// Component and controller class ids as bytes in memory order.
const unsigned char component_cid[16] = {0x66, 0xAD, 0x22, 0xC7, 0xC2, 0x0E, 0x46, 0x2C,
                                         0xB2, 0x94, 0x47, 0xBB, 0xA4, 0x50, 0x5C, 0x82};
const unsigned char controller_cid[16] = {0x03, 0x01, 0x51, 0x3B, 0x7A, 0x93, 0x49, 0x19,
                                          0xB6, 0x4C, 0xA7, 0xF5, 0x70, 0x3C, 0xCE, 0x54};

TEST(Factory, QueryInterfaceAndStaticReferenceCount)
{
    IPluginFactory3* f = factory();
    for (const int8* iid : {FUnknown_iid, IPluginFactory_iid, IPluginFactory2_iid, IPluginFactory3_iid}) {
        void* obj = nullptr;
        EXPECT_EQ(f->vtbl->queryInterface(f, iid, &obj), kResultOk);
        EXPECT_EQ(obj, f);
    }
    void* obj = f;
    EXPECT_EQ(f->vtbl->queryInterface(f, IComponent_iid, &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(f->vtbl->addRef(f), 1u);
    EXPECT_EQ(f->vtbl->release(f), 1u);
    EXPECT_EQ(f->vtbl->release(f), 1u);
    EXPECT_EQ(f->vtbl->setHostContext(f, nullptr), kNotImplemented);
}

TEST(Factory, FactoryInfo)
{
    PFactoryInfo info;
    memset(&info, 0x55, sizeof info);
    ASSERT_EQ(factory()->vtbl->getFactoryInfo(factory(), &info), kResultOk);
    EXPECT_STREQ(info.vendor, "Tresk.Sonwave");
    EXPECT_NE(strstr(info.url, ".example"), nullptr);
    EXPECT_NE(strchr(info.email, '@'), nullptr);
    EXPECT_EQ(info.flags, 16);  // kUnicode
    EXPECT_EQ(factory()->vtbl->countClasses(factory()), 2);
}

TEST(Factory, ClassInfoInAllThreeForms)
{
    IPluginFactory3* f = factory();
    PClassInfo c0, c1;
    ASSERT_EQ(f->vtbl->getClassInfo(f, 0, &c0), kResultOk);
    ASSERT_EQ(f->vtbl->getClassInfo(f, 1, &c1), kResultOk);
    EXPECT_EQ(memcmp(c0.cid, component_cid, 16), 0);
    EXPECT_EQ(memcmp(c1.cid, controller_cid, 16), 0);
    EXPECT_EQ(c0.cardinality, 0x7FFFFFFF);
    EXPECT_STREQ(c0.category, "Audio Module Class");
    EXPECT_STREQ(c0.name, "Vellum Grist Saturator");
    EXPECT_STREQ(c1.category, "Component Controller Class");
    EXPECT_STREQ(c1.name, "Vellum Grist Saturator Controller");

    PClassInfo2 i0, i1;
    ASSERT_EQ(f->vtbl->getClassInfo2(f, 0, &i0), kResultOk);
    ASSERT_EQ(f->vtbl->getClassInfo2(f, 1, &i1), kResultOk);
    EXPECT_EQ(memcmp(i0.cid, component_cid, 16), 0);
    EXPECT_EQ(i0.classFlags, 1u);  // kDistributable on the component only
    EXPECT_EQ(i1.classFlags, 0u);
    EXPECT_STREQ(i0.subCategories, "Fx|Distortion");
    EXPECT_STREQ(i1.subCategories, "");
    EXPECT_STREQ(i0.vendor, "");
    EXPECT_STREQ(i0.version, "1.2.1.1");
    EXPECT_STREQ(i1.version, "1.2.1.1");
    EXPECT_STREQ(i0.sdkVersion, "VST 3.8.0 | Zorbe");
    EXPECT_STREQ(i1.sdkVersion, "VST 3.8.0 | Zorbe");
    EXPECT_STREQ(i1.name, "Vellum Grist Saturator Controller");

    PClassInfoW w0, w1;
    ASSERT_EQ(f->vtbl->getClassInfoUnicode(f, 0, &w0), kResultOk);
    ASSERT_EQ(f->vtbl->getClassInfoUnicode(f, 1, &w1), kResultOk);
    EXPECT_EQ(memcmp(w1.cid, controller_cid, 16), 0);
    EXPECT_EQ(narrow(w0.name), "Vellum Grist Saturator");
    EXPECT_EQ(narrow(w1.name), "Vellum Grist Saturator Controller");
    EXPECT_STREQ(w0.category, "Audio Module Class");
    EXPECT_STREQ(w0.subCategories, "Fx|Distortion");
    EXPECT_STREQ(w1.subCategories, "");
    EXPECT_EQ(w0.classFlags, 1u);
    EXPECT_EQ(w1.classFlags, 0u);
    EXPECT_EQ(narrow(w0.vendor), "");
    EXPECT_EQ(narrow(w0.version), "1.2.1.1");
    EXPECT_EQ(narrow(w0.sdkVersion), "VST 3.8.0");  // the 16-bit form has no suffix
    EXPECT_EQ(narrow(w1.sdkVersion), "VST 3.8.0");
}

TEST(Factory, OtherIndicesAreRefusedAndNothingIsWritten)
{
    IPluginFactory3* f = factory();
    for (int32 index : {2, -1, 1000}) {
        PClassInfo a;
        PClassInfo2 b;
        PClassInfoW c;
        memset(&a, 0x5A, sizeof a);
        memset(&b, 0x5A, sizeof b);
        memset(&c, 0x5A, sizeof c);
        EXPECT_EQ(f->vtbl->getClassInfo(f, index, &a), kInvalidArgument);
        EXPECT_EQ(f->vtbl->getClassInfo2(f, index, &b), kInvalidArgument);
        EXPECT_EQ(f->vtbl->getClassInfoUnicode(f, index, &c), kInvalidArgument);
        EXPECT_EQ(((unsigned char*)&a)[0], 0x5A);
        EXPECT_EQ(((unsigned char*)&b)[0], 0x5A);
        EXPECT_EQ(((unsigned char*)&c)[sizeof c - 1], 0x5A);
    }
}

TEST(Factory, CreateInstanceChecksClassAndInterface)
{
    IPluginFactory3* f = factory();
    void* obj = (void*)0x1;
    // The right class with another class's interface: refused, out-pointer untouched.
    EXPECT_EQ(f->vtbl->createInstance(f, (FIDString)controller_cid, (FIDString)IComponent_iid, &obj),
              kNoInterface);
    EXPECT_EQ(obj, (void*)0x1);
    EXPECT_EQ(f->vtbl->createInstance(f, (FIDString)component_cid, (FIDString)IEditController_iid, &obj),
              kNoInterface);
    EXPECT_EQ(obj, (void*)0x1);
    // Neither class: null.
    const unsigned char other[16] = {1, 2, 3};
    EXPECT_EQ(f->vtbl->createInstance(f, (FIDString)other, (FIDString)FUnknown_iid, &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);

    // Each class comes with one reference through each of its accepted ids.
    for (const int8* iid : {FUnknown_iid, IPluginBase_iid, IComponent_iid}) {
        FUnknown* unknown = nullptr;
        ASSERT_EQ(f->vtbl->createInstance(f, (FIDString)component_cid, (FIDString)iid, (void**)&unknown),
                  kResultOk);
        ASSERT_NE(unknown, nullptr);
        EXPECT_EQ(unknown->vtbl->release(unknown), 0u);
    }
    for (const int8* iid : {FUnknown_iid, IPluginBase_iid, IEditController_iid}) {
        FUnknown* unknown = nullptr;
        ASSERT_EQ(f->vtbl->createInstance(f, (FIDString)controller_cid, (FIDString)iid, (void**)&unknown),
                  kResultOk);
        ASSERT_NE(unknown, nullptr);
        EXPECT_EQ(unknown->vtbl->release(unknown), 0u);
    }
}

}  // namespace
