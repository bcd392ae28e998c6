#include "XapOutput.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>

namespace qom {
namespace host {
namespace {

// Timed: an ending signal waits a bounded time for the line being written.
std::timed_mutex g_outputMutex;
std::timed_mutex g_logMutex;
std::atomic<bool> g_bStopping{false};
std::atomic<LogSink> g_logSink{nullptr};
std::atomic<bool> g_bOutputGone{false};
bool g_bInCommand = false;  // guarded by g_outputMutex
std::string g_heldEvents;   // guarded by g_outputMutex

// Writes all of line to fd. A descriptor made non-blocking (by whoever
// shares it) that is full is waited for, so a line is never cut; false
// when the write fails otherwise, as when the reader has gone.
bool WriteAll(int fd, const std::string& line) {
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        struct pollfd pfd = {fd, POLLOUT, 0};
        poll(&pfd, 1, -1);
        continue;
      }
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// Standard output: once a line cannot be written, none is tried again.
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
    g_heldEvents += line;
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
  WriteStdout(replyLine + g_heldEvents);
  g_heldEvents.clear();
}

bool OutputGone() { return g_bOutputGone.load(); }

void SetOutputGone() { g_bOutputGone.store(true); }

void StopOutput() { g_bStopping.store(true); }

void FinishLineInFlight(int nMs) {
  // Whoever holds a lock is writing a line; it checked the flag before it
  // began. Never unlocked: the process ends holding both.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
  (void)g_outputMutex.try_lock_until(deadline);
  (void)g_logMutex.try_lock_until(deadline);
}

void WriteLogLine(const std::string& line) {
  std::lock_guard<std::timed_mutex> lock(g_logMutex);
  LogSink sink = g_logSink.load();
  if (g_bStopping.load()) return;
  if (sink != nullptr) {
    sink(line);
  } else {
    WriteAll(STDERR_FILENO, line);  // a log nobody reads loses its lines, nothing more
  }
}

void SetLogSink(LogSink pfnSink) {
  std::lock_guard<std::timed_mutex> lock(g_logMutex);
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
