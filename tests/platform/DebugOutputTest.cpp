#include "platform/DebugOutput.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace PLT {
namespace {

TEST(DebugOutputTest, WritesToStandardErrorOnlyWhenSwitchedOn) {
    struct Case {
        const char* value;  // nullptr: unset
        bool shown;
    };
    const Case cases[] = {{"1", true}, {"0", false}, {"", false}, {"yes", false}, {nullptr, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        if (c.value) {
            setenv("MARLIN_DEBUG_OUTPUT", c.value, 1);
        } else {
            unsetenv("MARLIN_DEBUG_OUTPUT");
        }
        EXPECT_EQ(DebugOutputEnabled(), c.shown);
        ::testing::internal::CaptureStderr();
        DebugOutput("\n[    info][Splitter        ][text 100%]");
        DebugOutput(nullptr);
        const std::string captured = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(captured, c.shown ? "\n[    info][Splitter        ][text 100%]" : "");
    }
    unsetenv("MARLIN_DEBUG_OUTPUT");
}

}  // namespace
}  // namespace PLT
