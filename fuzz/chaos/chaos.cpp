// xap_chaos: starts the real xapFileSystem again and again in a PID and mount
// namespace of its own and treats it as a careless or hostile world would:
// input cut anywhere and paused, half lines, a stdout that is a pipe, a
// socket, a file, /dev/null or closed, read late, slowly or by a reader that
// goes away, a stderr that is slow, full or gone, jobs on a FIFO and in
// bursts, and ending signals. After each round it checks what the host
// promises its clients. It shares no code with the host or the module: it
// only sees the process.
//
//   xap_chaos --program PATH [--seconds N] [--seed S] [--row R] [--rounds N] [--verbose]
//
// Needs root (unshare, mount): without it, it exits 77. Round i plays row
// R + i of kRows (modulo their number) with choices drawn from its own seed;
// the first failed round ends the run and prints the command that replays
// it. The choices replay exactly, the timing does not.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Margins for a shared, noisy machine of 2 cores.
const long kHangMs = 20000;         // no progress for this long is a hang
const long kMeasureMs = 1000;       // the window of one idle CPU measurement
const double kIdleCpuShare = 0.05;  // more of a core than this while idle fails
const long kSignalGraceMs = 700;    // a reader never idle this long after a signal gets whole lines
const long kLeftoverMs = 1000;      // how long tools may take to go after the program
const long kStallMs = 3000;         // a stalled reader resumes by then whatever comes
// A slow, steady reader: a quarter of a page a second, from a pipe of one page.
const long kSlowEveryMs = 250;
const size_t kSlowBytes = 256;

// A tail without "\n" is a prefix of this line, cut after "Delete /tmp/c";
// every such prefix names a canary folder, so one that ran leaves a gap.
const char kCanaryLine[] = "Delete /tmp/c/zzzz/more";
const int kCanaryMinCut = 13;
const char* const kCanaries[] = {"/tmp/c/z",      "/tmp/c/zz",      "/tmp/c/zzz",     "/tmp/c/zzzz",
                                 "/tmp/c/zzzz/m", "/tmp/c/zzzz/mo", "/tmp/c/zzzz/mor"};
const int kSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,     SIGUSR1,
                        SIGUSR2, SIGALRM, SIGPROF, SIGRTMIN + 3};

volatile sig_atomic_t g_stop = 0;

long MsSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<Ms>(Clock::now() - t).count());
}

std::string Clip(const std::string& s) {
  if (s.size() <= 120) return s;
  return s.substr(0, 120) + "... (" + std::to_string(s.size()) + " bytes)";
}

// ---- The plan of a round: every random choice, made before it starts.

struct Dice {
  explicit Dice(uint64_t seed) : gen(seed) {}
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); }
  bool Chance(int percent) { return Int(0, 99) < percent; }
  std::mt19937_64 gen;
};

enum class Out { kPipe, kSocket, kFile, kNull, kClosed, kPeerGone };
const char* const kOutNames[] = {"pipe", "socket", "file", "null", "closed", "peer-gone"};
enum class Err { kDrain, kClosed, kGone, kFull, kSlow };
const char* const kErrNames[] = {"drain", "closed", "goes", "full", "slow"};

// What one input line must get back on stdout.
struct Expect {
  bool bError = false;  // an error line, not a reply
  std::string cmd;      // a reply's "cmd"
  long id = -1;         // the id to echo; -1: none may come back
  int event = -1;       // an accepted job's event number; -1: no job
  const char* data = "1";
  size_t end = 0;  // input offset just past its "\n"
};

struct Step {
  enum Kind { kChunk, kQuiet, kCloseReader, kStall, kSignal } kind;
  long pauseMs = 0;  // before the step
  std::string bytes;
  size_t waitAnswers = 0;  // answers awaited first (not chunks)
};

struct Plan {
  std::string input;
  std::vector<Expect> expects;                 // the lines that get an answer, in order
  bool bTail = false;                          // input ends in a canary prefix without "\n"
  std::vector<std::pair<size_t, Step>> marks;  // steps at input offsets
  int cuts = 30;                               // at most this many random ones
  std::vector<Step> steps;
  Out out = Out::kPipe;
  Err err = Err::kDrain;
  bool bNonBlocking = false;  // O_NONBLOCK on the program's own stdout
  bool bSlowOut = false, bNohup = false, bFifoJob = false;
  int pipeSize = 0;                           // of the pipe a slow or stalled reader reads
  std::vector<std::pair<long, long>> pauses;  // of the stdout reader: start and length, ms
  long errGoneMs = -1;
  long holdMs = 0;  // a reader stalled before the signal resumes this long after it
  int logLevel = 0, sig = 0;
  std::set<std::string> picks;
};

struct Command {
  const char* name;
  std::vector<std::string> params;
  int event = -1;
  const char* data = "1";
};

// Passes the path policy, but its job's command line is longer than the
// screen admits: the event says "0".
const std::string kLongPath = "/tmp/c/w/" + std::string(240, 'l');
// Commands touch only /tmp/c; the first kPlain run nothing long.
const int kPlain = 9;
const Command kCommands[] = {{"GetName", {}},
                             {"IsExistedPath", {"/tmp/c/w/a"}},
                             {"GetItemType", {"/tmp/c/w"}},
                             {"GetFileSize", {"/tmp/c/w/a"}},
                             {"GetListFiles", {"/tmp/c/w"}},
                             {"Copy", {"/tmp/c/w/a", "/tmp/c/w/b"}},
                             {"WriteBase64", {"hello", "5"}},
                             {"GetFolderSize", {"/tmp/c/fan", "1", "1"}},
                             {"getname", {}},
                             {"Move", {"/tmp/c/w/b", "/tmp/c/w/d"}},
                             {"DeleteAsync", {"/tmp/c/w/d"}, 0},
                             {"DeleteAsync", {kLongPath}, 0, "0"},
                             {"UnzipAsync", {"/tmp/big.zip", "/tmp/c/big"}, 3},
                             {"Unzip", {"/tmp/big.zip", "/tmp/c/s"}},
                             {"UnzipKill", {}}};

void AddLine(Plan& p, const std::string& text, Expect e) {
  p.input += text + "\n";
  e.end = p.input.size();
  p.expects.push_back(e);
}

Expect Reply(const std::string& cmd, int event = -1, const char* data = "1") {
  Expect e;
  e.cmd = cmd;
  e.event = event;
  e.data = data;
  return e;
}

// A step once the input so far is written; by default it awaits its answers.
void Mark(Plan& p, Step::Kind kind, long pauseMs = 0, long wait = -1) {
  size_t n = wait >= 0 ? static_cast<size_t>(wait) : p.expects.size();
  p.marks.push_back({p.input.size(), {kind, pauseMs, "", n}});
}

// A command in word or JSON form.
void AddCommand(Dice& d, Plan& p, const Command& c) {
  Expect e = Reply(c.name, c.event, c.data);
  if (d.Chance(50)) {
    e.id = 1000 + static_cast<long>(p.expects.size());
    return AddLine(p, json({{"id", e.id}, {"cmd", c.name}, {"params", c.params}}).dump(), e);
  }
  std::string line = c.name;
  for (const std::string& param : c.params) line += " " + param;
  AddLine(p, line, e);
}

// Commands (with the long-running ones when bWork), refused and blank
// lines, and replies far longer than one atomic write (unknown commands
// with long names) that fill a pipe.
void AddCommands(Dice& d, Plan& p, int n, bool bWork) {
  for (; n > 0; --n) {
    int roll = d.Int(0, 99);
    if (roll < 80) {
      AddCommand(d, p, kCommands[d.Int(0, (bWork ? std::size(kCommands) : kPlain) - 1)]);
    } else if (roll < 90) {
      Expect e;
      e.bError = true;
      AddLine(p, d.Chance(50) ? "{\"cmd\":" : "GetName " + std::string(d.Int(65600, 90000), 'x'),
              e);
      p.picks.insert("refused");
    } else if (roll < 95 && bWork) {
      std::string name(d.Int(33000, 65000), 'Q');
      AddLine(p, name, Reply(name));
      p.picks.insert("long-reply");
    } else {
      static const char* const kBlanks[] = {"", " \t ", "\r"};
      p.input += std::string(kBlanks[d.Int(0, 2)]) + "\n";
    }
  }
}

// Every round lets the module accept paths under /tmp; a job on the FIFO
// keeps a tool (and, once input ends, the host) waiting until the round
// releases it.
void Begin(Plan& p, bool bFifoJob) {
  AddLine(p, "SetWidgetInfo 1 x", Reply("SetWidgetInfo"));
  p.bFifoJob = bFifoJob;
  if (bFifoJob) AddLine(p, "UnzipAsync /tmp/fifo /tmp/c/o", Reply("UnzipAsync", 3));
}

void AddDeletes(Plan& p, int n) {
  for (int i = 0; i < n; ++i) {
    AddLine(p, "DeleteAsync /tmp/c/j/" + std::to_string(i), Reply("DeleteAsync", 0));
  }
}

void AddTail(Dice& d, Plan& p) {
  p.bTail = true;
  p.picks.insert("tail");
  p.input += std::string(kCanaryLine, d.Int(kCanaryMinCut, sizeof kCanaryLine - 2));
}

int DrawSignal(Dice& d, Plan& p) {
  int sig = kSignals[d.Int(0, std::size(kSignals) - 1)];
  p.picks.insert("sig:" + std::to_string(sig));
  return sig;
}

// Stdout one of outs; stderr and the log level at random; the stdout
// reader pauses, briefly or well past the host's one second, if bPauses.
void DrawStreams(Dice& d, Plan& p, const std::vector<Out>& outs, bool bPauses) {
  p.out = outs[d.Int(0, static_cast<int>(outs.size()) - 1)];
  p.bNonBlocking = (p.out == Out::kPipe || p.out == Out::kSocket) && d.Chance(40);
  if (p.bNonBlocking) p.picks.insert("out:nonblocking");
  for (long at = d.Int(0, 3000); bPauses && d.Chance(40); at += d.Int(200, 3000)) {
    long length = d.Chance(50) ? d.Int(20, 400) : d.Int(1500, 2500);
    p.pauses.push_back({at, length});
    at += length;
    p.picks.insert("reader:pauses");
  }
  p.err = static_cast<Err>(d.Int(0, 3));
  if (p.err == Err::kGone) p.errGoneMs = d.Int(0, 3000);
  int roll = d.Int(0, 99);
  p.logLevel = roll < 50 ? 0 : roll < 75 ? 3 : 4;
}

// ---- The rows: what each round plays.

// Every line answered in order, every job's event once, after its reply,
// with its contents, and the half line at the end refused; the host sleeps
// while it waits for input and, once input has ended, for a job.
void RowAnswers(Dice& d, Plan& p) {
  DrawStreams(d, p, {Out::kPipe, Out::kSocket, Out::kFile, Out::kNull}, true);
  Begin(p, true);
  AddCommands(d, p, d.Int(1, 10), true);
  Mark(p, Step::kQuiet);
  // Jobs that end while later ones start and a long unzip runs: their
  // events wait for the reply.
  AddDeletes(p, d.Int(10, 40));
  AddCommand(d, p, kCommands[13]);
  AddCommands(d, p, d.Int(0, 10), true);
  AddTail(d, p);
}

// A reader that goes away, or none from the start: the host sleeps while
// a job keeps it, never runs what stands after the last "\n", and ends as
// at end of input.
void RowNoReader(Dice& d, Plan& p) {
  DrawStreams(d, p, {Out::kPipe, Out::kSocket, Out::kPipe, Out::kClosed, Out::kPeerGone}, false);
  if (p.out == Out::kClosed || p.out == Out::kPeerGone) Mark(p, Step::kQuiet);
  Begin(p, true);
  AddCommands(d, p, d.Int(0, 8), false);
  bool bGoesLast = d.Chance(50);
  if (!bGoesLast) Mark(p, Step::kCloseReader);
  AddCommands(d, p, d.Int(0, 5), false);
  if (bGoesLast || d.Chance(50)) AddTail(d, p);
  if (bGoesLast) Mark(p, Step::kCloseReader);
}

// An ending signal while a reply is half written to a reader that has
// stalled and resumes soon after: the line is finished, the tools end.
void RowStall(Dice& d, Plan& p) {
  DrawStreams(d, p, {Out::kPipe}, false);
  p.pipeSize = 16384;
  p.sig = DrawSignal(d, p);
  p.holdMs = d.Int(100, 600);
  Begin(p, true);
  AddCommands(d, p, d.Int(0, 5), false);
  Mark(p, Step::kStall);
  std::string name(d.Int(20000, 60000), 'Q');
  AddLine(p, name, Reply(name));
  Mark(p, Step::kSignal, d.Int(0, 300), static_cast<long>(p.expects.size()) - 1);
  AddCommands(d, p, d.Int(0, 5), false);
}

// A reader slower than a page a second, of stdout or of stderr (the
// level-0 line of an unknown command), gets the line in flight after a
// signal whole, however long it takes.
void RowSlow(Dice& d, Plan& p) {
  DrawStreams(d, p, {Out::kPipe}, false);
  p.pipeSize = 4096;
  p.sig = DrawSignal(d, p);
  p.bSlowOut = d.Chance(50);
  if (!p.bSlowOut) {
    p.err = Err::kSlow;
    p.logLevel = 0;
  }
  Begin(p, true);
  AddCommands(d, p, d.Int(0, 4), false);
  std::string name(d.Int(4500, 6000), 'Q');
  AddLine(p, name, Reply(name));
  Mark(p, Step::kSignal, d.Int(300, 800), static_cast<long>(p.expects.size()) - 1);
}

// A signal while hundreds of jobs start their tools still ends every tool.
void RowBurst(Dice& d, Plan& p) {
  DrawStreams(d, p, {Out::kPipe, Out::kSocket}, false);
  p.sig = DrawSignal(d, p);
  p.cuts = 0;  // sent at once, so that the jobs start together
  Begin(p, true);
  AddDeletes(p, 300);
  Mark(p, Step::kSignal, 0, d.Int(20, 250));
}

// A SIGHUP the host was started with ignored (as nohup does) stays ignored.
void RowNohup(Dice& d, Plan& p) {
  DrawStreams(d, p, {Out::kPipe, Out::kSocket}, true);
  p.bNohup = true;
  p.sig = SIGHUP;
  Begin(p, d.Chance(50));
  AddCommands(d, p, d.Int(1, 10), true);
  Mark(p, Step::kSignal, d.Int(0, 300));
  AddCommands(d, p, d.Int(1, 10), true);
  if (d.Chance(50)) AddTail(d, p);
}

struct Row {
  const char* name;
  void (*make)(Dice&, Plan&);
};
const Row kRows[] = {{"answers", RowAnswers}, {"no-reader", RowNoReader}, {"stall", RowStall},
                     {"slow", RowSlow},       {"burst", RowBurst},        {"nohup", RowNohup}};

int Pause(Dice& d) {
  int roll = d.Int(0, 99);
  return roll < 50 ? 0 : roll < 90 ? d.Int(1, 30) : d.Int(50, 300);
}

// The input cut at random byte boundaries and at the marks, each chunk
// after a random pause, the marks' steps between them.
void MakeSteps(Dice& d, Plan& p) {
  std::vector<size_t> cuts = {0, p.input.size()};
  for (const auto& mark : p.marks) cuts.push_back(mark.first);
  for (int n = d.Int(0, p.cuts); n > 0; --n) cuts.push_back(d.Int(1, p.input.size() - 1));
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  size_t m = 0;
  for (size_t i = 0; i < cuts.size(); ++i) {
    for (; m < p.marks.size() && p.marks[m].first == cuts[i]; ++m) {
      p.steps.push_back(p.marks[m].second);
    }
    if (i + 1 < cuts.size()) {
      p.steps.push_back({Step::kChunk, Pause(d), p.input.substr(cuts[i], cuts[i + 1] - cuts[i])});
    }
  }
}

Plan MakePlan(uint64_t seed, int row) {
  Dice d(seed);
  Plan p;
  kRows[row].make(d, p);
  p.picks.insert(std::string("row:") + kRows[row].name);
  p.picks.insert(std::string("out:") + kOutNames[static_cast<int>(p.out)]);
  p.picks.insert(std::string("err:") + kErrNames[static_cast<int>(p.err)]);
  if (p.bSlowOut) p.picks.insert("out:slow");
  MakeSteps(d, p);
  return p;
}

// ---- One round: the program run as planned, checked as it answers.

void CloseFd(int* pfd) {
  if (*pfd >= 0) close(*pfd);
  *pfd = -1;
}

// utime + stime of the process in ms, -1 when it cannot be read.
long CpuMs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return -1;
  std::istringstream fields(stat.substr(paren + 2));
  std::string skip;
  long utime = 0, stime = 0;
  for (int i = 3; i < 14; ++i) fields >> skip;  // state up to cmajflt
  if (!(fields >> utime >> stime)) return -1;
  return (utime + stime) * 1000 / sysconf(_SC_CLK_TCK);
}

// Every process of the namespace but the driver.
std::vector<pid_t> OtherProcesses() {
  std::vector<pid_t> pids;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    pid_t pid = static_cast<pid_t>(atoi(entry.path().filename().c_str()));
    if (pid > 0 && pid != getpid()) pids.push_back(pid);
  }
  return pids;
}

// One of the program's output streams as the driver reads it.
struct Stream {
  int fd = -1;
  bool bSlow = false;
  std::string buf;               // stdout: the line not yet ended; stderr: its last bytes
  Clock::time_point next, last;  // when it may read next; when data last came
  Clock::time_point lastTake;    // after the signal: when the reader last was taking
  long longestIdleMs = 0;        // after the signal: the longest time it took nothing
};

class Round {
 public:
  Round(const Plan& plan, const std::string& program)
      : m_plan(plan), m_program(program), m_pauses(plan.pauses) {}

  // Runs the round; returns what was wrong, each as "[check] text".
  std::vector<std::string> Run() {
    Start();
    for (const Step& step : m_plan.steps) {
      Pump(step.pauseMs);
      if (step.kind == Step::kChunk) {
        Write(step.bytes);
      } else if (step.kind == Step::kQuiet) {
        WaitAnswers(step.waitAnswers);
        Pump(m_plan.out == Out::kNull ? 500 : 200);  // nothing tells when /dev/null's are done
        Measure(m_bReaderGone ? "no reader" : "idle");
      } else if (step.kind == Step::kCloseReader && !m_bReaderGone) {
        WaitAnswers(step.waitAnswers);
        CloseFd(&m_out.fd);
        m_bReaderGone = true;
        Pump(200);
        Measure("reader gone");
      } else if (step.kind == Step::kStall) {
        // Bounded: a host stuck on its output stops reading input.
        WaitAnswers(step.waitAnswers);
        m_pauses.push_back({MsSince(m_start), kStallMs});
      } else if (step.kind == Step::kSignal) {
        Signal(step);
      }
    }
    Finish();
    CheckLeftovers();
    CheckEnd();
    return m_failures;
  }
  const std::vector<std::string>& Measured() const { return m_measured; }

 private:
  void Fail(const char* check, const std::string& text) {
    m_failures.push_back(std::string("[") + check + "] " + text);
  }

  bool Readable() const {
    return m_plan.out == Out::kPipe || m_plan.out == Out::kSocket || m_plan.out == Out::kFile;
  }

  // The program's streams as planned; the driver's own ends are non-blocking
  // so that one loop serves them all.
  void Start() {
    int in[2], out[2] = {-1, -1}, err[2] = {-1, -1};
    bool bOk = pipe2(in, O_CLOEXEC) == 0;
    if (m_plan.out == Out::kPipe) {
      bOk = bOk && pipe2(out, O_CLOEXEC) == 0;
    } else if (m_plan.out == Out::kSocket || m_plan.out == Out::kPeerGone) {
      bOk = bOk && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out) == 0;
    } else if (m_plan.out == Out::kFile) {
      out[1] = open("/tmp/c/out", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      out[0] = open("/tmp/c/out", O_RDONLY | O_CLOEXEC);
    } else if (m_plan.out == Out::kNull) {
      out[1] = open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    if (m_plan.err == Err::kFull) {
      err[1] = open("/dev/full", O_WRONLY | O_CLOEXEC);
    } else if (m_plan.err != Err::kClosed) {
      bOk = bOk && pipe2(err, O_CLOEXEC) == 0;
    }
    if (!bOk) exit(1);
    if (m_plan.out == Out::kPeerGone) CloseFd(&out[0]);
    m_bReaderGone = m_plan.out == Out::kClosed || m_plan.out == Out::kPeerGone;
    if (m_plan.bNonBlocking) fcntl(out[1], F_SETFL, O_NONBLOCK);
    int sized = m_plan.err == Err::kSlow ? err[0] : out[0];
    if (m_plan.pipeSize > 0 && fcntl(sized, F_SETPIPE_SZ, m_plan.pipeSize) < 0) exit(1);
    m_start = Clock::now();
    m_pid = fork();
    if (m_pid == 0) Exec(in[0], out[1], err[1]);
    close(in[0]);
    CloseFd(&out[1]);
    CloseFd(&err[1]);
    m_in = in[1];
    m_out.fd = out[0];
    m_err.fd = err[0];
    m_out.bSlow = m_plan.bSlowOut;
    m_err.bSlow = m_plan.err == Err::kSlow;
    for (int fd : {m_in, m_out.fd, m_err.fd}) {
      if (fd >= 0) fcntl(fd, F_SETFL, O_NONBLOCK);
    }
  }

  [[noreturn]] void Exec(int in, int out, int err) {
    setpgid(0, 0);  // a terminal's Ctrl-C is for the driver
    dup2(in, STDIN_FILENO);
    if (dup2(out, STDOUT_FILENO) < 0) close(STDOUT_FILENO);  // none planned: closed
    if (dup2(err, STDERR_FILENO) < 0) close(STDERR_FILENO);
    // Every signal at its default and none blocked, however the driver was
    // started (a shell's background job ignores SIGINT and SIGQUIT, and the
    // host keeps what it finds ignored); SIGHUP ignored as nohup does.
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    if (m_plan.bNohup) signal(SIGHUP, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    std::string level = std::to_string(m_plan.logLevel);
    if (chdir("/tmp") == 0) {
      execl(m_program.c_str(), m_program.c_str(), "--log-level", level.c_str(), nullptr);
    }
    _exit(127);
  }

  // Whether the program has ended; leaves it a zombie so that its CPU time
  // can still be read.
  bool Exited() {
    siginfo_t si = {};
    if (!m_bExited && waitid(P_PID, m_pid, &si, WEXITED | WNOHANG | WNOWAIT) == 0) {
      m_bExited = si.si_pid == m_pid;
    }
    return m_bExited;
  }

  bool Paused(long t) const {
    for (const auto& pause : m_pauses) {
      if (t >= pause.first && t < pause.first + pause.second) return true;
    }
    return false;
  }

  // Serves the program's output for ms: stdout read as the plan's reader
  // does (slow, pausing, stalled, gone), stderr drained, read slowly or let
  // go. After the signal it notes how long each reader took nothing.
  void Pump(long ms) {
    Clock::time_point until = Clock::now() + Ms(ms);
    do {
      long t = MsSince(m_start);
      if (m_plan.errGoneMs >= 0 && t >= m_plan.errGoneMs) CloseFd(&m_err.fd);
      Stream* streams[] = {&m_out, &m_err};
      struct pollfd fds[2];
      bool bDue[2];
      for (int i = 0; i < 2; ++i) {
        Stream& s = *streams[i];
        bDue[i] = s.fd >= 0 && !(i == 0 && Paused(t)) && Clock::now() >= s.next;
        if (m_bSigSent && !Exited()) {
          if (bDue[i]) s.lastTake = Clock::now();
          s.longestIdleMs = std::max(s.longestIdleMs, MsSince(s.lastTake));
        }
        // A file is never waited for: it is read again each turn.
        fds[i] = {bDue[i] && !(i == 0 && m_plan.out == Out::kFile) ? s.fd : -1, POLLIN, 0};
      }
      poll(fds, 2, static_cast<int>(std::clamp(-MsSince(until), 0L, 5L)));
      for (int i = 0; i < 2; ++i) {
        if (fds[i].revents != 0 || (bDue[i] && fds[i].fd < 0)) Take(*streams[i], i == 0);
      }
    } while (Clock::now() < until);
  }

  // Reads what the stream's reader takes at once; closes it at its end.
  void Take(Stream& s, bool bStdout) {
    static char buf[1 << 16];
    ssize_t n = read(s.fd, buf, s.bSlow ? kSlowBytes : sizeof buf);
    if (n == 0 && bStdout && m_plan.out == Out::kFile && !Exited()) return;  // still growing
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return CloseFd(&s.fd);
    if (n < 0) return;
    s.last = Clock::now();
    if (s.bSlow) s.next = s.last + Ms(kSlowEveryMs);
    s.buf.append(buf, static_cast<size_t>(n));
    if (!bStdout) s.buf.erase(0, s.buf.size() > 300 ? s.buf.size() - 300 : 0);
    for (size_t nl; bStdout && (nl = s.buf.find('\n')) != std::string::npos;) {
      std::string line = s.buf.substr(0, nl);
      s.buf.erase(0, nl + 1);
      Consume(line);
    }
  }

  // The lines that must be answered among those sent whole so far.
  size_t SentAnswerable() const {
    size_t n = 0;
    while (n < m_plan.expects.size() && m_plan.expects[n].end <= m_written) ++n;
    return n;
  }

  // Checks one stdout line as it comes: a JSON object, an event that a job
  // whose reply has come awaits, or the next answer in input order.
  void Consume(const std::string& line) {
    json j = json::parse(line, nullptr, false);
    if (!j.is_object()) {
      Fail("json", "stdout line is not one JSON object: " + Clip(line));
      m_bOrderBroken = true;
      return;
    }
    if (j.contains("event")) return MatchEvent(j, line);
    size_t k = m_answers++;
    if (m_bOrderBroken) return;
    if (k < SentAnswerable()) return Match(m_plan.expects[k], j, k);
    // Past the last whole line, only the one error line for a tail, once
    // input has ended (after a signal, it ends only after the program).
    if (m_plan.bTail && m_in < 0 && m_written == m_plan.input.size() &&
        k == m_plan.expects.size() && j.contains("error") && !j.contains("id")) {
      m_bTailAnswered = true;
      return;
    }
    Fail("tail", "an answer to bytes not ended by \"\\n\": " + Clip(line));
    m_bOrderBroken = true;
  }

  void Match(const Expect& e, const json& j, size_t k) {
    bool bOk = e.bError ? j.contains("error") && j["error"].is_string() && !j.contains("ok")
                        : j.contains("cmd") && j["cmd"] == e.cmd && j.contains("ok") &&
                              j["ok"].is_boolean() && j.contains("reply");
    bOk = bOk && (e.id >= 0 ? j.contains("id") && j["id"] == e.id : !j.contains("id"));
    if (!bOk) {
      std::string want = e.bError ? "an error line" : "the reply to " + Clip(e.cmd);
      if (e.id >= 0) want += " with id " + std::to_string(e.id);
      Fail("order",
           "answer " + std::to_string(k) + " should be " + want + ", is " + Clip(j.dump()));
      m_bOrderBroken = true;
    } else if (e.event >= 0 && j["reply"] == 1) {
      m_pending.push_back(json({{"event", e.event}, {"data", json::array({e.data, " "})}}));
    }
  }

  // Jobs of one kind and outcome look alike from outside: an event is
  // matched to one of them whose reply has come and whose event has not.
  void MatchEvent(const json& j, const std::string& line) {
    auto it = std::find(m_pending.begin(), m_pending.end(), j);
    if (it != m_pending.end()) {
      m_pending.erase(it);
    } else {
      Fail("event", "no accepted job whose reply has come awaits " + Clip(line));
    }
  }

  // Writes bytes as the program takes them. A host whose reader has gone
  // may stop reading at once, so a full pipe ends the writing then;
  // otherwise it is a hang after a while.
  void Write(const std::string& bytes) {
    Clock::time_point last = Clock::now();
    for (size_t done = 0; done < bytes.size() && !m_bInputBroken;) {
      ssize_t n = write(m_in, bytes.data() + done, bytes.size() - done);
      bool bFull = n < 0 && errno == EAGAIN && !m_bReaderGone;
      if (n > 0) {
        done += static_cast<size_t>(n);
        m_written += static_cast<size_t>(n);
        last = Clock::now();
      } else if (bFull && MsSince(last) < kHangMs) {
        Pump(2);
      } else {
        if (bFull) Fail("hang", "input not read for 20 s");
        m_bInputBroken = true;
      }
    }
  }

  // Waits until n answers have come, when they can; only output that stops
  // coming for a long time is a hang.
  void WaitAnswers(size_t n) {
    for (Clock::time_point since = Clock::now();
         m_answers < n && m_out.fd >= 0 && !m_bReaderGone && !Exited(); Pump(5)) {
      if (MsSince(std::max(since, m_out.last)) > kHangMs) {
        return Fail("hang", "answer " + std::to_string(m_answers) + " not come within 20 s");
      }
    }
  }

  // CPU of the program over a window in which it has nothing to do, input
  // kept open; only a program still running at its end is measured.
  void Measure(const std::string& label) {
    long before = CpuMs(m_pid);
    Clock::time_point since = Clock::now();
    Pump(kMeasureMs);
    long after = CpuMs(m_pid);
    long wall = MsSince(since);
    if (Exited() || before < 0 || after < 0) return;
    m_measured.push_back(label);
    if (after - before > kIdleCpuShare * wall) {
      Fail("cpu", label + ": " + std::to_string(after - before) + " ms of CPU in " +
                      std::to_string(wall) + " ms with nothing to do");
    }
  }

  void Signal(const Step& step) {
    WaitAnswers(step.waitAnswers);
    // A tool runs that the signal must end.
    for (Clock::time_point t = Clock::now();
         m_plan.bFifoJob && OtherProcesses().size() < 2 && MsSince(t) < 3000;) {
      Pump(20);
    }
    bool bSent = !Exited() && kill(m_pid, m_plan.sig) == 0;
    if (m_plan.bNohup) return;
    m_bSigSent = bSent;
    m_out.lastTake = m_err.lastTake = Clock::now();
    if (m_plan.holdMs > 0 && !m_pauses.empty()) {  // the stall ends holdMs from now
      std::pair<long, long>& stall = m_pauses.back();
      stall.second = std::min(stall.second, MsSince(m_start) + m_plan.holdMs - stall.first);
    }
  }

  // Ends the input, lets a job on the FIFO end unless a signal ends the
  // round, and waits for the program; one that hangs is killed with all
  // the rest. Then reads what is left.
  void Finish() {
    // After a signal, input ends only once the program has: a host that has
    // not yet taken the signal may answer an end of input as it should.
    for (Clock::time_point t = Clock::now(); m_bSigSent && !Exited() && MsSince(t) < kHangMs;) {
      Pump(20);
    }
    CloseFd(&m_in);
    if (!m_bSigSent && m_plan.bFifoJob && !m_bReaderGone) {
      WaitAnswers(m_plan.expects.size() + m_plan.bTail);
      Pump(m_plan.out == Out::kNull ? 500 : 300);
      Measure("input ended, a job waits on the FIFO");
    }
    for (Clock::time_point t = Clock::now(); !Exited() && MsSince(t) < kHangMs; Pump(50)) {
      int fd = m_bSigSent ? -1 : open("/tmp/fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      CloseFd(&fd);
    }
    if (!Exited()) {
      Fail("hang", "still running 20 s after the round ended");
      for (pid_t pid : OtherProcesses()) kill(pid, SIGKILL);
      m_bKilled = true;
    }
    waitpid(m_pid, &m_status, 0);
    for (Clock::time_point t = Clock::now();
         (m_out.fd >= 0 || m_err.fd >= 0) &&
         MsSince(std::max({t, m_out.last, m_err.last})) < 5000;) {
      Pump(10);
    }
  }

  // No tool may outlive the program: orphans come to the driver, the
  // namespace's first process, so /proc must soon hold the driver alone.
  void CheckLeftovers() {
    std::vector<pid_t> left;
    for (Clock::time_point since = Clock::now(); MsSince(since) < kLeftoverMs; usleep(20000)) {
      while (waitpid(-1, nullptr, WNOHANG) > 0) {
      }
      if ((left = OtherProcesses()).empty()) return;
    }
    std::string names;
    for (pid_t pid : left) {
      std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
      std::string name;
      std::getline(comm, name);
      names += " " + name + "(" + std::to_string(pid) + ")";
      kill(pid, SIGKILL);
    }
    Fail("leftover", "still running after the program ended:" + names);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
  }

  // A stream that ends inside a line: never without a signal; after one,
  // only when its reader took nothing for a while.
  void CheckWhole(const Stream& s, const char* name, const char* check, bool bTracked) {
    if (!bTracked || s.buf.empty() || s.buf.back() == '\n') return;
    if (!m_bSigSent) {
      Fail(check, std::string(name) + " ends inside a line: " + Clip(s.buf));
    } else if (s.longestIdleMs < kSignalGraceMs) {
      Fail("cut", std::string(name) + ": a line cut by the signal, though its reader never " +
                      "took nothing for more than " + std::to_string(s.longestIdleMs) +
                      " ms: " + Clip(s.buf));
    }
  }

  void CheckEnd() {
    for (const char* dir : kCanaries) {
      if (!fs::is_directory(dir)) Fail("tail", std::string(dir) + " is gone: a cut line ran");
    }
    CheckWhole(m_out, "stdout", "json", Readable() && !m_bReaderGone && !m_bKilled);
    CheckWhole(m_err, "stderr", "log",
               (m_plan.err == Err::kDrain || m_plan.err == Err::kSlow) && !m_bKilled);
    if (!m_bSigSent && Readable() && !m_bReaderGone && !m_bOrderBroken && !m_bInputBroken) {
      if (m_plan.bTail && !m_bTailAnswered) {
        Fail("tail", "no error line for the bytes after the last \"\\n\"");
      }
      if (m_answers != m_plan.expects.size() + m_bTailAnswered) {
        Fail("order", std::to_string(m_answers) + " answers to " +
                          std::to_string(m_plan.expects.size()) + " lines");
      }
      if (!m_pending.empty()) {
        Fail("event", std::to_string(m_pending.size()) + " accepted jobs got no event, one of " +
                          m_pending[0].dump());
      }
    }
    int code = WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 128 + WTERMSIG(m_status);
    int want = m_bSigSent ? 128 + m_plan.sig : 0;
    if (code != want && !m_bKilled) {
      Fail("status", "exit status " + std::to_string(code) + ", not " + std::to_string(want) +
                         "; stderr ends: " + m_err.buf);
    }
  }

  const Plan& m_plan;
  std::string m_program;
  std::vector<std::pair<long, long>> m_pauses;  // the plan's, and the stall before a signal
  pid_t m_pid = -1;
  int m_in = -1;
  Stream m_out, m_err;
  int m_status = 0;
  Clock::time_point m_start;
  size_t m_written = 0, m_answers = 0;
  std::vector<json> m_pending;  // events of accepted jobs not yet come
  bool m_bExited = false, m_bKilled = false, m_bReaderGone = false;
  bool m_bInputBroken = false, m_bSigSent = false;
  bool m_bTailAnswered = false, m_bOrderBroken = false;
  std::vector<std::string> m_measured;
  std::vector<std::string> m_failures;
};

// ---- The namespace and the rounds.

struct Options {
  std::string program;
  std::string run;  // the copy of the program that the rounds start
  std::string self;
  double seconds = 60;
  bool bTimed = false;
  long rounds = -1;
  int row = 0;
  uint64_t seed = std::random_device()();
  bool bVerbose = false;
};

uint64_t NextSeed(uint64_t s) {
  s += 0x9e3779b97f4a7c15ULL;
  s = (s ^ (s >> 30)) * 0xbf58476d1ce4e5b9ULL;
  s = (s ^ (s >> 27)) * 0x94d049bb133111ebULL;
  return s ^ (s >> 31);
}

// Private mounts, a fresh /proc, tmpfs on /tmp and /opt; then the FIFO and
// the large archive (100 MiB of zeros) that rounds use. The program is
// copied to /opt first: a build under /tmp is covered, and /opt itself is
// no root a command may reach.
bool PrepareNamespace(Options* o) {
  std::ifstream program(o->program, std::ios::binary);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0 ||
      mount("chaos", "/tmp", "tmpfs", 0, "size=512m") != 0 ||
      mount("chaos", "/opt", "tmpfs", 0, "size=64m") != 0) {
    perror("chaos: mount");
    return false;
  }
  o->run = "/opt/xapFileSystem";
  std::ofstream copy(o->run, std::ios::binary);
  if (!(copy << program.rdbuf()) || (copy.close(), chmod(o->run.c_str(), 0755)) != 0) {
    fprintf(stderr, "chaos: cannot copy %s to %s\n", o->program.c_str(), o->run.c_str());
    return false;
  }
  int rc = system(
      "mkfifo /tmp/fifo && head -c 104857600 /dev/zero >/tmp/zero && "
      "/usr/bin/zip -q -j /tmp/big.zip /tmp/zero && rm /tmp/zero");
  if (rc != 0) fprintf(stderr, "chaos: cannot make /tmp/fifo and /tmp/big.zip\n");
  return rc == 0;
}

// A fresh /tmp/c: the work folder, the canaries and a fan-out of links.
void PrepareRound() {
  fs::remove_all("/tmp/c");
  fs::create_directories("/tmp/c/w");
  fs::create_directories("/tmp/c/fan");
  for (const char* dir : kCanaries) fs::create_directories(dir);
  std::ofstream("/tmp/c/w/a") << "chaos\n";
  fs::create_directory_symlink(".", "/tmp/c/fan/a");
  fs::create_directory_symlink(".", "/tmp/c/fan/b");
}

void PrintCounts(const char* title, const std::map<std::string, int>& counts) {
  printf("chaos: %s", title);
  for (const auto& kv : counts) printf(" %s %d", kv.first.c_str(), kv.second);
  printf("\n");
}

int RunRounds(const Options& o) {
  printf("chaos: seed %llu\n", static_cast<unsigned long long>(o.seed));
  std::map<std::string, int> picks, measured;
  long rounds = 0;
  bool bFailed = false;
  Clock::time_point start = Clock::now();
  for (uint64_t seed = o.seed; !g_stop && !bFailed && (o.rounds < 0 || rounds < o.rounds) &&
                               (!o.bTimed || MsSince(start) < o.seconds * 1000);
       ++rounds, seed = NextSeed(seed)) {
    int row = static_cast<int>((o.row + rounds) % std::size(kRows));
    Plan plan = MakePlan(seed, row);
    PrepareRound();
    Clock::time_point roundStart = Clock::now();
    Round round(plan, o.run);
    std::vector<std::string> failures = round.Run();
    std::string picked;
    for (const std::string& pick : plan.picks) picked += " " + pick, ++picks[pick];
    for (const std::string& label : round.Measured()) ++measured[label];
    bFailed = !failures.empty();
    if (o.bVerbose || bFailed) {
      printf("chaos: round %ld seed %llu%s: %s (%.1f s)\n", rounds,
             static_cast<unsigned long long>(seed), picked.c_str(), bFailed ? "FAILED" : "ok",
             MsSince(roundStart) / 1000.0);
    }
    for (const std::string& f : failures) printf("  %s\n", f.c_str());
    if (bFailed) {
      printf("  replay: %s --program %s --seed %llu --row %d --rounds 1\n", o.self.c_str(),
             o.program.c_str(), static_cast<unsigned long long>(seed), row);
    }
  }
  printf("chaos: %ld rounds, %s, %.1f s\n", rounds, bFailed ? "the last FAILED" : "all ok",
         MsSince(start) / 1000.0);
  PrintCounts("picked", picks);
  PrintCounts("idle CPU measured (program running)", measured);
  return bFailed ? 1 : 0;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--verbose") {
      o->bVerbose = true;
    } else if (i + 1 == argc) {
      return false;
    } else if (arg == "--program") {
      o->program = argv[++i];
    } else if (arg == "--seconds") {
      o->seconds = atof(argv[++i]);
      o->bTimed = true;
    } else if (arg == "--seed") {
      o->seed = strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--row") {
      o->row = atoi(argv[++i]);
    } else if (arg == "--rounds") {
      o->rounds = atol(argv[++i]);
    } else {
      return false;
    }
  }
  o->bTimed = o->bTimed || o->rounds < 0;
  return !o->program.empty() && o->row >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    fprintf(stderr,
            "usage: xap_chaos --program PATH [--seconds N] [--seed S] [--row R] [--rounds N] "
            "[--verbose]\n");
    return 2;
  }
  // Standard descriptors closed at start would be taken by the pipes, which
  // then could not be moved onto the program's 0, 1 and 2.
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) return 1;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // Resolved now: the namespace's /tmp covers whatever lives there.
  char path[PATH_MAX];
  if (realpath(o.program.c_str(), path) == nullptr || access(path, X_OK) != 0) {
    fprintf(stderr, "chaos: no program %s\n", o.program.c_str());
    return 2;
  }
  o.program = path;
  o.self = fs::read_symlink("/proc/self/exe").string();
  // 77: ctest's skip.
  if (geteuid() != 0 || unshare(CLONE_NEWNS | CLONE_NEWPID) != 0) {
    fprintf(stderr, "chaos: skipped, needs root to make a PID and mount namespace: %s\n",
            strerror(geteuid() != 0 ? EPERM : errno));
    return 77;
  }
  pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // the namespace goes with the driver
    signal(SIGPIPE, SIG_IGN);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, [](int) { g_stop = 1; });
    return PrepareNamespace(&o) ? RunRounds(o) : 1;
  }
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_IGN);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // No exit handlers: with the namespace's first process gone, this process
  // can start no thread or process any more (a leak checker's would fail).
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}
