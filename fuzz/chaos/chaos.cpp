// xap_chaos: starts the real xapFileSystem again and again in a PID and mount
// namespace of its own and treats it as a careless or hostile world would:
// input cut anywhere and paused, refused and over-long lines, a stdout reader
// that is slow, pauses, goes away or is missing, a stderr that is full or
// gone, jobs on a FIFO and on a large archive, and ending signals. After each
// round it checks what the host promises its clients. It shares no code with
// the host or the module: it only sees the process.
//
//   xap_chaos --program PATH [--seconds N] [--seed S] [--rounds N] [--verbose]
//
// Needs root (unshare, mount). Each round draws every choice from its own
// seed, printed with the command that replays it when the round fails; the
// choices replay exactly, the timing does not.
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

// Margins for a shared, noisy machine of 2 cores.
const long kHangMs = 20000;         // no progress for this long is a hang
const long kMeasureMs = 1000;       // the window of one idle CPU measurement
const double kIdleCpuShare = 0.05;  // more of a core than this while idle fails
const long kSignalGraceMs = 700;    // a reader never idle this long after a signal gets whole lines
const long kLeftoverMs = 1000;      // how long tools may take to go after the program
const long kStallMs = 3000;         // a stalled reader resumes by then whatever comes

// A tail without "\n" is a prefix of this line, cut after "Delete /tmp/c";
// every such prefix names a canary folder, so one that ran leaves a gap.
const char kCanaryLine[] = "Delete /tmp/c/zzzz/more";
const int kCanaryMinCut = 13;
const char* const kCanaries[] = {"/tmp/c/z",      "/tmp/c/zz",      "/tmp/c/zzz",     "/tmp/c/zzzz",
                                 "/tmp/c/zzzz/m", "/tmp/c/zzzz/mo", "/tmp/c/zzzz/mor"};
const int kSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM};

volatile sig_atomic_t g_stop = 0;

long MsSince(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

std::string Clip(const std::string& s) {
  if (s.size() <= 120) return s;
  return s.substr(0, 120) + "... (" + std::to_string(s.size()) + " bytes)";
}

// ---- The plan of a round: every random choice, made before it starts.

// The round's choices, drawn in a fixed order from its seed.
struct Dice {
  explicit Dice(uint64_t seed) : gen(seed) {}
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); }
  bool Chance(int percent) { return Int(0, 99) < percent; }
  std::mt19937_64 gen;
};

enum class Out { kPipe, kSocket, kClosed };
enum class Err { kDrain, kClosed, kGone, kFull };
enum Job { kNoJob, kJob, kFifoJob };

// What one input line must get back on stdout.
struct Expect {
  bool bError = false;   // an error line, not a reply
  std::string cmd;       // a reply's "cmd"
  long id = -1;          // the id to echo; -1: none may come back
  bool bIdFree = false;  // whether an id comes back is not checked
  Job job = kNoJob;
  size_t end = 0;  // input offset just past its "\n"
};

struct Step {
  enum Kind { kChunk, kQuiet, kCloseReader, kHold, kSignal } kind;
  int pauseMs;  // before the step
  std::string bytes;
};

struct Plan {
  std::vector<Expect> expects;  // the lines that get an answer, in order
  std::string input;
  bool bTail = false;                 // input ends in a canary prefix without "\n"
  size_t longStart = 0, longEnd = 0;  // input offsets of the last long replies' lines
  std::vector<Step> steps;
  Out out = Out::kPipe;
  bool bNonBlocking = false;  // O_NONBLOCK on the program's own stdout file
  bool bSlowReader = false;
  bool bReaderGoes = false;                   // the driver closes its end of stdout at a step
  std::vector<std::pair<long, long>> pauses;  // of the reader: start and length, ms
  Err err = Err::kDrain;
  long errGoneMs = -1;
  int logLevel = 0;
  int sig = 0;
  // The reader, stalled from the long replies on, resumes this long after the
  // signal; 0: no stall.
  long holdMs = 0;
  std::set<std::string> picks;
};

struct Command {
  const char* name;
  std::vector<std::string> params;
  Job job = kNoJob;
  const char* pick = nullptr;
};

// Commands touch only /tmp/c/w, the jobs' targets and the canary's own line,
// harmless whole.
const Command kPlain[] = {{"GetName", {}},
                          {"IsExistedPath", {"/tmp/c/w/a"}},
                          {"GetItemType", {"/tmp/c/w"}},
                          {"GetFileSize", {"/tmp/c/w/a"}},
                          {"GetListFiles", {"/tmp/c/w"}},
                          {"Copy", {"/tmp/c/w/a", "/tmp/c/w/b"}},
                          {"Move", {"/tmp/c/w/b", "/tmp/c/w/d"}},
                          {"Delete", {"/tmp/c/zzzz/more"}},
                          {"WriteBase64", {"hello", "5"}},
                          {"GetFolderSize", {"/tmp/c/w", "1", "0"}},
                          {"getname", {}}};
const Command kWork[] = {{"DeleteAsync", {"/tmp/c/w/d"}, kJob, "job:delete"},
                         {"UnzipAsync", {"/tmp/big.zip", "/tmp/c/big"}, kJob, "job:big"},
                         {"UnzipAsync", {"/tmp/fifo", "/tmp/c/o"}, kFifoJob, "job:fifo"},
                         {"UnzipKill", {}, kNoJob, "unzipkill"},
                         {"GetFolderSize", {"/tmp/c/fan", "1", "1"}, kNoJob, "fan"}};

void AddLine(Plan& p, const std::string& text, Expect e) {
  p.input += text + "\n";
  e.end = p.input.size();
  p.expects.push_back(e);
}

// A command in word or JSON form; each work command at most twice a round,
// so that the archive's copies fit the tmpfs and the round stays short.
void AddCommand(Dice& d, Plan& p, std::map<std::string, int>& uses) {
  const Command* c = &kPlain[d.Int(0, std::size(kPlain) - 1)];
  if (d.Chance(30)) {
    const Command& w = kWork[d.Int(0, std::size(kWork) - 1)];
    if (uses[w.pick]++ < 2) c = &w;
  }
  if (c->pick != nullptr) p.picks.insert(c->pick);
  Expect e;
  e.cmd = c->name;
  e.job = c->job;
  if (d.Chance(50)) {
    e.id = 1000 + static_cast<long>(p.expects.size());
    return AddLine(p, json({{"id", e.id}, {"cmd", c->name}, {"params", c->params}}).dump(), e);
  }
  std::string line = c->name;
  for (const std::string& param : c->params) line += " " + param;
  AddLine(p, line, e);
}

// A line the host must refuse with an error line, and go on.
void AddRefused(Dice& d, Plan& p) {
  Expect e;
  e.bError = true;
  p.picks.insert("refused");
  int kind = d.Int(0, 3);
  if (kind == 0) {
    e.bIdFree = true;  // no JSON, so no id to read
    AddLine(p, "{\"id\": 5, \"cmd\": \"GetName\"", e);
  } else if (kind == 1) {
    e.id = 1000 + static_cast<long>(p.expects.size());
    AddLine(p, "{\"id\":" + std::to_string(e.id) + ",\"cmd\":\"GetName\",\"params\":[1]}", e);
  } else if (kind == 2) {
    AddLine(p, "GetName a b c d e", e);  // six words
  } else {
    p.picks.insert("over-long");
    AddLine(p, "GetName " + std::string(d.Int(65600, 90000), 'x'), e);
  }
}

// Unknown commands with long names: replies far longer than one atomic
// write, enough together to fill a pipe, so a signal can catch one half
// written.
void AddLongReplies(Dice& d, Plan& p) {
  p.picks.insert("long-reply");
  p.longStart = p.input.size();
  for (int n = d.Int(2, 3); n > 0; --n) {
    Expect e;
    e.cmd = std::string(d.Int(33000, 65000), 'Q');
    AddLine(p, e.cmd, e);
  }
  p.longEnd = p.input.size();
}

void MakeInput(Dice& d, Plan& p) {
  Expect first;
  first.cmd = "SetWidgetInfo";  // lets the module accept paths under /tmp
  AddLine(p, "SetWidgetInfo 1 x", first);
  std::map<std::string, int> uses;
  for (int n = d.Int(3, 30); n > 0; --n) {
    int roll = d.Int(0, 99);
    if (roll < 72) {
      AddCommand(d, p, uses);
    } else if (roll < 86) {
      AddRefused(d, p);
    } else if (roll < 92) {
      AddLongReplies(d, p);
    } else {
      static const char* const kBlanks[] = {"", " \t ", "\r"};
      p.input += std::string(kBlanks[d.Int(0, 2)]) + "\n";
      p.picks.insert("blank");
    }
  }
  if (d.Chance(40)) {
    p.bTail = true;
    p.picks.insert("tail");
    p.input += std::string(kCanaryLine, d.Int(kCanaryMinCut, sizeof kCanaryLine - 2));
  }
}

int Pause(Dice& d) {
  int roll = d.Int(0, 99);
  return roll < 50 ? 0 : roll < 90 ? d.Int(1, 30) : d.Int(50, 300);
}

// The input cut at random byte boundaries.
std::vector<std::string> Chunks(Dice& d, const std::string& input) {
  std::vector<size_t> cuts = {0, input.size()};
  for (int n = d.Int(0, 30); n > 0; --n) cuts.push_back(d.Int(1, input.size() - 1));
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  std::vector<std::string> chunks;
  for (size_t i = 0; i + 1 < cuts.size(); ++i) {
    chunks.push_back(input.substr(cuts[i], cuts[i + 1] - cuts[i]));
  }
  return chunks;
}

// How many chunks it takes to send the input up to offset.
int ChunksTo(const std::vector<std::string>& chunks, size_t offset) {
  int k = 0;
  for (size_t sent = 0; sent < offset; ++k) sent += chunks[k].size();
  return k;
}

// The chunks, each after a random pause, with the quiet point (CPU measured),
// the stdout reader's going and the signal between them. The quiet point
// comes first so that each round measures at least once.
void MakeSteps(Dice& d, Plan& p) {
  std::vector<std::string> chunks = Chunks(d, p.input);
  int n = static_cast<int>(chunks.size());
  int hold = -1, sig = -1;
  if (p.sig != 0 && p.longEnd > 0 && p.out == Out::kPipe && !p.bSlowReader && d.Chance(70)) {
    // Just after long replies that a stalled reader leaves the host writing
    // (they overfill a pipe); the reader resumes soon enough to be owed the
    // whole line.
    hold = ChunksTo(chunks, p.longStart + 1) - 1;
    sig = ChunksTo(chunks, p.longEnd);
    p.holdMs = d.Int(100, 600);
  }
  int quiet = p.out == Out::kClosed ? 0 : d.Int(0, hold >= 0 ? hold : n);
  if (p.sig != 0 && sig < 0) sig = d.Int(quiet, n);
  int close = -1;
  if (p.bReaderGoes) {
    // Right after the quiet point the host is idle; at the end it may hold
    // half a line.
    int roll = d.Int(0, 99);
    close = roll < 50 ? quiet : (p.bTail && roll < 80) ? n : d.Int(quiet, n);
  }
  for (int i = 0; i <= n; ++i) {
    if (i == quiet && p.out != Out::kClosed) p.steps.push_back({Step::kQuiet, 0, ""});
    if (i == close) p.steps.push_back({Step::kCloseReader, Pause(d), ""});
    if (i == hold) p.steps.push_back({Step::kHold, 0, ""});
    if (i == sig) p.steps.push_back({Step::kSignal, d.Int(0, 300), ""});
    if (i < n) p.steps.push_back({Step::kChunk, Pause(d), chunks[i]});
  }
}

void MakeStreams(Dice& d, Plan& p) {
  int roll = d.Int(0, 99);
  p.out = roll < 55 ? Out::kPipe : roll < 88 ? Out::kSocket : Out::kClosed;
  p.picks.insert(roll < 55 ? "out:pipe" : roll < 88 ? "out:socket" : "out:closed");
  if (p.out != Out::kClosed) {
    p.bNonBlocking = d.Chance(40);
    p.bSlowReader = d.Chance(30);
    p.bReaderGoes = d.Chance(35);
    if (p.bNonBlocking) p.picks.insert("out:nonblocking");
    if (p.bSlowReader) p.picks.insert("reader:slow");
    if (p.bReaderGoes) p.picks.insert("reader:goes");
    // Short pauses, or long ones well past the host's one second.
    for (long at = d.Int(0, 3000); d.Chance(40); at += d.Int(200, 3000)) {
      long length = d.Chance(50) ? d.Int(20, 400) : d.Int(1500, 2500);
      p.pauses.push_back({at, length});
      at += length;
      p.picks.insert("reader:pauses");
    }
  }
  p.err = static_cast<Err>(d.Int(0, 3));
  static const char* const kErrPicks[] = {"err:drain", "err:closed", "err:goes", "err:full"};
  p.picks.insert(kErrPicks[static_cast<int>(p.err)]);
  if (p.err == Err::kGone) p.errGoneMs = d.Int(0, 3000);
  roll = d.Int(0, 99);
  p.logLevel = roll < 50 ? 0 : roll < 75 ? 3 : 4;
  if (p.logLevel != 0) p.picks.insert("log:" + std::to_string(p.logLevel));
}

Plan MakePlan(uint64_t seed) {
  Dice d(seed);
  Plan p;
  MakeStreams(d, p);
  if (d.Chance(40)) {
    p.sig = kSignals[d.Int(0, std::size(kSignals) - 1)];
    p.picks.insert(std::string("sig:") + sigabbrev_np(p.sig));
  }
  MakeInput(d, p);
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

class Round {
 public:
  Round(const Plan& plan, const std::string& program, uint64_t seed)
      : m_plan(plan), m_program(program), m_slow(seed), m_pauses(plan.pauses) {}

  // Runs the round; returns what was wrong, each as "[check] text".
  std::vector<std::string> Run() {
    Start();
    if (m_plan.out == Out::kClosed) {
      Pump(500);
      Measure("stdout closed, before any input");
    }
    for (const Step& step : m_plan.steps) {
      // Bounded: a host stuck on its output stops reading input, and the
      // input before the signal may not fit the pipes.
      if (step.kind == Step::kHold) m_pauses.push_back({MsSince(m_start), kStallMs});
      Pump(step.pauseMs);
      if (step.kind == Step::kChunk) {
        Write(step.bytes);
      } else if (step.kind == Step::kQuiet) {
        if (WaitAnswers(SentAnswerable())) Measure("idle, waiting for input");
      } else if (step.kind == Step::kCloseReader) {
        CloseReader();
      } else if (step.kind == Step::kSignal) {
        m_bSigSent = !Exited() && kill(m_pid, m_plan.sig) == 0;
        m_lastTake = Clock::now();
        if (m_plan.holdMs > 0) ShortenStall();
        break;
      }
    }
    Finish();
    CheckLeftovers();
    CheckEnd();
    return m_failures;
  }
  int Measured() const { return m_measured; }

 private:
  void Fail(const char* check, const std::string& text) {
    m_failures.push_back(std::string("[") + check + "] " + text);
  }

  // The program's streams as planned; the driver's own ends are non-blocking
  // so that one loop serves them all.
  void Start() {
    int in[2], out[2] = {-1, -1}, err[2] = {-1, -1};
    bool bOk = pipe2(in, O_CLOEXEC) == 0;
    if (m_plan.out == Out::kSocket) {
      bOk = bOk && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out) == 0;
    } else if (m_plan.out == Out::kPipe) {
      bOk = bOk && pipe2(out, O_CLOEXEC) == 0;
    }
    if (m_plan.err == Err::kFull) {
      err[1] = open("/dev/full", O_WRONLY | O_CLOEXEC);
    } else if (m_plan.err != Err::kClosed) {
      bOk = bOk && pipe2(err, O_CLOEXEC) == 0;
    }
    if (!bOk) exit(1);
    if (m_plan.bNonBlocking) fcntl(out[1], F_SETFL, O_NONBLOCK);
    std::string level = std::to_string(m_plan.logLevel);
    m_start = m_nextRead = Clock::now();
    m_pid = fork();
    if (m_pid == 0) {
      setpgid(0, 0);  // a terminal's Ctrl-C is for the driver
      dup2(in[0], STDIN_FILENO);
      if (dup2(out[1], STDOUT_FILENO) < 0) close(STDOUT_FILENO);  // none planned: closed
      if (dup2(err[1], STDERR_FILENO) < 0) close(STDERR_FILENO);
      // The program starts with every signal at its default and none
      // blocked, however the driver was started (a background job of a
      // shell ignores SIGINT and SIGQUIT, and the host keeps what it finds
      // ignored).
      for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      struct rlimit noCore = {0, 0};
      setrlimit(RLIMIT_CORE, &noCore);
      if (chdir("/tmp") == 0) {
        execl(m_program.c_str(), m_program.c_str(), "--log-level", level.c_str(), nullptr);
      }
      _exit(127);
    }
    close(in[0]);
    CloseFd(&out[1]);
    CloseFd(&err[1]);
    m_in = in[1];
    m_out = out[0];
    m_err = err[0];
    for (int fd : {m_in, m_out, m_err}) {
      if (fd >= 0) fcntl(fd, F_SETFL, O_NONBLOCK);
    }
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

  // A stall still on at the signal ends holdMs after it.
  void ShortenStall() {
    std::pair<long, long>& stall = m_pauses.back();  // the kHold step pushed it last
    long now = MsSince(m_start);
    if (stall.first + stall.second > now) stall.second = now + m_plan.holdMs - stall.first;
  }

  bool Paused(long t) const {
    for (const auto& pause : m_pauses) {
      if (t >= pause.first && t < pause.first + pause.second) return true;
    }
    return false;
  }

  // Serves the program's output for ms: stdout read as the plan's reader
  // does (slow, pausing, gone), stderr drained or let go.
  void Pump(long ms) {
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
    do {
      long t = MsSince(m_start);
      if (m_plan.errGoneMs >= 0 && t >= m_plan.errGoneMs) CloseFd(&m_err);
      bool bTaking = m_out >= 0 && !Paused(t);
      if (m_bSigSent && !m_bExited) {
        if (bTaking) m_lastTake = Clock::now();
        m_longestIdleMs = std::max(m_longestIdleMs, MsSince(m_lastTake));
      }
      struct pollfd fds[2] = {{bTaking && Clock::now() >= m_nextRead ? m_out : -1, POLLIN, 0},
                              {m_err, POLLIN, 0}};
      long left = -MsSince(until);
      poll(fds, 2, static_cast<int>(std::clamp(left, 0L, 5L)));
      size_t want = m_plan.bSlowReader ? m_slow() % 1024 + 1 : 0;
      if (fds[0].revents != 0 && Read(&m_out, &m_outBuf, want)) {
        m_lastOutput = Clock::now();
        if (m_plan.bSlowReader) m_nextRead = Clock::now() + std::chrono::milliseconds(2 + t % 9);
        for (size_t nl; (nl = m_outBuf.find('\n')) != std::string::npos;) {
          std::string line = m_outBuf.substr(0, nl);
          m_outBuf.erase(0, nl + 1);
          Consume(line);
        }
      }
      if (fds[1].revents != 0 && Read(&m_err, &m_errTail, 0)) {
        m_errTail.erase(0, m_errTail.size() > 300 ? m_errTail.size() - 300 : 0);
      }
    } while (Clock::now() < until);
  }

  // Appends up to want bytes (0: what there is) to *pText; closes the
  // stream at its end.
  static bool Read(int* pfd, std::string* pText, size_t want) {
    static char buf[1 << 16];
    ssize_t n = read(*pfd, buf, want > 0 ? want : sizeof buf);
    if (n > 0) pText->append(buf, static_cast<size_t>(n));
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) CloseFd(pfd);
    return n > 0;
  }

  // The lines that must be answered among those sent whole so far.
  size_t SentAnswerable() const {
    size_t n = 0;
    while (n < m_plan.expects.size() && m_plan.expects[n].end <= m_written) ++n;
    return n;
  }

  // Checks one stdout line as it comes: a JSON object, an event after the
  // reply of its job, or the next answer in input order.
  void Consume(const std::string& line) {
    json j = json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
      Fail("json", "stdout line is not one JSON object: " + Clip(line));
      m_bOrderBroken = true;
      return;
    }
    if (j.contains("event")) {
      if (++m_events > m_accepted) Fail("order", "an event before the reply of its job");
      return;
    }
    size_t k = m_answers++;
    if (m_bOrderBroken) return;
    if (k < SentAnswerable()) return Match(m_plan.expects[k], j, k);
    // Past the last whole line, only the one error line for a tail, once
    // input has ended.
    if (m_plan.bTail && m_in < 0 && m_written == m_plan.input.size() &&
        k == m_plan.expects.size() && j.contains("error") && !j.contains("id")) {
      m_bTailAnswered = true;
      return;
    }
    // In a round with a signal, input ends only after the program: a line
    // for a tail then is one written after the signal.
    Fail(m_bSigSent ? "signal" : "tail",
         std::string(m_bSigSent ? "after the signal, " : "") +
             "an answer to bytes not ended by \"\\n\": " + Clip(line));
    m_bOrderBroken = true;
  }

  void Match(const Expect& e, const json& j, size_t k) {
    bool bOk = e.bError ? j.contains("error") && j["error"].is_string() && !j.contains("ok")
                        : j.contains("cmd") && j["cmd"] == e.cmd && j.contains("ok") &&
                              j["ok"].is_boolean() && j.contains("reply");
    if (bOk && !e.bIdFree)
      bOk = e.id >= 0 ? j.contains("id") && j["id"] == e.id : !j.contains("id");
    if (!bOk) {
      std::string want = e.bError ? "an error line" : "the reply to " + Clip(e.cmd);
      if (e.id >= 0) want += " with id " + std::to_string(e.id);
      Fail("order",
           "answer " + std::to_string(k) + " should be " + want + ", is " + Clip(j.dump()));
      m_bOrderBroken = true;
    } else if (e.job != kNoJob && j["reply"] == 1) {
      ++m_accepted;
      if (e.job == kFifoJob) ++m_fifoAccepted;
    }
  }

  // Writes bytes as the program takes them. A host whose reader has gone
  // may stop reading at once (it then only waits for its jobs), so a full
  // pipe ends the writing then; otherwise it is a hang after a while.
  void Write(const std::string& bytes) {
    Clock::time_point last = Clock::now();
    for (size_t done = 0; done < bytes.size() && !m_bInputBroken;) {
      ssize_t n = write(m_in, bytes.data() + done, bytes.size() - done);
      bool bFull = n < 0 && errno == EAGAIN && !m_bReaderGone && m_plan.out != Out::kClosed;
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

  // Waits until n answers have come; false when they cannot (the program or
  // the reader has gone, or a hang, which fails). A slow reader with long
  // replies takes its time: only output that stops coming is a hang.
  bool WaitAnswers(size_t n) {
    m_lastOutput = Clock::now();
    while (m_answers < n && m_out >= 0 && !Exited()) {
      if (MsSince(m_lastOutput) > kHangMs) {
        Fail("hang", "answer " + std::to_string(m_answers) + " not come within 20 s");
        return false;
      }
      Pump(5);
    }
    return m_answers >= n;
  }

  // CPU of the program over a window in which it has nothing to do.
  void Measure(const std::string& label) {
    long before = CpuMs(m_pid);
    Clock::time_point since = Clock::now();
    Pump(kMeasureMs);
    long after = CpuMs(m_pid);
    long wall = MsSince(since);
    if (before < 0 || after < 0) return;
    ++m_measured;
    if (after - before > kIdleCpuShare * wall) {
      Fail("cpu", label + ": " + std::to_string(after - before) + " ms of CPU in " +
                      std::to_string(wall) + " ms with nothing to do");
    }
  }

  void CloseReader() {
    bool bIdle = m_answers >= SentAnswerable() && !Exited();
    CloseFd(&m_out);
    m_bReaderGone = true;
    if (!bIdle) return;
    Pump(200);
    Measure("stdout reader gone while waiting for input");
  }

  // Ends the input, lets jobs on the FIFO end unless a signal ends the round,
  // and waits for the program; one that hangs is killed with all the rest.
  void Finish() {
    // After a signal, input ends only once the program has: a host that has
    // not yet taken the signal may answer an end of input as it should.
    for (Clock::time_point since = Clock::now();
         m_bSigSent && !Exited() && MsSince(since) < kHangMs;) {
      Pump(20);
    }
    CloseFd(&m_in);
    bool bRelease = !m_bSigSent;
    size_t all = SentAnswerable() + (m_plan.bTail && m_written == m_plan.input.size());
    if (bRelease && m_fifoAccepted > 0 && WaitAnswers(all)) {
      Pump(300);
      Measure("input ended, a job waits on a FIFO");
    }
    for (Clock::time_point since = Clock::now(); !Exited() && MsSince(since) < kHangMs;) {
      int fd = bRelease ? open("/tmp/fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC) : -1;
      CloseFd(&fd);
      Pump(50);
    }
    if (!Exited()) {
      Fail("hang", "still running 20 s after the round ended");
      for (pid_t pid : OtherProcesses()) kill(pid, SIGKILL);
      m_bKilled = true;
    }
    waitpid(m_pid, &m_status, 0);
    // What is still buffered, however slowly read; nothing for longer than
    // the longest reader pause ends it.
    for (m_lastOutput = Clock::now(); m_out >= 0 && MsSince(m_lastOutput) < 5000;) Pump(10);
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

  void CheckEnd() {
    for (const char* dir : kCanaries) {
      if (!fs::is_directory(dir)) Fail("tail", std::string(dir) + " is gone: a cut line ran");
    }
    bool bOutEof = m_out < 0 && !m_bReaderGone;  // the driver closes it only when it goes
    if (!m_outBuf.empty() && bOutEof && !m_bSigSent) {
      Fail("json", "stdout ends inside a line: " + Clip(m_outBuf));
    } else if (!m_outBuf.empty() && bOutEof && !m_plan.bSlowReader &&
               m_longestIdleMs < kSignalGraceMs) {
      // A slow reader may take more than the host's second over a line, so
      // only a reader that takes at once is owed a whole line.
      Fail("cut", "a line cut by the signal, though the reader never took nothing for more than " +
                      std::to_string(m_longestIdleMs) + " ms: " + Clip(m_outBuf));
    }
    if (!m_bSigSent && !m_bReaderGone && m_plan.out != Out::kClosed && !m_bOrderBroken) {
      size_t want = m_plan.expects.size() + (m_plan.bTail ? 1 : 0);
      if (m_answers != want) {
        Fail("order", std::to_string(m_answers) + " answers to " + std::to_string(want) + " lines");
      } else if (m_plan.bTail && !m_bTailAnswered) {
        Fail("tail", "no error line for the bytes after the last \"\\n\"");
      }
      if (m_events != m_accepted) {
        Fail("events", std::to_string(m_events) + " events for " + std::to_string(m_accepted) +
                           " accepted jobs");
      }
    }
    int code = WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 128 + WTERMSIG(m_status);
    // With its reader gone the host may have ended on its own before the signal.
    bool bEndedAlone = m_bReaderGone || m_plan.out == Out::kClosed;
    bool bOk = m_bSigSent ? code == 128 + m_plan.sig || (code == 0 && bEndedAlone) : code == 0;
    if (!bOk && !m_bKilled) {
      Fail("status", "exit status " + std::to_string(code) + ", not " +
                         std::to_string(m_bSigSent ? 128 + m_plan.sig : 0) +
                         "; stderr ends: " + m_errTail);
    }
  }

  const Plan& m_plan;
  std::string m_program;
  std::mt19937_64 m_slow;                       // sizes of a slow reader's reads
  std::vector<std::pair<long, long>> m_pauses;  // the plan's, and the stall at a signal
  pid_t m_pid = -1;
  int m_in = -1, m_out = -1, m_err = -1;
  int m_status = 0;
  Clock::time_point m_start, m_nextRead, m_lastOutput;
  Clock::time_point m_lastTake;  // after a signal: when the reader last was taking
  long m_longestIdleMs = 0;      // after a signal: the longest time it took nothing
  size_t m_written = 0, m_answers = 0, m_events = 0, m_accepted = 0, m_fifoAccepted = 0;
  std::string m_outBuf, m_errTail;
  bool m_bExited = false, m_bKilled = false, m_bReaderGone = false;
  bool m_bInputBroken = false, m_bSigSent = false;
  bool m_bTailAnswered = false, m_bOrderBroken = false;
  int m_measured = 0;
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

// Prints a failed round: what was wrong and how to replay it.
void Report(const Options& o, uint64_t seed, const std::vector<std::string>& failures,
            std::map<std::string, int>& failedChecks) {
  std::set<std::string> checks;
  for (const std::string& f : failures) {
    printf("  %s\n", f.c_str());
    checks.insert(f.substr(1, f.find(']') - 1));
  }
  for (const std::string& c : checks) ++failedChecks[c];
  printf("  replay: %s --program %s --seed %llu --rounds 1\n", o.self.c_str(), o.program.c_str(),
         static_cast<unsigned long long>(seed));
}

int RunRounds(const Options& o) {
  printf("chaos: seed %llu\n", static_cast<unsigned long long>(o.seed));
  std::map<std::string, int> picks, failedChecks;
  long rounds = 0, failed = 0, unmeasured = 0;
  Clock::time_point start = Clock::now();
  for (uint64_t seed = o.seed; !g_stop && (o.rounds < 0 || rounds < o.rounds) &&
                               (!o.bTimed || MsSince(start) < o.seconds * 1000);
       ++rounds, seed = NextSeed(seed)) {
    Plan plan = MakePlan(seed);
    PrepareRound();
    Clock::time_point roundStart = Clock::now();
    Round round(plan, o.run, seed);
    std::vector<std::string> failures = round.Run();
    std::string picked;
    for (const std::string& pick : plan.picks) {
      picked += " " + pick;
      ++picks[pick];
    }
    unmeasured += round.Measured() == 0;
    if (o.bVerbose || !failures.empty()) {
      printf("chaos: round %ld seed %llu%s: %s (%.1f s)\n", rounds,
             static_cast<unsigned long long>(seed), picked.c_str(),
             failures.empty() ? "ok" : "FAILED", MsSince(roundStart) / 1000.0);
    }
    if (!failures.empty()) {
      ++failed;
      Report(o, seed, failures, failedChecks);
    }
  }
  printf("chaos: %ld rounds, %ld failed, %.1f s a round, %ld without an idle measurement\n", rounds,
         failed, rounds > 0 ? MsSince(start) / 1000.0 / rounds : 0.0, unmeasured);
  for (const auto* counts : {&picks, &failedChecks}) {
    printf("chaos: %s", counts == &picks ? "picked" : "failed checks");
    for (const auto& kv : *counts) printf(" %s %d", kv.first.c_str(), kv.second);
    printf("\n");
  }
  return failed == 0 ? 0 : 1;
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
    } else if (arg == "--rounds") {
      o->rounds = atol(argv[++i]);
    } else {
      return false;
    }
  }
  o->bTimed = o->bTimed || o->rounds < 0;
  return !o->program.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    fprintf(stderr,
            "usage: xap_chaos --program PATH [--seconds N] [--seed S] [--rounds N] [--verbose]\n");
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
  if (geteuid() != 0 || unshare(CLONE_NEWNS | CLONE_NEWPID) != 0) {
    fprintf(stderr, "chaos: needs root to make a PID and mount namespace: %s\n", strerror(errno));
    return 2;
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
