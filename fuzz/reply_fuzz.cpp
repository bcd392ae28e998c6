// Fuzz target for the reply texts of GetListFiles and GetProperty, fed
// with generated folder contents: never past 2047 characters, the listing
// always a valid array of whole names, the property text exactly the
// fragments or nothing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "XapTaskFileSystem.h"

// PTStat's time fields have the names the C library defines as macros for
// struct stat, whose times are read here as st_atim and so on.
#undef st_atime
#undef st_mtime
#undef st_ctime

namespace {

class Texts : public qom::CXapTaskFileSystem {
 public:
  using CXapTaskFileSystem::PTReplyText;
  using CXapTaskFileSystem::PTStat;
  using CXapTaskFileSystem::t_ListingAdd;
  using CXapTaskFileSystem::t_ListingClose;
  using CXapTaskFileSystem::t_ListingOpen;
  using CXapTaskFileSystem::t_PropertyText;
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
  if (text.Spoiled() || out.size() > 2047) Fail("listing too long", out);
  std::string expected = "[ ";
  for (size_t i = 0; i < listed; ++i) expected += "\"" + names[i] + "\", ";
  expected += " 0 ]";
  if (out != expected) Fail("listing differs from its names", out);
  // It stopped only because the next name would not fit.
  if (listed < names.size() && out.size() + names[listed].size() + 4 <= 2047) {
    Fail("stopped early", out);
  }
}

void CheckProperty(const uint8_t* data, size_t size) {
  if (size < 24) return;
  Texts::PTStat st = {};
  memcpy(&st.st_mode, data, 4);
  memcpy(&st.st_atime, data + 4, 4);
  memcpy(&st.st_mtime, data + 8, 4);
  memcpy(&st.st_size, data + 12, 8);
  int32_t count;
  memcpy(&count, data + 20, 4);
  std::string rest(reinterpret_cast<const char*>(data + 24), size - 24);
  rest = rest.c_str();
  // Stretch the folder to the lengths where fragments and text overflow.
  std::string dir = "/" + rest;
  while (dir.size() < static_cast<size_t>(data[0]) * 5) dir += "/d";
  const char* name = (data[1] & 1) ? nullptr : "a.txt";

  Texts::PTReplyText text;
  Texts::t_PropertyText(text, st, dir.c_str(), name, count);
  std::string out = Output(text);
  bool readOnly = (st.st_mode & 0400) && (st.st_mode & 0700) != 0700;
  bool isFile = (st.st_mode & 0100000) != 0;
  bool isDir = !isFile && (st.st_mode & 040000);
  std::vector<std::string> fragments = {
      std::string("{ \"readOnly\": ") + (readOnly ? "true" : "false") + ", ",
      std::string("\"isFile\": ") + (isFile ? "true" : "false") + ", ",
      std::string("\"isDirectory\": ") + (isDir ? "true" : "false") + ", ",
      "\"created\": " + std::to_string(st.st_atime) + ", ",
      "\"modified\": " + std::to_string(st.st_mtime) + ", ",
      "\"path\": " + dir + ", ",
      name ? "\"name\": a.txt, " : "\"name\": NULL, ",
      name ? "\"fullPath\": " + dir + "/a.txt, " : "\"fullPath\": " + dir + ", ",
      "\"fileSize\": " + std::to_string(static_cast<int32_t>(st.st_size)) + ", ",
      "\"length\": " + std::to_string(count) + " }"};
  std::string expected;
  bool fits = true;
  for (const std::string& f : fragments) {
    fits = fits && f.size() <= 1022;
    expected += f;
  }
  fits = fits && expected.size() <= 2047;
  if (fits != !text.Spoiled()) Fail(fits ? "refused a text that fits" : "kept a cut text", out);
  if (fits && out != expected) Fail("property text differs", out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0) {
    CheckListing(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  } else {
    CheckProperty(data + 1, size - 1);
  }
  return 0;
}
