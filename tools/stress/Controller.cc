#include "Controller.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "Board.h"
#include "Ledger.h"
#include "Process.h"

namespace stress {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kLeaveLimit = std::chrono::seconds(15);
constexpr auto kVerifyLimit = std::chrono::seconds(120);
constexpr auto kCheckLimit = std::chrono::seconds(120);
constexpr auto kTick = std::chrono::milliseconds(50);
constexpr auto kProgressEvery = std::chrono::seconds(10);
constexpr size_t kFailuresListed = 30;

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

std::string Fixed(double value, int digits = 1) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

struct WorkerSlot {
  std::unique_ptr<ChildProcess> process;
  uint32_t worker = 0;
  bool killed = false;
  bool leftInOrder = false;  // said "bye"
  size_t failuresReported = 0;
};

struct StuckOperation {
  InFlight op;
  std::string text;
  std::string outcome;  // how it ended, once known
};

class Campaign {
 public:
  Campaign(const RunOptions& options, fs::path directory)
      : options_(options),
        directory_(std::move(directory)),
        storage_(directory_ / "storage"),
        board_(Board::Create((directory_ / "heartbeat").string())),
        self_(SelfExecutable()),
        random_(options.seed) {
    fs::create_directories(storage_);
  }

  bool Run() {
    const auto begin = Clock::now();
    slots_.resize(options_.workers);
    for (size_t slot = 0; slot < slots_.size(); ++slot) Start(slot);
    RunWorkPhase(begin);
    StopWorkers();
    workSeconds_ = Seconds(Clock::now() - begin);
    WriteExpectations();
    if (options_.type != "shared") {
      verification_ = "not applicable (each XML worker had a storage of its own)";
      check_ = verification_;
    } else if (!stuck_.empty() || workersLeftBehind_) {
      // A stuck process may still hold locks: nothing could read the storage.
      verification_ = "skipped (a process hung)";
      check_ = verification_;
    } else {
      Verify();
      Check();
    }
    return failures_.empty();
  }

  std::string Summary(bool passed) const {
    std::ostringstream out;
    out << "settingstore stress run: " << (passed ? "PASSED" : "FAILED") << "\n";
    out << "  storage: " << options_.type << " at " << storage_.string() << "\n";
    out << "  seed: " << options_.seed << "; work phase " << Fixed(workSeconds_) << " s of "
        << Fixed(options_.duration) << " s planned\n";
    out << "  processes: " << options_.workers << " workers at a time x " << options_.threads << " threads; "
        << started_ << " worker processes started, " << kills_ << " killed with SIGKILL, " << crashes_
        << " crashed\n";
    out << "  operations: " << counters_.TotalOperations() << "\n";
    for (size_t kind = 1; kind < kOpKinds; ++kind)
      if (counters_.operations[kind] != 0)
        out << "    " << OpName(static_cast<OpKind>(kind)) << ": " << counters_.operations[kind] << "\n";
    out << "  expected errors:";
    for (size_t i = 0; i < kExpectedCodes.size(); ++i)
      out << " " << kExpectedCodes[i] << ": " << counters_.expected[i]
          << (i + 1 < kExpectedCodes.size() ? "," : "");
    out << "\n  kills: " << kills_;
    if (!killedDuring_.empty()) {
      out << " (in flight at the kill:";
      for (const auto& [what, count] : killedDuring_) out << " " << what << " " << count << ";";
      out << ")";
    }
    out << "\n  stuck operations (over " << Fixed(options_.watchdogSeconds) << " s): " << stuck_.size()
        << "\n";
    for (const StuckOperation& stuck : stuck_)
      out << "    " << stuck.text << "; " << (stuck.outcome.empty() ? "still stuck" : stuck.outcome) << "\n";
    out << "  acknowledged writes of owned keys: " << ledger_.AcknowledgedWrites() << " on "
        << ledger_.Expectations().size() << " keys\n";
    out << "  reload and full read in a fresh process: " << verification_ << "\n";
    out << "  settingstore check: " << check_ << "\n";
    out << "  failures: " << failures_.size() << "\n";
    for (size_t i = 0; i < failures_.size() && i < kFailuresListed; ++i)
      out << "    " << failures_[i] << "\n";
    if (failures_.size() > kFailuresListed)
      out << "    ... and " << failures_.size() - kFailuresListed << " more\n";
    return out.str();
  }

 private:
  std::string Who(size_t slot) const {
    if (slot == kVerifierSlot) return "verifier";
    return "worker " + std::to_string(slots_[slot].worker);
  }

  void Fail(const std::string& text) {
    failures_.push_back(text);
    std::cerr << "FAILURE: " << text << std::endl;
  }

  std::string StoragePathFor(uint32_t worker) const {
    if (options_.type == "shared") return storage_.string();
    const fs::path own = storage_ / ("xml-w" + std::to_string(worker));
    fs::create_directories(own);
    return own.string();
  }

  void Start(size_t slot) {
    WorkerSlot& entry = slots_[slot];
    entry = WorkerSlot{};
    entry.worker = ++lastWorker_;
    board_.ResetSlot(slot, entry.worker);
    entry.process = std::make_unique<ChildProcess>(
        self_, std::vector<std::string>{"worker",
                                        "--type",
                                        options_.type,
                                        "--storage",
                                        StoragePathFor(entry.worker),
                                        "--board",
                                        (directory_ / "heartbeat").string(),
                                        "--slot",
                                        std::to_string(slot),
                                        "--worker",
                                        std::to_string(entry.worker),
                                        "--threads",
                                        std::to_string(options_.threads),
                                        "--sections",
                                        std::to_string(options_.sections),
                                        "--seed",
                                        std::to_string(options_.seed),
                                        "--controller",
                                        std::to_string(CurrentPid()),
                                        "--inject",
                                        options_.injection.empty() ? "none" : options_.injection});
    ++started_;
  }

  void HandleLine(size_t slot, WorkerSlot& entry, const std::string& line) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word == "ack" || word == "unsure") {
      std::string location;
      uint64_t sequence = 0;
      if (!(in >> location >> sequence)) return Fail(Who(slot) + " sent a bad report: " + line);
      if (word == "ack")
        ledger_.Acknowledge(entry.worker, location, sequence);
      else
        ledger_.MarkUncertain(location);
    } else if (word == "fail") {
      ++entry.failuresReported;
      Fail(Who(slot) + ": " + line.substr(5));
    } else if (word == "bye") {
      entry.leftInOrder = true;
    } else if (word == "note") {
      verifierNote_ = line.substr(5);
    } else {
      Fail(Who(slot) + " sent an unknown report: " + line);
    }
  }

  void Drain(size_t slot, WorkerSlot& entry) {
    if (!entry.process) return;
    std::vector<std::string> lines;
    entry.process->ReadReports(lines);
    for (const std::string& line : lines) HandleLine(slot, entry, line);
  }

  // Everything a finished process left in its pipe, then its accounts.
  void Retire(size_t slot, WorkerSlot& entry, int status) {
    Drain(slot, entry);
    counters_ += board_.SlotCounters(slot);
    if (entry.killed || !entry.leftInOrder || status != 0) ledger_.MarkInterrupted(entry.worker);
    if (!entry.killed) {
      if (status >= 128) ++crashes_;
      if (status != 0 && !(status == 1 && entry.failuresReported > 0))
        Fail(Who(slot) + " (pid " + std::to_string(entry.process->Pid()) + ") ended with status " +
             std::to_string(status));
      else if (status == 0 && !entry.leftInOrder)
        Fail(Who(slot) + " ended without leaving the storage in order");
    }
    entry.process.reset();
  }

  std::vector<int> Descriptors() const {
    std::vector<int> descriptors;
    for (const WorkerSlot& entry : slots_)
      if (entry.process && entry.process->ReportDescriptor() >= 0)
        descriptors.push_back(entry.process->ReportDescriptor());
    return descriptors;
  }

  // Reads reports and retires ended workers; true while any still runs.
  bool Service(bool restart) {
    WaitForReports(Descriptors(), kTick);
    bool running = false;
    for (size_t slot = 0; slot < slots_.size(); ++slot) {
      WorkerSlot& entry = slots_[slot];
      if (!entry.process) continue;
      Drain(slot, entry);
      if (auto status = entry.process->TryReap()) {
        Retire(slot, entry, *status);
        if (restart) Start(slot);
      }
      running = running || entry.process != nullptr;
    }
    Watch();
    return running;
  }

  void Watch() {
    const std::vector<InFlight> running = board_.Running(0);
    for (const InFlight& op : running) {
      if (op.seconds < options_.watchdogSeconds || !reportedStuck_.insert({op.worker, op.thread}).second)
        continue;
      std::string text =
          (op.slot == kVerifierSlot ? std::string("verifier") : "worker " + std::to_string(op.worker)) +
          " thread " + std::to_string(op.thread) + " stuck in " + OpName(op.kind) + " " + op.place +
          (op.key.empty() ? "" : " key " + op.key) + " for " + Fixed(op.seconds) + " s";
      std::string others;
      for (const InFlight& other : running)
        if (other.place == op.place && !(other.worker == op.worker && other.thread == op.thread))
          others += "; also in " + std::string(OpName(other.kind)) + " on " + other.place + ": worker " +
                    std::to_string(other.worker) + " thread " + std::to_string(other.thread) + " for " +
                    Fixed(other.seconds) + " s";
      stuck_.push_back(StuckOperation{op, text + others, ""});
      Fail("stuck operation: " + text + others);
    }
    // How each stuck operation ended tells a slow one from a deadlock.
    for (StuckOperation& stuck : stuck_) {
      if (!stuck.outcome.empty()) continue;
      const bool stillRunning = std::any_of(running.begin(), running.end(), [&](const InFlight& op) {
        return op.worker == stuck.op.worker && op.thread == stuck.op.thread && op.started == stuck.op.started;
      });
      if (!stillRunning)
        stuck.outcome = "ended after " +
                        Fixed(Seconds(std::chrono::nanoseconds(NowNanoseconds() - stuck.op.started))) + " s";
    }
  }

  // A stuck operation's worker is killed or leaves: what it had waited for.
  void NoteStuckEnd(uint32_t worker, const char* how) {
    for (StuckOperation& stuck : stuck_)
      if (stuck.op.worker == worker && stuck.outcome.empty())
        stuck.outcome = std::string(how) + " after " +
                        Fixed(Seconds(std::chrono::nanoseconds(NowNanoseconds() - stuck.op.started))) + " s";
  }

  void Kill(size_t slot) {
    WorkerSlot& entry = slots_[slot];
    bool inFlight = false;
    for (const InFlight& op : board_.Running(0))
      if (op.slot == slot) {
        ++killedDuring_[OpName(op.kind)];
        inFlight = true;
      }
    if (!inFlight) ++killedDuring_["nothing"];
    entry.killed = true;
    NoteStuckEnd(entry.worker, "still stuck when its worker was killed");
    entry.process->Kill();
    ++kills_;
    Retire(slot, entry, *entry.process->TryReap());
    Start(slot);
  }

  void RunWorkPhase(Clock::time_point begin) {
    const auto end =
        begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.duration));
    const bool killing = options_.killMaxMs > 0;
    auto nextKill = Clock::now() + NextKillDelay();
    auto nextProgress = begin + kProgressEvery;
    while (Clock::now() < end && !Interrupted()) {
      Service(true);
      const auto now = Clock::now();
      const bool owedKill = kills_ < options_.minKills && Seconds(now - begin) > 0.6 * options_.duration;
      if ((killing && now >= nextKill) || owedKill) {
        std::vector<size_t> live;
        for (size_t slot = 0; slot < slots_.size(); ++slot)
          if (slots_[slot].process) live.push_back(slot);
        if (!live.empty()) Kill(live[std::uniform_int_distribution<size_t>(0, live.size() - 1)(random_)]);
        nextKill = Clock::now() + NextKillDelay();
      }
      if (now >= nextProgress) {
        Counters running = counters_;
        for (size_t slot = 0; slot < slots_.size(); ++slot)
          if (slots_[slot].process) running += board_.SlotCounters(slot);
        std::cerr << "stress: " << Fixed(Seconds(now - begin), 0) << " s, " << running.TotalOperations()
                  << " operations, " << kills_ << " kills, " << failures_.size() << " failures" << std::endl;
        nextProgress += kProgressEvery;
      }
    }
    if (Interrupted()) Fail("interrupted");
  }

  Clock::duration NextKillDelay() {
    const int low = std::min(options_.killMinMs, options_.killMaxMs);
    return std::chrono::milliseconds(
        std::uniform_int_distribution<int>(low, std::max(low, options_.killMaxMs))(random_));
  }

  void StopWorkers() {
    board_.RequestStop();
    const auto deadline = Clock::now() + kLeaveLimit;
    while (Service(false) && Clock::now() < deadline) {
    }
    for (size_t slot = 0; slot < slots_.size(); ++slot) {
      WorkerSlot& entry = slots_[slot];
      if (!entry.process) continue;
      std::string doing;
      for (const InFlight& op : board_.Running(0))
        if (op.slot == slot)
          doing += " [thread " + std::to_string(op.thread) + " in " + OpName(op.kind) + " " + op.place +
                   (op.key.empty() ? "" : " key " + op.key) + "]";
      Fail(Who(slot) + " did not leave within " + std::to_string(kLeaveLimit.count()) + " s" + doing);
      workersLeftBehind_ = true;
      NoteStuckEnd(entry.worker, "still stuck when its worker was killed at the end");
      entry.killed = true;
      entry.process->Kill();
      Retire(slot, entry, *entry.process->TryReap());
    }
  }

  void WriteExpectations() {
    std::ofstream out(directory_ / "expected");
    for (const Expectation& expectation : ledger_.Expectations())
      out << FormatExpectation(expectation) << "\n";
  }

  bool HiveFilesWritten() const {
    for (const auto& file : fs::directory_iterator(storage_)) {
      const std::string name = file.path().filename().string();
      if (name.rfind(".storage", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".dm2")
        return true;
    }
    return false;
  }

  void Verify() {
    if (!HiveFilesWritten()) {
      verification_ = "FAILED";
      return Fail("no hive files were written to " + storage_.string() + " when the last process left");
    }
    const size_t failuresBefore = failures_.size();
    const size_t slot = kVerifierSlot;
    WorkerSlot entry;
    board_.ResetSlot(slot, 0);
    entry.process = std::make_unique<ChildProcess>(
        self_, std::vector<std::string>{"verify", "--type", options_.type, "--storage", storage_.string(),
                                        "--board", (directory_ / "heartbeat").string(), "--expect",
                                        (directory_ / "expected").string(), "--sections",
                                        std::to_string(options_.sections), "--controller",
                                        std::to_string(CurrentPid())});
    const auto deadline = Clock::now() + kVerifyLimit;
    std::optional<int> status;
    while (!(status = entry.process->TryReap()) && Clock::now() < deadline) {
      WaitForReports({entry.process->ReportDescriptor()}, kTick);
      Drain(slot, entry);
      Watch();
    }
    if (!status) {
      Fail("the verifier did not finish within " + std::to_string(kVerifyLimit.count()) + " s");
      entry.process->Kill();
      status = entry.process->TryReap();
    }
    Drain(slot, entry);
    counters_ += board_.SlotCounters(slot);
    if (*status != 0 && failures_.size() == failuresBefore)
      Fail("the verifier ended with status " + std::to_string(*status));
    verification_ =
        std::string(failures_.size() == failuresBefore ? "passed" : "FAILED") + " (" + verifierNote_ + ")";
  }

  void Check() {
    std::string cli = options_.cliPath;
    if (cli.empty())
      cli = (fs::path(self_).parent_path().parent_path() / "settingstore" / "settingstore").string();
    if (!fs::exists(cli)) {
      check_ = "not run (no " + cli + ")";
      return;
    }
    const std::string output = (directory_ / "check.txt").string();
    std::optional<int> status;
    try {
      const std::optional<int> help = RunToEnd(cli, {"check", "--help"}, output, std::chrono::seconds(10));
      if (!help || *help != 0) {
        check_ = "not run (" + cli + " has no check command yet)";
        return;
      }
      status = RunToEnd(cli, {"check", "--type", "shared", "--path", storage_.string()}, output, kCheckLimit);
    } catch (const std::runtime_error& error) {
      // The summary still comes out: an unchecked storage is a failed run.
      check_ = "FAILED";
      Fail(std::string("settingstore check did not run: ") + error.what());
      return;
    }
    std::ifstream in(output);
    std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (said.size() > 2000) said.resize(2000);
    if (status && *status == 0) {
      check_ = "passed";
      return;
    }
    check_ = "FAILED";
    Fail("settingstore check " + (status ? "exited with " + std::to_string(*status) : std::string("hung")) +
         ": " + said);
  }

  const RunOptions& options_;
  fs::path directory_;
  fs::path storage_;
  Board board_;
  std::string self_;
  std::mt19937_64 random_;
  std::vector<WorkerSlot> slots_;
  uint32_t lastWorker_ = 0;
  Ledger ledger_;
  Counters counters_;
  std::vector<std::string> failures_;
  std::vector<StuckOperation> stuck_;
  std::set<std::pair<uint32_t, size_t>> reportedStuck_;
  std::map<std::string, size_t> killedDuring_;
  size_t started_ = 0;
  size_t kills_ = 0;
  size_t crashes_ = 0;
  double workSeconds_ = 0;
  bool workersLeftBehind_ = false;
  std::string verifierNote_;
  std::string verification_ = "not run";
  std::string check_ = "not run";
};

}  // namespace

int RunController(const RunOptions& given) {
  RunOptions options = given;
  // XML objects must not be used once another thread deleted their element:
  // a dry run of the machinery on XML keeps to one thread per worker.
  if (options.type == "xml") options.threads = 1;
  if (options.seed == 0) options.seed = static_cast<uint64_t>(Clock::now().time_since_epoch().count()) | 1;
  if (options.workers == 0 || options.workers >= kMaxSlots || options.threads == 0 ||
      options.threads > kMaxThreads || options.sections <= 0) {
    std::cerr << "settingstore-stress: 1 to " << kMaxSlots - 1 << " workers, 1 to " << kMaxThreads
              << " threads and at least one section" << std::endl;
    return 2;
  }
  fs::path directory = options.directory;
  const bool temporary = directory.empty();
  if (temporary) directory = MakeTemporaryDirectory("settingstore-stress");
  fs::create_directories(directory);
  CatchInterrupts();

  bool passed = false;
  std::string summary;
  {
    Campaign campaign(options, directory);
    passed = campaign.Run();
    summary = campaign.Summary(passed);
  }
  std::cout << summary;
  if (!options.summaryPath.empty()) std::ofstream(options.summaryPath) << summary;
  if (temporary && ((passed && !options.keep) || options.discard)) {
    std::error_code ignored;
    fs::remove_all(directory, ignored);
  } else {
    std::cout << "run directory kept: " << directory.string() << std::endl;
  }
  return passed ? 0 : 1;
}

}  // namespace stress
