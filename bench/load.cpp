// A million mixed commands through one process, against the same run's
// first 10,000: throughput, and whether resident memory or descriptors grow.
// Prints ROW lines for bench/run; exits 1 when an answer is missing or out
// of order.
//   build/bench/load_bench [commands]
#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace {

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

int Descriptors(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  int n = 0;
  while (struct dirent* e = readdir(dir)) n += e->d_name[0] != '.';
  closedir(dir);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const int kCommands = argc > 1 ? std::stoi(argv[1]) : 1000000;
  const int kEarly = 10000;
  xaptest::TempDir dir("/tmp");  // under a root the module works in
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
  xaptest::ModuleProcess module;
  module.Ask("{\"cmd\":\"SetWidgetInfo\",\"params\":[\"2\",\"" + d + "\"]}");

  // The first 10,000 are answered before the rest is sent, so that the
  // process is idle (no folder open) when it is measured.
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
      batch += line.replace(line.find('@'), 1, std::to_string(i)) + "\n";
      if (batch.size() > 60000) {
        module.Send(batch);
        batch.clear();
      }
    }
    module.Send(batch);
  });
  auto start = std::chrono::steady_clock::now();
  long early = -1;
  int earlyFds = -1, wrong = 0;
  for (int i = 0; i < kCommands; ++i) {
    std::string line = module.ReadLine(60000);
    if (line.empty()) {
      fprintf(stderr, "load: no answer to command %d\n", i);
      return 1;
    }
    bool bError = static_cast<size_t>(i) % kinds.size() == kinds.size() - 1;
    wrong += line.rfind(bError ? "{\"error\":" : "{\"id\":" + std::to_string(i) + ",", 0) != 0;
    if (i == kEarly - 1) {
      early = ResidentKiB(module.Pid());
      earlyFds = Descriptors(module.Pid());
      bMeasured = true;
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  long late = ResidentKiB(module.Pid());
  int lateFds = Descriptors(module.Pid());
  writer.join();
  printf("ROW\t%d mixed commands, one process (commands/s)\t%.0f\t\t\n", kCommands,
         kCommands / seconds);
  printf("ROW\tresident memory at the end of that run (KiB)\t%ld\t%ld\tafter its first 10,000\n",
         late, early);
  printf("ROW\tdescriptors at the end of that run\t%d\t%d\tafter its first 10,000\n", lateFds,
         earlyFds);
  if (wrong != 0) fprintf(stderr, "load: %d answers out of order\n", wrong);
  return wrong == 0 ? 0 : 1;
}
