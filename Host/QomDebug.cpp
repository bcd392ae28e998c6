#include "QomDebug.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "XapOutput.h"

namespace qom {
namespace {

// The format that opens every pair; the call that carries it is held back
// until the message of the same thread arrives.
const char kPrefixFormat[] = "[QOM][%s(%d)] ";

std::atomic<unsigned> g_level{0};

struct PendingPrefix {
  bool bHeld = false;
  unsigned level = 0;
  std::string text;
};

thread_local PendingPrefix t_pending;

__attribute__((format(printf, 1, 0))) std::string FormatV(const char* format, va_list args) {
  char buf[512];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(buf, sizeof buf, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, n);
  std::string big(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&big[0], big.size(), format, args);  // NOLINT(cert-err33-c): n was measured above
  big.resize(static_cast<size_t>(n));
  return big;
}

void EmitLine(unsigned level, const std::string& prefix, std::string message) {
  if (!message.empty() && message.back() == '\n') message.pop_back();
  std::string line = "L" + std::to_string(level) + " ";
  host::AppendEscaped(line, prefix);
  host::AppendEscaped(line, message);
  line += '\n';
  host::WriteLogLine(line);
}

// One call of a pair: the prefix is held for the message that follows.
__attribute__((format(printf, 2, 0))) void LogCall(unsigned level, const char* format,
                                                   va_list args) {
  std::string text = FormatV(format, args);
  PendingPrefix& pending = t_pending;
  if (std::strcmp(format, kPrefixFormat) == 0) {
    if (pending.bHeld) EmitLine(pending.level, pending.text, std::string());
    pending.bHeld = true;
    pending.level = level;
    pending.text.swap(text);
  } else if (pending.bHeld) {
    pending.bHeld = false;
    EmitLine(level, pending.text, std::move(text));
    pending.text.clear();
  } else {
    EmitLine(level, std::string(), std::move(text));
  }
}

// A line that could not be built for want of memory: a fixed text at its
// level in its place, so that no thread dies of logging.
void LogOutOfMemory(unsigned level) {
  t_pending.bHeld = false;
  std::string().swap(t_pending.text);
  char line[64];  // NOLINTNEXTLINE(cert-err33-c): the text fits
  snprintf(line, sizeof line, "L%u [host] out of memory: a log line was dropped\n", level);
  host::WriteLogText(line);
}

}  // namespace
// NOLINTNEXTLINE(cert-dcl50-cpp): the framework's printf-style logger
void CQOMDebug::PrintLog(unsigned module, unsigned level, const char* format, ...) {
  (void)module;
  if (!IsEnabled(level) || format == nullptr) return;
  int savedErrno = errno;  // logging must not disturb the caller's errno
  va_list args;
  va_start(args, format);
  try {
    LogCall(level, format, args);
  } catch (const std::bad_alloc&) {
    LogOutOfMemory(level);
  }
  va_end(args);
  errno = savedErrno;
}

bool CQOMDebug::IsEnabled(unsigned level) {
  return level <= g_level.load(std::memory_order_relaxed);
}

void CQOMDebug::SetLevel(unsigned level) { g_level.store(level, std::memory_order_relaxed); }

}  // namespace qom
