// No test of this suite may reach the user's own registry store: for the
// whole run the default location is a file in a temporary directory.
#include <gtest/gtest.h>

#include <cstdlib>

#include "RegistryTestSupport.h"

namespace settingstore::test {
namespace {

class DefaultStoreGuard : public ::testing::Environment {
 public:
  void SetUp() override {
    directory_ = std::make_unique<TempDirectory>();
    setenv("SETTINGSTORE_REGISTRY_DB", directory_->File("default.db").c_str(), 1);
    reg::UseRegistryDatabase(nullptr);
  }
  void TearDown() override {
    reg::UseRegistryDatabase(nullptr);  // closes the file before it goes
    directory_.reset();
  }

 private:
  std::unique_ptr<TempDirectory> directory_;
};

[[maybe_unused]] const auto* const guard = ::testing::AddGlobalTestEnvironment(new DefaultStoreGuard);

}  // namespace
}  // namespace settingstore::test
