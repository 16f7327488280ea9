// A plain in-process std::map of sections, each a std::map of keys: the
// limit for any in-memory tree. It has no files, so it has no cold open.
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>

#include "support/DataShape.h"
#include "support/Workloads.h"

namespace {

using bench::kValueSize;
using Keys = std::map<std::string, std::string, std::less<>>;

class MapStore {
 public:
  explicit MapStore(const std::string&) {}

  class Section {
   public:
    explicit Section(Keys& keys) : keys_(keys) {}
    void Write(const std::string& key, const char* value) { keys_.insert_or_assign(key, value); }
    void Flush() {}
    void Read(const std::string& key, char* buffer) {
      const auto found = keys_.find(key);
      if (found == keys_.end()) throw std::runtime_error("no such key");
      std::memcpy(buffer, found->second.c_str(), std::min<size_t>(found->second.size() + 1, kValueSize));
    }
    int Enumerate() {
      int count = 0;
      for (const auto& entry : keys_) count += entry.first[0] != '\0';
      return count;
    }

   private:
    Keys& keys_;
  };

  Section CreateSection(const std::string& name) { return Section(sections_[name]); }
  Section OpenSection(const std::string& name) { return Section(sections_.at(name)); }

 private:
  std::map<std::string, Keys, std::less<>> sections_;
};

}  // namespace

int main(int argc, char** argv) {
  bench::RegisterCommonWorkloads<MapStore>("std_map");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
