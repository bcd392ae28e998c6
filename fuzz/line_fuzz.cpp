// Fuzz target for the host's line parser: any bytes as one input line give
// nothing (a blank line) or exactly one output line, which is a valid JSON
// object: an error, or the reply of the command the line named.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "XapProtocol.h"

namespace {

void Fail(const char* what, const std::string& line, const std::string& out) {
  fprintf(stderr, "line parser: %s\nline: [%s]\nout: [%s]\n", what, line.c_str(), out.c_str());
  abort();
}

bool IsBlankLine(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line.find_first_not_of(" \t") == std::string::npos;
}

// Exactly one line, a JSON object. The id is echoed first as the line's
// own text, which may hold numbers this parser cannot hold (1E400): it must
// be valid JSON on its own, and is checked as null in the line.
nlohmann::json OneObject(const std::string& line, const qom::host::Command& cmd, std::string out) {
  if (out.empty() || out.back() != '\n' || out.find('\n') != out.size() - 1) {
    Fail("not exactly one line", line, out);
  }
  if (cmd.bHasId) {
    try {
      (void)nlohmann::json::parse(cmd.strId);
    } catch (const nlohmann::json::out_of_range&) {
    } catch (const nlohmann::json::exception&) {
      Fail("id not JSON", line, out);
    }
    if (out.compare(0, 6 + cmd.strId.size(), "{\"id\":" + cmd.strId) != 0) Fail("id", line, out);
    out.replace(6, cmd.strId.size(), "null");
  }
  nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
  if (j.is_discarded() || !j.is_object()) Fail("not a JSON object", line, out);
  return j;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader splits at "\n": a line never holds one.
  std::string line(reinterpret_cast<const char*>(data), size);
  line = line.substr(0, line.find('\n'));
  qom::host::Command cmd;
  std::string error;
  switch (qom::host::ParseLine(line, &cmd, &error)) {
    case qom::host::LineKind::kBlank:
      if (!IsBlankLine(line)) Fail("skipped a line that is not blank", line, "");
      break;
    case qom::host::LineKind::kRefused: {
      nlohmann::json j = OneObject(line, cmd, error);
      if (!j.contains("error") || !j["error"].is_string()) Fail("no error text", line, error);
      break;
    }
    case qom::host::LineKind::kCommand: {
      // Reply with text from the line itself: any bytes must stay one line.
      std::string out = qom::host::FormatReply(cmd, size % 2 == 0, qom::XAP_REPLY_ASCII, 0,
                                               cmd.strParams[0] + line);
      nlohmann::json j = OneObject(line, cmd, out);
      if (!j["cmd"].is_string() || !j["ok"].is_boolean() || !j["reply"].is_string()) {
        Fail("reply lacks cmd, ok or reply", line, out);
      }
      if (j.contains("id") != cmd.bHasId) Fail("id echoed wrongly", line, out);
      out = qom::host::FormatReply(cmd, true, qom::XAP_REPLY_INTEGER, static_cast<int>(size), "");
      if (!OneObject(line, cmd, out)["reply"].is_number()) Fail("integer reply", line, out);
      break;
    }
  }
  return 0;
}
