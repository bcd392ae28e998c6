// The host's line protocol: turns one input line into a command or a
// refusal, and formats replies, events and refusals as JSON lines.
#ifndef XAP_HOST_XAPPROTOCOL_H_
#define XAP_HOST_XAPPROTOCOL_H_

#include <cstddef>
#include <string>

#include "XapBase.h"

namespace qom {
namespace host {

// Longest accepted input line, in bytes, without its "\n".
constexpr size_t kMaxLineBytes = 65536;

struct Command {
  // The id's own JSON text as the output line writes it: blanks outside
  // strings removed, line breakers escaped. Set also for a refused line,
  // when its id could be read.
  bool bHasId = false;
  std::string strId;
  std::string strCmd;
  std::string strParams[4];
};

enum class LineKind { kBlank, kCommand, kRefused };

// Parses one line, given without its "\n" (a trailing "\r" is removed here).
// kCommand fills cmd; kRefused puts the whole error line (with "\n") into
// errorLine; kBlank means the line is to be skipped.
LineKind ParseLine(const std::string& line, Command* cmd, std::string* errorLine);

// The refusal of a line too long to be read.
std::string FormatTooLong();

// The refusal of bytes that input ended on without a "\n": no line, never run.
std::string FormatUnterminated();

// The reply line of an executed command, with its "\n".
std::string FormatReply(const Command& cmd, bool bOk, XapReplyKind eKind, int nInteger,
                        const std::string& strText);

// An event line, with its "\n".
std::string FormatEvent(int nEventId, const std::string& strData1, const std::string& strData2);

}  // namespace host
}  // namespace qom

#endif  // XAP_HOST_XAPPROTOCOL_H_
