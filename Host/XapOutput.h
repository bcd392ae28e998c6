// The host's two output streams. Every line is written whole with one
// locked write, so lines from the command thread and from workers never
// interleave.
#ifndef XAP_HOST_XAPOUTPUT_H_
#define XAP_HOST_XAPOUTPUT_H_

#include <string>

namespace qom {
namespace host {

// Writes one protocol line (with its "\n") to standard output.
void WriteOutputLine(const std::string& line);

// Writes one event line (with its "\n"). While a command runs, events are
// held and follow that command's reply, so that a job's event never comes
// before the reply that reports the job started.
void WriteEventLine(const std::string& line);

// Brackets the execution of one command: events sent in between are held;
// EndCommand writes the reply line and then the held events.
void BeginCommand();
void EndCommand(const std::string& replyLine);

// Writes one log line (with its "\n") to standard error, or to the log sink.
void WriteLogLine(const std::string& line);

// Receives log lines in place of standard error; null restores stderr.
// For tests that check what the module logs.
typedef void (*LogSink)(const std::string& line);
void SetLogSink(LogSink pfnSink);

}  // namespace host
}  // namespace qom

#endif  // XAP_HOST_XAPOUTPUT_H_
