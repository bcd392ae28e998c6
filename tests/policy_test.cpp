// Catches a widget reaching a path it may not reach, text of a command
// becoming shell syntax, and SECURITY.md saying less than the truth: the
// path policy, the screens, the shell runner, hostile paths in every path
// position of the process, and each limit the page states, as it is.
#include "TestSupport.h"
#include "XapTaskFileSystem.h"

struct Gate : qom::CXapTaskFileSystem {
  using CXapTaskFileSystem::t_IsSafeCommandLine;
  using CXapTaskFileSystem::t_IsSafeSystemPath;
  using CXapTaskFileSystem::t_IsSafeSystemString;
  using CXapTaskFileSystem::t_MakeFolder;
  using CXapTaskFileSystem::t_SystemCall;
  using CXapTaskFileSystem::t_Trim;
  Gate(int nType, std::string widget) { SetWidgetInfo(nType, &widget[0]); }
  // The verdict on a path; the safe path is the path itself when accepted.
  int Safe(std::string path) {
    std::string safe = "untouched";
    int r = t_MakeSafePath(path.empty() ? nullptr : &path[0], safe);
    EXPECT_EQ(safe, r == 1 ? path : safe);
    return r;
  }
};

TEST(Policy, RootsAsGivenAndAsResolvedWidgetAndSharedRoots) {
  xaptest::TempDir dir;
  const std::string d = dir.Path() + "/", w1 = "/opt/down/widgets/w1",
                    t250 = "/tmp/" + std::string(250, 'a');
  xaptest::Sh("ln -s /etc " + d + "toetc && ln -s " + d + " " + d + "in && ln -s /etc/no " + d +
              "dangling");
  const struct {
    int type;
    std::string widget, path;
    int result;
  } rows[] = {
      {0, "", "/tmp/x", -4},  // nothing before a widget type is set
      {0, w1, "/etc/passwd", -4},
      {1, "", "", -7},
      {1, "", "/tmpdata/x", 1},  // roots are byte-wise prefixes
      {1, "", "/opt/downloads/x", 1},
      {1, "", "/opt/usr/apps/x", 1},
      {1, "", "/opt/dow", -7},
      {1, "", "/etc/passwd", -7},
      {1, "", d + "toetc", -7},  // resolves outside
      {1, "", d + "in", 1},
      {1, "", d + "dangling", 1},  // does not resolve: judged as given
      {1, "", "/tmp/../etc", -7},  // ".." anywhere
      {1, "", "/tmp/file..txt", -7},
      {1, "", "/tmp/a b", -7},
      {1, "", t250, 1},  // 255 characters
      {1, "", t250 + "a", -7},
      {1, "", t250 + std::string(46, 'a'), -7},  // over 300
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
  EXPECT_EQ(Gate(1, "").t_IsSafeSystemPath("/opt/down/a/b"), 1);
}

TEST(Screen, PathsAndCommandLinesOfSafeCharactersOnly) {
  const struct {
    std::string text;
    int path, command;  // t_IsSafeSystemString, t_IsSafeCommandLine
  } rows[] = {
      {"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-/.", 1, 1},
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
    EXPECT_EQ(
        Gate::t_IsSafeSystemString(line.c_str()) + Gate::t_IsSafeCommandLine("t", line.c_str()), 0);
  }
  EXPECT_EQ(Gate::t_IsSafeSystemString(nullptr) + Gate::t_IsSafeCommandLine("t", nullptr), 0);
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
  const std::string d = dir.Path(), touch = "touch " + dir / "canary";
  symlink("/etc", (dir / "toetc").c_str());
  std::vector<std::string> paths = {"~/x",
                                    d + "/*",
                                    d + "/\xc3\xa9t\xc3\xa9",
                                    d + "/../../etc/passwd",
                                    d + "/" + std::string(300, 'a'),
                                    d + "/toetc/passwd"};
  const std::pair<const char*, const char*> around[] = {
      {";", ""},     {"|", ""},  {"&", "&"}, {"$(", ")"}, {"`", "`"}, {"'; ", "; '"},
      {"\"; ", ";"}, {"\n", ""}, {"\t", ""}, {">", ""},   {" ", ""}};
  for (const auto& a : around) paths.push_back(d + "/x" + a.first + touch + a.second);
  xaptest::ModuleProcess module;
  EXPECT_EQ(module.Ask("SetWidgetInfo 2 " + d), "1");
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

// Limits 2, 3, 4, 8, 9 and 10, in a /opt of the test's own, whose
// /opt/outside lies outside every root.
TEST(Limits, WaysOutThatThePolicyLeavesOpen) {
  XAPTEST_ISOLATE();
  xaptest::MountTmpfs("/opt");
  xaptest::TempDir dir;
  const std::string d = dir.Path() + "/", w = "/opt/down/widgets/";
  xaptest::Sh("mkdir -p /opt/outside /opt/down/xaps/xap /opt/victim/xap " + w + "w1 " + w + "w2 " +
              d + "f " + d + "pack/l " + d + "target && chmod 644 /opt/victim && echo s > " + w +
              "w2/secret && ln -s " + w + "w2 " + w + "w1/L && cd " + d + " && echo out > src && " +
              "ln -s /opt/outside l && echo hi > h && zip -q /opt/outside/arch.zip h && ln -s " +
              "/opt/outside/arch.zip a..zip && ln -s /opt/outside/arch.zip f.zip && echo in > " +
              "pack/l/f && cd pack && zip -qr ../a.zip l && ln -s /opt/outside ../target/l");
  xaptest::ModuleProcess module;
  const std::pair<std::string, std::string> rows[] = {
      {"SetWidgetInfo 1 x", "1"},
      {"Copy " + d + "src " + d + "l/sub/new", "1"},  // 2: a link before a new part
      {"UnzipAsync " + d + "a. " + d + "out1", "1"},  // 3: unzip opens PATH.zip
      {"", "{\"event\":3,\"data\":[\"1\",\" \"]}"},
      {"Unzip " + d + "f " + d + "out2", "1"},
      {"Unzip " + d + "a.zip " + d + "target", "1"},   // 9: through a link in the target
      {"IsExistedPath /etc", "1"},                     // 8: the queries take any path
      {"SetExecutable /../../../../opt/victim", "1"},  // 10: the name may climb out
      {"SetWidgetInfo 2 " + w + "w1", "1"},            // 4: a link into another widget
      {"GetListFiles " + w + "w2", "-7"},
      {"GetListFiles " + w + "w1/L", "\"[ \\\"secret\\\",  0 ]\""},
      {"Delete " + w + "w1/L/secret", "1"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(r.first.empty() ? module.ReadLine() : module.Ask(r.first), r.second) << r.first;
  }
  EXPECT_EQ(xaptest::ReadFile("/opt/outside/sub/new") + xaptest::ReadFile(d + "out1/h") +
                xaptest::ReadFile(d + "out2/h") + xaptest::ReadFile("/opt/outside/f"),
            "out\nhi\nhi\nin\n");
  EXPECT_EQ(xaptest::ShellOutput("stat -c %a /opt/victim; ls " + w + "w2"), "755\n");
}
