// The suites that call the constructor name their helper; here it is only defined.
#define TEST_HELPER nullptr
#include "support/HelperProcess.h"

#include <cstdio>

#include <thread>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace settingstore::test {

#ifdef _WIN32

struct HelperProcess::Native {
  HANDLE process = nullptr;
  HANDLE input = nullptr;
};

namespace {

// One word of a command line as the C runtime splits it again: quoted, with
// the backslashes before a quote (and before the closing one) doubled.
void AppendQuoted(std::string* line, const std::string& word) {
  if (!line->empty()) *line += ' ';
  *line += '"';
  size_t backslashes = 0;
  for (const char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    line->append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    *line += c;
  }
  line->append(2 * backslashes, '\\');
  *line += '"';
}

// A file for a child's output, which the test may read while the child runs.
HANDLE OpenOutput(const std::string& path) {
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

HelperProcess::HelperProcess(const std::vector<std::string>& arguments, const HelperStreams* io,
                             const char* program)
    : native_(std::make_unique<Native>()) {
  std::string line;
  AppendQuoted(&line, program);
  for (const std::string& word : arguments) AppendQuoted(&line, word);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  // Our copies of the handles the child inherits, closed once it has them.
  std::vector<HANDLE> passed;
  if (io != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    if (io->inputPipe) {
      SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
      HANDLE read = nullptr;
      if (!CreatePipe(&read, &native_->input, &inherited, 0)) return;
      SetHandleInformation(native_->input, HANDLE_FLAG_INHERIT, 0);
      passed.push_back(startup.hStdInput = read);
    }
    if (!io->out.empty()) passed.push_back(startup.hStdOutput = OpenOutput(io->out));
    if (!io->err.empty()) passed.push_back(startup.hStdError = OpenOutput(io->err));
  }
  // Under Wine on a loaded machine a start now and then fails outright (the
  // process never runs, nothing is written); such a start is tried again.
  PROCESS_INFORMATION started{};
  for (int attempt = 1; attempt <= 3; ++attempt) {
    if (CreateProcessA(program, line.data(), nullptr, nullptr, io != nullptr, 0, nullptr, nullptr, &startup,
                       &started)) {
      CloseHandle(started.hThread);
      native_->process = started.hProcess;
      break;
    }
    std::fprintf(stderr, "helper process %s did not start (error %lu, attempt %d)\n", program,
                 static_cast<unsigned long>(GetLastError()), attempt);
    Sleep(200);
  }
  for (HANDLE handle : passed) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
}

HelperProcess::~HelperProcess() {
  Kill();
  CloseInput();
  if (native_->process != nullptr) CloseHandle(native_->process);
}

bool HelperProcess::Started() const { return native_->process != nullptr; }
int HelperProcess::Pid() const { return Started() ? static_cast<int>(GetProcessId(native_->process)) : -1; }

bool HelperProcess::Reap(bool block) {
  if (WaitForSingleObject(native_->process, block ? INFINITE : 0) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(native_->process, &code);
  exited_ = true;
  status_ = static_cast<int>(code);
  return true;
}

void HelperProcess::Kill() {
  if (!Started() || exited_) return;
  TerminateProcess(native_->process, 128 + 9);
  Reap(true);
}

void HelperProcess::CloseInput() {
  if (native_->input != nullptr) CloseHandle(std::exchange(native_->input, nullptr));
}

#else

struct HelperProcess::Native {
  pid_t pid = -1;
  int input = -1;
};

HelperProcess::HelperProcess(const std::vector<std::string>& arguments, const HelperStreams* io,
                             const char* program)
    : native_(std::make_unique<Native>()) {
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int ends[2] = {-1, -1};
  if (io != nullptr) {
    if (io->inputPipe) {
      if (pipe2(ends, O_CLOEXEC) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return;
      }
      posix_spawn_file_actions_adddup2(&actions, ends[0], 0);
      native_->input = ends[1];
    }
    if (io->inputOutput >= 0) {
      posix_spawn_file_actions_adddup2(&actions, io->inputOutput, 0);
      posix_spawn_file_actions_adddup2(&actions, io->inputOutput, 1);
    }
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    if (!io->out.empty()) posix_spawn_file_actions_addopen(&actions, 1, io->out.c_str(), flags, 0600);
    if (!io->err.empty()) posix_spawn_file_actions_addopen(&actions, 2, io->err.c_str(), flags, 0600);
  }
  if (posix_spawn(&native_->pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) native_->pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (ends[0] >= 0) close(ends[0]);
}

HelperProcess::~HelperProcess() {
  Kill();
  CloseInput();
}

bool HelperProcess::Started() const { return native_->pid > 0; }
int HelperProcess::Pid() const { return native_->pid; }

bool HelperProcess::Reap(bool block) {
  int status = 0;
  const int options = block ? 0 : WNOHANG;
  pid_t reaped = waitpid(native_->pid, &status, options);
  while (reaped < 0 && errno == EINTR) reaped = waitpid(native_->pid, &status, options);
  if (reaped != native_->pid) return false;
  exited_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

void HelperProcess::Kill() {
  if (!Started() || exited_) return;
  kill(native_->pid, SIGKILL);
  Reap(true);
}

void HelperProcess::CloseInput() {
  if (native_->input >= 0) close(std::exchange(native_->input, -1));
}

#endif

int HelperProcess::Wait() {
  if (Started() && !exited_) Reap(true);
  return status_;
}

int HelperProcess::Wait(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (Running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      Kill();
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

bool HelperProcess::Running() { return Started() && !exited_ && !Reap(false); }

}  // namespace settingstore::test
