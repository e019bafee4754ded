#include "platform/OutputCapture.h"
#include "platform/Terminal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

namespace PLT {
namespace {

TEST(StdoutCaptureTest, TakesStdioWritesUntilItEndsAndNests) {
    ::testing::internal::CaptureStdout();
    std::string outer;
    std::string inner;
    {
        StdoutCapture capture([&](std::string_view text) { outer.append(text); });
        ASSERT_TRUE(capture.bActive());
        std::printf("one %d\n", 1);
        {
            StdoutCapture nested([&](std::string_view text) { inner.append(text); });
            std::fwrite("two", 1, 3, stdout);
        }
        std::fputs("three\n", stdout);
        capture.Forward("forwarded\n");
    }
    std::printf("after\n");
    std::fflush(stdout);
    EXPECT_EQ(outer, "one 1\nthree\n");
    EXPECT_EQ(inner, "two");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "forwarded\nafter\n");
}

TEST(StdoutCaptureTest, StandardErrorIsTakenUnbuffered) {
    ::testing::internal::CaptureStderr();
    std::string taken;
    {
        StderrCapture capture([&](std::string_view text) { taken.append(text); });
        ASSERT_TRUE(capture.bActive());
        std::fputs("prompt> ", stderr);
        EXPECT_EQ(taken, "prompt> ") << "a text without a newline waits for nothing";
        std::fprintf(stderr, "line %d\n", 2);
        capture.Forward("forwarded\n");
    }
    std::fputs("after\n", stderr);
    EXPECT_EQ(taken, "prompt> line 2\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "forwarded\nafter\n");
}

// A status line made while standard error is captured keeps following the
// process's stream: it never writes to the capture's stream once that is gone.
TEST(StdoutCaptureTest, TheStatusLineFollowsStandardErrorAcrossACapture) {
    ::testing::internal::CaptureStderr();
    std::string taken;
    std::unique_ptr<StatusLine> line;
    {
        StderrCapture capture([&](std::string_view text) { taken.append(text); });
        line = std::make_unique<StatusLine>(nullptr, false);
        line->Set("during");
    }
    line->Set("after");
    EXPECT_EQ(taken, "during\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "after\n");
}

}  // namespace
}  // namespace PLT
