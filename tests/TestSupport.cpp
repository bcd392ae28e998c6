#include "TestSupport.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "QomDebug.h"
#include "XapOutput.h"

extern char** environ;

namespace xaptest {
namespace {

std::mutex g_logMutex;
std::vector<std::string> g_logLines;

void CaptureLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_logLines.push_back(line);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> out;
  std::stringstream ss(list);
  std::string item;
  while (std::getline(ss, item, '|')) {
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

}  // namespace

LogCapture::LogCapture(unsigned level) : m_savedLevel(qom::CQOMDebug::GetLevel()) {
  Clear();
  qom::CQOMDebug::SetLevel(level);
  qom::host::SetLogSink(CaptureLine);
}

LogCapture::~LogCapture() {
  qom::host::SetLogSink(nullptr);
  qom::CQOMDebug::SetLevel(m_savedLevel);
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(g_logMutex);
  return g_logLines;
}

int LogCapture::Count(const std::string& text) const {
  std::lock_guard<std::mutex> lock(g_logMutex);
  int n = 0;
  for (const std::string& line : g_logLines) n += line.find(text) != std::string::npos;
  return n;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_logLines.clear();
}

TempDir::TempDir() {
  char templ[] = "/tmp/xapfs-test-XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = templ;
}

TempDir::~TempDir() {
  umount2(m_path.c_str(), MNT_DETACH);  // a tmpfs an isolated test put there
  // Give back write and search rights that a test may have taken away.
  std::string cmd = "chmod -R u+rwx '" + m_path + "' 2>/dev/null";
  if (system(cmd.c_str()) != 0) {
    // Nothing more to do; nftw removes what it can.
  }
  nftw(m_path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string ModuleBinary() { return XAP_TEST_BINARY; }

ModuleCopy::ModuleCopy() {
  char templ[] = "/dev/shm/xapfs-module-XXXXXX";
  int fd = mkstemp(templ);
  if (fd < 0) throw std::runtime_error("mkstemp in /dev/shm failed");
  close(fd);
  m_path = templ;
  std::string copy = "cp " + ModuleBinary() + " " + m_path + " && chmod 755 " + m_path;
  if (system(copy.c_str()) != 0) throw std::runtime_error("cannot copy the module");
}

ModuleCopy::~ModuleCopy() { unlink(m_path.c_str()); }

std::string ModuleCopy::Command() const {
  std::string command;
  for (const std::string& word : SplitList(XAP_TEST_EMULATOR)) command += word + " ";
  return command + m_path;
}

std::string ShellOutput(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  pclose(pipe);
  return out;
}

ModuleProcess::ModuleProcess(const std::vector<std::string>& args)
    : ModuleProcess(ModuleOptions{args, false, false, false}) {}

ModuleProcess::ModuleProcess(const ModuleOptions& options) {
  std::vector<std::string> argv = SplitList(XAP_TEST_EMULATOR);
  argv.push_back(ModuleBinary());
  argv.insert(argv.end(), options.args.begin(), options.args.end());

  char errTemplate[] = "/tmp/xapfs-stderr-XXXXXX";
  int errFd = mkstemp(errTemplate);
  if (errFd < 0) throw std::runtime_error("mkstemp failed");
  m_errPath = errTemplate;
  int inPipe[2];
  int outPipe[2];
  int errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 ||
      pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (options.bNonBlockingStdout) fcntl(outPipe[1], F_SETFL, O_NONBLOCK);
  close(errPipe[0]);  // a stderr whose reader has gone, when asked for

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, options.bStderrGone ? errPipe[1] : errFd, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (options.bTerminal) {
    // A session of its own whose first terminal, the pty, becomes its
    // controlling terminal.
    m_tty = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_tty < 0 || grantpt(m_tty) != 0 || unlockpt(m_tty) != 0) {
      throw std::runtime_error("no pty");
    }
    posix_spawn_file_actions_addopen(&actions, 3, ptsname(m_tty), O_RDWR, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  }
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(&a[0]);
  cargv.push_back(nullptr);
  int rc = posix_spawnp(&m_pid, cargv[0], &actions, &attr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  close(errFd);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  m_in = inPipe[1];
  m_out = outPipe[0];
}

ModuleProcess::~ModuleProcess() {
  if (m_in >= 0) close(m_in);
  if (m_pid > 0 && m_status < 0) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  if (m_out >= 0) close(m_out);
  if (m_tty >= 0) close(m_tty);
  unlink(m_errPath.c_str());
}

void ModuleProcess::Send(const std::string& bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = write(m_in, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("write to module failed");
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

std::string ModuleProcess::ReadLine(int timeoutMs, bool* bOk) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t nl = m_pending.find('\n');
    if (nl != std::string::npos) {
      std::string line = m_pending.substr(0, nl);
      m_pending.erase(0, nl + 1);
      if (bOk != nullptr) *bOk = true;
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    struct pollfd pfd = {m_out, POLLIN, 0};
    if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) break;
    char buf[65536];
    ssize_t n = read(m_out, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    m_pending.append(buf, static_cast<size_t>(n));
  }
  if (bOk != nullptr) *bOk = false;
  return std::string();
}

void ModuleProcess::CloseInput() {
  if (m_in >= 0) close(m_in);
  m_in = -1;
}

void ModuleProcess::CloseOutput() {
  if (m_out >= 0) close(m_out);
  m_out = -1;
}

std::string ModuleProcess::Terminal() {
  std::string text;
  char buf[4096];
  struct pollfd pfd = {m_tty, POLLIN, 0};
  while (m_tty >= 0 && poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0) {
    ssize_t n = read(m_tty, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

void ModuleProcess::Signal(int sig) { kill(m_pid, sig); }

int ModuleProcess::Wait(int timeoutMs) {
  if (m_status >= 0) return m_status;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
      m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return m_status;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string ModuleProcess::Stderr() const { return ReadFile(m_errPath); }

std::string ModuleProcess::RestOfStdout() {
  std::string rest;
  bool bOk = true;
  for (;;) {
    std::string line = ReadLine(2000, &bOk);
    if (!bOk) break;
    rest += line + "\n";
  }
  return rest + m_pending;
}

bool InIsolation(std::string* pstrSkip) {
  if (getenv("XAPTEST_ISOLATED") != nullptr) return true;
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) < 0) throw std::runtime_error("no exe");
  std::string emulator;
  for (const std::string& word : SplitList(XAP_TEST_EMULATOR)) emulator += word + " ";
  std::string out = ShellOutput(
      "XAPTEST_ISOLATED=1 unshare -fpm --mount-proc --propagation private " + emulator + self +
      " --gtest_filter=" + info->test_suite_name() + "." + info->name() + " 2>&1");
  if (out.rfind("unshare: ", 0) == 0) {
    *pstrSkip = "no private PID and mount namespace here: " + out.substr(0, out.find('\n'));
  } else if (out.find("[  SKIPPED ] 1 test") != std::string::npos) {
    *pstrSkip = "skipped inside its namespace:\n" + out;
  } else if (out.find("[  PASSED  ] 1 test.") == std::string::npos) {
    ADD_FAILURE() << "in its namespace:\n" << out;
  }
  return false;
}

void MountTmpfs(const std::string& path, const std::string& size) {
  if (getenv("XAPTEST_ISOLATED") == nullptr) throw std::runtime_error("tmpfs outside isolation");
  std::string cmd = "mount -t tmpfs -o size=" + size + " xaptest " + path;
  if (system(cmd.c_str()) != 0) throw std::runtime_error("cannot mount " + path);
}

}  // namespace xaptest
