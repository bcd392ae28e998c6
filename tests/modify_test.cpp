// Catches changes that land in the wrong place or answer the wrong code:
// Copy, Move, Delete, Unzip, SetExecutable and UnzipKill through the real
// process, each area one ordered transcript.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TestSupport.h"

extern char** environ;

namespace {

using xaptest::Exists;
using xaptest::Line;
using xaptest::ReadFile;

struct Row {
  std::string line, reply;
};

void Transcript(xaptest::ModuleProcess& module, const std::vector<Row>& rows) {
  for (const Row& r : rows) EXPECT_EQ(module.Ask(r.line), r.reply) << r.line;
}

TEST(CopyMoveDelete, WhereItemsLandAndTheCodesInTheOrderOfTheSteps) {
  xaptest::TempDir dir;
  const std::string d = dir.Path();
  mkdir((dir / "folder").c_str(), 0755);
  mkdir((dir / "tree").c_str(), 0755);
  mkdir((dir / "tree/a").c_str(), 0755);
  for (const char* name : {"folder/in.txt", "file.txt", "blocker", "tree/a/f"}) {
    xaptest::WriteFile(dir / name, name);
  }
  xaptest::ModuleProcess module;
  Transcript(module, {{Line("Copy", {d + "/file.txt", d + "/g"}), "-4"},
                      {Line("Delete", {d + "/file.txt"}), "-4"},
                      {Line("SetWidgetInfo", {"2", "/opt/down/widgets/w1"}), "1"},
                      {Line("Copy", {"/opt/down/other/f", d + "/missing"}), "-7"},  // source first
                      {Line("Move", {d + "/file.txt", "/etc/x"}), "-7"},
                      {Line("Delete", {"/opt/down/other"}), "-7"},
                      {Line("Copy", {d + "/missing", d + "/g"}), "-5"},
                      {Line("Move", {d + "/missing", d + "/g"}), "-5"},
                      {Line("Delete", {d + "/missing"}), "-5"},
                      {Line("Copy", {d + "/file.txt", "/tmp"}), "-5"},  // no folder part to make
                      {Line("Copy", {d + "/file.txt", d + "/blocker/sub/g"}), "-5"},
                      {Line("Move", {d + "/folder", d + "/folder/inside"}), "0"},  // mv fails
                      // A folder lands inside the destination, made first when missing.
                      {Line("Copy", {d + "/folder", d + "/copy/deep"}), "1"},
                      // A file lands under the given name, its folder made with parents.
                      {Line("Copy", {d + "/file.txt", d + "/x/y/renamed.txt"}), "1"},
                      // A trailing "/", or an existing folder, takes it in under its name.
                      {Line("Copy", {d + "/file.txt", d + "/z/"}), "1"},
                      {Line("Copy", {d + "/blocker", d + "/copy"}), "1"},
                      {Line("Move", {d + "/folder", d + "/moved"}), "1"},
                      {Line("Move", {d + "/file.txt", d + "/moved/f.txt"}), "1"},
                      {Line("Delete", {d + "/tree"}), "1"},
                      {Line("Delete", {d + "/moved/f.txt"}), "1"}});
  EXPECT_EQ(ReadFile(dir / "copy/deep/folder/in.txt"), "folder/in.txt");
  EXPECT_EQ(ReadFile(dir / "x/y/renamed.txt"), "file.txt");
  EXPECT_EQ(ReadFile(dir / "z/file.txt"), "file.txt");
  EXPECT_EQ(ReadFile(dir / "copy/blocker"), "blocker");
  EXPECT_TRUE(Exists(dir / "moved/folder/in.txt"));
  for (const char* gone : {"folder", "file.txt", "tree", "moved/f.txt", "g", "missing"}) {
    EXPECT_FALSE(Exists(dir / gone)) << gone;
  }
}

TEST(Unzip, UnpacksOverwritesAndKeepsEntriesInsideTheTarget) {
  xaptest::TempDir dir;
  const std::string d = dir.Path();
  // arc.zip holds src/a.txt; evil.zip ../../escaped.txt and /absolute.txt.
  ASSERT_EQ(system(("cd " + d + " && mkdir -p src w/a/b/T && echo new > src/a.txt && zip -qr " +
                    "arc.zip src && echo e > w/escaped.txt && echo a > w/a/b/T/absolute.txt && " +
                    "cd w/a/b && zip -q ../../../evil.zip ../../escaped.txt T/absolute.txt && " +
                    "sed -i s,T/absolute.txt,//absolute.txt,g ../../../evil.zip && " +
                    "rm ../../escaped.txt")
                       .c_str()),
            0);
  xaptest::WriteFile(dir / "damaged.zip", "PK this is no archive");
  xaptest::WriteFile(dir / "target-file", "x");
  xaptest::ModuleProcess module;
  Transcript(module,
             {{Line("SetWidgetInfo", {"2", d}), "1"},
              {Line("Unzip", {d + "/arc.zip", d + "/new/deep"}), "1"},
              {Line("Copy", {d + "/target-file", d + "/new/deep/src/a.txt"}), "1"},
              {Line("Unzip", {d + "/arc.zip", d + "/new/deep"}), "1"},  // overwrites unasked
              {Line("Unzip", {d + "/arc.zip", d + "/target-file"}), "-5"},
              {Line("Unzip", {d + "/missing.zip", d + "/m"}), "-5"},
              {Line("Unzip", {d + "/damaged.zip", d + "/dm"}), "0"},
              {Line("Unzip", {"/opt/down/other.zip", d + "/x"}), "-7"},
              {Line("Unzip", {d + "/evil.zip", d + "/w/a/b/t"}), "0"}});
  EXPECT_EQ(ReadFile(dir / "new/deep/src/a.txt"), "new\n");
  EXPECT_FALSE(Exists(dir / "m"));
  EXPECT_TRUE(Exists(dir / "dm"));  // the folder made first stays
  EXPECT_FALSE(Exists(dir / "w/escaped.txt"));
  EXPECT_FALSE(Exists("/absolute.txt"));
  EXPECT_TRUE(Exists(dir / "w/a/b/t/escaped.txt"));
  EXPECT_TRUE(Exists(dir / "w/a/b/t/absolute.txt"));
}

// The module file lives under /opt/down/xaps: a /opt of the test's own.
TEST(SetExecutable, ReachesTheModuleFileAndNothingElse) {
  XAPTEST_ISOLATE();
  xaptest::MountTmpfs("/opt");
  for (const char* name : {"Clock", "", "a"}) {
    std::string file = std::string("/opt/down/xaps/xap") + name + "/xap" + name;
    ASSERT_EQ(system(("mkdir -p $(dirname " + file + ") && echo x > " + file).c_str()), 0);
  }
  xaptest::ModuleProcess module;
  Transcript(module, {{"SetExecutable Clock", "1"},
                      {Line("SetExecutable", {""}), "1"},
                      {"SetExecutable a;chmod", "1"},
                      {"SetExecutable Missing", "1"}});
  EXPECT_EQ(xaptest::ShellOutput("stat -c %a /opt/down/xaps/xapClock/xapClock "
                                 "/opt/down/xaps/xap/xap /opt/down/xaps/xapa/xapa"),
            "755\n755\n644\n");
}

// "UnzipKill" ends every process named unzip it can see: in a PID namespace
// of the test's own, only the test's.
TEST(UnzipKill, AnswersOneOnlyWhenAnUnzipWasEnded) {
  XAPTEST_ISOLATE();
  xaptest::TempDir dir;
  ASSERT_EQ(system(("cp /bin/sleep " + dir / "unzip").c_str()), 0);
  xaptest::ModuleProcess module;
  EXPECT_EQ(module.Ask("UnzipKill"), "0");
  pid_t pids[2];
  char* argv[] = {const_cast<char*>("unzip"), const_cast<char*>("60"), nullptr};
  for (pid_t& pid : pids) {
    ASSERT_EQ(posix_spawn(&pid, (dir / "unzip").c_str(), nullptr, nullptr, argv, environ), 0);
  }
  usleep(100000);  // both have become "unzip"
  EXPECT_EQ(module.Ask("UnzipKill"), "1");
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  }
  EXPECT_EQ(module.Ask("UnzipKill"), "0");
}

}  // namespace
