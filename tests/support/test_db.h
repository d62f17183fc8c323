// Test support: each test runs in a fresh working directory of its own, with
// the shared connection emptied, so that inventory.db starts new.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "database.h"

namespace testing_support {

// Makes a new empty directory and changes into it; changes back and removes
// it when destroyed.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

// Empties the shared connection's slot and clears its poisoned flag.
void reset_shared_connection();

// The connection in the shared slot (fails the test when it is empty). Tests
// are single-threaded; this does not take the lock.
db::Connection& shared_connection();

// Runs SQL (one or more statements) on a file through a plain connection of
// its own, outside DB_CONNECTION: for building fixture files before
// init_database and for looking at a file afterwards. Fails the test on error.
void run_sql_on_file(std::string_view sql, const std::string& path = db::kDatabaseFile);

// A fresh directory with a new, initialised inventory.db.
class DbTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  ScratchDir* dir = nullptr;
};

// A fresh directory with the slot emptied and no inventory.db yet: for tests
// that build their own file first or look at init_database itself.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  ScratchDir* dir = nullptr;
};

}  // namespace testing_support
