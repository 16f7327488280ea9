// A second, unprivileged user for the attacker cases: made with useradd when
// the tests run as root, removed with userdel at the end. Tests that need it
// skip with a message otherwise.
#ifndef SETTINGSTORE_TESTS_SUPPORT_OTHERUSER_H
#define SETTINGSTORE_TESTS_SUPPORT_OTHERUSER_H

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#define SKIP_WITHOUT_OTHER_USER(user) \
  if (!(user).Available()) GTEST_SKIP() << "attacker cases need root, to run as a second user"

namespace settingstore::test {

// Runs body in a forked child (as `uid`/`gid` unless they are -1) and gives
// its return value; -1 when it could not run or did not end within the limit
// (it is killed then: a child that hangs is the fault being looked for).
inline int RunInChild(const std::function<int()>& body, uid_t uid = static_cast<uid_t>(-1),
                      gid_t gid = static_cast<gid_t>(-1),
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (uid != static_cast<uid_t>(-1) &&
        (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) {
      _exit(126);
    }
    _exit(body());
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class OtherUser {
 public:
  OtherUser() : name_("sstest" + std::to_string(getpid()) + "x" + std::to_string(++made_)) {
    if (geteuid() != 0) return;
    if (std::system(("useradd -M -N -s /bin/false " + name_ + " >/dev/null 2>&1").c_str()) != 0) return;
    if (const passwd* entry = getpwnam(name_.c_str())) {
      uid_ = entry->pw_uid;
      gid_ = entry->pw_gid;
      available_ = true;
    }
  }
  ~OtherUser() {
    if (available_) std::system(("userdel " + name_ + " >/dev/null 2>&1").c_str());
  }
  OtherUser(const OtherUser&) = delete;
  OtherUser& operator=(const OtherUser&) = delete;

  bool Available() const { return available_; }
  uid_t Uid() const { return uid_; }
  gid_t Gid() const { return gid_; }
  const std::string& Name() const { return name_; }

  // Runs body as this user in a forked child; its return value, -1 on failure.
  int Run(const std::function<int()>& body) const { return available_ ? RunInChild(body, uid_, gid_) : -1; }

 private:
  static inline int made_ = 0;
  std::string name_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  bool available_ = false;
};

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SUPPORT_OTHERUSER_H
