// Catches a widget reaching a path it may not reach, and any text of a
// command becoming shell syntax: the path policy, the screens and the shell
// runner with a canary, and hostile paths in every path position. (Signals
// while a tool waits on a FIFO: the chaos driver.)
#include "TestSupport.h"
#include "XapTaskFileSystem.h"

using namespace xaptest;

struct Gate : qom::CXapTaskFileSystem {
  Gate(int nType, std::string widget) { SetWidgetInfo(nType, &widget[0]); }
  // The verdict on a path, whose safe form is the path itself when accepted.
  int Safe(std::string path) {
    std::string safe = "untouched";
    int r = t_MakeSafePath(path.empty() ? nullptr : &path[0], safe);
    EXPECT_TRUE(r != 1 || safe == path) << safe;
    return r;
  }
};

TEST_F(InFolder, RootsAsGivenAndAsResolvedWidgetAndSharedRoots) {
  XAPTEST_ISOLATE();  // the folder under /tmp, an allowed root
  const std::string w1 = "/opt/down/widgets/w1", t250(250, 't');
  Sh("ln -s /etc " + d + "etc && ln -s " + d + " " + d + "in && ln -s /x/y " + d + "dead");
  // The widget type and folder, the path, the verdict.
  const std::tuple<int, std::string, std::string, int> rows[] = {
      {0, "", "/tmp/x", -4},  // nothing before a widget type is set
      {1, "", "", -7},
      {1, "", "/tmpdata/x", 1},  // roots are byte-wise prefixes
      {1, "", "/opt/dow", -7},
      {1, "", "/etc/passwd", -7},
      {1, "", d + "etc", -7},  // resolves outside
      {1, "", d + "in", 1},
      {1, "", d + "dead", 1},            // does not resolve: judged as given
      {1, "", "/tmp/missing/../x", -7},  // ".." anywhere, also where nothing resolves
      {1, "", "/tmp/" + t250, 1},        // 255 characters
      {1, "", "/tmp/" + t250 + "a", -7},
      {2, w1, w1 + "/data", 1},
      {2, w1, "/opt/down/widgets/w12/x", 1},
      {2, w1, "/opt/down/other/x", -7},
      {-5, w1, "/opt/down/other/x", -7},
      {2, w1, "/opt/down/common/x", 1},
      {2, w1, "/opt/down/common", -7},
      {2, "", "/opt/down/anything", 1},
      {2, w1, w1 + "/../../x", -7},
      {2, "/opt/down/" + t250, "/opt/down/" + t250.substr(0, 189) + "x", 1},  // keeps 199
  };
  for (const auto& [type, widget, path, result] : rows)
    EXPECT_EQ(Gate(type, widget).Safe(path), result) << type << " " << path;
}

// Paths built to make a canary file if any part of them reached a shell.
// SetExecutable's chmod runs in an /opt of the test's own, where the module
// file lives under /opt/down/xaps; it reaches that file and its folder only.
TEST_F(InFolder, NoHostilePathEverRunsAShellCommandOfItsOwn) {
  XAPTEST_ISOLATE();
  MountTmpfs("/opt");
  const std::string x = "/opt/down/xaps/xapClock";
  Sh("mkdir -p " + x + "/xapClock.d && touch " + x + "/xapClock " + x + "/other " + x +
     "/xapClock.d/xapClock && chmod 644 " + x + "/* " + x + "/xapClock.d/xapClock");
  const std::string touch = "touch " + d + "canary";
  std::vector<std::string> paths = {"~/x", d + "*", d + "\xc3\xa9t\xc3\xa9", d + "../../etc/passwd",
                                    d + std::string(300, 'a')};
  const std::pair<const char*, const char*> around[] = {
      {";", ""},     {"|", ""},  {"&", "&"}, {"$(", ")"}, {"`", "`"}, {"'; ", "; '"},
      {"\"; ", ";"}, {"\n", ""}, {"\t", ""}, {">", ""},   {" ", ""}};
  for (const auto& a : around) paths.push_back(d + "x" + a.first + touch + a.second);
  ModuleProcess module;
  EXPECT_EQ(module.Ask("SetExecutable Clock"), "1");
  EXPECT_EQ(
      ShellOutput("cd " + x + " && stat -c %a . xapClock other xapClock.d xapClock.d/xapClock"),
      "755\n755\n644\n644\n644\n");
  EXPECT_EQ(module.Ask("SetWidgetInfo 2 " + d), "1");
  const std::string safe = d + "safe";
  for (const std::string& p : paths) {
    // Every command that works on a path refuses it, in either place;
    // SetExecutable says "1" whatever it did (the canary tells).
    module.Ask(Line("SetExecutable", {p}));
    for (const char* cmd : {"Copy", "Move", "Unzip", "UnzipAsync"}) {
      EXPECT_EQ(module.Ask(Line(cmd, {p, safe})), "-7") << cmd << p;
      EXPECT_EQ(module.Ask(Line(cmd, {safe, p})), "-7") << cmd << p;
    }
    for (const char* cmd : {"Delete", "DeleteAsync", "GetProperty", "GetListFiles"})
      EXPECT_EQ(module.Ask(Line(cmd, {p})), "-7") << cmd << p;
  }
  module.CloseInput();
  EXPECT_EQ(module.Wait(), 0);
  EXPECT_FALSE(Exists(d + "canary"));
  EXPECT_EQ(module.RestOfStdout(), "");  // no job was started
}
