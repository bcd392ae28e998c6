#include "XapOutput.h"

#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <vector>

namespace qom {
namespace host {
namespace {

// Timed: an ending signal waits a bounded time for the line being written.
std::timed_mutex g_outputMutex;
std::timed_mutex g_logMutex;
std::atomic<bool> g_bStopping{false};
std::atomic<LogSink> g_logSink{nullptr};
std::atomic<bool> g_bOutputGone{false};
// Bytes written to either stream: whether a reader still takes them.
std::atomic<unsigned long> g_nWritten{0};
bool g_bInCommand = false;              // guarded by g_outputMutex
std::vector<std::string> g_heldEvents;  // guarded by g_outputMutex

// A line is written in pieces no larger than this, so that the bytes a
// slow reader takes are seen while the line is being written.
const size_t kWritePiece = PIPE_BUF;

// The lock of the log stream. When stderr is the same file as stdout (as
// with "2>&1 | reader"), log lines take the output's lock: written apart,
// a log line could land inside a reply.
std::timed_mutex& LogMutex() {
  static std::timed_mutex& mutex = [&]() -> std::timed_mutex& {
    struct stat out, err;
    bool bSame = fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
                 out.st_dev == err.st_dev && out.st_ino == err.st_ino;
    return bSame ? g_outputMutex : g_logMutex;
  }();
  return mutex;
}

// Writes all of line to fd. A descriptor made non-blocking (by whoever
// shares it) that is full is waited for, so a line is never cut; false
// when the write fails otherwise, as when the reader has gone or a file
// is full. A file keeps no piece of a line it could not take whole.
bool WriteAll(int fd, const std::string& line) {
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(fd, p, std::min(left, kWritePiece));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        struct pollfd pfd = {fd, POLLOUT, 0};
        poll(&pfd, 1, -1);
        continue;
      }
      struct stat st;
      off_t at = left < line.size() ? lseek(fd, 0, SEEK_CUR) : -1;
      if (at >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        (void)!ftruncate(fd, at - static_cast<off_t>(line.size() - left));
      }
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
    g_nWritten += static_cast<unsigned long>(n);
  }
  return true;
}

// Standard output: once a line cannot be written, none is tried again;
// after an ending signal none is begun.
void WriteStdout(const std::string& line) {
  if (g_bOutputGone.load() || g_bStopping.load()) return;
  if (!WriteAll(STDOUT_FILENO, line)) g_bOutputGone.store(true);
}

}  // namespace

void WriteOutputLine(const std::string& line) {
  std::lock_guard<std::timed_mutex> lock(g_outputMutex);
  WriteStdout(line);
}

void WriteEventLine(const std::string& line) {
  std::lock_guard<std::timed_mutex> lock(g_outputMutex);
  if (g_bInCommand) {
    g_heldEvents.push_back(line);
  } else {
    WriteStdout(line);
  }
}

void BeginCommand() {
  std::lock_guard<std::timed_mutex> lock(g_outputMutex);
  g_bInCommand = true;
}

void EndCommand(const std::string& replyLine) {
  std::lock_guard<std::timed_mutex> lock(g_outputMutex);
  g_bInCommand = false;
  // Line by line: after an ending signal, no held event follows the reply.
  WriteStdout(replyLine);
  for (const std::string& event : g_heldEvents) WriteStdout(event);
  g_heldEvents.clear();
}

bool OutputGone() { return g_bOutputGone.load(); }

void SetOutputGone() { g_bOutputGone.store(true); }

void StopOutput() { g_bStopping.store(true); }

bool Stopping() { return g_bStopping.load(); }

void FinishLineInFlight(int nMs) {
  // Whoever holds a lock is writing a line; it checked the flag before it
  // began. Waited for as long as its reader takes bytes within each nMs.
  // Never unlocked: the process ends holding both.
  auto takeOver = [nMs](std::timed_mutex& mutex) {
    unsigned long nSeen = g_nWritten.load();
    while (!mutex.try_lock_for(std::chrono::milliseconds(nMs)) && g_nWritten.load() != nSeen) {
      nSeen = g_nWritten.load();
    }
  };
  takeOver(g_outputMutex);
  if (&LogMutex() != &g_outputMutex) takeOver(LogMutex());
}

void WriteLogLine(const std::string& line) {
  std::lock_guard<std::timed_mutex> lock(LogMutex());
  LogSink sink = g_logSink.load();
  if (g_bStopping.load()) return;
  if (sink != nullptr) {
    sink(line);
  } else {
    WriteAll(STDERR_FILENO, line);  // a log nobody reads loses its lines, nothing more
  }
}

void SetLogSink(LogSink pfnSink) {
  std::lock_guard<std::timed_mutex> lock(LogMutex());
  g_logSink.store(pfnSink);
}

void AppendEscaped(std::string& line, const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  for (unsigned char c : text) {
    if (c == '\n') {
      line += "\\n";
    } else if (c == '\t') {
      line += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      line += "\\x";
      line += kHex[c >> 4];
      line += kHex[c & 15];
    } else {
      line += static_cast<char>(c);
    }
  }
}

}  // namespace host
}  // namespace qom
