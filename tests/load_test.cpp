// Load: a million mixed commands through one process, answered in order
// with flat memory and no descriptor leak; a burst of 1,000 jobs with
// exactly one event each. CTest label "load".
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace {

using xaptest::ModuleProcess;

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

int OpenDescriptors(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int n = 0;
  while (struct dirent* e = readdir(dir)) n += e->d_name[0] != '.';
  closedir(dir);
  return n;
}

TEST(Load, AMillionMixedCommandsInOrderWithFlatMemory) {
  const int kCommands = 1000000;
  xaptest::TempDir dir;
  xaptest::WriteFile(dir / "file", "0123456789");
  mkdir((dir / "folder").c_str(), 0755);
  xaptest::WriteFile(dir / "folder/a", "a");
  const std::string d = dir.Path();
  // Each kind of command; "@" stands for the command's number.
  const std::vector<std::string> kinds = {
      "{\"id\":@,\"cmd\":\"GetName\"}",
      "{\"id\":@,\"cmd\":\"IsExistedPath\",\"params\":[\"" + d + "/file\"]}",
      "{\"id\":@,\"cmd\":\"GetItemType\",\"params\":[\"" + d + "/missing\"]}",
      "{\"id\":@,\"cmd\":\"GetFileSize\",\"params\":[\"" + d + "/file\"]}",
      "{\"id\":@,\"cmd\":\"GetListFiles\",\"params\":[\"" + d + "/folder\"]}",
      "{\"id\":@,\"cmd\":\"GetProperty\",\"params\":[\"" + d + "/folder/a\"]}",
      "{\"id\":@,\"cmd\":\"Copy\",\"params\":[\"/etc/passwd\",\"" + d + "/x\"]}",
      "{\"id\":@,\"cmd\":\"WriteBase64\",\"params\":[\"hello world\",\"11\"]}",
      "{\"id\":@,\"cmd\":\"ReadBase64\",\"params\":[\"aGVsbG8=\",\"8\"]}",
      "{\"id\":@,\"cmd\":\"GetFolderSize\",\"params\":[\"" + d + "/folder\",\"1\",\"1\"]}",
      "{\"id\":@,\"cmd\":\"NoSuchCommand\"}",
      "{\"id\":@,\"cmd\":\"GetName\"",  // invalid JSON: an error line without id
  };
  ModuleProcess module;
  module.SendLine("{\"cmd\":\"SetWidgetInfo\",\"params\":[\"2\",\"" + d + "\"]}");
  ASSERT_NE(module.ReadLine().find("\"reply\":1"), std::string::npos);

  // The first 10,000 are answered before the rest is sent, so that the
  // process is idle (no folder open) when it is measured.
  const int kEarly = 10000;
  std::atomic<bool> bMeasured{false};
  std::thread writer([&] {
    std::string batch;
    for (int i = 0; i < kCommands; ++i) {
      if (i == kEarly) {
        module.Send(batch);
        batch.clear();
        while (!bMeasured) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      std::string line = kinds[static_cast<size_t>(i) % kinds.size()];
      line.replace(line.find('@'), 1, std::to_string(i));
      batch += line + "\n";
      if (batch.size() > 60000) {
        module.Send(batch);
        batch.clear();
      }
    }
    module.Send(batch);
  });

  auto start = std::chrono::steady_clock::now();
  long early = -1;
  int earlyFds = -1;
  int wrong = 0;
  for (int i = 0; i < kCommands; ++i) {
    bool bOk = false;
    std::string line = module.ReadLine(60000, &bOk);
    ASSERT_TRUE(bOk) << "no answer to command " << i;
    size_t kind = static_cast<size_t>(i) % kinds.size();
    if (kind == kinds.size() - 1) {
      wrong += line.rfind("{\"error\":", 0) != 0;
    } else {
      wrong += line.rfind("{\"id\":" + std::to_string(i) + ",", 0) != 0;
    }
    if (i == kEarly - 1) {
      early = ResidentKiB(module.Pid());
      earlyFds = OpenDescriptors(module.Pid());
      bMeasured = true;
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  long late = ResidentKiB(module.Pid());
  int lateFds = OpenDescriptors(module.Pid());
  writer.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_LE(late - early, 1024) << "resident KiB after 10,000: " << early << ", at end: " << late;
  EXPECT_EQ(lateFds, earlyFds);
  printf(
      "load: %d commands in %.1f s, %.0f per second; resident %ld KiB after 10,000, %ld KiB "
      "at the end; %d descriptors\n",
      kCommands, seconds, kCommands / seconds, early, late, lateFds);
  module.CloseInput();
  EXPECT_EQ(module.Wait(), 0);
}

TEST(Load, ABurstOfAThousandJobsGivesAThousandEvents) {
  const int kJobs = 1000;
  xaptest::TempDir dir;
  std::string input = "{\"cmd\":\"SetWidgetInfo\",\"params\":[\"1\",\"\"]}\n";
  for (int i = 0; i < kJobs; ++i) {
    std::string name = dir / ("f" + std::to_string(i));
    xaptest::WriteFile(name, "x");
    input += "{\"id\":" + std::to_string(i) + ",\"cmd\":\"DeleteAsync\",\"params\":[\"" + name +
             "\"]}\n";
  }
  ModuleProcess module;
  std::thread writer([&] {
    module.Send(input);
    module.CloseInput();
  });
  int replies = 0, events = 0, other = 0;
  for (bool bOk = true;;) {
    std::string line = module.ReadLine(120000, &bOk);
    if (!bOk) break;
    if (line == "{\"event\":0,\"data\":[\"1\",\" \"]}") {
      ++events;
    } else if (line.find("\"cmd\":\"DeleteAsync\",\"ok\":true,\"reply\":1}") != std::string::npos) {
      ++replies;
    } else if (line.find("SetWidgetInfo") == std::string::npos) {
      ++other;
    }
  }
  writer.join();
  EXPECT_EQ(module.Wait(), 0);
  EXPECT_EQ(replies, kJobs);
  EXPECT_EQ(events, kJobs);
  EXPECT_EQ(other, 0);
  printf("burst: %d jobs, %d replies, %d events\n", kJobs, replies, events);
}

}  // namespace
