#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "orvex/OVC_Interface.h"
#include "plugin/OVI_Factory.h"
#include "plugin/OVI_Splitter.h"

namespace {

const OVC_Version kBadVersions[] = {{1, 1, 1, 2}, {2, 1, 1, 1}, {1, 2, 1, 1}, {0, 0, 0, 0}, {1, 1, 1, 0}};

TEST(OVI_Factory, CreationAcceptsOnlyVersion1111) {
    for (const OVC_Version& version : kBadVersions) {
        EXPECT_EQ(OVC_InitParams(&version), nullptr) << OVC_ul_VersionWord(&version);
        EXPECT_EQ(OVC_InitPlugin(&version), nullptr) << OVC_ul_VersionWord(&version);
    }
    EXPECT_EQ(OVC_InitParams(nullptr), nullptr);
    EXPECT_EQ(OVC_InitPlugin(nullptr), nullptr);

    OVC_Params* params = OVC_InitParams(&OVC_CurrentVersion);
    ASSERT_NE(params, nullptr);
    EXPECT_NE(dynamic_cast<ORVEX::OVI_SplitterParams*>(params), nullptr);
    OVC_PluginInterface* plugin = OVC_InitPlugin(&OVC_CurrentVersion);
    ASSERT_NE(plugin, nullptr);
    EXPECT_NE(dynamic_cast<ORVEX::OVI_Splitter*>(plugin), nullptr);

    EXPECT_EQ(OVC_DeinitPlugin(plugin), 0);
    EXPECT_EQ(OVC_DeinitParams(params), 0);
}

TEST(OVI_Factory, EveryGetVersionSharesOneInstance) {
    OVC_Params* params = OVC_InitParams(&OVC_CurrentVersion);
    OVC_PluginInterface* plugin = OVC_InitPlugin(&OVC_CurrentVersion);
    ASSERT_NE(params, nullptr);
    ASSERT_NE(plugin, nullptr);
    const OVC_Version* version = params->GetVersion();
    ASSERT_NE(version, nullptr);
    const uint8_t expected[4] = {1, 1, 1, 1};
    EXPECT_EQ(std::memcmp(version, expected, 4), 0);
    EXPECT_EQ(plugin->GetVersion(), version);
    EXPECT_EQ(params->GetVersion(), version);
    EXPECT_EQ(OVC_DeinitPlugin(plugin), 0);
    EXPECT_EQ(OVC_DeinitParams(params), 0);
}

// Objects made outside the factory, reporting a chosen version.
struct ForeignPlugin : OVC_PluginInterface {
    OVC_Version version;
    bool* destroyed;
    ForeignPlugin(OVC_Version v, bool* flag) : version(v), destroyed(flag) {}
    ~ForeignPlugin() override { *destroyed = true; }
    const OVC_Version* GetVersion() override { return &version; }
    int32_t eInit(OVC_Params*) override { return 0; }
    int32_t eDeinit() override { return 0; }
    int32_t eRun() override { return 0; }
};

struct ForeignParams : OVC_Params {
    OVC_Version version;
    bool* destroyed;
    ForeignParams(OVC_Version v, bool* flag) : version(v), destroyed(flag) {}
    ~ForeignParams() override { *destroyed = true; }
    const OVC_Version* GetVersion() override { return &version; }
};

TEST(OVI_Factory, DestructionRefusesAnotherVersionAndLeavesTheObject) {
    for (const OVC_Version& version : kBadVersions) {
        bool pluginDestroyed = false;
        bool paramsDestroyed = false;
        ForeignPlugin* plugin = new ForeignPlugin(version, &pluginDestroyed);
        ForeignParams* params = new ForeignParams(version, &paramsDestroyed);
        EXPECT_EQ(OVC_DeinitPlugin(plugin), 1);
        EXPECT_EQ(OVC_DeinitParams(params), 1);
        EXPECT_FALSE(pluginDestroyed);
        EXPECT_FALSE(paramsDestroyed);
        // Still ours, still usable.
        EXPECT_EQ(plugin->GetVersion()->uc_Build, version.uc_Build);
        delete plugin;
        delete params;
    }
}

TEST(OVI_Factory, DestructionRunsTheWholeObjectsDestructor) {
    // Destroying through the host base must reach the derived destructor, or
    // the members of a block or tool would leak.
    bool pluginDestroyed = false;
    bool paramsDestroyed = false;
    EXPECT_EQ(OVC_DeinitPlugin(new ForeignPlugin(OVC_CurrentVersion, &pluginDestroyed)), 0);
    EXPECT_EQ(OVC_DeinitParams(new ForeignParams(OVC_CurrentVersion, &paramsDestroyed)), 0);
    EXPECT_TRUE(pluginDestroyed);
    EXPECT_TRUE(paramsDestroyed);
}

TEST(OVI_Factory, DestructionRefusesNull) {
    EXPECT_EQ(OVC_DeinitPlugin(nullptr), 1);
    EXPECT_EQ(OVC_DeinitParams(nullptr), 1);
}

TEST(OVI_Factory, FactoryIsOneInstance) {
    EXPECT_EQ(&ORVEX::OVI_GetFactory(), &ORVEX::OVI_GetFactory());
}

}  // namespace
