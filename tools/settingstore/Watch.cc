#include "Watch.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "CliError.h"
#include "Commands.h"
#include "TreeCopy.h"
#include "ValueFormat.h"
#include "storage/watch.h"

namespace cli {

namespace {

using storage::IStorageSection;
using storage::Ref;

// What the watched section holds: its sub-sections (each path ending in '/')
// and its keys with their types and values, by path below the section.
using Contents = std::map<std::string, std::pair<storage::Type, std::string>>;

Contents Read(IStorageSection* top, bool recursive) {
  Contents contents;
  std::vector<std::pair<Ref<IStorageSection>, std::string>> pending;
  pending.emplace_back(Ref<IStorageSection>::share(top), "");
  while (!pending.empty()) {
    auto [section, path] = std::move(pending.back());
    pending.pop_back();
    // What goes while it is read went after this wake; the next one shows it.
    try {
      for (const std::string& name : SortedNames(section->EnumKeys())) {
        Ref<storage::IStorageKey> key(section->OpenKey(name.c_str()));
        contents[path + name] = {key->GetType(), ReadValue(key.get())};
      }
      for (const std::string& name : SortedNames(section->EnumSections())) {
        contents[path + name + "/"] = {storage::TYPE_UNKNOWN, ""};
        if (recursive) pending.emplace_back(Ref<IStorageSection>(section->OpenSection(name.c_str())), path + name + "/");
      }
    } catch (const storage::Exception&) {
      if (path.empty()) throw;
    } catch (const CliError&) {
    }
  }
  return contents;
}

// The section as the tool prints paths: levels joined by '/'.
std::string Shown(const std::string& section) {
  std::string path = NormalizeSectionPath(section);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

bool IsSection(const std::string& path) { return !path.empty() && path.back() == '/'; }

// Prints one line per difference, at most `limit` (none when 0); returns how
// many.
long PrintChanges(const Contents& before, const Contents& after, long limit, std::ostream& out) {
  long printed = 0;
  for (const auto& [path, value] : after) {
    if (printed == limit) break;
    const auto old = before.find(path);
    if (old != before.end() && old->second == value) continue;
    if (IsSection(path)) {
      out << path << " section added\n";
    } else {
      out << path << " set " << FormatValue(value.first, value.second);
    }
    ++printed;
  }
  for (const auto& [path, value] : before) {
    if (printed == limit) break;
    if (after.count(path) != 0) continue;
    out << path << (IsSection(path) ? " section deleted\n" : " deleted\n");
    ++printed;
  }
  out.flush();
  return printed;
}

// The storage open with a watch on the section. An XML storage is a document
// this process loaded: when another process saves the file, it is opened
// again to be read.
class Watched {
 public:
  Watched(const StorageOptions& options, const std::string& section, bool recursive)
      : storage_(std::make_unique<OpenedStorage>(options, OpenedStorage::Access::kRead)),
        section_(OpenExisting(storage_->root(), section)),
        watch_(storage::WatchSection(section_.get(), recursive)) {
    if (!watch_) throw CliError(kFailure, "this storage cannot be watched");
  }
  ~Watched() { storage_->leave(); }

  IStorageSection* section() const { return section_.get(); }
  storage::WatchResult Wait(unsigned milliseconds) { return watch_->Wait(milliseconds); }

 private:
  std::unique_ptr<OpenedStorage> storage_;
  Ref<IStorageSection> section_;
  Ref<storage::ISectionWatch> watch_;
};

}  // namespace

void Watch(const StorageOptions& options, const std::string& section, bool recursive, long count,
           std::ostream& out) {
  RequireStorage(options);
  const bool reopen = ParseStorageType(options.type) == storage::STORAGE_XML;
  auto watched = std::make_unique<Watched>(options, section, recursive);
  Contents seen = Read(watched->section(), recursive);
  // Tells a script that changes from now on are printed.
  const std::string shown = Shown(section);
  std::cerr << "settingstore: watching " << (shown.empty() ? "the root" : "'" + shown + "'") << std::endl;
  const long unlimited = -1;
  long printed = 0;
  const auto left = [&] { return count > 0 ? count - printed : unlimited; };
  const auto ended = [&] {
    printed += PrintChanges(seen, {}, left(), out);
    if (left() != 0) out << shown << "/ section deleted" << std::endl;
  };
  while (left() != 0) {
    const storage::WatchResult result = watched->Wait(1000);
    if (result == storage::WATCH_TIMEOUT) continue;
    if (result == storage::WATCH_SECTION_DELETED) return ended();
    if (reopen) {
      watched.reset();
      try {
        watched = std::make_unique<Watched>(options, section, recursive);
      } catch (const CliError& error) {
        if (error.status() != kNotFound) throw;
        return ended();
      }
    }
    Contents now;
    try {
      now = Read(watched->section(), recursive);
    } catch (const storage::Exception&) {
      continue;  // deleted meanwhile: the next wait says so
    }
    printed += PrintChanges(seen, now, left(), out);
    seen = std::move(now);
  }
}

}  // namespace cli
