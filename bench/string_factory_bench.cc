// GetSID of the string table: for a text this process knows already (its own
// index, no shared lock), and for a text that another process has just
// created (root lock and a rescan of the table's hives). The other process is
// a forked child that creates a text whenever the benchmark asks for one.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "SharedStorage/StringFactory.h"

namespace {

using storage::StringAutoRelease;
using storage::StringFactory;

std::string UniqueName(const char* what) {
  return std::string("Local\\sfbench_") + what + "_" + std::to_string(getpid()) + "_";
}

void BM_GetSIDKnownText(benchmark::State& state) {
  StringFactory factory(UniqueName("known").c_str(), nullptr);
  for (int i = 0; i < 1000; ++i) StringFactory::GetSID(("Other text " + std::to_string(i)).c_str()).AddRef();
  const StringAutoRelease kept = StringFactory::GetSID("Width");
  for (auto _ : state) {
    StringAutoRelease found = StringFactory::GetSID("WIDTH");
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_GetSIDKnownText);

// Creates texts in a child process on request: the parent writes a text
// number to one pipe, the child answers on the other once the text exists.
// The child keeps every text alive until the pipe closes.
class Creator {
 public:
  explicit Creator(const std::string& name) {
    if (pipe(requests_) != 0 || pipe(answers_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(requests_[1]);
      close(answers_[0]);
      Serve(name);
      _exit(0);
    }
    close(requests_[0]);
    close(answers_[1]);
    // Wait until the child's table is up.
    char ready;
    if (read(answers_[0], &ready, 1) != 1) pid_ = -1;
  }
  ~Creator() {
    close(requests_[1]);
    close(answers_[0]);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool Ok() const { return pid_ > 0; }

  void Create(int number) {
    char done;
    if (write(requests_[1], &number, sizeof number) != sizeof number || read(answers_[0], &done, 1) != 1) {
      std::abort();
    }
  }

  static std::string Text(int number) { return "Created elsewhere " + std::to_string(number); }

 private:
  void Serve(const std::string& name) {
    StringFactory factory(name.c_str(), nullptr);
    const char ok = 1;
    if (write(answers_[1], &ok, 1) != 1) return;
    for (int number; read(requests_[0], &number, sizeof number) == sizeof number;) {
      StringFactory::GetSID(Text(number).c_str()).AddRef();
      if (write(answers_[1], &ok, 1) != 1) return;
    }
  }

  int requests_[2] = {-1, -1};
  int answers_[2] = {-1, -1};
  pid_t pid_ = -1;
};

// Grows with the table: the rescan walks every block of its hives, and each
// iteration adds a string. A fixed number of iterations keeps the table sizes
// comparable between runs: range(0) known strings plus up to 1000 new ones.
void BM_GetSIDTextOfAnotherProcess(benchmark::State& state) {
  const std::string name = UniqueName("other");
  Creator creator(name);
  if (!creator.Ok()) {
    state.SkipWithError("no creator process");
    return;
  }
  StringFactory factory(name.c_str(), nullptr);
  for (int i = 0; i < state.range(0); ++i)
    StringFactory::GetSID(("Known " + std::to_string(i)).c_str()).AddRef();
  int number = 0;
  for (auto _ : state) {
    state.PauseTiming();
    creator.Create(++number);
    const std::string text = Creator::Text(number);
    state.ResumeTiming();
    StringAutoRelease found = StringFactory::GetSID(text.c_str());
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_GetSIDTextOfAnotherProcess)->Arg(10)->Arg(10000)->Iterations(1000);

}  // namespace

BENCHMARK_MAIN();
