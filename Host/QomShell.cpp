#include "QomShell.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "QomDebug.h"
#include "XapContain.h"
#include "XapOutput.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX: programs declare it

namespace qom {
namespace {

const char kToolPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

// Bytes taken from a tool's output per read.
const size_t kToolReadSize = 4096;

// How much of an unfinished tool line is held for its "\n" before it is
// logged in part, so that a tool printing none cannot make the host hold all
// it prints. A line shorter than this is always logged whole. The held part
// is measured after each read; once it has reached this size it is logged
// as one piece and the line goes on in the next log line. A piece is thus
// this size up to kToolReadSize - 1 bytes more (69631 bytes), as the reads
// fall, and a "\n" that comes in the read after a piece gives an empty log
// line.
const size_t kMaxToolLine = 65536;

// The commands running now (each the leader of its own process group),
// whether the host is stopping, and whether a spawn is under way. The list's
// lock guards the list only, never a spawn, so a stop does not queue behind
// hundreds of starting jobs. Spawns take turns under a lock of their own: a
// hundred workers starting their tools at once filled the run queue (17 to
// 20 runnable against 6 to 7, side by side) and held up the command
// thread's next reply by tens of milliseconds (bench/handoff.cpp). A spawn
// counts itself before it looks at the flag; one that began before the stop
// registers its command and, seeing the flag, ends it itself; the stop waits
// for the spawn under way, never for the lock.
std::timed_mutex g_runningMutex;
std::vector<pid_t> g_running;
std::mutex g_spawnMutex;
std::atomic<bool> g_bStopping{false};
std::atomic<int> g_nSpawning{0};

// The host's environment with PATH fixed, made once; whole or not at all,
// so that a start that memory runs out for leaves the next one to try.
char** ToolEnvironment() {
  struct Environment {
    std::vector<std::string> strings;
    std::vector<char*> pointers;
  };
  static Environment* environment = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    auto made = std::make_unique<Environment>();
    for (char** p = environ; *p != nullptr; ++p) {
      if (strncmp(*p, "PATH=", 5) != 0) made->strings.push_back(*p);
    }
    made->strings.push_back(kToolPath);
    for (std::string& s : made->strings) made->pointers.push_back(&s[0]);
    made->pointers.push_back(nullptr);
    environment = made.release();
  });
  return environment->pointers.data();
}

void LogToolLine(const std::string& text) {
  std::string line = "L3 [sh] ";
  host::AppendEscaped(line, text);
  line += '\n';
  host::WriteLogLine(line);
}

// Adds what the tool printed to pending and logs each line it finishes (a
// long one in pieces, see kMaxToolLine), at its end what is left too. Short
// of memory, the text is dropped, never the tool: it is read on.
void LogToolText(std::string& pending, const char* data, size_t size, bool bEnd) {
  try {
    pending.append(data, size);
    size_t start = 0;
    for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
      LogToolLine(pending.substr(start, nl - start));
    }
    pending.erase(0, start);
    if (pending.size() >= kMaxToolLine || (bEnd && !pending.empty())) {
      LogToolLine(pending);
      pending.clear();
    }
  } catch (const std::bad_alloc&) {
    std::string().swap(pending);
    host::WriteLogText("L3 [sh] out of memory: some of what the tool printed was dropped\n");
  }
}

// Reads the tool's output to its end, one log line per line it printed;
// read also when the level hides it, so the tool is never held up by a full
// pipe.
void DrainOutput(int fd) {
  bool bShown = CQOMDebug::IsEnabled(3);
  std::string pending;
  char buf[kToolReadSize];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (bShown) LogToolText(pending, buf, static_cast<size_t>(n), false);
  }
  if (bShown) LogToolText(pending, buf, 0, true);
}

// A command that could not be started is a failure the caller must see,
// whatever the log level: a job that never ran looks done otherwise.
void LogCannotStart(const char* command, int nError) {
  char reason[128];
  const char* pszReason = strerror_r(nError, reason, sizeof reason);
  try {
    std::string line = "L0 [sh] cannot start \"";
    host::AppendEscaped(line, command);
    line += "\": ";
    line += pszReason;
    line += '\n';
    host::WriteLogLine(line);
  } catch (const std::bad_alloc&) {  // the same without the command, which may be long
    char line[192];                  // NOLINTNEXTLINE(cert-err33-c): a cut reason still says it
    snprintf(line, sizeof line, "L0 [sh] cannot start a command: %s\n", pszReason);
    host::WriteLogText(line);
  }
}

// Whether the line is one program named by its path, with arguments, and
// nothing the shell would read as syntax. The shell then runs it with exec:
// it becomes the program instead of forking it, so one process less runs,
// and a process limit can stop only the start that the host sees and logs.
bool IsPlainCommand(const char* command) {
  if (command[0] != '/') return false;
  for (const char* p = command; *p != '\0'; ++p) {
    if (isalnum(static_cast<unsigned char>(*p)) == 0 && strchr("/._-+ ", *p) == nullptr) {
      return false;
    }
  }
  return true;
}

// The tool's streams, signals and session. 0, or the error.
int SetUpSpawn(posix_spawn_file_actions_t* actions, posix_spawnattr_t* attr, int outFd) {
  int rc = posix_spawn_file_actions_addopen(actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(actions, outFd, STDOUT_FILENO);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(actions, outFd, STDERR_FILENO);
  // The host blocks or ignores some signals; the tool gets the defaults a
  // shell would give it.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigset_t emptyMask;
  sigemptyset(&emptyMask);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(attr, &defaults);
  if (rc == 0) rc = posix_spawnattr_setsigmask(attr, &emptyMask);
  // A session of its own: no controlling terminal to prompt on, and one
  // process group to end.
  if (rc == 0) {
    rc = posix_spawnattr_setflags(
        attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  return rc;
}

// The child's part of StartInNamespace: raw system calls only, as it runs
// in the host's memory, on the waiting thread's stack. The error that kept
// the program from starting.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
__attribute__((no_sanitize_address, no_sanitize_thread))
#endif
int EnterAndExec(int nsFd, int outFd, char* const argv[], char* const env[]) {
  // A zeroed kernel sigaction is SIG_DFL with no flags; sigsets are 8 bytes.
  unsigned long defaults[8] = {};
  uint64_t noSignals = 0;
  long nullFd = syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY | O_CLOEXEC);
  if (nullFd >= 0 && syscall(SYS_setns, nsFd, CLONE_NEWNS) == 0 && syscall(SYS_setsid) >= 0 &&
      syscall(SYS_dup3, nullFd, STDIN_FILENO, 0) >= 0 &&
      syscall(SYS_dup3, outFd, STDOUT_FILENO, 0) >= 0 &&
      syscall(SYS_dup3, outFd, STDERR_FILENO, 0) >= 0 &&
      syscall(SYS_rt_sigaction, SIGPIPE, defaults, nullptr, 8) == 0 &&
      syscall(SYS_rt_sigaction, SIGINT, defaults, nullptr, 8) == 0 &&
      syscall(SYS_rt_sigaction, SIGTERM, defaults, nullptr, 8) == 0 &&
      syscall(SYS_rt_sigprocmask, SIG_SETMASK, &noSignals, nullptr, 8) == 0) {
    syscall(SYS_execve, "/bin/sh", argv, env);
  }
  return errno;
}

// Starts /bin/sh in the namespace nsFd, set up as SetUpSpawn sets up a
// spawn: posix_spawn cannot enter a namespace, so this is its way of
// starting, by hand. vfork, as a spawn does: a fork would copy the host's
// page tables under a lock that holds up every other thread's allocations.
// An error met before the program started comes back through a pipe that
// the start closes. 0 and *pPid, or the error.
int StartInNamespace(pid_t* pPid, int nsFd, int outFd, char* const argv[], char* const env[]) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);  // no handler may run in the child
  pid_t pid = vfork();
  if (pid == 0) {
    int nError = EnterAndExec(nsFd, outFd, argv, env);
    syscall(SYS_write, report[1], &nError, sizeof nError);
    syscall(SYS_exit, 127);
  }
  int nError = pid < 0 ? errno : 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  close(report[1]);
  ssize_t n = 0;
  while (pid > 0 && (n = read(report[0], &nError, sizeof nError)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (n == sizeof nError) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
  }
  *pPid = pid;
  return nError;
}

// Adds a started command to the list; short of memory, ends it instead, so
// that no tool runs that a stop could miss.
bool Register(pid_t pid) {
  try {
    std::lock_guard<std::timed_mutex> lock(g_runningMutex);
    g_running.push_back(pid);
    return true;
  } catch (const std::bad_alloc&) {
    kill(-pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return false;
  }
}

// Runs /bin/sh -c line and registers it, one spawn at a time (see
// g_spawnMutex); in the namespace nsFd unless it is -1. The pid, or -1 with
// the reason in *pnError (0 when the host is stopping).
pid_t StartRegistered(char* line, const posix_spawn_file_actions_t* actions,
                      const posix_spawnattr_t* attr, int nsFd, int outFd, int* pnError) {
  char shell[] = "/bin/sh";
  char dashC[] = "-c";
  char* argv[] = {shell, dashC, line, nullptr};
  char** env = ToolEnvironment();
  std::lock_guard<std::mutex> spawnLock(g_spawnMutex);
  ++g_nSpawning;
  pid_t pid = -1;
  if (g_bStopping) {
    *pnError = 0;
  } else {
    *pnError = nsFd >= 0 ? StartInNamespace(&pid, nsFd, outFd, argv, env)
                         : posix_spawn(&pid, "/bin/sh", actions, attr, argv, env);
  }
  if (*pnError != 0 || pid <= 0) {
    pid = -1;
  } else if (!Register(pid)) {
    *pnError = ENOMEM;
    pid = -1;
  }
  if (pid > 0 && g_bStopping) kill(-pid, SIGKILL);  // the stop may have passed it by
  --g_nSpawning;
  return pid;
}

// Starts the command and registers it. -1 when the host is stopping, or
// when it could not be started (the reason is then in *pnError).
pid_t Spawn(const char* command, int outFd, int nsFd, int* pnError) {
  posix_spawn_file_actions_t actions;
  *pnError = posix_spawn_file_actions_init(&actions);
  if (*pnError != 0) return -1;
  posix_spawnattr_t attr;
  *pnError = posix_spawnattr_init(&attr);
  pid_t pid = -1;
  if (*pnError == 0) {
    *pnError = SetUpSpawn(&actions, &attr, outFd);
    try {
      std::string line = IsPlainCommand(command) ? std::string("exec ") + command : command;
      if (*pnError == 0) pid = StartRegistered(&line[0], &actions, &attr, nsFd, outFd, pnError);
    } catch (const std::bad_alloc&) {
      *pnError = ENOMEM;
    }
    posix_spawnattr_destroy(&attr);
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

int QomExecShell(const char* command) {
  if (command == nullptr) return -1;
  // A contained command's tool runs in its namespace or not at all.
  host::ScopeRef scope = host::ThreadScope();
  int nsFd = scope ? host::ScopeNamespace(*scope) : -1;
  if (nsFd == -2) {
    LogCannotStart(command, EPERM);
    return -1;
  }
  if (scope) {
    // In turn with the starts, as its own work is a start's: a hundred
    // workers looking at their paths at once held up the command thread.
    std::lock_guard<std::mutex> spawnLock(g_spawnMutex);
    if (host::ReportPathsOutside(*scope, command)) return 1;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    LogCannotStart(command, errno);
    return -1;
  }
  int nError = 0;
  pid_t pid = Spawn(command, fds[1], nsFd, &nError);
  close(fds[1]);
  if (pid < 0) {
    if (nError != 0) LogCannotStart(command, nError);
    close(fds[0]);
    return -1;
  }
  DrainOutput(fds[0]);
  close(fds[0]);

  int status = 0;
  pid_t r;
  while ((r = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard<std::timed_mutex> lock(g_runningMutex);
    g_running.erase(std::find(g_running.begin(), g_running.end(), pid));
  }
  int result = -1;
  if (r >= 0 && WIFEXITED(status)) result = WEXITSTATUS(status);
  if (r >= 0 && WIFSIGNALED(status)) result = 128 + WTERMSIG(status);
  if (result != 0 && scope) host::ReportPathsOutside(*scope, command);
  return result;
}

namespace host {

void KillShellCommands() {
  g_bStopping = true;
  // Bounded: an uncaught exception may have left the lock taken.
  std::unique_lock<std::timed_mutex> lock(g_runningMutex, std::chrono::seconds(10));
  if (!lock.owns_lock()) return;
  for (pid_t pid : g_running) kill(-pid, SIGKILL);
  lock.unlock();
  // The spawn under way ends what it starts; a child stopped before its
  // exec (a stopped process group) would hold one for ever.
  for (int i = 0; g_nSpawning > 0 && i < 10000; ++i) usleep(1000);
}

}  // namespace host
}  // namespace qom
