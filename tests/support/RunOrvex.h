// Runs the built `orvex` as a user would, for tests that drive whole commands.
// ORVEX_EXE and ORVEX_PLUGIN_SO are given by the test build.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Process.h"

namespace test_support {

// The build tree's plug-in, and no debugger output mixed into standard error.
inline const std::vector<std::string> kOrvexEnvironment = {"ORVEX_PLUGIN=" ORVEX_PLUGIN_SO,
                                                           "MARLIN_DEBUG_OUTPUT"};

// `env` holds the process's environment changes ("NAME=value" sets, "NAME" unsets).
inline PLT::ProcessResult RunOrvex(const std::vector<std::string>& args,
                                   const std::vector<std::string>& env = kOrvexEnvironment) {
    std::vector<std::string> argv = {ORVEX_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    PLT::ProcessResult result;
    EXPECT_TRUE(PLT::RunProcess(argv, env, &result)) << ORVEX_EXE;
    return result;
}

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace test_support
