// What the tests share: scratch folders, the real module driven through its
// pipes, and a private PID and mount namespace for tests that need one; and
// the headers every test uses.
#ifndef XAP_TESTS_TESTSUPPORT_H_
#define XAP_TESTS_TESTSUPPORT_H_

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace xaptest {

// A fresh folder, removed with everything in it at the end: under base, by
// default the private /tmp of an isolated test, or else a folder of the
// build tree (never the machine's own /tmp).
struct TempDir {
  explicit TempDir(const std::string& base = "");
  ~TempDir();
  const std::string& Path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }
  std::string m_path;
};

// A test that works in a fresh folder: dir, and its path with a "/" in d.
struct InFolder : ::testing::Test {
  TempDir dir;
  const std::string d = dir.Path() + "/";
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// Runs a shell command; a failure of the test when it fails.
void Sh(const std::string& command);
// What a shell command printed on stdout.
std::string ShellOutput(const std::string& command);
// A command line in the JSON form.
std::string Line(const std::string& cmd, const std::vector<std::string>& params = {});
// The shell words that start the module (the emulator first in a cross
// build).
std::string ModuleCommand();

// The built xapFileSystem, run under the cross emulator when there is one.
class ModuleProcess {
 public:
  // The shell command that runs it, "@" standing for the module: "@" alone,
  // "@ --log-level 3", "prlimit -n 12 @". Its stdin and stdout are pipes of
  // the test, its stderr a file of the test unless the command sends it on.
  explicit ModuleProcess(const std::string& command = "@");
  ~ModuleProcess();
  void Send(const std::string& bytes);
  void SendLine(const std::string& line) { Send(line + "\n"); }
  // The next stdout line without "\n"; "" on timeout (and from then on) or
  // at end of output.
  std::string ReadLine(int timeoutMs = 20000);
  // Sends a line; the "reply" of its answer as JSON text ("1", "\"x\""), or
  // the whole answer when it has none.
  std::string Ask(const std::string& line, int timeoutMs = 20000);
  // A second call closes -1, which fails harmlessly.
  void CloseInput() { close(std::exchange(m_in, -1)); }
  // Its exit status (128 + signal when killed), or -1 after the timeout.
  int Wait(int timeoutMs = 60000);
  // The stderr lines written since the last call, with the line number a
  // log line names shown as "N": "L0 [QOM][Execute(N)] Unknow Cmd = [x]".
  std::string NewLog();
  std::string RestOfStdout();  // once it has ended
  pid_t Pid() const { return m_pid; }
  int StdoutFd() const { return m_out; }

 private:
  pid_t m_pid = -1;
  int m_in = -1, m_out = -1, m_err = -1, m_status = -1;
  size_t m_logged = 0;
  bool m_bSilent = false;
  std::string m_pending;
};

// Pairs of texts: a line and its reply, a path and its content.
using Rows = std::vector<std::pair<std::string, std::string>>;
// Sends each line and expects its reply (as Ask gives it); an empty line
// reads the next line (an event) instead.
void Transcript(ModuleProcess& module, const Rows& rows);

// Runs the current test again in a private PID and mount namespace with a
// fresh tmpfs on /tmp (the module works only under its roots, /tmp among
// them), so that what it mounts, ends by name or writes under /tmp stays
// inside; the outer run takes over the inner verdict, or skips where the
// machine gives no such namespace. The inner run, marked by the
// environment, goes on to do the work.
void RunIsolated();
#define XAPTEST_ISOLATE() \
  if (getenv("XAPTEST_ISOLATED") == nullptr) return ::xaptest::RunIsolated()

// Mounts a tmpfs on path (made if missing); only in an isolated test.
void MountTmpfs(const std::string& path, const std::string& size = "64m");

}  // namespace xaptest

#endif  // XAP_TESTS_TESTSUPPORT_H_
