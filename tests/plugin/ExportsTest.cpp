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

    // Each host class exports its destructors (complete, base, deleting), vtable,
    // typeinfo and typeinfo name, and its constructor in whichever variants the
    // compiler emits: both the complete-object (C1) and base-object (C2) ones,
    // or only C2 for an abstract class, which is never a complete object.
    std::set<std::string> required = {"OVC_InitPlugin",   "OVC_DeinitPlugin", "OVC_InitParams",
                                      "OVC_DeinitParams", "OVC_OutputString", "OVC_Hash"};
    std::set<std::string> allowed;
    for (const std::string mangled : {"10OVC_Params", "19OVC_PluginInterface"}) {
        for (const char* suffix : {"D0Ev", "D1Ev", "D2Ev"})
            required.insert("_ZN" + mangled + suffix);
        for (const char* prefix : {"_ZTV", "_ZTI", "_ZTS"})
            required.insert(prefix + mangled);
        const std::string complete = "_ZN" + mangled + "C1Ev", base = "_ZN" + mangled + "C2Ev";
        EXPECT_TRUE(exported.count(complete) != 0 || exported.count(base) != 0)
            << "no constructor of " << mangled << "\n"
            << result.out;
        allowed.insert(complete);
        allowed.insert(base);
    }
    allowed.insert(required.begin(), required.end());

    for (const std::string& name : required)
        EXPECT_EQ(exported.count(name), 1u) << "missing " << name << "\n" << result.out;
    for (const std::string& name : exported)
        EXPECT_EQ(allowed.count(name), 1u) << "extra " << name << "\n" << result.out;
}

}  // namespace
