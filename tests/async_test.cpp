// Asynchronous unzip and delete: the hand-off, the events, and what
// happens to late workers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "XapEngineFileSystem.h"
#include "XapTaskFileSystem.h"

namespace {

using xaptest::ModuleProcess;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string Line(const std::string& cmd, const std::vector<std::string>& params) {
  return nlohmann::json{{"cmd", cmd}, {"params", params}}.dump();
}

std::string Event(int id, const char* result) {
  return "{\"event\":" + std::to_string(id) + ",\"data\":[\"" + result + "\",\" \"]}";
}

// An archive of one file of n MiB of zeros: small, but slow to unpack.
std::string BigZip(const xaptest::TempDir& dir, int mib) {
  std::string cmd = "cd " + dir.Path() + " && head -c " + std::to_string(mib) +
                    "M /dev/zero > big && zip -q big.zip big && rm big";
  EXPECT_EQ(system(cmd.c_str()), 0);
  return dir / "big.zip";
}

TEST(Async, EventsTellWhichJobEndedAndHow) {
  xaptest::TempDir dir;
  mkdir((dir / "gone").c_str(), 0755);
  xaptest::WriteFile(dir / "gone/f", "x");
  ModuleProcess module;
  module.SendLine(Line("DeleteAsync", {dir / "gone"}));
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"DeleteAsync\",\"ok\":true,\"reply\":-4}");
  module.SendLine(Line("SetWidgetInfo", {"2", dir.Path()}));
  module.ReadLine();
  module.SendLine(Line("DeleteAsync", {dir / "gone"}));
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"DeleteAsync\",\"ok\":true,\"reply\":1}");
  EXPECT_EQ(module.ReadLine(), Event(0, "1"));
  EXPECT_FALSE(Exists(dir / "gone"));
  // A missing archive still ran: "1".
  module.SendLine(Line("UnzipAsync", {dir / "missing.zip", dir / "t"}));
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"UnzipAsync\",\"ok\":true,\"reply\":1}");
  EXPECT_EQ(module.ReadLine(), Event(3, "1"));
  // A command line over 255 characters is refused by the screen: "0", and
  // nothing runs (unzip would have made the target folder).
  std::string longSrc = dir / std::string(120, 's') + ".zip";
  std::string longDest = dir / std::string(120, 't');
  module.SendLine(Line("UnzipAsync", {longSrc, longDest}));
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"UnzipAsync\",\"ok\":true,\"reply\":1}");
  EXPECT_EQ(module.ReadLine(), Event(3, "0"));
  EXPECT_FALSE(Exists(longDest));
  module.SendLine(Line("UnzipAsync", {"/opt/down/x.zip", dir / "t"}));
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"UnzipAsync\",\"ok\":true,\"reply\":-7}");
  module.CloseInput();
  EXPECT_EQ(module.Wait(), 0);
  EXPECT_EQ(module.RestOfStdout(), "");  // no event without a job
}

TEST(Async, EveryJobOfABurstEndsWithExactlyOneEvent) {
  const int kJobs = 200;
  xaptest::TempDir dir;
  std::string input = Line("SetWidgetInfo", {"2", dir.Path()}) + "\n";
  for (int i = 0; i < kJobs; ++i) {
    std::string name = dir / ("f" + std::to_string(i));
    xaptest::WriteFile(name, "x");
    input += Line("DeleteAsync", {name}) + "\n";
  }
  input += Line("UnzipAsync", {dir / "none1.zip", dir / "u"}) + "\n";
  input += Line("UnzipAsync", {dir / "none2.zip", dir / "u"}) + "\n";
  ModuleProcess module;
  module.Send(input);
  module.CloseInput();  // end of input: the host waits for every job
  ASSERT_EQ(module.Wait(60000), 0);
  std::stringstream out(module.RestOfStdout());
  int replies = 0, deletes = 0, unzips = 0, other = 0;
  for (std::string line; std::getline(out, line);) {
    if (line == Event(0, "1")) {
      ++deletes;
    } else if (line == Event(3, "1")) {
      ++unzips;
    } else if (line.find("\"reply\":1}") != std::string::npos) {
      ++replies;
    } else {
      ++other;
    }
  }
  EXPECT_EQ(replies, kJobs + 3);
  EXPECT_EQ(deletes, kJobs);
  EXPECT_EQ(unzips, 2);
  EXPECT_EQ(other, 0);
  for (int i = 0; i < kJobs; ++i) EXPECT_FALSE(Exists(dir / ("f" + std::to_string(i))));
}

TEST(Async, UnzipKillEndsARunningJobWhoseEventStillSaysOne) {
  XAPTEST_ISOLATE();
  xaptest::TempDir dir;
  xaptest::MountTmpfs(dir.Path(), "700m");
  std::string zip = BigZip(dir, 300);
  ModuleProcess module;
  module.SendLine(Line("SetWidgetInfo", {"1", ""}));
  module.ReadLine();
  module.SendLine(Line("UnzipAsync", {zip, dir / "out"}));
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"UnzipAsync\",\"ok\":true,\"reply\":1}");
  // The worker's shell may not have started unzip yet: ask until it has.
  std::string line;
  for (int i = 0; i < 500; ++i) {
    module.SendLine("UnzipKill");
    line = module.ReadLine();
    if (line != "{\"cmd\":\"UnzipKill\",\"ok\":true,\"reply\":0}") break;
    usleep(2000);
  }
  EXPECT_EQ(line, "{\"cmd\":\"UnzipKill\",\"ok\":true,\"reply\":1}");
  EXPECT_EQ(module.ReadLine(), Event(3, "1"));
  struct stat st;
  if (stat((dir / "out/big").c_str(), &st) == 0) {
    EXPECT_LT(st.st_size, 300LL * 1024 * 1024);  // only what was unpacked so far
  }
}

class JobProbe : public qom::CXapTaskFileSystem {
 public:
  using CXapTaskFileSystem::m_pEngine;
  using CXapTaskFileSystem::PTAsyncData;
  using CXapTaskFileSystem::t_AsyncThread;
  using CXapTaskFileSystem::t_NewAsyncJob;
  using CXapTaskFileSystem::t_StartAsyncJob;
};

std::mutex g_mutex;
std::vector<std::string> g_events;

void Capture(int id, const std::string& a, const std::string& b) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_events.push_back(std::to_string(id) + "|" + a + "|" + b);
}

class InProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    g_events.clear();
    qom::CXapEngineBase::SetEventSink(Capture);
  }
  void TearDown() override { qom::CXapEngineBase::SetEventSink(nullptr); }
};

TEST_F(InProcess, UnknownKindGivesEventFourAndNullDataNone) {
  qom::CXapEngineFileSystem engine;
  JobProbe probe;
  probe.m_pEngine = &engine;
  JobProbe::PTAsyncData* job = probe.t_NewAsyncJob(7, "/tmp/x", nullptr);
  ASSERT_NE(job, nullptr);
  EXPECT_EQ(JobProbe::t_StartAsyncJob("test", job), 1);
  {
    xaptest::LogCapture log(3);
    EXPECT_EQ(JobProbe::t_AsyncThread(nullptr), nullptr);
    EXPECT_EQ(log.Count("CXapTaskFileSystem t_AsyncThread pData is NULL"), 1);
  }
  qom::XapWaitForJobs();
  ASSERT_EQ(g_events.size(), 1u);
  EXPECT_EQ(g_events[0], "4|0| ");
}

TEST_F(InProcess, AWorkerThatEndsAfterItsEngineSendsNothing) {
  XAPTEST_ISOLATE();
  xaptest::TempDir dir;
  xaptest::MountTmpfs(dir.Path(), "300m");
  std::string zip = BigZip(dir, 100);
  auto* engine = new qom::CXapEngineFileSystem();
  std::string ret;
  engine->Execute(ret, "SetWidgetInfo", "1", "", "", "");
  engine->Execute(ret, "UnzipAsync", zip, dir / "out", "", "");
  ASSERT_EQ(ret, "1");
  delete engine;  // the unzip still runs
  qom::XapWaitForJobs();
  EXPECT_TRUE(g_events.empty());
  EXPECT_TRUE(Exists(dir / "out/big"));
}

}  // namespace
