// The tools' version gates, and what they do when no bigfile can be opened.
#include <gtest/gtest.h>

#include <string>

#include "orvex/OVC_Interface.h"
#include "plugin/OVI_Big.h"
#include "plugin/OVI_Splitter.h"

namespace {

struct VersionedParams : ORVEX::OVI_SplitterParams {
    OVC_Version version;
    explicit VersionedParams(OVC_Version v) : version(v) {}
    const OVC_Version* GetVersion() override { return &version; }
};

struct NoVersionParams : ORVEX::OVI_SplitterParams {
    const OVC_Version* GetVersion() override { return nullptr; }
};

const char kNotAvailable[] = "No bigfile is open";

TEST(OVI_Splitter, eInitRefusesEveryOtherVersionWithStatus1) {
    // {1, 1, 1, 2} passes the base's first-byte test; the splitter refuses it too.
    const OVC_Version versions[] = {{1, 1, 1, 2}, {1, 9, 9, 9}, {2, 1, 1, 1}, {0, 1, 1, 1}};
    for (const OVC_Version& version : versions) {
        ORVEX::OVI_Splitter splitter;
        VersionedParams params(version);
        testing::internal::CaptureStdout();
        EXPECT_EQ(splitter.eInit(&params), OVC_Status_WrongVersion);
        // Refused before anything starts: no line at all.
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(splitter.l_Status(), OVC_Status_WrongVersion);
        EXPECT_EQ(splitter.eDeinit(), OVC_Status_WrongVersion);
    }
    ORVEX::OVI_Splitter splitter;
    NoVersionParams noVersion;
    EXPECT_EQ(splitter.eInit(&noVersion), OVC_Status_WrongVersion);
    EXPECT_EQ(splitter.eInit(nullptr), OVC_Status_WrongVersion);
}

TEST(OVI_Splitter, ABlockWithoutBigfileFailsToOpenAndTheRunSaysItIsMissing) {
    ORVEX::OVI_Splitter splitter;
    ORVEX::OVI_SplitterParams params;
    testing::internal::CaptureStdout();
    EXPECT_EQ(splitter.eInit(&params), OVC_Status_Failure);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[   error][session         ][Cannot open bigfile ''"), std::string::npos) << out;

    testing::internal::CaptureStdout();
    EXPECT_EQ(splitter.eRun(), OVC_Status_Failure);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[   error]"), std::string::npos) << out;
    EXPECT_NE(out.find(kNotAvailable), std::string::npos) << out;

    EXPECT_EQ(splitter.eDeinit(), OVC_Status_Failure);
}

// A tool that keeps the base's gate, to see what the base itself accepts.
struct BareTool : ORVEX::OVI_Big {
    const OVC_Version* GetVersion() override { return &OVC_CurrentVersion; }
    int32_t eRun() override { return ml_Status; }
};

TEST(OVI_Big, eInitChecksOnlyTheFirstByte) {
    struct Case {
        OVC_Version version;
        int32_t status;
    };
    const Case cases[] = {
        {{2, 1, 1, 1}, OVC_Status_WrongVersion},
        {{0, 1, 1, 1}, OVC_Status_WrongVersion},
        // Past the gate, the empty bigfile path is what fails.
        {{1, 1, 1, 1}, OVC_Status_Failure},
        {{1, 7, 7, 7}, OVC_Status_Failure},
    };
    for (const Case& c : cases) {
        BareTool tool;
        VersionedParams params(c.version);
        testing::internal::CaptureStdout();
        EXPECT_EQ(tool.eInit(&params), c.status) << OVC_ul_VersionWord(&c.version);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(tool.l_Status(), c.status);
    }
}

}  // namespace
