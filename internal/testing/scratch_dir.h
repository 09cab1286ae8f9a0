// A test fixture with a fresh temporary directory of its own, removed with
// everything below it after the test.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "internal/util/tempdir.h"

namespace testutil {

class ScratchDirTest : public ::testing::Test {
 protected:
  explicit ScratchDirTest(const char* prefix) : prefix_(prefix) {}

  void SetUp() override {
    auto dir = util::TempDir::Make(prefix_);
    ASSERT_TRUE(dir.ok()) << dir.error().message();
    dir_.emplace(std::move(*dir));
  }

  const std::string& Dir() const { return dir_->path(); }
  std::string Path(const std::string& name) const { return dir_->path() + "/" + name; }

 private:
  const char* prefix_;
  std::optional<util::TempDir> dir_;
};

}  // namespace testutil
