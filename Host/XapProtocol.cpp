#include "XapProtocol.h"

#include <vector>

namespace qom {
namespace host {
namespace {

using Json = nlohmann::ordered_json;

// Deepest nesting of arrays and objects a line may hold, the outer object
// counted: the parser recurses, and the host's stack must not end with it.
const int kMaxDepth = 64;

// Invalid UTF-8 (file names, decoded data) becomes U+FFFD, never an error.
// U+2028, U+2029 and U+0085 are escaped: some readers split lines on them.
std::string Dump(const Json& j) {
  std::string text = j.dump(-1, ' ', false, Json::error_handler_t::replace);
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
  return line + "\n";
}

// Whether the line's arrays and objects nest deeper than kMaxDepth;
// brackets inside strings do not count.
bool TooDeep(const std::string& line) {
  int depth = 0;
  bool bInString = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (bInString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        bInString = false;
      }
    } else if (c == '"') {
      bInString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

std::string Refuse(const Json* id, const std::string& message) {
  Json j = Json::object();
  if (id != nullptr) j["id"] = *id;
  j["error"] = message;
  return Dump(j);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

LineKind ParseJson(const std::string& line, Command* cmd, std::string* errorLine) {
  if (TooDeep(line)) {
    *errorLine = Refuse(nullptr, "JSON: nested more than " + std::to_string(kMaxDepth) + " deep");
    return LineKind::kRefused;
  }
  Json j;
  try {
    j = Json::parse(line);
  } catch (const Json::parse_error& e) {
    *errorLine = Refuse(nullptr, "invalid JSON at byte " + std::to_string(e.byte));
    return LineKind::kRefused;
  } catch (const Json::exception&) {
    // Valid syntax the library cannot hold, such as a number too large.
    *errorLine = Refuse(nullptr, "invalid JSON: a value out of range");
    return LineKind::kRefused;
  }
  if (!j.is_object()) {
    *errorLine = Refuse(nullptr, "not a JSON object");
    return LineKind::kRefused;
  }
  const Json* id = nullptr;
  auto itId = j.find("id");
  if (itId != j.end()) id = &*itId;

  auto itCmd = j.find("cmd");
  if (itCmd == j.end()) {
    *errorLine = Refuse(id, "cmd: missing");
    return LineKind::kRefused;
  }
  if (!itCmd->is_string()) {
    *errorLine = Refuse(id, "cmd: not a string");
    return LineKind::kRefused;
  }
  auto itParams = j.find("params");
  if (itParams != j.end()) {
    if (!itParams->is_array()) {
      *errorLine = Refuse(id, "params: not an array");
      return LineKind::kRefused;
    }
    if (itParams->size() > 4) {
      *errorLine = Refuse(id, "params: at most 4 strings");
      return LineKind::kRefused;
    }
    for (const Json& p : *itParams) {
      if (!p.is_string()) {
        *errorLine = Refuse(id, "params: not all strings");
        return LineKind::kRefused;
      }
    }
  }

  cmd->bHasId = id != nullptr;
  cmd->id = id != nullptr ? *id : Json();
  cmd->strCmd = itCmd->get<std::string>();
  for (int i = 0; i < 4; ++i) cmd->strParams[i].clear();
  if (itParams != j.end()) {
    int i = 0;
    for (const Json& p : *itParams) cmd->strParams[i++] = p.get<std::string>();
  }
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
  cmd->bHasId = false;
  cmd->id = Json();
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
  if (line[first] == '{') return ParseJson(line, cmd, errorLine);
  return ParseWords(line, cmd, errorLine);
}

std::string FormatTooLong() {
  return Refuse(nullptr, "line: over " + std::to_string(kMaxLineBytes) + " bytes");
}

std::string FormatReply(const Command& cmd, bool bOk, XapReplyKind eKind, int nInteger,
                        const std::string& strText) {
  Json j = Json::object();
  if (cmd.bHasId) j["id"] = cmd.id;
  j["cmd"] = cmd.strCmd;
  j["ok"] = bOk;
  switch (eKind) {
    case XAP_REPLY_INTEGER:
      j["reply"] = nInteger;
      break;
    case XAP_REPLY_ASCII:
      j["reply"] = strText;
      break;
    default:
      j["reply"] = nullptr;
      break;
  }
  return Dump(j);
}

std::string FormatEvent(int nEventId, const std::string& strData1, const std::string& strData2) {
  Json j = Json::object();
  j["event"] = nEventId;
  j["data"] = Json::array({strData1, strData2});
  return Dump(j);
}

}  // namespace host
}  // namespace qom
