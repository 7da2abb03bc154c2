// A folder of each test's own, made empty before it and removed after it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

namespace qxtest {

class TestFolder : public ::testing::Test {
 protected:
  // `prefix` names the suite's folders under the system's temporary folder.
  explicit TestFolder(const char *prefix) : prefix_(prefix) {}
  void SetUp() override {
    // Parameterised tests have a '/' in their names: one flat folder each all the same.
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    dir_ =
        std::filesystem::temp_directory_path() / (prefix_ + std::to_string(getpid()) + "_" + name);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;

 private:
  std::string prefix_;
};

}  // namespace qxtest
