// Times, through the real process: the reply of the asynchronous commands
// (the hand-off to the worker), and Copy of a tree of 1,000 small files
// against nice -n 19 cp -rf plus sync run directly, alternating. Prints ROW
// lines for bench/run.
//   build/bench/jobs_bench [runs]
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The module, one command at a time, counting the events that pass by.
struct Driver {
  xaptest::ModuleProcess module;
  int events = 0;

  // Sends one command and waits for its reply.
  double Time(const std::string& line) {
    Clock::time_point start = Clock::now();
    module.SendLine(line);
    for (;;) {
      std::string reply = module.ReadLine();
      if (reply.rfind("{\"event\"", 0) != 0) break;
      ++events;
    }
    return Ms(Clock::now() - start);
  }
  void WaitForEvents(int total) {
    while (events < total) {
      if (module.ReadLine().rfind("{\"event\"", 0) == 0) ++events;
    }
  }
};

void Run(const std::string& command) {
  if (system(command.c_str()) != 0) fprintf(stderr, "failed: %s\n", command.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 7;
  xaptest::TempDir dir("/tmp");  // under a root the module works in
  Driver driver;
  driver.Time("{\"cmd\":\"SetWidgetInfo\",\"params\":[\"1\",\"\"]}");

  // Each call alone (the previous job has ended), then 100 in a burst.
  std::vector<double> floor, deletes, unzips, burstDeletes, burstUnzips;
  int jobs = 0;
  for (int i = 0; i < 100; ++i) {
    floor.push_back(driver.Time("GetName"));
    std::string file = dir / ("f" + std::to_string(i));
    xaptest::WriteFile(file, "x");
    deletes.push_back(driver.Time("DeleteAsync " + file));
    driver.WaitForEvents(++jobs);
    unzips.push_back(driver.Time("UnzipAsync " + dir / "none.zip " + dir / "u"));
    driver.WaitForEvents(++jobs);
  }
  for (int i = 0; i < 100; ++i) {
    std::string file = dir / ("g" + std::to_string(i));
    xaptest::WriteFile(file, "x");
    burstDeletes.push_back(driver.Time("DeleteAsync " + file));
    burstUnzips.push_back(driver.Time("UnzipAsync " + dir / "none.zip " + dir / "u"));
    jobs += 2;
  }
  driver.WaitForEvents(jobs);

  // 1,000 small files in 10 folders.
  Run("mkdir -p " + dir / "src" + " && cd " + dir / "src" +
      " && for d in 0 1 2 3 4 5 6 7 8 9; do mkdir $d; for f in $(seq 100); do"
      " echo $d$f > $d/$f; done; done");
  std::vector<double> copies, tools;
  // Alternating which goes first; each starts from a clean disk cache.
  for (int i = 0; i < runs; ++i) {
    for (int side = 0; side < 2; ++side) {
      bool bModule = (side + i) % 2 == 0;
      std::string target = dir / (bModule ? "a" : "b");
      Run("rm -rf " + target + " && mkdir " + target + " && sync");
      Clock::time_point start = Clock::now();
      if (bModule) {
        driver.Time("Copy " + dir / "src " + target);
      } else {
        Run("/usr/bin/nice -n 19 /bin/cp -rf " + dir / "src " + target + " && /bin/sync");
      }
      (bModule ? copies : tools).push_back(Ms(Clock::now() - start));
    }
  }
  struct stat st;
  if (stat((dir / "a/src/9/100").c_str(), &st) != 0) fprintf(stderr, "the copy is missing\n");

  auto max = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
  // ROW, figure, module, baseline, what the baseline is (for bench/run).
  printf("ROW\tGetName round trip (ms)\t%.3f\t\t\n", Median(floor));
  struct {
    const char* name;
    const std::vector<double>& times;
  } replies[] = {{"DeleteAsync reply, job alone", deletes},
                 {"UnzipAsync reply, job alone", unzips},
                 {"DeleteAsync reply, in a burst of 100", burstDeletes},
                 {"UnzipAsync reply, in a burst of 100", burstUnzips}};
  for (const auto& r : replies) {
    printf("ROW\t%s, median (ms)\t%.3f\t100\ta 100 ms sleep-first wait\n", r.name, Median(r.times));
    printf("ROW\t%s, max (ms)\t%.3f\t100\ta 100 ms sleep-first wait\n", r.name, max(r.times));
  }
  // The sync in both flushes whatever the machine has written meanwhile, so
  // times drift; the ratio is the median of each run's pair, side by side.
  std::vector<double> pairs;
  for (size_t i = 0; i < copies.size(); ++i) pairs.push_back(copies[i] / tools[i]);
  printf("ROW\tCopy of 1,000 small files (ms)\t%.1f\t%.1f\tnice -n 19 cp -rf + sync\t%.3f\n",
         Median(copies), Median(tools), Median(pairs));
  driver.module.CloseInput();
  driver.module.Wait(60000);
  return 0;
}
