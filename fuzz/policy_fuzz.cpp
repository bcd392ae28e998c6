// Fuzz target for the security boundary: the path gate and the command-line
// screen. Every verdict is checked against the policy as written down here,
// independently of the code under test, in both directions: whatever the
// gate accepts obeys every rule, and whatever obeys every rule is accepted.
//
// Input: the first byte picks the case (widget type 0, 1 or restricted, or
// the command-line screen); for a restricted widget the bytes up to the
// first 0x01 are the widget path, the rest is the path.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "QomDebug.h"
#include "XapOutput.h"
#include "XapPathPolicy.h"
#include "XapTaskFileSystem.h"

namespace {

class Gate : public qom::CXapTaskFileSystem {
 public:
  using CXapTaskFileSystem::t_MakeSafePath;
};

// The characters a path may hold; a command line also blanks and "+".
bool AllInSet(const std::string& text, bool bCommandLine) {
  const std::string extra = bCommandLine ? "_-/. +" : "_-/.";
  return std::all_of(text.begin(), text.end(), [&](unsigned char c) {
    return (c < 128 && isalnum(c)) || extra.find(static_cast<char>(c)) != std::string::npos;
  });
}

bool Begins(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool UnderAllowedRoot(const std::string& path) {
  return Begins(path, "/opt/down") || Begins(path, "/tmp") || Begins(path, "/opt/usr/apps");
}

// The policy for a path, given the widget.
bool PolicyAccepts(const std::string& path, int nType, const std::string& widget) {
  if (path.size() > 255 || !AllInSet(path, false)) return false;
  if (path.find("..") != std::string::npos || !UnderAllowedRoot(path)) return false;
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), free);
  if (resolved && !UnderAllowedRoot(resolved.get())) return false;
  if (nType == 1) return true;
  return Begins(path, widget) || Begins(path, "/opt/down/common/") || Begins(path, "/tmp") ||
         Begins(path, "/opt/usr/apps");
}

void Fail(const char* what, const std::string& text) {
  fprintf(stderr, "policy violated (%s): [%s]\n", what, text.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool bQuiet = (qom::host::SetLogSink([](const std::string&) {}), true);
  (void)bQuiet;
  if (size == 0) return 0;
  int nCase = data[0] % 4;
  // C strings: the text ends at the first NUL, as it would from a command.
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  rest = rest.c_str();

  if (nCase == 3) {
    size_t nLength = 0;
    bool bAccepted =
        qom::policy::ScreenCommandLine(rest.c_str(), &nLength) == qom::policy::SCREEN_SAFE;
    bool bExpected = rest.size() <= 255 && AllInSet(rest, true);
    if (bAccepted != bExpected) Fail("command-line screen", rest);
    return 0;
  }

  std::string widget, path = rest;
  int nType = nCase;  // 0 none, 1 unrestricted
  if (nCase == 2) {
    nType = 2 + static_cast<int>(data[0] / 4);  // any value other than 0 and 1
    size_t cut = rest.find('\x01');
    if (cut != std::string::npos) {
      widget = rest.substr(0, cut);
      path = rest.substr(cut + 1);
    }
  }
  Gate gate;
  std::string widgetCopy = widget;
  gate.SetWidgetInfo(nType, &widgetCopy[0]);
  widget = widget.substr(0, 199);  // all the task keeps of it

  std::string pathCopy = path;
  std::string safe = "unset";
  int nResult = gate.t_MakeSafePath(&pathCopy[0], safe);
  if (nType == 0) {
    if (nResult != -4) Fail("type 0 must refuse with -4", path);
    return 0;
  }
  if (nResult != 1 && nResult != -7) Fail("result outside 1 and -7", path);
  bool bExpected = PolicyAccepts(path, nType, widget);
  if ((nResult == 1) != bExpected) Fail(bExpected ? "refused a valid path" : "accepted", path);
  if (nResult == 1 && safe != path) Fail("safe path differs from the path", path);
  return 0;
}
