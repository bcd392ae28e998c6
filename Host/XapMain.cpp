// The host's entry routine: options, the engine's life and the command loop.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "QomDebug.h"
#include "QomShell.h"
#include "XapBase.h"
#include "XapContain.h"
#include "XapMemory.h"
#include "XapOutput.h"
#include "XapProtocol.h"
#include "XapThreads.h"

namespace qom {
namespace {

const char kUsage[] =
    "usage: xapFileSystem [--log-level N] [--contain] [--help] [--version]\n"
    "Reads one command per line on standard input, as a JSON object\n"
    "  {\"id\": 1, \"cmd\": \"Copy\", \"params\": [\"/tmp/a\", \"/tmp/b\"]}\n"
    "or as words (Copy /tmp/a /tmp/b), and answers one JSON line per command\n"
    "on standard output. Log lines go to standard error.\n"
    "  --log-level N  write log lines of level N and below (0 to 4, default 0)\n"
    "  --contain      let no command change, or bring in, anything outside the\n"
    "                 allowed roots, whatever links its paths hold; the kernel\n"
    "                 enforces it (root, Linux 5.12 or later), or the module\n"
    "                 does not start\n"
    "  --version      print the module's name, id and version\n"
    "  --help         print this text\n";

// What LineReader::Next found.
enum class Input {
  kLine,        // a line ended by "\n"
  kEnd,         // end of input, nothing after the last "\n"
  kUnfinished,  // end of input (or a read error) after bytes without "\n"
  kReaderGone,  // the reader of standard output has gone
};

// Reads standard input line by line. A line longer than the protocol allows
// is not kept: its bytes are skipped up to its "\n" and it is reported as
// too long, so no input can make the host hold more than one line. Bytes
// without their "\n" are never handed out as a line: a writer that died in
// the middle of "Delete /tmp/a/b" must not delete /tmp/a.
class LineReader {
 public:
  // kLine: *line holds the line without "\n", or *bTooLong is set.
  Input Next(std::string* line, bool* bTooLong) {
    line->clear();
    *bTooLong = false;
    bool bAny = false;
    for (;;) {
      if (m_pos == m_len) {
        Input eFill = Fill();
        if (eFill != Input::kLine) return eFill == Input::kEnd && bAny ? Input::kUnfinished : eFill;
      }
      bAny = true;
      const char* start = m_buf + m_pos;
      const char* nl = static_cast<const char*>(memchr(start, '\n', m_len - m_pos));
      size_t take = nl != nullptr ? static_cast<size_t>(nl - start) : m_len - m_pos;
      // Room for the longest line and its "\r".
      if (!*bTooLong) {
        if (line->size() + take > host::kMaxLineBytes + 1) {
          *bTooLong = true;
          line->clear();
        } else {
          line->append(start, take);
        }
      }
      m_pos += take;
      if (nl != nullptr) {
        ++m_pos;
        return Input::kLine;
      }
    }
  }

 private:
  // Waits for input: kLine when some was read, kEnd at its end or on a read
  // error, kReaderGone when standard output can no longer be read (a pipe
  // without reader polls as an error, a socket whose peer has gone as a
  // hang-up, a closed descriptor as invalid), so that no command runs whose
  // reply nobody can read. Each of these states makes poll return at once,
  // so none may be waited on again.
  Input Fill() {
    for (;;) {
      struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return Input::kEnd;
      }
      if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return Input::kReaderGone;
      if (fds[0].revents == 0) continue;
      ssize_t n = read(STDIN_FILENO, m_buf, sizeof m_buf);
      // Someone sharing a non-blocking stdin may have read first.
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) return Input::kEnd;
      m_pos = 0;
      m_len = static_cast<size_t>(n);
      return Input::kLine;
    }
  }

  char m_buf[65536];
  size_t m_pos = 0;
  size_t m_len = 0;
};

// How long a line being written when a signal comes may take to finish.
const int kLastLineGraceMs = 1000;

// Waits for an ending signal (InstallSignals), which every other thread blocks, ends the
// shell commands still running and exits at once. A SIGXFSZ the kernel
// sends the process itself, for a write past its file-size limit, is no
// ending signal: that write fails, and the failure is handled as such.
void* AwaitTermination(void* pSignals) {
  int sig = 0;
  siginfo_t info;
  do {
    sig = sigwaitinfo(static_cast<sigset_t*>(pSignals), &info);
  } while (sig < 0 || (sig == SIGXFSZ && info.si_code == SI_USER && info.si_pid == getpid()));
  host::StopOutput();
  host::KillShellCommands();
  host::FinishLineInFlight(kLastLineGraceMs);
  _exit(128 + sig);
}

// Every signal whose default action ends the process ends the host through
// AwaitTermination, so that no tool outlives it: the tools have sessions of
// their own, and a hangup never reaches them. Left alone: the faults the
// program raises itself (their handlers belong to the runtime and the
// sanitizers), the signals that stop or are ignored by default, and those
// the host was started with ignored (nohup, a script's background job).
// Before any other thread exists: the module's workers inherit the mask.
bool InstallSignals() {
  static sigset_t signals;
  sigfillset(&signals);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU,
                  SIGCONT, SIGCHLD, SIGURG, SIGWINCH, SIGPIPE}) {
    sigdelset(&signals, sig);
  }
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction old = {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) sigdelset(&signals, sig);
  }
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return false;
  // A reader that goes away must not kill the host in the middle of a job.
  signal(SIGPIPE, SIG_IGN);  // NOLINT(cert-err33-c): cannot fail for SIGPIPE
  // The host waits for every tool it starts. Started with SIGCHLD ignored
  // (by a parent that does not want zombies), the kernel would reap them
  // itself, and every tool would look failed however it ended.
  signal(SIGCHLD, SIG_DFL);  // NOLINT(cert-err33-c): cannot fail for SIGCHLD
  // An exception nobody catches (memory exhausted) ends the host through
  // abort: its tools end with it.
  std::set_terminate([] {
    host::KillShellCommands();
    std::abort();
  });
  return host::StartHostThread(AwaitTermination, &signals) == 0;
}

// A standard stream that is not open gets /dev/null, so that no descriptor
// the process opens later (a tool's pipe, a file) takes its number and
// receives protocol or log lines. Standard output not open is an output
// whose reader has gone.
void GuardStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int nullFd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (nullFd >= 0 && nullFd != fd) {
      dup2(nullFd, fd);
      close(nullFd);
    }
    if (fd == STDOUT_FILENO) host::SetOutputGone();
  }
}
// NOLINTBEGIN(cert-err33-c): a failed write to stdout or stderr has nowhere to go
// Parses the options. Returns -1 to go on, otherwise the exit status.
int ParseOptions(int argc, char** argv, CXapAppBase* app, bool* pbContain) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const char* level = nullptr;
    if (strcmp(arg, "--contain") == 0) {
      *pbContain = true;
      continue;
    } else if (strcmp(arg, "--help") == 0) {
      fputs(kUsage, stdout);
      fflush(stdout);
      return 0;
    } else if (strcmp(arg, "--version") == 0) {
      printf("%s %s %s\n", app->m_strName.c_str(), app->m_strId.c_str(), app->m_strVersion.c_str());
      fflush(stdout);
      return 0;
    } else if (strcmp(arg, "--log-level") == 0 && i + 1 < argc) {
      level = argv[++i];
    } else if (strncmp(arg, "--log-level=", 12) == 0) {
      level = arg + 12;
    }
    if (level == nullptr || level[0] < '0' || level[0] > '4' || level[1] != '\0') {
      fprintf(stderr, "xapFileSystem: bad option '%s'\n%s", arg, kUsage);
      return 2;
    }
    CQOMDebug::SetLevel(static_cast<unsigned>(level[0] - '0'));
  }
  return -1;
}
// NOLINTEND(cert-err33-c)
// The answer to a line or a command when memory runs out even for its
// error line: a fixed text, which needs no allocation.
const char kOutOfMemoryLine[] = "{\"error\":\"out of memory\"}\n";

// Runs one command and answers it. Memory that runs out on the way (in the
// module, or for the reply's text) still answers it: "ok" false (true when
// it ran to its end) and no reply, or the fixed line when even that cannot
// be built; then the next command runs.
void RunCommand(CXapEngineBase* engine, const host::Command& cmd, std::string& strRet) {
  bool bOk = false;
  strRet.clear();
  engine->ResetReply();
  host::BeginCommand();
  try {
    host::EnterCommandScope(cmd);
    bOk = engine->Execute(strRet, cmd.strCmd, cmd.strParams[0], cmd.strParams[1], cmd.strParams[2],
                          cmd.strParams[3]);
    host::LeaveCommandScope(cmd, bOk, engine->ReplyKind(), engine->ReplyInteger());
    host::EndCommand(
        host::FormatReply(cmd, bOk, engine->ReplyKind(), engine->ReplyInteger(), strRet));
    return;
  } catch (const std::bad_alloc&) {
    std::string().swap(strRet);
  }
  host::WriteLogText("L0 [host] out of memory: a command is answered without its reply\n");
  try {
    host::EndCommand(host::FormatReply(cmd, bOk, XAP_REPLY_NONE, 0, strRet));
  } catch (const std::bad_alloc&) {
    host::EndCommand(kOutOfMemoryLine, sizeof kOutOfMemoryLine - 1);
  }
}

// Answers one input line, or the bytes without "\n" at the end of input.
void ServeLine(CXapEngineBase* engine, Input eInput, const std::string& line, bool bTooLong,
               host::Command& cmd, std::string& strRet) {
  if (eInput == Input::kUnfinished || bTooLong) {
    host::WriteOutputLine(bTooLong ? host::FormatTooLong() : host::FormatUnterminated());
    return;
  }
  std::string errorLine;
  switch (host::ParseLine(line, &cmd, &errorLine)) {
    case host::LineKind::kBlank:
      break;
    case host::LineKind::kRefused:
      host::WriteOutputLine(errorLine);
      break;
    case host::LineKind::kCommand:
      RunCommand(engine, cmd, strRet);
      break;
  }
}

// Runs one command per line of standard input until input ends, standard
// output fails or has no reader, or an ending signal stops the host. A line
// that memory runs out for before its command runs is refused with the
// fixed line.
void ServeCommands(CXapEngineBase* engine) {
  LineReader reader;
  std::string line;
  line.reserve(host::kMaxLineBytes + 2);  // the reader's appends never allocate
  std::string strRet;
  host::Command cmd;
  bool bTooLong = false;
  while (!host::OutputGone() && !host::Stopping()) {
    host::TakeMemoryReserve();
    Input eInput = reader.Next(&line, &bTooLong);
    // A job's event may have failed to go out while the line was awaited:
    // then this line runs no more than the ones after it.
    bool bGoOn = eInput == Input::kLine && !host::OutputGone() && !host::Stopping();
    if (bGoOn || eInput == Input::kUnfinished) {
      try {
        ServeLine(engine, eInput, line, bTooLong, cmd, strRet);
      } catch (const std::bad_alloc&) {
        host::WriteOutputLine(kOutOfMemoryLine, sizeof kOutOfMemoryLine - 1);
      }
    }
    if (!bGoOn) break;
  }
}
}  // namespace

int XapMain(int argc, char** argv, CXapAppBase* app) {
  if (app == nullptr) return 1;
  bool bContain = false;
  int status = ParseOptions(argc, argv, app, &bContain);
  if (status >= 0) return status;
  GuardStandardStreams();
  // Before any thread: the namespaces are made by a child of the host.
  std::string why = bContain ? host::StartContainment() : "";
  if (!why.empty()) {  // NOLINTNEXTLINE(cert-err33-c): stderr is the last resort
    fprintf(stderr, "xapFileSystem: --contain: %s\n", why.c_str());
    return 1;
  }
  if (!InstallSignals()) {  // NOLINTNEXTLINE(cert-err33-c): stderr is the last resort
    fprintf(stderr, "xapFileSystem: cannot set up the signal handling\n");
    return 1;
  }

  CXapEngineBase* engine = app->CreateXapEngine();
  if (engine == nullptr) {  // NOLINTNEXTLINE(cert-err33-c): stderr is the last resort
    fprintf(stderr, "xapFileSystem: the module created no engine\n");
    return 1;
  }

  ServeCommands(engine);

  XapWaitForJobs();
  // After an ending signal its thread ends the process with the signal's
  // status: input that ends meanwhile, or jobs whose tools it ended, must
  // not make this an end of input.
  while (host::Stopping()) pause();
  // Standard output that failed with its reader still there: the caller
  // must not take the session for complete.
  const bool bOutputFailed = host::OutputError() != 0;
  if (bOutputFailed) host::LogOutputFailure();
  delete engine;
  return bOutputFailed ? 1 : 0;
}

}  // namespace qom
