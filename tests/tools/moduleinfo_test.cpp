// The bundle's moduleinfo.json against the answers of the built module's factory, loaded
// with dlopen as a host loads it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "vst3/vst3_interfaces.h"

using namespace vst3;
using json = nlohmann::json;

namespace {

std::string bounded(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

std::string narrow(const char16* text, size_t units)
{
    std::string out;
    for (size_t i = 0; i < units && text[i]; i++)
        out += text[i] < 0x80 ? (char)text[i] : '?';
    return out;
}

std::string hex_of(const TUID cid)
{
    char text[33];
    for (int i = 0; i < 16; i++)
        snprintf(text + 2 * i, 3, "%02X", (unsigned)(uint8)cid[i]);
    return text;
}

bool bytes_of(const std::string& hex, TUID out)
{
    if (hex.size() != 32)
        return false;
    for (int i = 0; i < 16; i++) {
        unsigned value;
        if (sscanf(hex.c_str() + 2 * i, "%2x", &value) != 1)
            return false;
        out[i] = (int8)value;
    }
    return true;
}

std::string joined(const json& list)
{
    std::string out;
    for (const auto& item : list)
        out += (out.empty() ? "" : "|") + item.get<std::string>();
    return out;
}

class moduleinfo_file : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::ifstream in(std::string(VGS_BUNDLE_DIR) + "/Contents/Resources/moduleinfo.json");
        ASSERT_TRUE(in.good()) << "moduleinfo.json missing from the bundle";
        std::stringstream text;
        text << in.rdbuf();
        info = json::parse(text.str(), nullptr, false);
        ASSERT_FALSE(info.is_discarded()) << "moduleinfo.json is not valid JSON";

        handle = dlopen(VGS_PLUGIN_SO, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        auto entry = (bool (*)(void*))dlsym(handle, "ModuleEntry");
        auto get_factory = (IPluginFactory * (*)()) dlsym(handle, "GetPluginFactory");
        module_exit = (bool (*)())dlsym(handle, "ModuleExit");
        ASSERT_TRUE(entry && get_factory && module_exit);
        ASSERT_TRUE(entry(handle));
        entered = true;
        IPluginFactory* base = get_factory();
        ASSERT_NE(base, nullptr);
        ASSERT_EQ(base->vtbl->queryInterface(base, IPluginFactory3_iid, (void**)&factory), kResultOk);
    }

    void TearDown() override
    {
        if (entered)
            module_exit();
        if (handle)
            dlclose(handle);
    }

    json info;
    void* handle = nullptr;
    bool (*module_exit)() = nullptr;
    bool entered = false;
    IPluginFactory3* factory = nullptr;
};

TEST_F(moduleinfo_file, module_and_factory_info_match_the_factory)
{
    // The module is named after its bundle directory.
    std::string bundle = VGS_BUNDLE_DIR;
    std::string name = bundle.substr(bundle.rfind('/') + 1);
    name = name.substr(0, name.size() - strlen(".vst3"));
    EXPECT_EQ(info.at("Name"), name);

    PFactoryInfo fi;
    ASSERT_EQ(factory->vtbl->getFactoryInfo(factory, &fi), kResultOk);
    const json& f = info.at("Factory Info");
    EXPECT_EQ(f.at("Vendor"), bounded(fi.vendor, sizeof fi.vendor));
    EXPECT_EQ(f.at("URL"), bounded(fi.url, sizeof fi.url));
    EXPECT_EQ(f.at("E-Mail"), bounded(fi.email, sizeof fi.email));
    EXPECT_EQ(f.at("Flags").at("Unicode"), (fi.flags & kUnicode) != 0);
    EXPECT_EQ(f.at("Flags").at("Classes Discardable"), (fi.flags & kClassesDiscardable) != 0);
    EXPECT_EQ(f.at("Flags").at("Component Non Discardable"), (fi.flags & kComponentNonDiscardable) != 0);

    // The module's version is its audio component's.
    PClassInfo2 first;
    ASSERT_EQ(factory->vtbl->getClassInfo2(factory, 0, &first), kResultOk);
    EXPECT_EQ(info.at("Version"), bounded(first.version, sizeof first.version));
}

TEST_F(moduleinfo_file, every_class_matches_all_three_class_info_forms)
{
    PFactoryInfo fi;
    ASSERT_EQ(factory->vtbl->getFactoryInfo(factory, &fi), kResultOk);
    const json& classes = info.at("Classes");
    const int32 count = factory->vtbl->countClasses(factory);
    ASSERT_EQ(classes.size(), (size_t)count);
    for (int32 i = 0; i < count; i++) {
        SCOPED_TRACE("class " + std::to_string(i));
        PClassInfo c1;
        PClassInfo2 c2;
        PClassInfoW cw;
        ASSERT_EQ(factory->vtbl->getClassInfo(factory, i, &c1), kResultOk);
        ASSERT_EQ(factory->vtbl->getClassInfo2(factory, i, &c2), kResultOk);
        ASSERT_EQ(factory->vtbl->getClassInfoUnicode(factory, i, &cw), kResultOk);
        const json& c = classes[i];
        EXPECT_EQ(c.at("CID"), hex_of(c1.cid));
        EXPECT_EQ(c.at("Category"), bounded(c1.category, sizeof c1.category));
        EXPECT_EQ(c.at("Name"), bounded(c1.name, sizeof c1.name));
        EXPECT_EQ(c.at("Name"), narrow(cw.name, 64));
        EXPECT_EQ(c.at("Cardinality"), c1.cardinality);
        EXPECT_EQ(c.at("Class Flags"), c2.classFlags);
        EXPECT_EQ(joined(c.at("Sub Categories")), bounded(c2.subCategories, sizeof c2.subCategories));
        EXPECT_EQ(c.at("Version"), bounded(c2.version, sizeof c2.version));
        EXPECT_EQ(c.at("Version"), narrow(cw.version, 64));
        // Hosts that read the factory take the Unicode form's SDK version.
        EXPECT_EQ(c.at("SDKVersion"), narrow(cw.sdkVersion, 64));
        // An empty class vendor stands for the factory's vendor.
        std::string vendor = bounded(c2.vendor, sizeof c2.vendor);
        EXPECT_EQ(c.at("Vendor"), vendor.empty() ? bounded(fi.vendor, sizeof fi.vendor) : vendor);
        EXPECT_TRUE(c.at("Snapshots").is_array());
    }
}

TEST_F(moduleinfo_file, every_listed_class_id_creates_an_instance)
{
    // Reading the ids back as bytes catches a file written in another byte order.
    for (const auto& c : info.at("Classes")) {
        TUID cid;
        ASSERT_TRUE(bytes_of(c.at("CID"), cid)) << c.at("CID");
        FUnknown* object = nullptr;
        ASSERT_EQ(factory->vtbl->createInstance(factory, (FIDString)cid, (FIDString)FUnknown_iid, (void**)&object),
                  kResultOk)
            << c.at("Name");
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(object->vtbl->release(object), 0u);
    }
}

}  // namespace
