// Catches changes that land in the wrong place or answer the wrong code, an
// event before its reply, a worker outliving its engine, and a host that
// aborts when memory runs short under many jobs.

#include "TestSupport.h"
#include "XapBase.h"
#include "XapEngineFileSystem.h"

using namespace xaptest;

TEST_F(InFolder, WhereItemsLandAndTheCodesInTheOrderOfTheSteps) {
  XAPTEST_ISOLATE();  // the folder under /tmp, an allowed root
  // arc.zip holds src/a.
  Sh("cd " + d + " && mkdir -p folder tree/a src && echo in > folder/in && echo b > blocker && " +
     "echo file > file && touch tree/a/f && echo new > src/a && zip -qr arc.zip src && " +
     "echo PK > damaged.zip");
  ModuleProcess module;
  Transcript(module, {{"SetWidgetInfo 2 /opt/down/widgets/w1", "1"},
                      {"Copy /opt/down/other/f " + d + "missing", "-7"},  // source first
                      {"Copy " + d + "missing " + d + "g", "-5"},
                      {"Delete " + d + "missing", "-5"},
                      {"Copy " + d + "file /tmp", "-5"},  // no folder part to make
                      {"Copy " + d + "file " + d + "blocker/sub/g", "-5"},
                      {"Move " + d + "folder " + d + "folder/inside", "0"},  // mv fails
                      // A folder lands inside the destination, made when missing;
                      // a file under the given name, its folder made with parents.
                      {"Copy " + d + "folder " + d + "copy/deep", "1"},
                      {"Copy " + d + "file " + d + "x/y/renamed", "1"},
                      // A trailing "/", or an existing folder, takes it in.
                      {"Copy " + d + "file " + d + "z/", "1"},
                      {"Copy " + d + "blocker " + d + "copy", "1"},
                      {"Move " + d + "folder " + d + "moved", "1"},
                      {"Move " + d + "file " + d + "moved/f", "1"},
                      {"Delete " + d + "tree", "1"},
                      {"Delete " + d + "moved/f", "1"},
                      {"Unzip " + d + "arc.zip " + d + "new/deep", "1"},
                      {"Copy " + d + "blocker " + d + "new/deep/src/a", "1"},
                      {"Unzip " + d + "arc.zip " + d + "new/deep", "1"},  // overwrites unasked
                      {"Unzip " + d + "arc.zip " + d + "blocker", "-5"},
                      {"Unzip " + d + "arc.zip " + d + "blocker/sub", "-5"},
                      {"Unzip " + d + "missing.zip " + d + "m", "-5"},
                      {"Unzip " + d + "damaged.zip " + d + "dm", "0"}});
  for (const auto& [name, content] : Rows{{"copy/deep/folder/in", "in\n"},
                                          {"x/y/renamed", "file\n"},
                                          {"z/file", "file\n"},
                                          {"copy/blocker", "b\n"},
                                          {"moved/folder/in", "in\n"},
                                          {"new/deep/src/a", "new\n"}})
    EXPECT_EQ(ReadFile(d + name), content) << name;
  for (const char* gone : {"folder", "file", "tree", "moved/f", "g", "m"})
    EXPECT_FALSE(Exists(d + gone)) << gone;
  EXPECT_TRUE(Exists(d + "dm"));  // the damaged archive's target is made
}

// A worker that outlives its engine sends no event to it; a job's reply
// comes first, then its event. (A tool that fails, such as a copy to a full
// file system: the shell rows of env_test; bursts of jobs, "UnzipKill" and
// signals with jobs running: the chaos driver.)
TEST_F(InFolder, TheReplyComesFirstThenExactlyOneEventPerJob) {
  XAPTEST_ISOLATE();
  MountTmpfs(dir.Path(), "600m");
  Sh("cd " + d + " && head -c 100M /dev/zero > big && zip -q big.zip big && rm big && mkdir gone");
  static int nEvents = 0;
  qom::CXapEngineBase::SetEventSink([](int, const std::string&, const std::string&) { ++nEvents; });
  auto* engine = new qom::CXapEngineFileSystem();
  std::string ret;
  engine->Execute(ret, "SetWidgetInfo", "1", "", "", "");
  engine->Execute(ret, "UnzipAsync", d + "big.zip", d + "out0", "", "");
  delete engine;  // the unzip still runs
  qom::XapWaitForJobs();
  EXPECT_EQ(nEvents, 0);
  ModuleProcess module;
  Transcript(module, {{"DeleteAsync " + d + "gone", "-4"},
                      {"SetWidgetInfo 2 " + d, "1"},
                      {"DeleteAsync " + d + "gone", "1"},
                      {"", "{\"event\":0,\"data\":[\"1\",\" \"]}"}});
  EXPECT_FALSE(Exists(d + "gone"));
  EXPECT_TRUE(Exists(d + "out0/big"));
  module.CloseInput();
  EXPECT_EQ(module.Wait(), 0);
  EXPECT_EQ(module.NewLog().find("Sanitizer"), std::string::npos);
}

// Memory running out while 300 jobs wait on a FIFO (an address-space limit,
// a few runs at each): every command is answered, no failed allocation
// aborts the host, and once UnzipKill has ended the tools, the end of input
// ends it with status 0.
TEST_F(InFolder, ThreeHundredJobsWhenMemoryRunsShort) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's own reservations exceed the limit";
#endif
  if (ModuleCommand()[0] != ' ') GTEST_SKIP() << "the limit would bind the emulator";
  if (system("prlimit --as=100000000 true") != 0) GTEST_SKIP() << "no prlimit";
  XAPTEST_ISOLATE();  // killall ends only this test's unzips
  Sh("mkfifo " + d + "fifo");
  std::string jobs = "SetWidgetInfo 1 x\n";
  for (int i = 0; i < 300; ++i) jobs += "UnzipAsync " + d + "fifo " + d + std::to_string(i) + "\n";
  for (const char* limit : {"40000000", "40000000", "60000000", "60000000", "100000000"}) {
    ModuleProcess module(std::string("prlimit --as=") + limit + " @");
    module.Send(jobs);
    int answers = 0, started = 0, events = 0;
    auto take = [&](const std::string& line) {
      events += line.rfind("{\"event\"", 0) == 0;
      answers += line.rfind("{\"cmd\"", 0) == 0;
      started += line == "{\"cmd\":\"UnzipAsync\",\"ok\":true,\"reply\":1}";
      return !line.empty();
    };
    while (answers < 301 && take(module.ReadLine())) continue;
    // A tool may start after a kill: killed again until every job has ended.
    for (int i = 0; i < 100 && events < started; ++i) {
      module.SendLine("UnzipKill");
      for (int before = answers; answers == before && take(module.ReadLine());) continue;
      usleep(100000);
    }
    module.CloseInput();
    EXPECT_EQ(module.Wait(), 0) << limit;
    EXPECT_GE(answers, 301) << limit;
  }
}
