// A fresh storage for each node test: segment names no other test uses and a
// temporary directory for hive files, removed with everything in it.
#ifndef SETTINGSTORE_TESTS_SHAREDSTORAGE_NODETESTFIXTURE_H
#define SETTINGSTORE_TESTS_SHAREDSTORAGE_NODETESTFIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/Platform.h"
#include "support/TempDirectory.h"

namespace settingstore::test {

class NodeTestFixture : public ::testing::Test {
 protected:
  NodeTestFixture() {
    static std::atomic<int> counter{0};
    prefix_ = "Local\\nodetest_" + std::to_string(storage::platform::CurrentProcessId()) + "_" +
              std::to_string(counter++) + "_";
  }

  // The names of one of the DOM's three regions.
  std::string Name(const char* region) const { return prefix_ + region; }
  std::string File(const char* region) const { return directory_.File(region); }

  std::string prefix_;
  TempDirectory directory_;
};

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHAREDSTORAGE_NODETESTFIXTURE_H
