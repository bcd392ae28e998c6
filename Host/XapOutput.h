// The host's two output streams. Every line is written whole with one
// locked write, so lines from the command thread and from workers never
// interleave.
#ifndef XAP_HOST_XAPOUTPUT_H_
#define XAP_HOST_XAPOUTPUT_H_

#include <cstddef>
#include <string>

namespace qom {
namespace host {

// Writes one protocol line (with its "\n") to standard output, whole: a
// full non-blocking descriptor is waited for. A line of up to 4096 bytes
// goes out in one write; the text form allocates nothing (for the fixed
// lines said when memory runs out).
void WriteOutputLine(const std::string& line);
void WriteOutputLine(const char* line, size_t size);

// Writes one event line (with its "\n"). While a command runs, events are
// held and follow that command's reply, so that a job's event never comes
// before the reply that reports the job started.
void WriteEventLine(const std::string& line);

// Brackets the execution of one command: events sent in between are held;
// EndCommand writes the reply line and then the held events.
void BeginCommand();
void EndCommand(const std::string& replyLine);
void EndCommand(const char* replyLine, size_t size);

// True once a line could not be written to standard output (its reader
// has gone, or see OutputError), or SetOutputGone was called: from then on
// no line is tried, and the host stops.
bool OutputGone();
void SetOutputGone();

// The error of a write to standard output that failed while its reader
// was still there (a full disk, a file-size limit, an I/O error), or 0.
// Such a failure also stops the host, and its exit status is 1.
int OutputError();
// Logs at level 0 why standard output failed and how many replies and
// events were lost since.
void LogOutputFailure();

// For an ending signal: no line, on either stream, is started after
// StopOutput. FinishLineInFlight then waits for a line being written to be
// finished as long as its reader takes some of it within each nMs, and
// keeps both streams from then on.
void StopOutput();
bool Stopping();
void FinishLineInFlight(int nMs);

// Writes one log line (with its "\n") to standard error, or to the log
// sink. A log nobody reads any more loses the line.
void WriteLogLine(const std::string& line);
// The same for a fixed text, allocating nothing (unless a sink is set): the
// fallback of a log line that could not be built for want of memory.
void WriteLogText(const char* text);

// Appends text with control characters escaped (\n, \t, \xNN), so that it
// stays on one log line.
void AppendEscaped(std::string& line, const std::string& text);

// Receives log lines in place of standard error; null restores stderr.
// For tests that check what the module logs.
typedef void (*LogSink)(const std::string& line);
void SetLogSink(LogSink pfnSink);

}  // namespace host
}  // namespace qom

#endif  // XAP_HOST_XAPOUTPUT_H_
