// Faults: a full file system, an unzip killed part way, SIGTERM with jobs
// running, a working directory that disappears, folders that vanish while
// they are read, a source that comes and goes. The module answers each
// command and keeps serving.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace {

using xaptest::ModuleProcess;

std::string Line(const std::string& cmd, const std::vector<std::string>& params) {
  return nlohmann::json{{"cmd", cmd}, {"params", params}}.dump();
}

nlohmann::json Ask(ModuleProcess& module, const std::string& cmd,
                   const std::vector<std::string>& params) {
  module.SendLine(Line(cmd, params));
  return nlohmann::json::parse(module.ReadLine(60000));
}

void ExpectServing(ModuleProcess& module) {
  EXPECT_EQ(Ask(module, "GetName", {})["reply"], "FileSystem");
}

std::string BigZip(const xaptest::TempDir& dir) {
  std::string cmd =
      "cd " + dir.Path() + " && head -c 300M /dev/zero > big && zip -q big.zip big && rm big";
  EXPECT_EQ(system(cmd.c_str()), 0);
  return dir / "big.zip";
}

TEST(Faults, CopyIntoAFullFileSystemAnswersZeroAndServesOn) {
  xaptest::ModuleCopy module;
  std::string out = xaptest::ShellOutput(
      "cd / && unshare -m --propagation private sh -c '"
      "mount -t tmpfs -o size=2m xaptest /tmp || exit 9; head -c 600k /dev/zero > /tmp/src; "
      "mkdir /tmp/full && mount -t tmpfs -o size=64k xaptest /tmp/full || exit 9; "
      "printf \"SetWidgetInfo 1 x\\nCopy /tmp/src /tmp/full/dst\\nGetName\\n\" | " +
      module.Command() + " 2>/dev/null' 2>&1");
  if (out.find("unshare: ") != std::string::npos || out.find("mount: ") != std::string::npos) {
    GTEST_SKIP() << "no mount namespace here: " << out;
  }
  EXPECT_EQ(out,
            "{\"cmd\":\"SetWidgetInfo\",\"ok\":true,\"reply\":1}\n"
            "{\"cmd\":\"Copy\",\"ok\":true,\"reply\":0}\n"
            "{\"cmd\":\"GetName\",\"ok\":true,\"reply\":\"FileSystem\"}\n");
}

TEST(Faults, AnUnzipKilledPartWayAnswersZero) {
  XAPTEST_ISOLATE();
  xaptest::TempDir dir;
  xaptest::MountTmpfs(dir.Path(), "700m");
  std::string zip = BigZip(dir);
  ModuleProcess module;
  Ask(module, "SetWidgetInfo", {"1", ""});
  module.SendLine(Line("Unzip", {zip, dir / "out"}));
  // Ends the unzip from outside once it has started.
  for (int i = 0; i < 2000 && system("killall -q unzip") != 0; ++i) usleep(1000);
  nlohmann::json reply = nlohmann::json::parse(module.ReadLine(60000));
  EXPECT_EQ(reply["reply"], 0);
  ExpectServing(module);
}

TEST(Faults, SigtermWhileJobsRunEndsCleanly) {
  XAPTEST_ISOLATE();
  xaptest::TempDir dir;
  xaptest::MountTmpfs(dir.Path(), "700m");
  std::string zip = BigZip(dir);
  ModuleProcess module;
  Ask(module, "SetWidgetInfo", {"1", ""});
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Ask(module, "UnzipAsync", {zip, dir / ("out" + std::to_string(i))})["reply"], 1);
  }
  module.Signal(SIGTERM);
  EXPECT_EQ(module.Wait(), 143);
  EXPECT_EQ(module.Stderr().find("Sanitizer"), std::string::npos) << module.Stderr();
}

TEST(Faults, TheWorkingDirectoryLeftBehindIsRemoved) {
  xaptest::TempDir dir;
  mkdir((dir / "sub").c_str(), 0755);
  xaptest::WriteFile(dir / "sub/f", "x");
  xaptest::WriteFile(dir / "g", "x");
  ModuleProcess module;
  Ask(module, "SetWidgetInfo", {"2", dir.Path()});
  EXPECT_TRUE(Ask(module, "GetProperty", {dir / "sub/f"})["reply"].is_string());
  ASSERT_EQ(system(("rm -rf " + dir / "sub").c_str()), 0);
  // Relative paths now resolve against a folder that is gone.
  EXPECT_EQ(Ask(module, "IsExistedPath", {"f"})["reply"], 0);
  EXPECT_EQ(Ask(module, "GetItemType", {"."})["reply"], 1);  // still opens, empty
  EXPECT_EQ(Ask(module, "GetFolderSize", {".", "1", "1"})["reply"], "0");
  EXPECT_EQ(Ask(module, "GetFileSize", {"f"})["reply"], -5);
  std::string property = Ask(module, "GetProperty", {dir / "g"})["reply"];
  EXPECT_NE(property.find("\"fullPath\": " + dir / "g, "), std::string::npos) << property;
}

TEST(Faults, FoldersThatVanishWhileTheyAreRead) {
  xaptest::TempDir dir;
  ModuleProcess module;
  Ask(module, "SetWidgetInfo", {"1", ""});
  for (int round = 0; round < 3; ++round) {
    std::string tree = dir / ("t" + std::to_string(round));
    std::string make = "mkdir -p " + tree + " && cd " + tree +
                       " && for a in $(seq 40); do mkdir $a; for b in $(seq 100); do : > $a/$b;"
                       " done; done";
    ASSERT_EQ(system(make.c_str()), 0);
    std::thread remover([tree] { system(("rm -rf " + tree).c_str()); });
    nlohmann::json size = Ask(module, "GetFolderSize", {tree, "1", "1"});
    nlohmann::json list = Ask(module, "GetListFiles", {tree});
    remover.join();
    EXPECT_TRUE(size["reply"].is_string()) << size;
    EXPECT_TRUE(list["reply"].is_string()) << list;  // a listing, or "" once the folder is gone
  }
  ExpectServing(module);
}

TEST(Faults, ASourceThatComesAndGoesBetweenCheckAndCommand) {
  xaptest::TempDir dir;
  xaptest::WriteFile(dir / "src", "data");
  std::atomic<bool> stop{false};
  std::thread flipper([&] {
    while (!stop) {
      rename((dir / "src").c_str(), (dir / "away").c_str());
      chmod((dir / "away").c_str(), 0200);
      rename((dir / "away").c_str(), (dir / "src").c_str());
      chmod((dir / "src").c_str(), 0644);
      usleep(200);  // present most of the time, gone now and then
    }
  });
  ModuleProcess module;
  Ask(module, "SetWidgetInfo", {"1", ""});
  std::vector<int> seen(3, 0);
  for (int i = 0; i < 200; ++i) {
    int reply = Ask(module, "Copy", {dir / "src", dir / "copies/c"})["reply"];
    ASSERT_TRUE(reply == 1 || reply == 0 || reply == -5) << reply;
    ++seen[reply == 1 ? 0 : reply == 0 ? 1 : 2];
  }
  stop = true;
  flipper.join();
  EXPECT_GT(seen[0], 0);
  ExpectServing(module);
}

}  // namespace
