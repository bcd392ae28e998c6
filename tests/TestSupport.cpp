#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <stdexcept>

namespace xaptest {

static void Check(bool bOk, const std::string& what) {
  if (!bOk) throw std::runtime_error(what + ": " + strerror(errno));
}

TempDir::TempDir(const std::string& base) {
  std::string root = !base.empty()                           ? base
                     : getenv("XAPTEST_ISOLATED") != nullptr ? "/tmp"
                                                             : XAP_TEST_SCRATCH;
  mkdir(root.c_str(), 0755);
  m_path = root + "/xapfs-test-XXXXXX";
  Check(mkdtemp(&m_path[0]) != nullptr, "mkdtemp in " + root);
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
  // The same rows again in contained mode, where they must answer alike.
  return std::string(XAP_TEST_EMULATOR " " XAP_TEST_BINARY) +
         (getenv("XAPTEST_CONTAIN") != nullptr ? " --contain" : "");
}

ModuleProcess::ModuleProcess(const std::string& words) {
  signal(SIGPIPE, SIG_IGN);  // a module that has ended must not end the test
  std::string command = "exec " + words;
  command.replace(command.find('@'), 1, ModuleCommand());
  m_err = memfd_create("xapfs-stderr", MFD_CLOEXEC);  // a file of no folder: /tmp may be covered
  int in[2], out[2];
  Check(m_err >= 0 && pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0, "pipes");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, m_err, 2);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  errno = posix_spawn(&m_pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  Check(m_pid > 0, "start " + command);
  close(in[0]);
  close(out[1]);
  m_in = in[1];
  m_out = out[0];
}

ModuleProcess::~ModuleProcess() {
  CloseInput();
  if (m_status < 0 && kill(m_pid, SIGKILL) == 0) waitpid(m_pid, nullptr, 0);
  close(m_out);
  close(m_err);
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
    // Once a line has not come in time, none is waited for again: a row
    // that failed so does not make every later row wait too.
    ssize_t n = !m_bSilent && poll(&pfd, 1, timeoutMs) > 0 ? read(m_out, buf, sizeof buf) : 0;
    m_bSilent = m_bSilent || n < 0 || (n == 0 && pfd.revents == 0);
    if (n <= 0) return std::string();
    m_pending.append(buf, static_cast<size_t>(n));
  }
  std::string line = m_pending.substr(0, nl);
  m_pending.erase(0, nl + 1);
  return line;
}

std::string ModuleProcess::Ask(const std::string& line, int timeoutMs) {
  SendLine(line);
  std::string answer = ReadLine(timeoutMs);
  nlohmann::json j = nlohmann::json::parse(answer, nullptr, false);
  return j.is_object() && j.contains("reply") ? j["reply"].dump() : answer;
}

std::string ModuleProcess::NewLog() {
  std::string log;
  char buf[65536];
  for (ssize_t n; (n = pread(m_err, buf, sizeof buf, static_cast<off_t>(m_logged))) > 0;) {
    log.append(buf, static_cast<size_t>(n));
    m_logged += static_cast<size_t>(n);
  }
  return std::regex_replace(log, std::regex("\\(\\d+\\)\\] "), "(N)] ");
}

int ModuleProcess::Wait(int timeoutMs) {
  int status = 0;
  for (int waited = 0; m_status < 0 && waited <= timeoutMs; waited += 10) {
    if (waitpid(m_pid, &status, WNOHANG) != m_pid) {
      usleep(10000);
    } else {
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
  for (const auto& r : rows)
    EXPECT_EQ(r.first.empty() ? module.ReadLine() : module.Ask(r.first), r.second) << r.first;
}

void RunIsolated() {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private PID and mount namespace";
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  char self[4096] = {};
  Check(readlink("/proc/self/exe", self, sizeof self - 1) > 0, "readlink");
  std::string command = std::string(XAP_TEST_EMULATOR " ") + self;
  std::string out = ShellOutput(
      "XAPTEST_ISOLATED=1 timeout -k 10 600 unshare -fpm --mount-proc --propagation private sh -c "
      "'mount -t tmpfs -o mode=1777 xaptest /tmp && exec \"$@\"' isolated " +
      command + " --gtest_filter=" + info->test_suite_name() + "." + info->name() + " 2>&1");
  if (out.find("[ RUN      ]") == std::string::npos) {
    GTEST_SKIP() << "no private namespace on this machine:\n" << out;
  } else if (out.find("[  SKIPPED ] 1 test") != std::string::npos) {
    GTEST_SKIP() << "in its namespace:\n" << out;
  }
  EXPECT_NE(out.find("[  PASSED  ] 1 test."), std::string::npos) << "in its namespace:\n" << out;
}

void MountTmpfs(const std::string& path, const std::string& size) {
  Check(getenv("XAPTEST_ISOLATED") != nullptr, "a tmpfs outside isolation");
  std::string cmd = "mkdir -p " + path + " && mount -t tmpfs -o size=" + size + " xaptest " + path;
  Check(system(cmd.c_str()) == 0, "mount " + path);
}

}  // namespace xaptest
