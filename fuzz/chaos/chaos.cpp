// xap_chaos: starts the real xapFileSystem again and again in a PID and mount
// namespace of its own and treats it as a careless or hostile world would:
// input cut anywhere and paused, half lines, odd ids, a stdout that is a
// pipe of one page (non-blocking too) or closed, read late, slowly or by a
// reader that goes away, jobs on a FIFO and in bursts, and ending signals
// (with SIGHUP ignored, as nohup starts it, too). After each round it checks
// what the host promises its clients. It shares no code with the host or the
// module: it only sees the process.
//
//   xap_chaos --program PATH [--seconds 60] [--seed S] [--rounds N]
//
// Needs root (unshare, mount): without it, it exits 77. Round i plays seed
// S + i: the seed picks the row of kRows (modulo their number) and draws its
// choices; the first failed round ends the run and prints the command that
// replays it. The choices replay exactly, the timing does not.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Margins for a shared, noisy machine of 2 cores.
const long kHangMs = 20000;        // no progress for this long is a hang
const long kMeasureMs = 1000;      // the window of one idle CPU measurement
const double kIdleCpuShare = 0.2;  // running or runnable longer than this while idle fails
// A reader idle this long after a signal may see the last line cut: the host
// waits for a reader that takes something within each second.
const long kSignalGraceMs = 1000;
const long kLeftoverMs = 1000;  // how long tools may take to go after the program
const long kStallMs = 3000;     // a stalled reader resumes by then whatever comes
// A slow, steady reader: a quarter of a page a second, from a pipe of one page.
const long kSlowEveryMs = 250;
const size_t kSlowBytes = 256;

// A tail without "\n" is a prefix of this line, cut after "Delete /tmp/c";
// every such prefix names a canary folder, so one that ran leaves a gap.
const char kCanaryLine[] = "Delete /tmp/c/zzzz/more";
const char* const kCanaries[] = {"/tmp/c/z",      "/tmp/c/zz",      "/tmp/c/zzz",     "/tmp/c/zzzz",
                                 "/tmp/c/zzzz/m", "/tmp/c/zzzz/mo", "/tmp/c/zzzz/mor"};
// SIGXFSZ from another process ends the host too; only its own is a failed write.
const int kSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,      SIGUSR1,
                        SIGUSR2, SIGALRM, SIGPROF, SIGRTMIN + 3, SIGXFSZ};

long MsSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<Ms>(Clock::now() - t).count());
}

std::string Clip(const std::string& s) { return s.size() <= 120 ? s : s.substr(0, 120) + "..."; }

// ---- The plan of a round: every random choice, made before it starts.

struct Dice : std::mt19937_64 {
  using std::mt19937_64::mt19937_64;
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(*this); }
  bool Chance(int percent) { return Int(0, 99) < percent; }
};

enum class Out { kPipe, kClosed, kPeerGone };

// What one input line must get back on stdout.
struct Expect {
  std::string cmd;  // a reply's "cmd"; empty: an error line
  std::string id;   // the id's text as sent, which the answer begins with; empty: none
  json reply;       // what the command answers (null: not ok); discarded: any value
  json event;       // the event of the job it starts; null: none
  size_t end;       // input offset just past its "\n"
};

// kGo: the stdout reader goes, then as at kQuiet the host's CPU is
// measured; kHold: the stdout reader takes nothing for ms.
struct Step {
  enum Kind { kChunk, kQuiet, kGo, kHold, kSignal } kind;
  long ms;  // kHold: how long; else: the pause before the step
  // Answers awaited first; the input offset it follows (a chunk: that it ends at).
  size_t waitAnswers, at;
};

// bTail: input ends in a canary prefix without "\n"; bNonBlocking:
// O_NONBLOCK on the program's own stdout; cuts: at most this many cuts
// besides the marks; pipeSize: of the pipe a slow or stalled reader reads;
// holdMs: a stalled reader resumes this long after the signal.
struct Plan {
  std::string input;
  std::vector<Expect> expects;  // the lines that get an answer, in order
  std::vector<Step> steps;      // marks among the chunks of input
  Out out = Out::kPipe;
  bool bTail = false, bNonBlocking = false, bSlowOut = false, bNohup = false;
  bool bCopied = false,
       bUnzipKill = false;  // /tmp/c/w/b is there for a Move; the FIFO's tool ended
  // endSig: the signal that ends the round once every answer has come.
  int cuts = 30, pipeSize = 0, logLevel = 0, sig = 0, endSig = 0;
  long holdMs = 0;
};

// Passes the path policy, but its job's command line is longer than the
// screen admits: its event says "0".
const std::string kLongPath = "/tmp/c/w/" + std::string(240, 'l');
// A command's words and what it answers (null: not ok) in the fresh /tmp/c
// of a round: a walk through the fan of links never ends, so it is cut (0);
// a Move answers 1 only after a Copy made its source. Commands touch only
// /tmp/c; the first kQuick run nothing long.
struct Command {
  std::string words;
  json reply;
};
const json kAny(json::value_t::discarded);
const int kQuick = 7;
const Command kCommands[] = {{"GetName", "FileSystem"},
                             {"IsExistedPath /tmp/c/w/a", 1},
                             {"GetListFiles /tmp/c/w", kAny},
                             {"Copy /tmp/c/w/a /tmp/c/w/b", 1},
                             {"WriteBase64 hello 5", R"({"b64_encode": "aGVsbG8=", "size": 8 })"},
                             {"GetFolderSize /tmp/c/fan 1 1", 0},
                             {"getname", nullptr},
                             {"Move /tmp/c/w/b /tmp/c/w/d", 1},
                             {"DeleteAsync /tmp/c/w/d", 1},
                             {"DeleteAsync " + kLongPath, 1},
                             {"UnzipAsync /tmp/big.zip /tmp/c/big", 1},
                             {"UnzipKill", kAny},
                             {"Unzip /tmp/big.zip /tmp/c/s", 1}};

// Ids as odd as JSON allows, numbered by the line so that neighbours differ;
// each comes back as written.
const char* const kIds[] = {
    "#",         "-#.50", "#E400", "18446744073709551616#", "\"#,}\"", "[#,{\"a\":\"]\"}]",
    "{\"n\":#}", "-0",    "null"};

std::string Id(Dice& d, size_t n) {
  std::string id = kIds[d.Int(0, std::size(kIds) - 1)];
  size_t at = id.find('#');
  return at == id.npos ? id : id.replace(at, 1, std::to_string(n));
}

// A line sent as text; what it gets back: an error line (reply discarded),
// or the reply to its words' command, with the id it was sent with.
void AddLine(Plan& p, const std::string& text, json reply, const std::string& words = "",
             const std::string& id = "") {
  p.input += text + "\n";
  std::string cmd = words.substr(0, words.find(' '));
  int kind = cmd == "DeleteAsync" ? 0 : cmd == "UnzipAsync" ? 3 : -1;
  const char* data = words.find(kLongPath) == std::string::npos ? "1" : "0";
  json event = {{"event", kind}, {"data", json::array({data, " "})}};
  if (cmd == "Move") reply = p.bCopied ? 1 : -5, p.bCopied = false;
  p.bCopied = p.bCopied || words == kCommands[3].words;
  p.bUnzipKill = p.bUnzipKill || words == "UnzipKill";
  p.expects.push_back({cmd, id, reply, kind < 0 ? json() : event, p.input.size()});
}

// A command in word form, or in JSON form with an odd id.
void AddLine(Dice& d, Plan& p, const Command& c) {
  if (d.Chance(50)) return AddLine(p, c.words, c.reply, c.words);
  std::string id = Id(d, p.expects.size()), rest = c.words, line = "{\"id\":" + id + ",\"cmd\":\"";
  for (size_t n = 0, at; !rest.empty(); ++n, rest.erase(0, at == rest.npos ? at : at + 1)) {
    at = rest.find(' ');
    line += (n == 0 ? "" : n == 1 ? "\",\"params\":[\"" : "\",\"") + rest.substr(0, at);
  }
  AddLine(p, line + (c.words.find(' ') == c.words.npos ? "\"}" : "\"]}"), c.reply, c.words, id);
}

// A step once the input so far is written; by default it awaits its answers.
void Mark(Plan& p, Step::Kind kind, long ms = 0, size_t wait = SIZE_MAX) {
  p.steps.push_back({kind, ms, std::min(wait, p.expects.size()), p.input.size()});
}

// A reply far longer than one atomic write (an unknown command's long name).
void AddLong(Dice& d, Plan& p, int lo, int hi) {
  std::string name(d.Int(lo, hi), 'Q');
  AddLine(d, p, {name, nullptr});
}

// Commands (with the long-running ones when bWork), refused lines (three
// kinds, one with its id: parsing is another test's) and long replies.
void AddCommands(Dice& d, Plan& p, int n, bool bWork) {
  for (; n > 0; --n) {
    int roll = d.Int(0, 99);
    if (roll < 80) {
      AddLine(d, p, kCommands[d.Int(0, (bWork ? std::size(kCommands) : kQuick) - 1)]);
    } else if (roll < 84) {
      std::string id = Id(d, p.expects.size());
      AddLine(p, "{\"id\":" + id + ",\"cmd\":\"GetName\",\"params\":[1]}", kAny, "", id);
    } else if (roll < 92) {
      AddLine(p, d.Chance(50) ? "{\"cmd\":" : "GetName " + std::string(d.Int(65600, 90000), 'x'),
              kAny);
    } else if (bWork) {
      AddLong(d, p, 33000, 65000);
    }
  }
}

// Stdout one of outs, the log level and the signal. Every round lets the module accept paths
// under /tmp; a job on the FIFO keeps a tool (and, once input ends, the host) waiting until the
// round releases it. Rounds in a row send the ending signals in turn, so that a short run sends
// each: of eight seeds, the five that end with one (an answers round every other time, the
// signal and burst rows always) take the next five of the list.
void Begin(Dice& d, Plan& p, uint64_t seed) {
  p.bNonBlocking = d.Chance(50);
  p.logLevel = std::max(0, d.Int(-2, 4));
  const uint64_t kTurn[] = {0, 0, 1, 2, 0, 0, 3, 4};
  p.sig = kSignals[(seed / 8 * 5 + kTurn[seed % 8]) % std::size(kSignals)];
  AddLine(d, p, {"SetWidgetInfo 1 x", 1});
  AddLine(d, p, {"UnzipAsync /tmp/fifo /tmp/c/o", 1});
}

// Jobs, some of them refused by the worker (its event says "0"): it ends at
// once, while the command that started it is still being answered.
void AddDeletes(Dice& d, Plan& p, int n) {
  for (int i = 0; i < n; ++i) {
    AddLine(d, p,
            d.Chance(80) ? Command{"DeleteAsync /tmp/c/j/" + std::to_string(i), 1} : kCommands[9]);
  }
}

void AddTail(Dice& d, Plan& p) {
  p.bTail = true;
  p.input += std::string(kCanaryLine, d.Int(sizeof "Delete /tmp/c" - 1, sizeof kCanaryLine - 2));
}

// ---- The rows: what each round plays.

// Every line answered in order with its id and value, every job's event
// once, after its reply, with its contents, and the half line at the end
// refused, also to a reader that pauses (briefly or past the host's one
// second) on a pipe of one page that may be non-blocking, so that lines
// start on a full pipe and job events come while a long reply goes out; the
// host sleeps while it waits for input, for room on its output and, once
// input has ended, for a job. It was started with SIGHUP ignored, as nohup
// does, and a SIGHUP ends nothing; the round may end with another signal.
void RowAnswers(Dice& d, Plan& p, uint64_t seed) {
  Begin(d, p, seed);
  p.bNonBlocking = d.Chance(70);
  p.endSig = seed % 8 == 0 ? p.sig : 0;
  p.bNohup = p.endSig != SIGHUP;
  p.sig = SIGHUP;
  p.pipeSize = d.Chance(70) ? 4096 : 0;
  AddCommands(d, p, d.Int(1, 10), true);
  if (p.bNohup) Mark(p, Step::kSignal);
  Mark(p, Step::kQuiet);
  size_t answered = p.expects.size();
  long hold = d.Chance(90) ? d.Chance(40) ? d.Int(20, 400) : d.Int(2200, 3000) : 0;
  if (hold > 0) Mark(p, Step::kHold, hold);
  // Jobs that end while later ones start, a long reply goes out and a long
  // unzip runs: their events wait for the reply.
  AddDeletes(d, p, d.Int(40, 90));  // more than a page of answers
  AddLong(d, p, 5000, 20000);  // with the jobs, it fits the input pipe of a host that cannot write
  if (hold > 2000) Mark(p, Step::kQuiet, 0, answered);  // the host waits for room on its output
  AddLine(d, p, kCommands[std::size(kCommands) - 1]);
  AddCommands(d, p, d.Int(0, 10), true);
  AddTail(d, p);
}

// A reader that goes away, or none from the start: the host sleeps while
// a job keeps it, never runs what stands after the last "\n", and ends as
// at end of input.
void RowNoReader(Dice& d, Plan& p, uint64_t seed) {
  Begin(d, p, seed);
  p.out = d.Chance(50) ? Out::kPipe : d.Chance(50) ? Out::kClosed : Out::kPeerGone;
  p.sig = 0;
  AddCommands(d, p, d.Int(0, 8), false);
  bool bGoesLast = d.Chance(50);
  if (!bGoesLast) Mark(p, Step::kGo);
  AddCommands(d, p, d.Int(0, 5), false);
  if (bGoesLast || d.Chance(50)) AddTail(d, p);
  if (bGoesLast) Mark(p, Step::kGo);
}

// An ending signal while a reply is half written: to a reader that has
// stalled and resumes soon after, or to a reader slower than a page a
// second, the line is finished however long it takes; the tools end. The
// host stuck on its output sleeps.
void RowSignal(Dice& d, Plan& p, uint64_t seed) {
  Begin(d, p, seed);
  bool bStall = d.Chance(50);
  p.bSlowOut = !bStall;
  p.pipeSize = bStall ? 16384 : 4096;
  p.bNonBlocking = bStall ? d.Chance(70) : p.bNonBlocking;
  p.holdMs = bStall ? d.Int(100, 600) : 0;
  AddCommands(d, p, d.Int(0, 5), false);
  if (bStall) Mark(p, Step::kHold, kStallMs);  // bounded: a host stuck on its output reads no input
  bStall ? AddLong(d, p, 20000, 60000) : AddLong(d, p, 4500, 6000);
  if (bStall) Mark(p, Step::kQuiet, 0, p.expects.size() - 1);
  Mark(p, Step::kSignal, bStall ? d.Int(0, 300) : d.Int(300, 800), p.expects.size() - 1);
  AddCommands(d, p, d.Int(0, 5), false);
}

// A signal while hundreds of jobs start their tools, or once they have
// ended and the host sleeps, still ends every tool; their answers to a
// reader that pauses on one page are whole and in order.
void RowBurst(Dice& d, Plan& p, uint64_t seed) {
  Begin(d, p, seed);
  p.cuts = 0;  // sent at once, so that the jobs start together
  p.pipeSize = 4096;
  long hold = d.Chance(50) ? d.Int(100, 800) : d.Int(2200, 3000);
  Mark(p, Step::kHold, hold);
  AddDeletes(d, p, 300);
  if (hold > 2000) Mark(p, Step::kQuiet, 0, 2);  // the host waits for room on its output
  if (d.Chance(30)) Mark(p, Step::kQuiet);
  Mark(p, Step::kSignal, 0, d.Int(20, 250));
}

void (*const kRows[])(Dice&, Plan&, uint64_t) = {RowAnswers, RowNoReader, RowSignal, RowBurst};

// The input cut at random byte boundaries and at the marks, each chunk
// after a random pause; a mark follows the chunk that ends where it stands.
Plan MakePlan(uint64_t seed) {
  Dice d(seed);
  Plan p;
  kRows[seed % std::size(kRows)](d, p, seed);
  std::vector<size_t> cuts = {0, p.input.size()};
  for (const Step& mark : p.steps) cuts.push_back(mark.at);
  for (int n = d.Int(0, p.cuts); n > 0; --n) cuts.push_back(d.Int(1, p.input.size() - 1));
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  std::vector<Step> steps;
  for (size_t i = 1; i < cuts.size(); ++i) {
    int roll = d.Int(0, 99), pause = roll < 50 ? 0 : roll < 90 ? d.Int(1, 30) : d.Int(50, 300);
    steps.push_back({Step::kChunk, pause, 0, cuts[i]});
  }
  steps.insert(steps.end(), p.steps.begin(), p.steps.end());
  std::stable_sort(steps.begin(), steps.end(), [](auto& a, auto& b) { return a.at < b.at; });
  p.steps = steps;
  return p;
}

const char kRun[] = "/opt/xapFileSystem";  // the copy of the program that rounds start

void CloseFd(int* pfd) {
  if (*pfd >= 0) close(*pfd);
  *pfd = -1;
}

// How long the program's threads have run or waited to run, in ms: a spin
// counts in full however loaded the machine is, a sleeping thread not at all.
// -1 when no thread's figures can be read (a kernel without them).
long BusyMs(pid_t pid) {
  unsigned long long ns = 0, run = 0, wait = 0;
  bool bRead = false;
  std::error_code e;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", e)) {
    FILE* f = fopen((task.path() / "schedstat").c_str(), "r");
    if (f && fscanf(f, "%llu %llu", &run, &wait) == 2) ns += run + wait, bRead = true;
    if (f) fclose(f);
  }
  return bRead ? static_cast<long>(ns / 1000000) : -1;
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
  std::string buf;  // stdout: the line not yet ended; stderr: its last bytes
  // When it may read next; when data last came; after the signal, when the
  // reader last was taking.
  Clock::time_point next, last, lastTake;
  long longestIdleMs = 0;  // after the signal: the longest time it took nothing
};

class Round {
 public:
  explicit Round(const Plan& plan) : m_plan(plan) {}

  // Runs the round; returns what was wrong, each as "[check] text".
  std::vector<std::string> Run() {
    Start();
    for (const Step& step : m_plan.steps) {
      Pump(step.kind == Step::kHold ? 0 : step.ms);
      if (step.kind == Step::kChunk) Write(step.at);
      if (step.kind != Step::kChunk) WaitAnswers(step.waitAnswers);
      if (step.kind == Step::kHold) m_out.next = Clock::now() + Ms(step.ms);
      if (step.kind == Step::kSignal) Signal(m_plan.sig);
      if (step.kind == Step::kGo) CloseFd(&m_out.fd), m_bReaderGone = true;
      if (step.kind == Step::kGo || step.kind == Step::kQuiet) Measure();
    }
    Finish();
    CheckLeftovers();
    CheckEnd();
    return m_failures;
  }

 private:
  void Fail(std::string c, const std::string& s) { m_failures.push_back("[" + c + "] " + s); }

  // The program's streams as planned; the driver's own ends are non-blocking
  // so that one loop serves them all.
  void Start() {
    int in[2], out[2] = {-1, -1}, err[2];
    Out o = m_plan.out;
    bool bOk = pipe2(in, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0 &&
               (o == Out::kClosed || pipe2(out, O_CLOEXEC) == 0);
    if (o == Out::kPeerGone) CloseFd(&out[0]);
    if (m_plan.bNonBlocking) fcntl(out[1], F_SETFL, O_NONBLOCK);
    // A small buffer for the reader that stalls or is slow.
    if (!bOk || (m_plan.pipeSize > 0 && fcntl(out[0], F_SETPIPE_SZ, m_plan.pipeSize) < 0)) {
      perror("chaos: the program's streams");
      exit(1);
    }
    m_bReaderGone = o == Out::kClosed || o == Out::kPeerGone;
    m_pid = fork();
    if (m_pid == 0) Exec(in[0], out[1], err[1]);
    for (int fd : {in[0], out[1], err[1]}) close(fd);  // -1 for none
    for (int fd : {in[1], out[0], err[0]}) fcntl(fd, F_SETFL, O_NONBLOCK);
    m_in = in[1], m_out.fd = out[0], m_err.fd = err[0];
  }

  [[noreturn]] void Exec(int in, int out, int err) {
    setpgid(0, 0);  // a terminal's Ctrl-C is for the driver
    dup2(in, STDIN_FILENO);
    if (dup2(out, STDOUT_FILENO) < 0) close(STDOUT_FILENO);  // none planned: closed
    dup2(err, STDERR_FILENO);
    // Every signal at its default, however the driver was started (a
    // shell's background job ignores SIGINT and SIGQUIT, and the host keeps
    // what it finds ignored); SIGHUP ignored as nohup does.
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    if (m_plan.bNohup) signal(SIGHUP, SIG_IGN);
    std::string level = std::to_string(m_plan.logLevel);
    if (chdir("/tmp") == 0) execl(kRun, kRun, "--log-level", level.c_str(), nullptr);
    _exit(127);
  }

  // Whether the program has ended; leaves it a zombie so that its CPU time
  // can still be read.
  bool Exited() {
    siginfo_t si = {};
    if (!m_bExited) waitid(P_PID, m_pid, &si, WEXITED | WNOHANG | WNOWAIT);
    return m_bExited = m_bExited || si.si_pid == m_pid;
  }

  // Serves the program's output for ms: stdout read as the plan's reader
  // does (slow, holding, gone), stderr drained. After the
  // signal it notes how long each reader took nothing.
  void Pump(long ms) {
    Clock::time_point until = Clock::now() + Ms(ms);
    do {
      Stream* streams[] = {&m_out, &m_err};
      struct pollfd fds[2];
      for (int i = 0; i < 2; ++i) {
        Stream& s = *streams[i];
        bool bDue = s.fd >= 0 && Clock::now() >= s.next;
        if (m_bSigSent && !Exited()) {
          if (bDue) s.lastTake = Clock::now();
          s.longestIdleMs = std::max(s.longestIdleMs, MsSince(s.lastTake));
        }
        fds[i] = {bDue ? s.fd : -1, POLLIN, 0};
      }
      poll(fds, 2, static_cast<int>(std::clamp(-MsSince(until), 0L, 5L)));
      for (int i = 0; i < 2; ++i) {
        if (fds[i].revents != 0) Take(*streams[i], i == 0);
      }
    } while (Clock::now() < until);
  }

  // Reads what the stream's reader takes at once; closes it at its end.
  void Take(Stream& s, bool bStdout) {
    static char buf[1 << 16];
    bool bSlow = bStdout && m_plan.bSlowOut;
    ssize_t n = read(s.fd, buf, bSlow ? kSlowBytes : sizeof buf);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) CloseFd(&s.fd);
    if (n <= 0) return;
    s.last = Clock::now();
    if (bSlow) s.next = s.last + Ms(kSlowEveryMs);
    s.buf.append(buf, static_cast<size_t>(n));
    if (!bStdout) s.buf.erase(0, s.buf.size() > 300 ? s.buf.size() - 300 : 0);
    for (size_t nl; bStdout && (nl = s.buf.find('\n')) != s.buf.npos; s.buf.erase(0, nl + 1)) {
      Consume(s.buf.substr(0, nl));
    }
  }

  // Checks one stdout line as it comes: a JSON object, an event that a job
  // whose reply has come awaits, or the next answer in input order.
  void Consume(const std::string& line) {
    // The id as sent is taken off first: the parser has no room for 1E400.
    std::string id = m_answers < m_plan.expects.size() ? m_plan.expects[m_answers].id : "";
    bool bIdAsSent = !id.empty() && line.rfind("{\"id\":" + id + ",", 0) == 0;
    json j = json::parse(bIdAsSent ? "{" + line.substr(id.size() + 7) : line, nullptr, false);
    size_t sent = 0;  // lines sent whole so far
    while (sent < m_plan.expects.size() && m_plan.expects[sent].end <= m_written) ++sent;
    if (!j.is_object()) {
      Fail("json", "stdout line is not one JSON object (or not with the id sent): " + Clip(line));
    } else if (j.contains("event")) {
      // Jobs of one kind and outcome look alike from outside: an event is
      // matched to one of them whose reply has come and whose event has not.
      auto it = std::find(m_pending.begin(), m_pending.end(), j);
      if (it != m_pending.end()) {
        m_pending.erase(it);
      } else if (m_failures.empty()) {
        Fail("event", "no job whose reply came awaits " + Clip(line));
      }
    } else if (size_t k = m_answers++; !m_failures.empty()) {
      // Counted only: once the order is broken, what follows is not matched.
    } else if (k < sent) {
      Match(m_plan.expects[k], j, bIdAsSent, line, k);
    } else if (m_plan.bTail && m_in < 0 && k == m_plan.expects.size() &&
               m_written == m_plan.input.size() && j.contains("error") && !j.contains("id")) {
      m_bTailAnswered = true;  // once input has ended (after a signal, only after the program)
    } else {
      Fail("tail", "an answer to bytes not ended by \"\\n\": " + Clip(line));
    }
  }

  // An answer is the line's own: its id as sent (or none), an error for a
  // refused line, else the reply the command must give.
  void Match(const Expect& e, const json& j, bool bIdAsSent, const std::string& line, size_t k) {
    bool bId = e.id.empty() ? !j.contains("id") : bIdAsSent;
    bool bOk = e.cmd.empty() ? j.contains("error") && !j.contains("ok")
                             : j.value("cmd", json()) == e.cmd && j.contains("reply") &&
                                   j.value("ok", json()) == !e.reply.is_null() &&
                                   (e.reply.is_discarded() || j["reply"] == e.reply);
    if (!bId || !bOk) return Fail("order", "answer " + std::to_string(k) + ": " + Clip(line));
    if (!e.event.is_null()) m_pending.push_back(e.event);
  }

  // Writes bytes as the program takes them. A host whose reader has gone
  // may stop reading at once, so a full pipe ends the writing then;
  // otherwise it is a hang after a while.
  void Write(size_t end) {
    for (Clock::time_point last = Clock::now(); m_written < end && !m_bInputBroken; Pump(2)) {
      ssize_t n = write(m_in, m_plan.input.data() + m_written, end - m_written);
      if (n > 0) m_written += static_cast<size_t>(n), last = Clock::now();
      bool bFull = n < 0 && errno == EAGAIN && !m_bReaderGone;
      if (n < 0 && (!bFull || MsSince(last) > kHangMs)) {
        if (bFull) Fail("hang", "input not read for 20 s");
        m_bInputBroken = true;
      }
    }
  }

  // Waits until n answers have come, when they can; only output that stops
  // coming for a long time is a hang.
  void WaitAnswers(size_t n) {
    for (Clock::time_point t = Clock::now(); m_answers < n && m_out.fd >= 0 && !Exited(); Pump(5)) {
      if (MsSince(std::max(t, m_out.last)) > kHangMs) return Fail("hang", "no answer for 20 s");
    }
  }

  // How busy the program is over a window in which it has nothing to do:
  // the answers awaited have come (a reply follows its command's work), the
  // tools of its jobs but the FIFO's have ended. Only a program still
  // running at the window's end is judged.
  void Measure() {
    Clock::time_point t = Clock::now();
    bool bHeld = m_out.fd >= 0 && m_out.next > t;  // stuck on its output until the reader resumes
    // Jobs start their tools one at a time, which may leave moments with
    // none running: none for 300 ms (what a job's end writes comes then).
    Clock::time_point toolSeen = t;
    while (MsSince(toolSeen) < 300) {
      if (Exited()) return;
      if (MsSince(t) > kHangMs) return Fail("hang", "still working 20 s after its last line");
      if (OtherProcesses().size() > 2) toolSeen = Clock::now();
      Pump(20);
    }
    // A reader that resumes within the window sets the host to work again.
    if (bHeld && m_out.next < Clock::now() + Ms(kMeasureMs)) return;
    long before = BusyMs(m_pid);
    Clock::time_point since = Clock::now();
    Pump(kMeasureMs);
    long used = BusyMs(m_pid) - before, wall = MsSince(since);
    if (Exited()) return;
    if (before < 0) return Fail("cpu", "the threads' run and wait times cannot be read");
    if (used <= kIdleCpuShare * wall) return;
    Fail("cpu", std::to_string(used) + " ms busy in " + std::to_string(wall) + " ms idle");
  }

  // Sends sig once a tool runs (the FIFO's, unless UnzipKill ended it) that it must end.
  void Signal(int sig) {
    bool bEnding = !(m_plan.bNohup && sig == SIGHUP), bTool = bEnding && !m_plan.bUnzipKill;
    for (Clock::time_point t = Clock::now(); bTool && OtherProcesses().size() < 2; Pump(20)) {
      if (MsSince(t) > kHangMs) return Fail("signal", "no tool up 20 s after the FIFO job began");
    }
    m_bSigSent = !Exited() && kill(m_pid, sig) == 0 && bEnding;
    m_sig = sig;
    m_out.lastTake = m_err.lastTake = Clock::now();
    // A stalled reader resumes holdMs from now.
    if (m_plan.holdMs > 0) m_out.next = std::min(m_out.next, Clock::now() + Ms(m_plan.holdMs));
  }

  // Ends the input, lets the job on the FIFO end unless a signal ends the
  // round, and waits for the program; one that hangs is killed with all
  // the rest. Then reads what is left.
  void Finish() {
    // After a signal, input ends only once the program has: a host that has
    // not yet taken the signal may answer an end of input as it should.
    Clock::time_point t = Clock::now();
    while (m_bSigSent && !Exited() && MsSince(t) < kHangMs) Pump(20);
    CloseFd(&m_in);
    if (!m_bSigSent && !m_bReaderGone) {
      WaitAnswers(m_plan.expects.size());  // the tail's error line is looked for at the end
      Measure();                           // input ended, a job waits on the FIFO
      if (m_plan.endSig != 0) Signal(m_plan.endSig);
    }
    for (t = Clock::now(); !Exited() && MsSince(t) < kHangMs; Pump(50)) {
      if (!m_bSigSent) close(open("/tmp/fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    }
    if (!Exited()) {
      Fail("hang", "still running 20 s after the round ended");
      for (pid_t pid : OtherProcesses()) kill(pid, SIGKILL);
      m_bKilled = true;
    }
    waitpid(m_pid, &m_status, 0);
    for (t = Clock::now(); m_out.fd >= 0 || m_err.fd >= 0; Pump(10)) {
      if (MsSince(std::max({t, m_out.last, m_err.last})) > 5000) break;
    }
  }

  // No tool may outlive the program: orphans come to the driver, the
  // namespace's first process, so /proc must soon hold the driver alone.
  void CheckLeftovers() {
    std::vector<pid_t> left;
    for (Clock::time_point t = Clock::now(); MsSince(t) < kLeftoverMs; usleep(20000)) {
      while (waitpid(-1, nullptr, WNOHANG) > 0) continue;
      if ((left = OtherProcesses()).empty()) return;
    }
    for (pid_t pid : left) kill(pid, SIGKILL);
    Fail("leftover", std::to_string(left.size()) + " still running after the program ended");
    while (waitpid(-1, nullptr, 0) > 0) continue;
  }

  // A stream that ends inside a line: never without a signal; after one,
  // only when its reader took nothing for a while.
  void CheckWhole(const Stream& s, const char* name) {
    if (m_bKilled || s.fd >= 0 || s.buf.empty() || s.buf.back() == '\n') return;
    if (!m_bSigSent) return Fail("json", std::string(name) + " ends inside a line: " + Clip(s.buf));
    if (s.longestIdleMs >= kSignalGraceMs) return;
    // Its reader took something in every kSignalGraceMs after the signal.
    Fail("cut", std::string(name) + ": " + std::to_string(s.longestIdleMs) + " ms: " + Clip(s.buf));
  }

  void CheckEnd() {
    for (const char* dir : kCanaries) {
      if (!fs::is_directory(dir)) Fail("tail", std::string(dir) + " is gone: a cut line ran");
    }
    if (!m_bReaderGone) CheckWhole(m_out, "stdout");
    CheckWhole(m_err, "stderr");
    // A signal at the round's end comes once every answer has.
    bool bAllDue = !m_bSigSent || m_plan.endSig != 0;
    if (bAllDue && !m_bReaderGone && m_failures.empty() && !m_bInputBroken) {
      if (m_plan.bTail && !m_bTailAnswered) Fail("tail", "no error line for the half line");
      if (m_answers != m_plan.expects.size() + m_bTailAnswered) Fail("order", "answers missing");
      if (!m_bSigSent && !m_pending.empty())
        Fail("event", "no event for a job, as for " + m_pending[0].dump());
    }
    int code = WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 128 + WTERMSIG(m_status);
    if (code != (m_bSigSent ? 128 + m_sig : 0) && !m_bKilled)
      Fail("status", std::to_string(code) + "; stderr: " + m_err.buf);
  }

  const Plan& m_plan;
  pid_t m_pid = -1;
  int m_in = -1, m_status = 0, m_sig = 0;
  Stream m_out, m_err;
  size_t m_written = 0, m_answers = 0;
  std::vector<json> m_pending;  // events of accepted jobs not yet come
  bool m_bExited = false, m_bKilled = false, m_bReaderGone = false;
  bool m_bInputBroken = false, m_bSigSent = false, m_bTailAnswered = false;
  std::vector<std::string> m_failures;
};

// ---- The namespace and the rounds.

// Private mounts, a fresh /proc, tmpfs on /tmp and /opt; then the program
// (opened before, as /tmp may hold it) copied to /opt, which no command may
// reach, the FIFO and the large archive (100 MiB of zeros) that rounds use.
bool PrepareNamespace(const std::string& program) {
  std::string make =
      "exec 3<'" + program + "' && mount --make-rprivate / && mount -t proc " +
      "-o nosuid,nodev,noexec proc /proc && mount -t tmpfs -o size=512m chaos /tmp " +
      "&& mount -t tmpfs -o size=64m chaos /opt && cp /proc/self/fd/3 " + kRun +
      " && mkfifo /tmp/fifo && head -c 104857600 /dev/zero >/tmp/zero && " +
      "/usr/bin/zip -q -j /tmp/big.zip /tmp/zero && rm /tmp/zero";
  return system(make.c_str()) == 0;
}

// Plays rounds until one fails, rounds have been played or seconds passed.
int RunRounds(std::map<std::string, std::string>& arg) {
  // Rounds -1: as many as the seconds allow.
  unsigned long long seed0 = strtoull(arg["--seed"].c_str(), nullptr, 10),
                     rounds = strtoull(arg["--rounds"].c_str(), nullptr, 10);
  long ms = atol(arg["--seconds"].c_str()) * 1000;
  // A fresh /tmp/c for each round: the work folder, the canaries and a
  // fan-out of links.
  std::string fresh = "rm -rf /tmp/c && mkdir -p /tmp/c/w /tmp/c/fan";
  for (const char* dir : kCanaries) fresh += std::string(" ") + dir;
  fresh += " && echo chaos >/tmp/c/w/a && ln -s . /tmp/c/fan/a && ln -s . /tmp/c/fan/b";
  Clock::time_point start = Clock::now();
  for (unsigned long long seed = seed0; seed - seed0 != rounds && MsSince(start) < ms; ++seed) {
    if (system(fresh.c_str()) != 0) return 1;
    std::vector<std::string> failures = Round(MakePlan(seed)).Run();
    printf("chaos: seed %llu: %s\n", seed, failures.empty() ? "ok" : "FAILED");
    for (const std::string& f : failures) printf("  %s\n", f.c_str());
    if (failures.empty()) continue;
    printf("  replay: %s --program %s --seed %llu --rounds 1\n", program_invocation_name,
           arg["--program"].c_str(), seed);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> arg = {{"--seconds", "60"}, {"--rounds", "-1"}};
  arg["--seed"] = std::to_string(std::random_device()());
  for (int i = 1; i + 1 < argc; i += 2) arg[argv[i]] = argv[i + 1];
  // Resolved now: the namespace's /tmp covers whatever lives there.
  std::error_code e;
  arg["--program"] = fs::canonical(arg["--program"], e);
  if (argc % 2 == 0 || e || arg.size() != 4) {
    fprintf(stderr, "usage: xap_chaos --program PATH [--seconds|--seed|--rounds N]...\n");
    return 2;
  }
  // Standard descriptors closed at start would be taken by the pipes, which
  // then could not be moved onto the program's 0, 1 and 2.
  for (int fd = 0; fd >= 0 && fd < 3;) fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (geteuid() != 0 || unshare(CLONE_NEWNS | CLONE_NEWPID) != 0) {
    fprintf(stderr, "chaos: skipped: a PID and mount namespace needs root\n");
    return 77;  // ctest's skip
  }
  pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // the namespace goes with the driver
    signal(SIGPIPE, SIG_IGN);
    return PrepareNamespace(arg["--program"]) ? RunRounds(arg) : 1;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) continue;
  // No exit handlers: with the namespace's first process gone, this process
  // can start no thread or process any more (a leak checker's would fail).
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}
