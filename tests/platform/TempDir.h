// A fresh folder per test, removed with everything in it afterwards.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/Process.h"

namespace PLT::test {

class TempDir {
public:
    TempDir() {
        static std::atomic<int> counter{0};
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "orvex-plt-";
        name += info != nullptr ? info->name() : "test";
        name += "-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" + std::to_string(counter++) +
                "-" + std::to_string(PLT::CurrentProcessId());
        for (char& c : name) {
            if (c == '/') {
                c = '_';
            }
        }
        m_path = (std::filesystem::temp_directory_path() / name).string();
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace PLT::test
