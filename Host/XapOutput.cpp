#include "XapOutput.h"

#include <limits.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
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
// Why standard output failed when its reader had not gone, and what it
// lost from then on.
std::atomic<int> g_nOutputError{0};
std::atomic<unsigned long> g_nRepliesLost{0};
std::atomic<unsigned long> g_nEventsLost{0};
// Bytes written to either stream: whether a reader still takes them.
std::atomic<unsigned long> g_nWritten{0};
bool g_bInCommand = false;              // guarded by g_outputMutex
std::vector<std::string> g_heldEvents;  // guarded by g_outputMutex

// A line of up to PIPE_BUF (4096) bytes goes out in one write: a pipe
// never mixes such a write with another writer's bytes, and takes it whole
// or, when non-blocking, not at all (EAGAIN) until a page is free. A longer
// line is written in pieces no larger than kWritePiece, so that the bytes a
// slow reader takes are seen while the line is being written: a socket
// frees a piece only once it has been read whole.
const size_t kWholeWrite = PIPE_BUF;
const size_t kWritePiece = 512;

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
// shares it) that is full is waited for, so a line is never cut. 0, or
// the error of a write that failed otherwise, as when the reader has gone
// or a file is full. A file keeps no piece of a line it could not take
// whole.
int WriteAll(int fd, const char* line, size_t size) {
  const char* p = line;
  size_t left = size;
  const size_t piece = size <= kWholeWrite ? size : kWritePiece;
  while (left > 0) {
    ssize_t n = write(fd, p, std::min(left, piece));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        struct pollfd pfd = {fd, POLLOUT, 0};
        poll(&pfd, 1, -1);
        continue;
      }
      const int nError = errno;
      struct stat st;
      off_t at = left < size ? lseek(fd, 0, SEEK_CUR) : -1;
      if (at >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        (void)!ftruncate(fd, at - static_cast<off_t>(size - left));
      }
      return nError;
    }
    p += n;
    left -= static_cast<size_t>(n);
    g_nWritten += static_cast<unsigned long>(n);
  }
  return 0;
}

// Standard output: once a line cannot be written, none is tried again;
// after an ending signal none is begun. A reader that has gone is the end
// of the session; any other failure is counted, with what it loses.
void WriteStdout(const char* line, size_t size, bool bEvent) {
  if (g_bStopping.load()) return;
  int nError = g_bOutputGone.load() ? 0 : WriteAll(STDOUT_FILENO, line, size);
  if (nError == EPIPE || nError == ECONNRESET) {
    g_bOutputGone.store(true);
    return;
  }
  if (nError != 0) {
    g_nOutputError.store(nError);
    g_bOutputGone.store(true);
  }
  if (g_nOutputError.load() != 0) ++(bEvent ? g_nEventsLost : g_nRepliesLost);
}

void WriteStdout(const std::string& line, bool bEvent) {
  WriteStdout(line.data(), line.size(), bEvent);
}

// Bytes written to fd that its reader has not taken yet: what a pipe
// holds, what a socket has not had read; -1 for anything else, which
// takes a line at once (a file, a terminal).
long Unread(int fd) {
  struct stat st;
  int n = 0;
  if (fstat(fd, &st) != 0) return -1;
  if (S_ISFIFO(st.st_mode) && ioctl(fd, FIONREAD, &n) == 0) return n;
  if (S_ISSOCK(st.st_mode) && ioctl(fd, SIOCOUTQ, &n) == 0) return n;
  return -1;
}

// Takes the lock of a stream whose holder is writing a line, as long as
// the stream's reader takes some of it within each nMs: the bytes written
// grow, or the bytes waiting for the reader shrink. False when it gave up.
bool TakeOverStream(std::timed_mutex& mutex, int fd, int nMs) {
  const auto kPoll = std::chrono::milliseconds(50);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
  unsigned long nWritten = g_nWritten.load();
  long nUnread = Unread(fd);
  while (!mutex.try_lock_for(kPoll)) {
    unsigned long nWrittenNow = g_nWritten.load();
    long nUnreadNow = Unread(fd);
    auto now = std::chrono::steady_clock::now();
    if (nWrittenNow != nWritten || (nUnreadNow >= 0 && nUnreadNow < nUnread)) {
      deadline = now + std::chrono::milliseconds(nMs);
    } else if (now >= deadline) {
      return false;
    }
    nWritten = nWrittenNow;
    nUnread = nUnreadNow;
  }
  return true;
}

}  // namespace

void WriteOutputLine(const std::string& line) { WriteOutputLine(line.data(), line.size()); }

void WriteOutputLine(const char* line, size_t size) {
  std::lock_guard<std::timed_mutex> lock(g_outputMutex);
  WriteStdout(line, size, false);
}

void WriteEventLine(const std::string& line) {
  std::lock_guard<std::timed_mutex> lock(g_outputMutex);
  if (g_bInCommand) {
    g_heldEvents.push_back(line);
  } else {
    WriteStdout(line, true);
  }
}

void BeginCommand() {
  std::lock_guard<std::timed_mutex> lock(g_outputMutex);
  g_bInCommand = true;
}

void EndCommand(const std::string& replyLine) { EndCommand(replyLine.data(), replyLine.size()); }

void EndCommand(const char* replyLine, size_t size) {
  std::lock_guard<std::timed_mutex> lock(g_outputMutex);
  g_bInCommand = false;
  // Line by line: after an ending signal, no held event follows the reply.
  WriteStdout(replyLine, size, false);
  for (const std::string& event : g_heldEvents) WriteStdout(event, true);
  g_heldEvents.clear();
}

bool OutputGone() { return g_bOutputGone.load(); }

void SetOutputGone() { g_bOutputGone.store(true); }

int OutputError() { return g_nOutputError.load(); }

void LogOutputFailure() {
  char szReason[128];
  std::string line = "L0 [host] cannot write standard output: ";
  line += strerror_r(g_nOutputError.load(), szReason, sizeof szReason);
  line += "; replies lost: " + std::to_string(g_nRepliesLost.load()) +
          ", events lost: " + std::to_string(g_nEventsLost.load()) + "\n";
  WriteLogLine(line);
}

void StopOutput() { g_bStopping.store(true); }

bool Stopping() { return g_bStopping.load(); }

void FinishLineInFlight(int nMs) {
  // Whoever holds a lock is writing a line; it checked the flag before it
  // began. Never unlocked: the process ends holding both.
  TakeOverStream(g_outputMutex, STDOUT_FILENO, nMs);
  if (&LogMutex() != &g_outputMutex) TakeOverStream(LogMutex(), STDERR_FILENO, nMs);
}

void WriteLogLine(const std::string& line) {
  std::lock_guard<std::timed_mutex> lock(LogMutex());
  LogSink sink = g_logSink.load();
  if (g_bStopping.load()) return;
  if (sink != nullptr) {
    sink(line);
  } else {
    WriteAll(STDERR_FILENO, line.data(), line.size());  // a log nobody reads loses its lines
  }
}

void WriteLogText(const char* text) {
  std::lock_guard<std::timed_mutex> lock(LogMutex());
  LogSink sink = g_logSink.load();
  if (g_bStopping.load()) return;
  if (sink == nullptr) {
    WriteAll(STDERR_FILENO, text, strlen(text));
    return;
  }
  try {
    sink(text);
  } catch (const std::bad_alloc&) {  // a test's sink takes a string: the line is lost
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
