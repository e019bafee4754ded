// The shared library as a host sees it: its entry points reached through the
// dynamic loader.
#include <gtest/gtest.h>

#include "platform/DynamicLibrary.h"
#include "orvex/OVC_Interface.h"

namespace {

TEST(Liborvexbig, EntryPointsWorkThroughTheLoader) {
    PLT::DynamicLibrary library;
    ASSERT_TRUE(library.Open(ORVEX_PLUGIN_SO)) << library.Error();
    auto initParams = reinterpret_cast<OVC_pfn_InitParams>(library.Symbol("OVC_InitParams"));
    auto initPlugin = reinterpret_cast<OVC_pfn_InitPlugin>(library.Symbol("OVC_InitPlugin"));
    auto deinitParams = reinterpret_cast<OVC_pfn_DeinitParams>(library.Symbol("OVC_DeinitParams"));
    auto deinitPlugin = reinterpret_cast<OVC_pfn_DeinitPlugin>(library.Symbol("OVC_DeinitPlugin"));
    auto hash = reinterpret_cast<OVC_pfn_Hash>(library.Symbol("OVC_Hash"));
    ASSERT_TRUE(initParams && initPlugin && deinitParams && deinitPlugin && hash);
    EXPECT_NE(library.Symbol("OVC_OutputString"), nullptr);
    // Hidden inside: the library's own classes are not reachable by name.
    EXPECT_EQ(library.Symbol("_ZN5ORVEX14OVI_GetFactoryEv"), nullptr);

    EXPECT_EQ(hash("abc"), 0x3025F862u);
    const OVC_Version bad = {1, 1, 1, 2};
    EXPECT_EQ(initParams(&bad), nullptr);
    EXPECT_EQ(initPlugin(&bad), nullptr);
    OVC_Params* params = initParams(&OVC_CurrentVersion);
    OVC_PluginInterface* plugin = initPlugin(&OVC_CurrentVersion);
    ASSERT_NE(params, nullptr);
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(OVC_ul_VersionWord(plugin->GetVersion()), OVC_VersionWord);
    EXPECT_EQ(deinitPlugin(plugin), 0);
    EXPECT_EQ(deinitParams(params), 0);
}

}  // namespace
