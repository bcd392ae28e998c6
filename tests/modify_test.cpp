// Copy, move, delete and unzip through the real process, in fresh folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using xaptest::ModuleProcess;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A module whose widget may reach dir, answering one command at a time.
class Module {
 public:
  explicit Module(const std::string& widget, const char* type = "2") {
    Ask("SetWidgetInfo", {type, widget});
  }
  int Ask(const std::string& cmd, const std::vector<std::string>& params) {
    m_module.SendLine(nlohmann::json{{"cmd", cmd}, {"params", params}}.dump());
    nlohmann::json reply = nlohmann::json::parse(m_module.ReadLine());
    return reply["reply"].is_number() ? reply["reply"].get<int>() : 999;
  }
  std::string Log() {
    m_module.CloseInput();
    m_module.Wait();
    return m_module.Stderr();
  }

 private:
  ModuleProcess m_module{{"--log-level", "3"}};
};

TEST(CopyMove, WhereTheItemLands) {
  xaptest::TempDir dir;
  mkdir((dir / "folder").c_str(), 0755);
  xaptest::WriteFile(dir / "folder/in.txt", "in");
  xaptest::WriteFile(dir / "file.txt", "file");
  Module m(dir.Path());
  // A folder lands inside the destination, made first when missing.
  EXPECT_EQ(m.Ask("Copy", {dir / "folder", dir / "copy/deep"}), 1);
  EXPECT_EQ(xaptest::ReadFile(dir / "copy/deep/folder/in.txt"), "in");
  // A file lands under the given name, its folder made with its parents.
  EXPECT_EQ(m.Ask("Copy", {dir / "file.txt", dir / "x/y/renamed.txt"}), 1);
  EXPECT_EQ(xaptest::ReadFile(dir / "x/y/renamed.txt"), "file");
  // A trailing "/" puts the file inside that folder under its own name.
  EXPECT_EQ(m.Ask("Copy", {dir / "file.txt", dir / "z/"}), 1);
  EXPECT_EQ(xaptest::ReadFile(dir / "z/file.txt"), "file");
  // An existing folder as the destination of a file takes it inside.
  EXPECT_EQ(m.Ask("Copy", {dir / "file.txt", dir / "z"}), 1);
  EXPECT_TRUE(Exists(dir / "z/file.txt"));
  // Moving a folder to a folder not made yet leaves it inside that folder.
  EXPECT_EQ(m.Ask("Move", {dir / "folder", dir / "moved"}), 1);
  EXPECT_TRUE(Exists(dir / "moved/folder/in.txt"));
  EXPECT_FALSE(Exists(dir / "folder"));
  EXPECT_EQ(m.Ask("Move", {dir / "file.txt", dir / "moved/f.txt"}), 1);
  EXPECT_EQ(xaptest::ReadFile(dir / "moved/f.txt"), "file");
  // A folder that exists is not made again.
  EXPECT_EQ(Count(m.Log(), "/bin/mkdir -p " + dir / "moved]"), 1);
}

TEST(CopyMove, CodesInTheOrderTheStepsGiveThem) {
  xaptest::TempDir dir;
  xaptest::WriteFile(dir / "f", "x");
  xaptest::WriteFile(dir / "blocker", "x");
  {
    Module none(dir.Path(), "0");
    EXPECT_EQ(none.Ask("Copy", {dir / "f", dir / "g"}), -4);
  }
  Module m("/opt/down/widgets/w1");
  const struct {
    const char* cmd;
    std::string src;
    std::string dest;
    int reply;
  } cases[] = {
      {"Copy", "/opt/down/other/f", dir / "g", -7},  // source refused first
      {"Move", dir / "f", "/etc/x", -7},
      {"Copy", dir / "missing", dir / "g", -5},
      {"Move", dir / "missing", dir / "g", -5},
      {"Copy", dir / "f", "/tmp", -5},                 // no folder part: mkdir without operand
      {"Copy", dir / "f", dir / "blocker/sub/g", -5},  // a file where a folder must be
  };
  for (const auto& c : cases) {
    EXPECT_EQ(m.Ask(c.cmd, {c.src, c.dest}), c.reply) << c.cmd << " " << c.src << " " << c.dest;
  }
  // cp or mv that fails answers 0 and runs no sync.
  mkdir((dir / "ro").c_str(), 0755);
  EXPECT_EQ(m.Ask("Move", {dir / "ro", dir / "ro/inside"}), 0);
  std::string log = m.Log();
  EXPECT_EQ(log.find("pszCommand = [/bin/sync]"), std::string::npos);
  EXPECT_FALSE(Exists(dir / "g"));
}

TEST(Delete, RemovesFilesAndTreesAndSaysWhatIsMissing) {
  xaptest::TempDir dir;
  mkdir((dir / "empty").c_str(), 0755);
  mkdir((dir / "tree").c_str(), 0755);
  mkdir((dir / "tree/a").c_str(), 0755);
  xaptest::WriteFile(dir / "tree/a/f", "x");
  xaptest::WriteFile(dir / "file", "x");
  {
    Module none(dir.Path(), "0");
    EXPECT_EQ(none.Ask("Delete", {dir / "file"}), -4);
  }
  Module m(dir.Path());
  EXPECT_EQ(m.Ask("Delete", {dir / "missing"}), -5);
  for (const char* name : {"empty", "tree", "file"}) {
    EXPECT_EQ(m.Ask("Delete", {dir / name}), 1) << name;
    EXPECT_FALSE(Exists(dir / name)) << name;
  }
  EXPECT_EQ(m.Ask("Delete", {"/opt/down/other"}), -7);
  EXPECT_EQ(m.Log().find("/bin/rm -rf " + dir / "missing"), std::string::npos);
}

// Replaces every occurrence of from with to (the same length) in a file.
void Patch(const std::string& path, const std::string& from, const std::string& to) {
  std::string bytes = xaptest::ReadFile(path);
  for (size_t at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at + 1)) {
    bytes.replace(at, from.size(), to);
  }
  xaptest::WriteFile(path, bytes);
}

TEST(Unzip, UnpacksOverwritesAndKeepsEverythingInsideTheTarget) {
  xaptest::TempDir dir;
  mkdir((dir / "src").c_str(), 0755);
  xaptest::WriteFile(dir / "src/a.txt", "new");
  std::string zip = "cd " + dir.Path() + " && zip -qr arc.zip src";
  ASSERT_EQ(system(zip.c_str()), 0);
  // Entries named ../../escaped.txt and /<dir>/absolute.txt.
  mkdir((dir / "w").c_str(), 0755);
  mkdir((dir / "w/a").c_str(), 0755);
  mkdir((dir / "w/a/b").c_str(), 0755);
  xaptest::WriteFile(dir / "w/escaped.txt", "e");
  mkdir((dir / "w/a/b/T").c_str(), 0755);
  xaptest::WriteFile(dir / "w/a/b/T/absolute.txt", "a");
  std::string evil =
      "cd " + dir / "w/a/b" + " && zip -q ../../../evil.zip ../../escaped.txt T/absolute.txt";
  ASSERT_EQ(system(evil.c_str()), 0);
  Patch(dir / "evil.zip", "T/absolute.txt", "//absolute.txt");
  xaptest::WriteFile(dir / "damaged.zip", "PK this is no archive");
  xaptest::WriteFile(dir / "target-file", "x");

  Module m(dir.Path());
  EXPECT_EQ(m.Ask("Unzip", {dir / "arc.zip", dir / "new/deep"}), 1);
  EXPECT_EQ(xaptest::ReadFile(dir / "new/deep/src/a.txt"), "new");
  xaptest::WriteFile(dir / "new/deep/src/a.txt", "old");
  EXPECT_EQ(m.Ask("Unzip", {dir / "arc.zip", dir / "new/deep"}), 1);
  EXPECT_EQ(xaptest::ReadFile(dir / "new/deep/src/a.txt"), "new");  // overwritten unasked
  EXPECT_EQ(m.Ask("Unzip", {dir / "arc.zip", dir / "target-file"}), -5);
  EXPECT_EQ(m.Ask("Unzip", {dir / "missing.zip", dir / "m"}), -5);
  EXPECT_FALSE(Exists(dir / "m"));
  EXPECT_EQ(m.Ask("Unzip", {dir / "damaged.zip", dir / "d"}), 0);
  EXPECT_TRUE(Exists(dir / "d"));  // the folder made first stays
  EXPECT_EQ(m.Ask("Unzip", {"/opt/down/other.zip", "/etc"}), -7);

  unlink((dir / "w/escaped.txt").c_str());
  m.Ask("Unzip", {dir / "evil.zip", dir / "w/a/b/t"});
  EXPECT_FALSE(Exists(dir / "w/escaped.txt"));
  EXPECT_FALSE(Exists(dir / "w/a/escaped.txt"));
  EXPECT_FALSE(Exists("/absolute.txt"));
  EXPECT_TRUE(Exists(dir / "w/a/b/t/escaped.txt"));
  EXPECT_TRUE(Exists(dir / "w/a/b/t/absolute.txt"));
}

}  // namespace
