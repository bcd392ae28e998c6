// Helpers shared by the tests: captured log lines, scratch folders under
// /tmp and a real module process driven through its pipes.
#ifndef XAP_TESTS_TESTSUPPORT_H_
#define XAP_TESTS_TESTSUPPORT_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace xaptest {

// Collects the log lines written while it lives, at the given level.
class LogCapture {
 public:
  explicit LogCapture(unsigned level = 4);
  ~LogCapture();
  std::vector<std::string> Lines() const;
  // Number of lines that contain text.
  int Count(const std::string& text) const;
  bool Contains(const std::string& text) const { return Count(text) > 0; }
  void Clear();

 private:
  unsigned m_savedLevel;
};

// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);

// How a ModuleProcess meets the world.
struct ModuleOptions {
  std::vector<std::string> args;
  bool bNonBlockingStdout = false;  // its stdout's open file made non-blocking
  bool bStderrGone = false;         // stderr a pipe whose reader has gone
  bool bTerminal = false;           // a pty as controlling terminal (Terminal())
};

// The built xapFileSystem, run under the cross emulator when there is one.
class ModuleProcess {
 public:
  explicit ModuleProcess(const std::vector<std::string>& args = {});
  explicit ModuleProcess(const ModuleOptions& options);
  ~ModuleProcess();

  void Send(const std::string& bytes);
  // Sends text and "\n".
  void SendLine(const std::string& line) { Send(line + "\n"); }
  // The next stdout line without "\n"; empty with *bOk false on timeout or
  // end of output.
  std::string ReadLine(int timeoutMs = 20000, bool* bOk = nullptr);
  void CloseInput();
  // Closes the reading end of its stdout: the reader has gone.
  void CloseOutput();
  // What it (or its tools) wrote on the terminal so far (bTerminal).
  std::string Terminal();
  void Signal(int sig);
  // Waits for the process and returns its exit status (128 + signal when
  // it was killed), or -1 when it does not end within the timeout.
  int Wait(int timeoutMs = 20000);
  // Everything the process wrote to stderr so far.
  std::string Stderr() const;
  // Everything left on stdout after the process ended.
  std::string RestOfStdout();
  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
  int m_in = -1;
  int m_out = -1;
  int m_tty = -1;
  std::string m_errPath;
  std::string m_pending;
  int m_status = -1;
};

// Path of the module executable under test.
std::string ModuleBinary();
// A copy of the module in /dev/shm, for tests that mount over /tmp (where
// the build may live); removed at the end.
class ModuleCopy {
 public:
  ModuleCopy();
  ~ModuleCopy();
  // The shell words that start the copy (the emulator first in a cross
  // build).
  std::string Command() const;

 private:
  std::string m_path;
};

// Runs a shell command and returns what it printed on stdout.
std::string ShellOutput(const std::string& command);

// Runs the current test again in a private PID and mount namespace (root
// and unshare needed), so that what it ends by name ("killall unzip") and
// the large files it makes stay inside. True in that run, which does the
// test's work; false in the outer one, which has taken over the inner
// run's verdict, or found no namespace (*pstrSkip says why).
bool InIsolation(std::string* pstrSkip);
#define XAPTEST_ISOLATE()                            \
  do {                                               \
    std::string strSkip;                             \
    if (!::xaptest::InIsolation(&strSkip)) {         \
      if (!strSkip.empty()) GTEST_SKIP() << strSkip; \
      return;                                        \
    }                                                \
  } while (0)

// Mounts a tmpfs of the given size (as mount's size=) on path; only in an
// isolated test, whose mounts vanish with it.
void MountTmpfs(const std::string& path, const std::string& size);

}  // namespace xaptest

#endif  // XAP_TESTS_TESTSUPPORT_H_
