// A test with a fresh shared DOM of its own, up from SetUp to the end: its
// storage lives in a temporary directory and is taken down and removed after
// the test, whatever the test left open.
#ifndef SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMFIXTURE_H
#define SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMFIXTURE_H

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "SharedDOM/SharedDomTestSupport.h"
#include "support/TempDirectory.h"

namespace settingstore::test {

class SharedDomTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_.emplace(init_);
    root_ = session_->Root();
  }

  std::string StoragePath() const { return dir_.File("store"); }

  // Members end in reverse order: the root first, then the session, then the
  // directory it lived in.
  TempDirectory dir_;
  HostInitializer init_{StoragePath()};
  std::optional<SharedDomSession> session_;
  Ref<IStorageSection> root_;
};

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMFIXTURE_H
