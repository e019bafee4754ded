// A temporary folder for one test, named after the test and removed with
// everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/Process.h"

namespace test_support {

class TempFolder {
public:
    TempFolder() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "orvex_test_";
        if (info != nullptr)
            name += std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : name)
            if (c == '/')
                c = '_';
        // The process id keeps apart the same test run by several checkouts at once
        // (rand() without a seed gives every process the same number).
        m_path = std::filesystem::temp_directory_path() /
                 (name + "_" + std::to_string(PLT::CurrentProcessId()) + "_" + std::to_string(std::rand()));
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::string File(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

}  // namespace test_support
