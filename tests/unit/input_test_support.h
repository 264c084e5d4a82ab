#pragma once
// Helpers shared by the input set tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace qv5::testing_support {

inline std::string capturedOutput()
{
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// A fresh folder per test, removed afterwards; write() puts a file into it.
class TempFolder : public testing::Test {
protected:
    void SetUp() override
    {
        root_ =
            std::filesystem::temp_directory_path() / ("qv5-unit-input-" + std::to_string(std::random_device{}()) + "-" +
                                                      testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(root_);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    std::string write(const std::string& name, const std::string& bytes)
    {
        std::filesystem::path path = root_ / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    std::filesystem::path root_;
};

} // namespace qv5::testing_support
