#include "XapProtocol.h"

#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

namespace qom {
namespace host {
namespace {

using Json = nlohmann::ordered_json;

// Deepest nesting of arrays and objects a line may hold, the outer object
// counted: the parser recurses, and the host's stack must not end with it.
const int kMaxDepth = 64;

// U+2028, U+2029 and U+0085 are escaped: some readers split lines on them.
std::string EscapeLineBreakers(const std::string& text) {
  std::string line;
  line.reserve(text.size() + 1);
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 0xE2 && i + 2 < text.size() && text[i + 1] == '\x80' &&
        (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
      line += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else if (c == 0xC2 && i + 1 < text.size() && text[i + 1] == '\x85') {
      line += "\\u0085";
      i += 1;
    } else {
      line += static_cast<char>(c);
    }
  }
  return line;
}

// One output line: the object, with the id's own text first when there is
// one. Invalid UTF-8 (file names, decoded data) becomes U+FFFD, never an
// error.
// A text as a JSON string. Output lines are put together from such scalar
// values, never as JSON objects: freeing an object or an array takes memory
// in its destructor, which would end the process when memory runs out.
std::string JsonText(const std::string& text) {
  return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

// An object line from its members, "name":value and so on, the id first.
std::string ObjectLine(const std::string* pstrId, const std::string& members) {
  std::string text = "{";
  if (pstrId != nullptr) text += "\"id\":" + *pstrId + ",";
  return EscapeLineBreakers(text + members + "}") + "\n";
}

bool IsJsonBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Whether text is a number as JSON writes it: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool IsJsonNumber(const std::string& text) {
  size_t i = 0, n = text.size();
  auto digits = [&] {
    size_t from = i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
    return i > from;
  };
  if (i < n && text[i] == '-') ++i;
  if (i < n && text[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < n && text[i] == '.' && (++i, !digits())) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == n;
}

// The position of the quote that closes the string opened at start (or the
// text's end), escapes skipped.
size_t StringEnd(const std::string& text, size_t start) {
  size_t i = start + 1;
  for (; i < text.size() && text[i] != '"'; ++i) {
    if (text[i] == '\\') ++i;
  }
  return i;
}

// What one pass over a JSON line finds before the parser sees it. The
// parser converts numbers, and refuses valid ones it cannot hold (1E400);
// the host never needs their values, only the id's text, so every number
// is handed to the parser as 0 and the id is taken from the line as written.
struct Scan {
  bool bTooDeep = false;
  std::string masked;  // the line, each number written as "0" and blanks
  // Raw key and value of each member of the outer object, in order.
  std::vector<std::pair<std::string, std::string>> members;
};

// Only meaningful for a line the parser then accepts; nesting is counted
// first, so that a deep line is never recursed into. Brackets inside
// strings do not count.
Scan ScanLine(const std::string& line) {
  Scan scan;
  scan.masked = line;
  int depth = 0;
  size_t keyStart = 0, keyEnd = 0, valueStart = std::string::npos;
  auto endMember = [&](size_t end) {
    while (end > valueStart && IsJsonBlank(line[end - 1])) --end;
    scan.members.emplace_back(line.substr(keyStart, keyEnd - keyStart),
                              line.substr(valueStart, end - valueStart));
    valueStart = std::string::npos;
  };
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      size_t start = i;
      i = StringEnd(line, i);
      if (depth == 1 && valueStart == std::string::npos) {
        keyStart = start;
        keyEnd = i + 1;
      }
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      size_t end = line.find_first_not_of("0123456789+-.eE", i);
      if (end == std::string::npos) end = line.size();
      if (IsJsonNumber(line.substr(i, end - i))) {
        scan.masked.replace(i, end - i, end - i, ' ');
        scan.masked[i] = '0';
      }
      i = end - 1;
    } else if (c == ':' && depth == 1) {
      valueStart = i + 1;
      while (valueStart < line.size() && IsJsonBlank(line[valueStart])) ++valueStart;
    } else if (c == ',' && depth == 1 && valueStart != std::string::npos) {
      endMember(i);
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) {
        scan.bTooDeep = true;
        return scan;
      }
    } else if (c == ']' || c == '}') {
      if (depth-- == 1 && valueStart != std::string::npos) endMember(i);
    }
  }
  return scan;
}

// The JSON text without blanks outside strings.
std::string Compact(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      size_t start = i;
      i = StringEnd(text, i);
      out.append(text, start, i + 1 - start);
    } else if (!IsJsonBlank(text[i])) {
      out += text[i];
    }
  }
  return out;
}

std::string Refuse(const std::string* pstrId, const std::string& message) {
  return ObjectLine(pstrId, "\"error\":" + JsonText(message));
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The module takes its texts as C strings: a NUL would cut "/tmp/a\0/b"
// to "/tmp/a", a command other than the one sent.
bool HoldsNul(const Json& text) {
  return text.get_ref<const std::string&>().find('\0') != std::string::npos;
}

// Reads the line as one JSON object, or puts its refusal into errorLine:
// nested too deep, not JSON, or not an object. Such a refusal has no id.
bool ParseObject(const std::string& line, Scan* scan, Json* j, std::string* errorLine) {
  *scan = ScanLine(line);
  if (scan->bTooDeep) {
    *errorLine = Refuse(nullptr, "JSON: nested more than " + std::to_string(kMaxDepth) + " deep");
    return false;
  }
  try {
    *j = Json::parse(scan->masked);
  } catch (const Json::parse_error& e) {
    *errorLine = Refuse(nullptr, "invalid JSON at byte " + std::to_string(e.byte));
    return false;
  } catch (const Json::exception&) {
    // Nothing the library throws may end the host.
    *errorLine = Refuse(nullptr, "invalid JSON");
    return false;
  }
  if (!j->is_object()) {
    *errorLine = Refuse(nullptr, "not a JSON object");
    return false;
  }
  return true;
}

// The id as the line wrote it. The last of repeated keys counts, as in the
// parser; a key may be written with escapes.
void ReadId(const Json& j, const Scan& scan, Command* cmd) {
  cmd->bHasId = j.contains("id");
  if (!cmd->bHasId) return;
  for (const auto& member : scan.members) {
    if (Json::parse(member.first, nullptr, false) == "id")
      cmd->strId = EscapeLineBreakers(Compact(member.second));
  }
}

// Why "cmd" cannot name a command, or null when it can.
const char* CmdError(const Json& j) {
  auto itCmd = j.find("cmd");
  if (itCmd == j.end()) return "cmd: missing";
  if (!itCmd->is_string()) return "cmd: not a string";
  if (HoldsNul(*itCmd)) return "cmd: holds a NUL character";
  return nullptr;
}

// Why "params" cannot be the parameters, or null when they can (or are
// absent). The first parameter at fault gives the reason.
const char* ParamsError(const Json& j) {
  auto itParams = j.find("params");
  if (itParams == j.end()) return nullptr;
  if (!itParams->is_array()) return "params: not an array";
  if (itParams->size() > 4) return "params: at most 4 strings";
  for (const Json& p : *itParams) {
    if (!p.is_string()) return "params: not all strings";
    if (HoldsNul(p)) return "params: a string holds a NUL character";
  }
  return nullptr;
}

// Fills cmd from an object that CmdError and ParamsError accept.
void FillCommand(const Json& j, Command* cmd) {
  cmd->strCmd = j.find("cmd")->get<std::string>();
  for (int i = 0; i < 4; ++i) cmd->strParams[i].clear();
  auto itParams = j.find("params");
  if (itParams != j.end()) {
    int i = 0;
    for (const Json& p : *itParams) cmd->strParams[i++] = p.get<std::string>();
  }
}

LineKind ParseJson(const std::string& line, Command* cmd, std::string* errorLine) {
  Scan scan;
  Json j;
  if (!ParseObject(line, &scan, &j, errorLine)) return LineKind::kRefused;
  ReadId(j, scan, cmd);
  const char* error = CmdError(j);
  if (error == nullptr) error = ParamsError(j);
  if (error != nullptr) {
    *errorLine = Refuse(cmd->bHasId ? &cmd->strId : nullptr, error);
    return LineKind::kRefused;
  }
  FillCommand(j, cmd);
  return LineKind::kCommand;
}

LineKind ParseWords(const std::string& line, Command* cmd, std::string* errorLine) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size()) break;
    size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    if (words.size() == 5) {
      *errorLine = Refuse(nullptr, "words: at most 5");
      return LineKind::kRefused;
    }
    words.emplace_back(line, start, i - start);
  }
  cmd->strCmd = words[0];
  for (size_t k = 0; k < 4; ++k) {
    if (k + 1 < words.size()) {
      cmd->strParams[k].swap(words[k + 1]);
    } else {
      cmd->strParams[k].clear();
    }
  }
  return LineKind::kCommand;
}

}  // namespace

LineKind ParseLine(const std::string& rawLine, Command* cmd, std::string* errorLine) {
  cmd->bHasId = false;
  cmd->strId.clear();
  size_t len = rawLine.size();
  if (len > 0 && rawLine[len - 1] == '\r') --len;
  if (len > kMaxLineBytes) {
    *errorLine = FormatTooLong();
    return LineKind::kRefused;
  }
  size_t first = 0;
  while (first < len && IsBlank(rawLine[first])) ++first;
  if (first == len) return LineKind::kBlank;
  std::string line(rawLine, 0, len);
  // Not JSON, and the JSON parser would take it for the end of the line.
  if (line.find('\0') != std::string::npos) {
    *errorLine = Refuse(nullptr, "line: holds a NUL byte");
    return LineKind::kRefused;
  }
  if (line[first] == '{') return ParseJson(line, cmd, errorLine);
  return ParseWords(line, cmd, errorLine);
}

std::string FormatTooLong() {
  return Refuse(nullptr, "line: over " + std::to_string(kMaxLineBytes) + " bytes");
}

std::string FormatUnterminated() { return Refuse(nullptr, "line: no \"\\n\" before end of input"); }

std::string FormatReply(const Command& cmd, bool bOk, XapReplyKind eKind, int nInteger,
                        const std::string& strText) {
  std::string members = "\"cmd\":" + JsonText(cmd.strCmd) + ",\"ok\":" + (bOk ? "true" : "false");
  members += ",\"reply\":";
  switch (eKind) {
    case XAP_REPLY_INTEGER:
      members += std::to_string(nInteger);
      break;
    case XAP_REPLY_ASCII:
      members += JsonText(strText);
      break;
    default:
      members += "null";
      break;
  }
  return ObjectLine(cmd.bHasId ? &cmd.strId : nullptr, members);
}

std::string FormatEvent(int nEventId, const std::string& strData1, const std::string& strData2) {
  return ObjectLine(nullptr, "\"event\":" + std::to_string(nEventId) + ",\"data\":[" +
                                 JsonText(strData1) + "," + JsonText(strData2) + "]");
}

}  // namespace host
}  // namespace qom
