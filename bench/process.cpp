// Start-up and footprint of the process: time from start to the first
// reply of {"cmd":"GetName"}, and resident memory idle after 1,000
// commands, each against cat (the floor of starting a process that echoes a
// line). Prints ROW lines for bench/run.
//   build/bench/process_bench module-path [runs]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Child {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
};

Child Start(const char* program) {
  int inPipe[2], outPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) exit(1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  char* argv[] = {const_cast<char*>(program), nullptr};
  Child child;
  if (posix_spawn(&child.pid, program, &actions, nullptr, argv, environ) != 0) exit(1);
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  child.in = inPipe[1];
  child.out = outPipe[0];
  return child;
}

// Sends a line and waits for one line back.
void RoundTrip(const Child& child, const std::string& line) {
  if (write(child.in, line.data(), line.size()) != static_cast<ssize_t>(line.size())) exit(1);
  char c;
  while (read(child.out, &c, 1) == 1 && c != '\n') {
  }
}

void Stop(Child& child) {
  close(child.in);
  close(child.out);
  waitpid(child.pid, nullptr, 0);
}

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double FirstReplyMs(const char* program) {
  Clock::time_point start = Clock::now();
  Child child = Start(program);
  RoundTrip(child, "{\"cmd\":\"GetName\"}\n");
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  Stop(child);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: process_bench module-path [runs]\n");
    return 2;
  }
  const char* module = argv[1];
  int runs = argc > 2 ? atoi(argv[2]) : 21;
  std::vector<double> moduleMs, catMs;
  for (int i = 0; i < runs; ++i) {
    moduleMs.push_back(FirstReplyMs(module));
    catMs.push_back(FirstReplyMs("/bin/cat"));
  }
  printf("ROW\tstart-up: first reply of GetName (ms)\t%.3f\t%.3f\tcat echoing a line\n",
         Median(moduleMs), Median(catMs));

  std::vector<double> moduleKiB, catKiB;
  for (int i = 0; i < std::min(runs, 5); ++i) {
    Child m = Start(module);
    for (int c = 0; c < 1000; ++c) RoundTrip(m, c % 2 ? "GetName\n" : "IsExistedPath /tmp\n");
    usleep(100000);
    moduleKiB.push_back(static_cast<double>(ResidentKiB(m.pid)));
    Stop(m);
    Child c = Start("/bin/cat");
    RoundTrip(c, "x\n");
    usleep(100000);
    catKiB.push_back(static_cast<double>(ResidentKiB(c.pid)));
    Stop(c);
  }
  printf("ROW\tresident memory idle after 1,000 commands (KiB)\t%.0f\t%.0f\tcat idle\n",
         Median(moduleKiB), Median(catKiB));
  return 0;
}
