// GetSID of the string table: for a text this process knows already (its own
// index, no shared lock), and for a text that another process has just
// created (root lock and a rescan of the table's hives); GetString of a SID
// that another process has just issued (root lock and the hint table). The
// other process is a forked child that creates a text whenever the benchmark
// asks for one.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "shareddom/StringFactory.h"

namespace {

using storage::StringAutoRelease;
using storage::StringFactory;

std::string UniqueName(const char* what) {
  return std::string("Local\\sfbench_") + what + "_" + std::to_string(getpid()) + "_";
}

void BM_GetSIDKnownText(benchmark::State& state) {
  StringFactory factory(UniqueName("known").c_str(), nullptr);
  for (int i = 0; i < 1000; ++i) factory.GetSID(("Other text " + std::to_string(i)).c_str()).AddRef();
  const StringAutoRelease kept = factory.GetSID("Width");
  for (auto _ : state) {
    StringAutoRelease found = factory.GetSID("WIDTH");
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_GetSIDKnownText);

// Creates texts in a child process on request: the parent writes a text
// number to one pipe, the child answers with its SID on the other once the
// text exists.
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
    int32_t ready;
    if (read(answers_[0], &ready, sizeof ready) != sizeof ready) pid_ = -1;
  }
  ~Creator() {
    close(requests_[1]);
    close(answers_[0]);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool Ok() const { return pid_ > 0; }

  int32_t Create(int number) {
    int32_t sid;
    if (write(requests_[1], &number, sizeof number) != sizeof number ||
        read(answers_[0], &sid, sizeof sid) != sizeof sid) {
      std::abort();
    }
    return sid;
  }

  static std::string Text(int number) { return "Created elsewhere " + std::to_string(number); }

 private:
  void Serve(const std::string& name) {
    StringFactory factory(name.c_str(), nullptr);
    const int32_t ready = 0;
    if (write(answers_[1], &ready, sizeof ready) != sizeof ready) return;
    for (int number; read(requests_[0], &number, sizeof number) == sizeof number;) {
      const StringAutoRelease made = factory.GetSID(Text(number).c_str());
      made.AddRef();
      const int32_t sid = made.GetSID();
      if (write(answers_[1], &sid, sizeof sid) != sizeof sid) return;
    }
  }

  int requests_[2] = {-1, -1};
  int answers_[2] = {-1, -1};
  pid_t pid_ = -1;
};

// Runs `look` once an iteration on the text (and SID) that the creator process
// has just made, with range(0) strings known here beforehand; false from
// `look` ends the run as a failure.
template <class Look>
void OnTextsOfAnotherProcess(benchmark::State& state, const char* what, Look look) {
  const std::string name = UniqueName(what);
  Creator creator(name);
  if (!creator.Ok()) {
    state.SkipWithError("no creator process");
    return;
  }
  StringFactory factory(name.c_str(), nullptr);
  for (int i = 0; i < state.range(0); ++i)
    factory.GetSID(("Known " + std::to_string(i)).c_str()).AddRef();
  int number = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const int32_t sid = creator.Create(++number);
    const std::string text = Creator::Text(number);
    state.ResumeTiming();
    if (!look(factory, text, sid)) {
      state.SkipWithError("the new string was not found");
      return;
    }
  }
}

// Grows with the table: the rescan walks the blocks carved since the last
// one, and each iteration adds a string. A fixed number of iterations keeps
// the table sizes comparable between runs: range(0) known strings plus up to
// 1000 new ones.
void BM_GetSIDTextOfAnotherProcess(benchmark::State& state) {
  OnTextsOfAnotherProcess(state, "other", [](StringFactory& factory, const std::string& text, int32_t) {
    return factory.GetSID(text.c_str()).GetHolder() != nullptr;
  });
}
BENCHMARK(BM_GetSIDTextOfAnotherProcess)->Arg(10)->Arg(10000)->Iterations(1000);

// What a reader meets when another process has just written a value: a SID it
// has never seen. The same table sizes as above.
void BM_GetStringOfAnotherProcess(benchmark::State& state) {
  OnTextsOfAnotherProcess(state, "sid", [](StringFactory& factory, const std::string&, int32_t sid) {
    return factory.GetString(sid).GetString() != nullptr;
  });
}
BENCHMARK(BM_GetStringOfAnotherProcess)->Arg(10)->Arg(10000)->Iterations(1000);

}  // namespace

BENCHMARK_MAIN();
