// Catches SECURITY.md telling less than the truth: each limit it states,
// shown as it is. If a row fails, the page and the code change together.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "XapTaskFileSystem.h"

namespace {

using xaptest::Line;

class Gate : public qom::CXapTaskFileSystem {
 public:
  using CXapTaskFileSystem::t_MakeSafePath;
  using CXapTaskFileSystem::t_SystemCall;
};

// Limit 1: links are resolved for the check only; the command runs later
// on the path as given, so a link changed in between is followed.
TEST(Limits, ALinkChangedAfterTheCheckIsFollowedByTheCommand) {
  xaptest::TempDir dir;
  mkdir((dir / "inside").c_str(), 0755);
  symlink((dir / "inside").c_str(), (dir / "l").c_str());
  Gate gate;
  std::string widget, path = dir / "l", safe;
  gate.SetWidgetInfo(1, &widget[0]);
  ASSERT_EQ(gate.t_MakeSafePath(&path[0], safe), 1);
  unlink(path.c_str());
  symlink("/dev/shm", path.c_str());
  std::string command =
      "/usr/bin/nice -n 19 /bin/mkdir -p " + path + "/xaptest-" + dir.Path().substr(5);
  EXPECT_EQ(gate.t_SystemCall(command.c_str()), 0);
  EXPECT_EQ(rmdir(("/dev/shm/xaptest-" + dir.Path().substr(5)).c_str()), 0);
}

// Limits 2, 3, 4, 8, 9 and 10, in a /opt of the test's own whose
// /opt/outside lies outside every allowed root.
TEST(Limits, WaysOutThatThePolicyLeavesOpen) {
  XAPTEST_ISOLATE();
  xaptest::MountTmpfs("/opt");
  xaptest::TempDir dir;
  const std::string d = dir.Path(), w = "/opt/down/widgets/";
  ASSERT_EQ(
      system(("mkdir -p /opt/outside /opt/down/xaps/xap /opt/victim/xap " + w + "w1 " + w + "w2 " +
              d + "/f " + d + "/pack/l " + d + "/target && chmod 644 /opt/victim && " +
              "echo s > " + w + "w2/secret && ln -s " + w + "w2 " + w + "w1/L && cd " + d +
              " && echo out > src && ln -s /opt/outside l && echo hi > h.txt && zip -q " +
              "/opt/outside/arch.zip h.txt && ln -s /opt/outside/arch.zip a..zip && ln -s " +
              "/opt/outside/arch.zip f.zip && echo through > pack/l/f.txt && cd pack && " +
              "zip -qr ../a.zip l && ln -s /opt/outside ../target/l")
                 .c_str()),
      0);
  struct stat st;
  stat("/etc/passwd", &st);
  const std::pair<std::string, std::string> rows[] = {
      {"SetWidgetInfo 1 x", "1"},
      // 2: a link before a part not there yet takes the copy outside.
      {"Copy " + d + "/src " + d + "/l/sub/new", "1"},
      // 3: unzip opens PATH.zip when PATH is missing or a folder.
      {"UnzipAsync " + d + "/a. " + d + "/out1", "1"},
      {"", "{\"event\":3,\"data\":[\"1\",\" \"]}"},
      {"Unzip " + d + "/f " + d + "/out2", "1"},
      // 9: unzip writes through a link that stands in the target.
      {"Unzip " + d + "/a.zip " + d + "/target", "1"},
      // 8: the queries take any path.
      {"GetFileSize /etc/passwd", std::to_string(st.st_size)},
      {"IsExistedPath /etc", "1"},
      // 10: the name of SetExecutable may climb out.
      {"SetExecutable /../../../../opt/victim", "1"},
      // 4: a link in a widget's folder reaches another widget.
      {"SetWidgetInfo 2 " + w + "w1", "1"},
      {"GetListFiles " + w + "w2", "-7"},
      {"GetListFiles " + w + "w1/L", "\"[ \\\"secret\\\",  0 ]\""},
      {"Delete " + w + "w1/L/secret", "1"},
  };
  xaptest::ModuleProcess module;
  for (const auto& r : rows) {
    EXPECT_EQ(r.first.empty() ? module.ReadLine() : module.Ask(r.first), r.second) << r.first;
  }
  EXPECT_EQ(xaptest::ReadFile("/opt/outside/sub/new"), "out\n");
  EXPECT_EQ(xaptest::ReadFile(d + "/out1/h.txt"), "hi\n");
  EXPECT_EQ(xaptest::ReadFile(d + "/out2/h.txt"), "hi\n");
  EXPECT_EQ(xaptest::ReadFile("/opt/outside/f.txt"), "through\n");
  EXPECT_EQ(xaptest::ShellOutput("stat -c %a /opt/victim"), "755\n");
  EXPECT_FALSE(xaptest::Exists(w + "w2/secret"));
}

}  // namespace
