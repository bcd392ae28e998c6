#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace xaptest {
namespace {

void Check(bool bOk, const std::string& what) {
  if (!bOk) throw std::runtime_error(what + ": " + strerror(errno));
}

}  // namespace

TempDir::TempDir() {
  char templ[] = "/tmp/xapfs-test-XXXXXX";
  Check(mkdtemp(templ) != nullptr, "mkdtemp");
  m_path = templ;
}

TempDir::~TempDir() {
  umount2(m_path.c_str(), MNT_DETACH);  // a tmpfs an isolated test put there
  // Rights a test took away are given back first.
  (void)!system(("chmod -R u+rwx " + m_path + " 2>/dev/null; rm -rf " + m_path).c_str());
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  Check(static_cast<bool>(out << content), "write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void Sh(const std::string& command) {
  if (system(command.c_str()) != 0) ADD_FAILURE() << "failed: " << command;
}

std::string ShellOutput(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  pclose(pipe);
  return out;
}

std::string Line(const std::string& cmd, const std::vector<std::string>& params) {
  return nlohmann::json{{"cmd", cmd}, {"params", params}}.dump();
}

std::string ModuleCommand() {
  return (Emulated() ? XAP_TEST_EMULATOR " " : "") + std::string(XAP_TEST_BINARY);
}

bool Emulated() { return sizeof XAP_TEST_EMULATOR > 1; }

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  for (int waited = 0; !done(); waited += 10, usleep(10000)) {
    if (waited >= timeoutMs) return false;
  }
  return true;
}

int ProcessesLeft(const std::string& name) {
  std::string left;
  WaitFor(
      [&] {
        while (waitpid(-1, nullptr, WNOHANG) > 0) continue;
        return (left = ShellOutput("pgrep -c " + name)) == "0\n";
      },
      2000);
  return std::atoi(left.c_str());
}

ModuleProcess::ModuleProcess(const ModuleOptions& options) {
  signal(SIGPIPE, SIG_IGN);  // a module that has ended must not end the test
  std::string command = "exec " + options.prefix + " " + ModuleCommand();
  for (const std::string& arg : options.args) command += " " + arg;
  char errTemplate[] = "/tmp/xapfs-stderr-XXXXXX";
  m_err = mkostemp(errTemplate, O_CLOEXEC);  // read through the descriptor: /tmp may be covered
  unlink(errTemplate);
  int in[2], out[2], err[2];
  Check(m_err >= 0 && pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0 &&
            pipe2(err, O_CLOEXEC) == 0,
        "pipes");
  if (options.bNonBlockingStdout) fcntl(out[1], F_SETFL, O_NONBLOCK);
  close(err[0]);  // a stderr whose reader has gone, when asked for
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, options.stdoutFd >= 0 ? options.stdoutFd : out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, options.bStderrGone ? err[1] : m_err, 2);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  errno = posix_spawn(&m_pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  Check(m_pid > 0, "start " + command);
  for (int fd : {in[0], out[1], err[1]}) close(fd);
  m_in = in[1];
  m_out = out[0];
}

ModuleProcess::~ModuleProcess() {
  CloseInput();
  if (m_status < 0 && kill(m_pid, SIGKILL) == 0) waitpid(m_pid, nullptr, 0);
  CloseOutput();
  Close(&m_err);
}

void ModuleProcess::Close(int* pfd) {
  if (*pfd >= 0) close(*pfd);
  *pfd = -1;
}

void ModuleProcess::Send(const std::string& bytes) {
  // A blocking write to a pipe returns when all is written, or fails when
  // the module has gone (EPIPE, not SIGPIPE: see the constructor).
  ssize_t n = write(m_in, bytes.data(), bytes.size());
  Check(n == static_cast<ssize_t>(bytes.size()) || errno == EPIPE, "write to the module");
}

std::string ModuleProcess::ReadLine(int timeoutMs) {
  size_t nl;
  while ((nl = m_pending.find('\n')) == std::string::npos) {
    struct pollfd pfd = {m_out, POLLIN, 0};
    char buf[65536];
    ssize_t n = poll(&pfd, 1, timeoutMs) > 0 ? read(m_out, buf, sizeof buf) : 0;
    if (n <= 0) return std::string();
    m_pending.append(buf, static_cast<size_t>(n));
  }
  std::string line = m_pending.substr(0, nl);
  m_pending.erase(0, nl + 1);
  return line;
}

std::string ModuleProcess::Ask(const std::string& line) {
  SendLine(line);
  std::string answer = ReadLine();
  nlohmann::json j = nlohmann::json::parse(answer, nullptr, false);
  return j.is_object() && j.contains("reply") ? j["reply"].dump() : answer;
}

std::string ModuleProcess::Stderr() const {
  std::string text;
  char buf[65536];
  for (ssize_t n; (n = pread(m_err, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0;) {
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

int ModuleProcess::Unread() const {
  int n = -1;
  return ioctl(m_out, FIONREAD, &n) == 0 ? n + static_cast<int>(m_pending.size()) : -1;
}

int ModuleProcess::Wait(int timeoutMs) {
  for (int status = 0, i = 0; m_status < 0 && i < timeoutMs; i += 2, usleep(2000)) {
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  return m_status;
}

std::string ModuleProcess::RestOfStdout() {
  std::string rest;
  for (std::string line; !(line = ReadLine(2000)).empty();) rest += line + "\n";
  return rest + m_pending;
}

void Transcript(ModuleProcess& module, const Rows& rows) {
  for (const auto& r : rows) {
    EXPECT_EQ(r.first.empty() ? module.ReadLine() : module.Ask(r.first), r.second) << r.first;
  }
}

void ExpectFiles(const Rows& rows) {
  for (const auto& r : rows)
    EXPECT_EQ(Exists(r.first) ? ReadFile(r.first) : "-", r.second) << r.first;
}

bool InIsolation() {
  if (getenv("XAPTEST_ISOLATED") != nullptr) return true;
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  char self[4096] = {};
  Check(readlink("/proc/self/exe", self, sizeof self - 1) > 0, "readlink");
  std::string out = ShellOutput(
      "XAPTEST_ISOLATED=1 timeout -k 10 300 unshare -fpm --mount-proc --propagation private " +
      ModuleCommand().replace(ModuleCommand().find(XAP_TEST_BINARY), strlen(XAP_TEST_BINARY),
                              self) +
      " --gtest_filter=" + info->test_suite_name() + "." + info->name() + " 2>&1");
  EXPECT_NE(out.find("[  PASSED  ] 1 test."), std::string::npos) << "in its namespace:\n" << out;
  return false;
}

void MountTmpfs(const std::string& path, const std::string& size) {
  Check(getenv("XAPTEST_ISOLATED") != nullptr, "a tmpfs outside isolation");
  std::string cmd = "mkdir -p " + path + " && mount -t tmpfs -o size=" + size + " xaptest " + path;
  Check(system(cmd.c_str()) == 0, "mount " + path);
}

}  // namespace xaptest
