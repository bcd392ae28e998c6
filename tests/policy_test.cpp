// Catches a widget reaching a path it may not reach, and any text of a
// command becoming shell syntax: the path policy, the screens and the shell
// runner with a canary, and hostile paths in every path position. (Signals
// while a tool waits on a FIFO: the chaos driver.)
#include "EnvDouble.h"
#include "TestSupport.h"
#include "XapTaskFileSystem.h"

using namespace xaptest;

struct Gate : qom::CXapTaskFileSystem {
  Gate(qom::Env& env, int nType, std::string widget) : CXapTaskFileSystem(env) {
    SetWidgetInfo(nType, &widget[0]);
  }
  // The verdict on a path, whose safe form is the path itself when accepted.
  int Safe(std::string path) {
    std::string safe = "untouched";
    int r = t_MakeSafePath(path.empty() ? nullptr : &path[0], safe);
    EXPECT_TRUE(r != 1 || safe == path) << safe;
    return r;
  }
};

TEST_F(InFolder, RootsAsGivenAndAsResolvedWidgetAndSharedRoots) {
  EnvDouble env(dir.Path());  // the module's /tmp and /opt are the test's own
  const std::string w1 = "/opt/down/widgets/w1", t250(250, 't');
  Sh("mkdir -p " + d + "tmp/t && cd " + d + "tmp && ln -s /etc etc && ln -s " + d +
     "tmp/t in && ln -s /x/y dead");
  // The widget type and folder, the path, the verdict.
  const std::tuple<int, std::string, std::string, int> rows[] = {
      {0, "", "/tmp/x", -4},  // nothing before a widget type is set
      {1, "", "", -7},
      {1, "", "/tmpdata/x", 1},  // roots are byte-wise prefixes
      {1, "", "/opt/dow", -7},
      {1, "", "/etc/passwd", -7},
      {1, "", "/tmp/etc", -7},  // resolves outside
      {1, "", "/tmp/in", 1},
      {1, "", "/tmp/dead", 1},           // does not resolve: judged as given
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
    EXPECT_EQ(Gate(env, type, widget).Safe(path), result) << type << " " << path;
}

// Paths built to make a canary file if any part of them reached a shell,
// in a fresh folder under /tmp, an allowed root. (SetExecutable's exact
// command line: env_test.)
TEST(Policy, NoHostilePathEverRunsAShellCommandOfItsOwn) {
  if (getuid() == 0) XAPTEST_ISOLATE();  // a fault must not reach the machine's own files
  TempDir dir("/tmp");
  const std::string d = dir.Path() + "/", touch = "touch " + d + "canary";
  std::vector<std::string> paths = {"~/x", d + "*", d + "\xc3\xa9t\xc3\xa9", d + "../../etc/passwd",
                                    d + std::string(300, 'a')};
  const std::pair<const char*, const char*> around[] = {
      {";", ""},     {"|", ""},  {"&", "&"}, {"$(", ")"}, {"`", "`"}, {"'; ", "; '"},
      {"\"; ", ";"}, {"\n", ""}, {"\t", ""}, {">", ""},   {" ", ""}};
  for (const auto& a : around) paths.push_back(d + "x" + a.first + touch + a.second);
  ModuleProcess module;
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
  kill(module.Pid(), SIGTERM);  // ends it at once, not after a wait for tools
  EXPECT_EQ(module.Wait(5000), 128 + SIGTERM);
  EXPECT_FALSE(Exists(d + "canary"));
  EXPECT_EQ(module.RestOfStdout(), "");  // no job was started
}
