// A generated bigfile through the inspection session that the splitter is
// built on: the full scan maps every file but the two skipped types, reports
// exactly the generated references to missing keys, and the closures of the
// worlds share part of their files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "BIGfile/BIG_Fat.h"
#include "ERRor/ERR_Assert.h"
#include "host/Gen.h"
#include "plugin/OVI_Big.h"
#include "orvex/OVC_Interface.h"
#include "plugin/OVI_Text.h"
#include "platform/Process.h"

namespace {

namespace fs = std::filesystem;

struct Params : ORVEX::OVI_BigParams {
    OVC_Version version = OVC_CurrentVersion;
    const OVC_Version* GetVersion() override { return &version; }
};

class Session : public ORVEX::OVI_Big {
public:
    const OVC_Version* GetVersion() override { return &OVC_CurrentVersion; }
    int32_t eRun() override {
        _ScanFiles(mul_FileCount);
        return ml_Status;
    }
    bool OnMissingRef(uint32_t, uint32_t key) override {
        missing.insert(key);
        ++missingRefs;
        return true;
    }
    using OVI_Big::_BuildClosures;
    using OVI_Big::mmap_Closures;
    using OVI_Big::mmap_Records;
    using OVI_Big::mmap_Roots;
    using OVI_Big::mpo_Fat;
    using OVI_Big::mul_FileCount;

    std::set<uint32_t> missing;
    uint32_t missingRefs = 0;
};

TEST(GenSession, ScanMapsTheGeneratedGraph) {
    ERR_SetInteractive(false);
    const fs::path dir =
        fs::temp_directory_path() / ("orvex_gen_session_" + std::to_string(PLT::CurrentProcessId()));
    fs::remove_all(dir);
    HOST::GenOptions options;
    options.s_OutDir = dir.string();
    options.ull_Seed = 21;
    options.ul_Worlds = 3;
    options.ul_Files = 800;
    HOST::GenSummary summary;
    std::string error;
    ASSERT_TRUE(HOST::bGenerate(options, &summary, &error)) << error;

    Session session;
    Params params;
    ASSERT_TRUE(ORVEX::OVI_bSetText(params.msz_BigfilePath, summary.s_BigfilePath.c_str()))
        << summary.s_BigfilePath;
    testing::internal::CaptureStdout();
    const int32_t status = session.eInit(&params);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, OVC_Status_Success);
    session.mul_FileCount = session.mpo_Fat->ul_GetFileCount();
    EXPECT_EQ(session.eRun(), OVC_Status_Success);

    // Everything is mapped but the "ccm" and "ard" files, which the scan skips.
    EXPECT_EQ(session.mmap_Records.size(), summary.ul_Files - 2);
    EXPECT_EQ(session.missingRefs, summary.ul_MissingRefs);
    EXPECT_EQ(session.missing.count(200), 1u);

    for (const HOST::GenWorld& w : summary.worlds)
        session.mmap_Roots[w.ul_Key] = 0;
    session._BuildClosures();
    uint32_t shared = 0, own = 0;
    for (const auto& [key, record] : session.mmap_Records) {
        shared += record.ul_UseCount >= 2 ? 1 : 0;
        own += record.ul_UseCount == 1 ? 1 : 0;
    }
    EXPECT_GT(shared, 10u);
    EXPECT_GT(own, 100u);
    for (const HOST::GenWorld& w : summary.worlds)
        EXPECT_GT(session.mmap_Closures[w.ul_Key].size(), 50u) << w.s_Name;

    EXPECT_EQ(session.eDeinit(), OVC_Status_Success);
    fs::remove_all(dir);
}

}  // namespace
