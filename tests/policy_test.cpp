// Catches a widget reaching a path it may not reach, and any text of a
// command becoming shell syntax: the path policy, the screens, the shell
// runner, and hostile paths sent to every path position of the process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "XapTaskFileSystem.h"

namespace {

class Gate : public qom::CXapTaskFileSystem {
 public:
  using CXapTaskFileSystem::t_IsSafeCommandLine;
  using CXapTaskFileSystem::t_IsSafeSystemPath;
  using CXapTaskFileSystem::t_IsSafeSystemString;
  using CXapTaskFileSystem::t_MakeFolder;
  using CXapTaskFileSystem::t_MakeSafePath;
  using CXapTaskFileSystem::t_SystemCall;
  using CXapTaskFileSystem::t_Trim;
  Gate(int nType, std::string widget) { SetWidgetInfo(nType, &widget[0]); }
  int Safe(std::string path) {
    std::string safe = "untouched";
    int r = t_MakeSafePath(&path[0], safe);
    EXPECT_EQ(safe, r == 1 ? path : safe);
    return r;
  }
};

std::string Under(const std::string& root, size_t total) {
  return root + "/" + std::string(total - root.size() - 1, 'a');
}

TEST(Policy, RootsAsGivenAndAsResolvedWidgetAndSharedRoots) {
  xaptest::TempDir dir;
  symlink("/etc", (dir / "toetc").c_str());
  symlink(dir.Path().c_str(), (dir / "inside").c_str());
  symlink("/etc/none/such", (dir / "dangling").c_str());
  const std::string w1 = "/opt/down/widgets/w1";
  const struct {
    int type;
    std::string widget, path;
    int result;
  } rows[] = {
      {0, "", "/tmp/x", -4},  // nothing before a widget type is set
      {0, w1, "/etc/passwd", -4},
      {1, "", "/tmpdata/x", 1},  // roots are byte-wise prefixes
      {1, "", "/opt/downloads/x", 1},
      {1, "", "/opt/usr/apps/x", 1},
      {1, "", "/opt/dow", -7},
      {1, "", "/etc/passwd", -7},
      {1, "", dir / "toetc", -7},  // resolves outside
      {1, "", dir / "inside", 1},
      {1, "", dir / "dangling", 1},  // does not resolve: judged as given
      {1, "", "/tmp/../etc", -7},    // ".." anywhere
      {1, "", "/tmp/file..txt", -7},
      {1, "", "/tmp/a b", -7},
      {1, "", Under("/tmp", 255), 1},
      {1, "", Under("/tmp", 256), -7},
      {1, "", Under("/tmp", 301), -7},
      {2, w1, w1 + "/data", 1},
      {2, w1, "/opt/down/widgets/w12/x", 1},
      {2, w1, "/opt/down/other/x", -7},
      {-5, w1, "/opt/down/other/x", -7},
      {2, w1, "/opt/down/common/x", 1},
      {2, w1, "/opt/down/common", -7},
      {2, w1, "/tmp/x", 1},
      {2, w1, "/opt/usr/apps/y", 1},
      {2, "", "/opt/down/anything", 1},
      {2, w1, w1 + "/../../x", -7},
      {2, "/opt/down/" + std::string(240, 'w'), "/opt/down/" + std::string(189, 'w') + "x", 1},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(Gate(r.type, r.widget).Safe(r.path), r.result) << r.type << " " << r.path;
  }
  Gate gate(1, "");
  std::string safe;
  EXPECT_EQ(gate.t_MakeSafePath(nullptr, safe), -7);
  EXPECT_EQ(gate.t_IsSafeSystemPath("/opt/down/a/b"), 1);
}

TEST(Screen, PathsAndCommandLinesOfSafeCharactersOnly) {
  const std::string all = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-/.";
  const struct {
    std::string text;
    int path, command;  // t_IsSafeSystemString, t_IsSafeCommandLine
  } rows[] = {
      {all, 1, 1},
      {"/opt/down/my file", 0, 1},
      {"/usr/bin/nice -n 19 /bin/chmod +x /tmp/x", 0, 1},
      {std::string(255, 'a'), 1, 1},
      {std::string(256, 'a'), 0, 0},
      {"/tmp/\xc3\xa9", 0, 0},
      {"/tmp/a\x7f", 0, 0},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(Gate::t_IsSafeSystemString(r.text.c_str()), r.path) << r.text;
    EXPECT_EQ(Gate::t_IsSafeCommandLine("test", r.text.c_str()), r.command) << r.text;
  }
  for (char bad : std::string(";|&$'\"`\t\n*?~\\()<>=,:%!#[{")) {
    std::string line = std::string("/bin/rm -rf /tmp/x") + bad;
    EXPECT_EQ(Gate::t_IsSafeSystemString(line.c_str()), 0) << line;
    EXPECT_EQ(Gate::t_IsSafeCommandLine("test", line.c_str()), 0) << line;
  }
  EXPECT_EQ(Gate::t_IsSafeSystemString(nullptr), 0);
  EXPECT_EQ(Gate::t_IsSafeCommandLine("test", nullptr), 0);
}

TEST(Screen, TheShellRunsOnlyWhatPassesAndMakesMissingFolders) {
  xaptest::TempDir dir;
  Gate gate(1, "");
  std::string canary = dir / "canary", made = dir / "a/b", under = canary + "/s", bad = dir / "x;y";
  for (const char* tail : {" &", ";", "\n", " 2>/dev/null", "\txxxxxxxxxxxxxxxx"}) {
    EXPECT_EQ(gate.t_SystemCall(("/usr/bin/touch " + canary + tail).c_str()), -1) << tail;
  }
  EXPECT_EQ(gate.t_SystemCall(("/usr/bin/touch " + canary + " " + std::string(230, 'x')).c_str()),
            -1);
  EXPECT_EQ(gate.t_SystemCall(nullptr), -1);
  EXPECT_FALSE(xaptest::Exists(canary));
  EXPECT_EQ(gate.t_SystemCall("/bin/ls /nonexistent/x"), 2);
  xaptest::WriteFile(canary, "");
  for (std::string* p : {&made, &made, &canary}) EXPECT_EQ(gate.t_MakeFolder(&(*p)[0]), 1) << *p;
  EXPECT_TRUE(xaptest::Exists(made));
  EXPECT_EQ(gate.t_MakeFolder(&under[0]) + gate.t_MakeFolder(&bad[0]), 0);
  // Only blanks are trimmed, at both ends, into the destination.
  const std::pair<std::string, std::string> trims[] = {
      {"  a b  ", "a b"}, {"   ", ""}, {"\tx ", "\tx"}, {"x\t", "x\t"}, {" /a/ ", "/a/"}};
  for (auto t : trims) {
    char dest[16] = "ZZZZZZZZZZZZZZZ";
    EXPECT_EQ(gate.t_Trim(&t.first[0], dest), 1);
    EXPECT_STREQ(dest, t.second.c_str());
  }
  EXPECT_EQ(gate.t_Trim(nullptr, &canary[0]) + gate.t_Trim(&canary[0], nullptr), 0);
}

// Paths built to make a canary file if any part of them reached a shell.
TEST(Hostile, NoInputEverRunsAShellCommandOfItsOwn) {
  xaptest::TempDir dir;
  symlink("/etc", (dir / "toetc").c_str());
  const std::string d = dir.Path(), touch = "touch " + dir / "canary";
  std::vector<std::string> paths = {"~/x",
                                    d + "/*",
                                    d + "/\xc3\xa9t\xc3\xa9",
                                    d + "/../../etc/passwd",
                                    d + "/" + std::string(300, 'a'),
                                    d + "/toetc/passwd"};
  const std::pair<const char*, const char*> around[] = {
      {";", ""},     {"|", ""},  {"&", "&"}, {"$(", ")"}, {"`", "`"}, {"'; ", "; '"},
      {"\"; ", ";"}, {"\n", ""}, {"\t", ""}, {" > ", ""}, {" ", ""}};
  for (const auto& a : around) paths.push_back(d + "/x" + a.first + touch + a.second);
  xaptest::ModuleProcess module;
  EXPECT_EQ(module.Ask(xaptest::Line("SetWidgetInfo", {"2", d})), "1");
  const std::string safe = dir / "safe";
  for (const std::string& path : paths) {
    for (const char* query : {"IsExistedPath", "GetItemType", "GetFileSize", "GetFolderSize"}) {
      module.Ask(xaptest::Line(query, {path, "1", "1"}));  // may answer; never runs a shell
    }
    EXPECT_EQ(module.Ask(xaptest::Line("SetExecutable", {path})), "1") << path;
    const std::vector<std::vector<std::string>> gated = {
        {"Copy", path, safe},       {"Copy", safe, path},       {"Move", path, safe},
        {"Move", safe, path},       {"Unzip", path, safe},      {"Unzip", safe, path},
        {"UnzipAsync", path, safe}, {"UnzipAsync", safe, path}, {"Delete", path},
        {"DeleteAsync", path},      {"GetProperty", path},      {"GetListFiles", path}};
    for (const auto& g : gated) {
      std::string line = xaptest::Line(g[0], std::vector<std::string>(g.begin() + 1, g.end()));
      EXPECT_EQ(module.Ask(line), "-7") << line;
    }
  }
  module.CloseInput();
  EXPECT_EQ(module.Wait(), 0);
  EXPECT_FALSE(xaptest::Exists(dir / "canary"));
  EXPECT_EQ(module.RestOfStdout(), "");  // no job was started
}

}  // namespace
