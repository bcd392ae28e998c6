#include "XapOutput.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace qom {
namespace host {
namespace {

std::mutex g_outputMutex;
std::mutex g_logMutex;
std::atomic<LogSink> g_logSink{nullptr};
bool g_bInCommand = false;  // guarded by g_outputMutex
std::string g_heldEvents;   // guarded by g_outputMutex

// Writes all of line to fd; a closed reader loses the line, nothing more.
void WriteAll(int fd, const std::string& line) {
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void WriteOutputLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_outputMutex);
  WriteAll(STDOUT_FILENO, line);
}

void WriteEventLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_outputMutex);
  if (g_bInCommand) {
    g_heldEvents += line;
  } else {
    WriteAll(STDOUT_FILENO, line);
  }
}

void BeginCommand() {
  std::lock_guard<std::mutex> lock(g_outputMutex);
  g_bInCommand = true;
}

void EndCommand(const std::string& replyLine) {
  std::lock_guard<std::mutex> lock(g_outputMutex);
  g_bInCommand = false;
  WriteAll(STDOUT_FILENO, replyLine + g_heldEvents);
  g_heldEvents.clear();
}

void WriteLogLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  LogSink sink = g_logSink.load();
  if (sink != nullptr) {
    sink(line);
  } else {
    WriteAll(STDERR_FILENO, line);
  }
}

void SetLogSink(LogSink pfnSink) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_logSink.store(pfnSink);
}

}  // namespace host
}  // namespace qom
