// Catches faults of jobs and of a hostile world: an event before its reply,
// a lost or doubled event, a refused line not reported as "0", a worker
// that outlives its engine, tools that survive SIGTERM, a full file system,
// a removed working folder, and descriptors or memory that grow with use.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "XapBase.h"
#include "XapEngineFileSystem.h"

namespace {

using xaptest::Line;
using xaptest::ModuleProcess;

std::string Event(int id, const char* result) {
  return "{\"event\":" + std::to_string(id) + ",\"data\":[\"" + result + "\",\" \"]}";
}

// An archive of 100 MiB of zeros: small, but slow to unpack.
std::string BigZip(const xaptest::TempDir& dir) {
  EXPECT_EQ(system(("cd " + dir.Path() + " && head -c 100M /dev/zero > big && zip -q big.zip " +
                    "big && rm big")
                       .c_str()),
            0);
  return dir / "big.zip";
}

TEST(Jobs, TheReplyComesFirstThenExactlyOneEventPerJob) {
  xaptest::TempDir dir;
  const std::string d = dir.Path();
  mkdir((dir / "gone").c_str(), 0755);
  ModuleProcess module;
  const std::pair<std::string, std::string> rows[] = {
      {Line("DeleteAsync", {d + "/gone"}), "-4"},
      {Line("SetWidgetInfo", {"2", d}), "1"},
      {Line("DeleteAsync", {d + "/gone"}), "1"},
      {"", Event(0, "1")},
      {Line("UnzipAsync", {d + "/missing.zip", d + "/t"}), "1"},  // it ran: "1"
      {"", Event(3, "1")},
      // Over 255 characters, the line is refused by the worker's screen.
      {Line("UnzipAsync", {d + "/" + std::string(120, 's'), d + "/" + std::string(120, 't')}), "1"},
      {"", Event(3, "0")},
      {Line("UnzipAsync", {"/opt/down/x.zip", d + "/t"}), "-7"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(r.first.empty() ? module.ReadLine() : module.Ask(r.first), r.second) << r.first;
  }
  EXPECT_FALSE(xaptest::Exists(dir / "gone"));
  EXPECT_FALSE(xaptest::Exists(dir / std::string(120, 't')));
  // A burst: end of input waits for every job, each ends with one event.
  std::string input;
  for (int i = 0; i < 100; ++i) {
    xaptest::WriteFile(dir / std::to_string(i), "x");
    input +=
        "DeleteAsync " + dir / std::to_string(i) + "\nUnzipAsync " + d + "/none.zip " + d + "/u\n";
  }
  module.Send(input);
  module.CloseInput();
  ASSERT_EQ(module.Wait(60000), 0);
  std::map<std::string, int> seen;
  std::stringstream out(module.RestOfStdout());
  for (std::string line; std::getline(out, line);) ++seen[line];
  EXPECT_EQ(seen,
            (std::map<std::string, int>{{"{\"cmd\":\"DeleteAsync\",\"ok\":true,\"reply\":1}", 100},
                                        {"{\"cmd\":\"UnzipAsync\",\"ok\":true,\"reply\":1}", 100},
                                        {Event(0, "1"), 100},
                                        {Event(3, "1"), 100}}));
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(xaptest::Exists(dir / std::to_string(i)));
}

std::mutex g_mutex;
std::vector<std::string> g_events;

void Capture(int id, const std::string& a, const std::string& b) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_events.push_back(std::to_string(id) + "|" + a + "|" + b);
}

TEST(Jobs, AWorkerThatEndsAfterItsEngineSendsNothing) {
  XAPTEST_ISOLATE();
  xaptest::TempDir dir;
  xaptest::MountTmpfs(dir.Path(), "300m");
  std::string zip = BigZip(dir);
  qom::CXapEngineBase::SetEventSink(Capture);
  auto* engine = new qom::CXapEngineFileSystem();
  std::string ret;
  engine->Execute(ret, "SetWidgetInfo", "1", "", "", "");
  engine->Execute(ret, "UnzipAsync", zip, dir / "out", "", "");
  delete engine;  // the unzip still runs
  qom::XapWaitForJobs();
  qom::CXapEngineBase::SetEventSink(nullptr);
  EXPECT_EQ(g_events, std::vector<std::string>{});
  EXPECT_TRUE(xaptest::Exists(dir / "out/big"));
}

// Tools ended from outside or by "UnzipKill", a full file system, SIGTERM
// while jobs run: each command is answered and the host ends cleanly.
TEST(Faults, ToolsEndedFullFileSystemAndSigterm) {
  XAPTEST_ISOLATE();
  xaptest::TempDir dir;
  xaptest::MountTmpfs(dir.Path(), "400m");
  std::string zip = BigZip(dir);
  xaptest::MountTmpfs(dir / "full", "64k");
  xaptest::WriteFile(dir / "src", std::string(600000, 's'));
  ModuleProcess module;
  EXPECT_EQ(module.Ask("SetWidgetInfo 1 x"), "1");
  EXPECT_EQ(module.Ask("Copy " + dir / "src " + dir / "full/dst"), "0");
  std::thread killer([] {
    for (int i = 0; i < 5000 && system("killall -q unzip") != 0; ++i) usleep(1000);
  });
  EXPECT_EQ(module.Ask("Unzip " + zip + " " + dir / "out1"), "0");
  killer.join();
  EXPECT_EQ(module.Ask("UnzipAsync " + zip + " " + dir / "out2"), "1");
  std::string line;
  for (int i = 0; i < 1000 && (line = module.Ask("UnzipKill")) == "0"; ++i) usleep(2000);
  EXPECT_EQ(line, "1");
  EXPECT_EQ(module.ReadLine(), Event(3, "1"));
  // unzip of a FIFO waits for a writer: a job that does not end by itself.
  ASSERT_EQ(mkfifo((dir / "ff").c_str(), 0644), 0);
  EXPECT_EQ(module.Ask("UnzipAsync " + dir / "ff " + dir / "out3"), "1");
  for (int i = 0; i < 2; ++i) EXPECT_EQ(module.Ask("UnzipAsync " + zip + " " + dir / "o"), "1");
  usleep(200000);
  module.Signal(SIGTERM);
  EXPECT_EQ(module.Wait(), 143);
  usleep(500000);
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }  // orphans come to this test, the namespace's first process
  EXPECT_EQ(xaptest::ShellOutput("pgrep -c unzip"), "0\n");
  EXPECT_EQ(module.Stderr().find("Sanitizer"), std::string::npos) << module.Stderr();
}

TEST(Faults, AWorkingFolderThatIsRemovedLeavesOnlyRelativePathsLost) {
  xaptest::TempDir dir;
  mkdir((dir / "sub").c_str(), 0755);
  xaptest::WriteFile(dir / "sub/f", "x");
  xaptest::WriteFile(dir / "g", "x");
  ModuleProcess module;
  EXPECT_EQ(module.Ask(Line("SetWidgetInfo", {"1", ""})), "1");
  EXPECT_NE(module.Ask(Line("GetProperty", {dir / "sub/f"})), "\"\"");
  ASSERT_EQ(system(("rm -rf " + dir / "sub").c_str()), 0);
  const std::pair<std::string, std::string> rows[] = {
      {Line("IsExistedPath", {"f"}), "0"},
      {Line("GetItemType", {"."}), "1"},  // still opens, empty
      {Line("GetFolderSize", {".", "1", "1"}), "\"0\""},
      {Line("GetFileSize", {"f"}), "-5"},
      {Line("GetListFiles", {dir.Path()}), "\"[ \\\"g\\\",  0 ]\""}};
  for (const auto& r : rows) EXPECT_EQ(module.Ask(r.first), r.second) << r.first;
}

// Many commands of every kind leave descriptors and memory where they were.
TEST(Load, DescriptorsAndMemoryStayFlat) {
  xaptest::TempDir dir;
  const std::string d = dir.Path();
  mkdir((dir / "folder").c_str(), 0755);
  xaptest::WriteFile(dir / "folder/a", "a");
  const std::vector<std::string> kinds = {Line("IsExistedPath", {d + "/folder/a"}),
                                          Line("GetItemType", {d + "/missing"}),
                                          Line("GetFileSize", {d + "/folder/a"}),
                                          Line("GetListFiles", {d + "/folder"}),
                                          Line("GetProperty", {d + "/folder/a"}),
                                          Line("Copy", {"/etc/passwd", d + "/x"}),
                                          Line("WriteBase64", {"hello world", "11"}),
                                          Line("GetFolderSize", {d, "1", "1"}),
                                          Line("NoSuchCommand"),
                                          "{\"cmd\":\"GetName\""};
  ModuleProcess module;
  EXPECT_EQ(module.Ask(Line("SetWidgetInfo", {"2", d})), "1");
  auto round = [&](int n) {
    std::string batch;
    for (int i = 0; i < n; ++i) batch += kinds[static_cast<size_t>(i) % kinds.size()] + "\n";
    std::thread writer([&] { module.Send(batch); });
    for (int i = 0; i < n; ++i) ASSERT_FALSE(module.ReadLine().empty()) << i;
    writer.join();
  };
  round(2000);
  long rss = xaptest::ResidentKiB(module.Pid());
  int fds = xaptest::Descriptors(module.Pid());
  round(20000);
  EXPECT_EQ(xaptest::Descriptors(module.Pid()), fds);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // A sanitizer's quarantine, or an emulator's code cache, grows by itself.
  if (xaptest::ModuleCommand().find(' ') != std::string::npos) return;
  EXPECT_LE(xaptest::ResidentKiB(module.Pid()) - rss, 512);
#endif
}

}  // namespace
