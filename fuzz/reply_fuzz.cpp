// Fuzz target for the reply text of GetListFiles, fed with generated folder
// contents: never past 2047 characters, always a valid array of whole
// names, cut only where the next name would not fit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "XapTaskFileSystem.h"

namespace {

class Texts : public qom::CXapTaskFileSystem {
 public:
  using CXapTaskFileSystem::PTReplyText;
  using CXapTaskFileSystem::t_ListingAdd;
  using CXapTaskFileSystem::t_ListingClose;
  using CXapTaskFileSystem::t_ListingOpen;
};

void Fail(const char* what, const std::string& text) {
  fprintf(stderr, "reply text: %s\n[%s]\n", what, text.c_str());
  abort();
}

std::string Output(const Texts::PTReplyText& text) {
  std::vector<char> buffer(2048 + 16, '\x5a');
  memset(buffer.data(), 0, 2048);
  text.CopyTo(buffer.data());
  for (size_t i = 2048; i < buffer.size(); ++i) {
    if (buffer[i] != '\x5a') Fail("wrote past 2048 bytes", "");
  }
  return std::string(buffer.data());
}

// Names as a folder may hold them: no "/", no NUL, not empty, at most 255.
std::vector<std::string> Names(const std::string& bytes) {
  std::vector<std::string> names;
  std::string name;
  for (char c : bytes + '/') {
    if (c == '/' || c == '\0') {
      if (!name.empty()) names.push_back(name.substr(0, 255));
      name.clear();
    } else {
      name += c;
    }
  }
  return names;
}

void CheckListing(const std::string& bytes) {
  std::vector<std::string> names = Names(bytes);
  // Blow small inputs up, so that lists overflow the reply too.
  if (!names.empty() && bytes.size() % 3 == 0) {
    while (names.size() < 300) names.push_back(names[names.size() % names.size()] + "x");
  }
  Texts::PTReplyText text;
  Texts::t_ListingOpen(text);
  size_t listed = 0;
  while (listed < names.size() && Texts::t_ListingAdd(text, names[listed].c_str())) ++listed;
  Texts::t_ListingClose(text);
  std::string out = Output(text);
  if (text.Overflowed() || out.size() > 2047) Fail("listing too long", out);
  std::string expected = "[ ";
  for (size_t i = 0; i < listed; ++i) expected += "\"" + names[i] + "\", ";
  expected += " 0 ]";
  if (out != expected) Fail("listing differs from its names", out);
  // It stopped only because the next name would not fit.
  if (listed < names.size() && out.size() + names[listed].size() + 4 <= 2047) {
    Fail("stopped early", out);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckListing(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
