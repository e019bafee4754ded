// The shared library's exported symbols: the host interface and nothing else.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "platform/Process.h"

namespace {

TEST(Liborvexbig, ExportsExactlyTheHostInterface) {
    PLT::ProcessResult result;
    ASSERT_TRUE(PLT::RunProcess({ORVEX_NM, "-D", "--defined-only", ORVEX_PLUGIN_SO}, {}, &result));
    ASSERT_EQ(result.exitCode, 0) << result.err;

    std::set<std::string> exported;
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name)
            exported.insert(name);
    }

    const std::set<std::string> expected = {
        "OVC_InitPlugin", "OVC_DeinitPlugin", "OVC_InitParams", "OVC_DeinitParams", "OVC_OutputString",
        "OVC_Hash",
        // OVC_Params: constructors, destructors (complete, base, deleting),
        // vtable, typeinfo and its name.
        "_ZN10OVC_ParamsC1Ev", "_ZN10OVC_ParamsC2Ev", "_ZN10OVC_ParamsD0Ev", "_ZN10OVC_ParamsD1Ev",
        "_ZN10OVC_ParamsD2Ev", "_ZTV10OVC_Params", "_ZTI10OVC_Params", "_ZTS10OVC_Params",
        // OVC_PluginInterface, the same.
        "_ZN19OVC_PluginInterfaceC1Ev", "_ZN19OVC_PluginInterfaceC2Ev", "_ZN19OVC_PluginInterfaceD0Ev",
        "_ZN19OVC_PluginInterfaceD1Ev", "_ZN19OVC_PluginInterfaceD2Ev", "_ZTV19OVC_PluginInterface",
        "_ZTI19OVC_PluginInterface", "_ZTS19OVC_PluginInterface"};
    EXPECT_EQ(exported, expected) << result.out;
}

}  // namespace
