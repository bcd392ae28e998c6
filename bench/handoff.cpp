// Times the job hand-off through the real process: 1,000 DeleteAsync of
// missing paths, each sent as soon as the previous one is answered, from the
// command to its reply, while the earlier jobs' workers start their tools.
// With two programs (this build and another), both run side by side in
// blocks of 100 that alternate, each block starting once the other
// program's jobs have ended, so that both meet the same machine. Prints ROW
// lines for bench/run: median, p99 and max of each program.
//   build/bench/handoff_bench PROGRAM [BASELINE NAME]
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX: programs declare it

namespace {

using Clock = std::chrono::steady_clock;

const int kBlocks = 10;
const int kBlockSize = 100;

// One program with its stdin and stdout as pipes; stderr goes nowhere.
struct Program {
  pid_t pid = -1;
  int in = -1, out = -1;
  std::string pending;
  int events = 0;
  std::vector<double> times;

  explicit Program(const char* path) {
    int i[2], o[2];
    if (pipe2(i, O_CLOEXEC) != 0 || pipe2(o, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, i[0], 0);
    posix_spawn_file_actions_adddup2(&actions, o[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(path), nullptr};
    if (posix_spawn(&pid, path, &actions, nullptr, argv, environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(i[0]);
    close(o[1]);
    in = i[1];
    out = o[0];
  }

  void Send(const std::string& line) { (void)!write(in, line.data(), line.size()); }

  // The next line, or false at the end of output.
  bool NextLine(std::string* line) {
    size_t nl;
    while ((nl = pending.find('\n')) == std::string::npos) {
      char buf[65536];
      ssize_t n = read(out, buf, sizeof buf);
      if (n <= 0) return false;
      pending.append(buf, static_cast<size_t>(n));
    }
    line->assign(pending, 0, nl);
    pending.erase(0, nl + 1);
    return true;
  }

  // The next line that is not an event; "" at the end of output.
  std::string Reply() {
    std::string line;
    while (NextLine(&line)) {
      if (line.rfind("{\"event\"", 0) != 0) return line;
      ++events;
    }
    return std::string();
  }

  void WaitForEvents(int total) {
    std::string line;
    while (events < total && NextLine(&line)) events += line.rfind("{\"event\"", 0) == 0;
  }

  void Block(int block) {
    WaitForEvents(block * kBlockSize);
    for (int i = 0; i < kBlockSize; ++i) {
      std::string line = "DeleteAsync /tmp/xapfs-handoff/missing" + std::to_string(i) + "\n";
      Clock::time_point start = Clock::now();
      Send(line);
      if (Reply().empty()) return;
      times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    WaitForEvents((block + 1) * kBlockSize);
  }

  ~Program() {
    close(in);
    std::string line;
    while (NextLine(&line)) continue;
    close(out);
    if (pid > 0) waitpid(pid, nullptr, 0);
  }
};

double At(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    fprintf(stderr, "usage: handoff_bench PROGRAM [BASELINE NAME]\n");
    return 2;
  }
  std::vector<Program*> programs;
  for (int i = 1; i < argc && i < 3; ++i) programs.push_back(new Program(argv[i]));
  for (Program* p : programs) {
    p->Send("SetWidgetInfo 1 x\n");
    p->Reply();
  }
  for (int b = 0; b < kBlocks; ++b) {
    for (size_t k = 0; k < programs.size(); ++k) programs[(b + k) % programs.size()]->Block(b);
  }
  const char* figures[] = {"median", "p99", "max"};
  const double quantiles[] = {0.5, 0.99, 1.0};
  for (int f = 0; f < 3; ++f) {
    double m = At(programs[0]->times, quantiles[f]);
    if (programs.size() == 1) {
      printf("ROW\tDeleteAsync hand-off, 1,000 back to back, %s (ms)\t%.3f\t\t\n", figures[f], m);
    } else {
      printf("ROW\tDeleteAsync hand-off, 1,000 back to back, %s (ms)\t%.3f\t%.3f\t%s\n", figures[f],
             m, At(programs[1]->times, quantiles[f]), argv[3]);
    }
  }
  for (Program* p : programs) {
    if (p->times.size() != kBlocks * kBlockSize) fprintf(stderr, "replies missing\n");
    delete p;
  }
  return 0;
}
