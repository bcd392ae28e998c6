// Catches faults where the process meets the world: replies out of order
// or not JSON, log lines at the wrong level, options, signals, readers that
// are slow, non-blocking or gone, a terminal, a hostile PATH.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "TestSupport.h"

using xaptest::InFolder;
using xaptest::ModuleProcess;

TEST(Process, AnswersEachLineInOrderAndGoesOnAfterRefusedOnes) {
  ModuleProcess module;
  module.Send("{\"id\": 1, \"cmd\": \"GetName\"}\n\n \t\n{\"id\": 2, \"cmd\": \"GetName\"\nX " +
              std::string(70000, 'y') + "\nWriteBase64 hello 5\r\nGet\xff\xc3Name\n" +
              "ReadBase64 /w== 4\n{\"id\": null, \"cmd\": \"GetName\"}\nGetName");  // no "\n"
  module.CloseInput();
  EXPECT_EQ(module.Wait(), 0);
  EXPECT_EQ(
      module.RestOfStdout(),
      "{\"id\":1,\"cmd\":\"GetName\",\"ok\":true,\"reply\":\"FileSystem\"}\n"
      "{\"error\":\"invalid JSON at byte 27\"}\n{\"error\":\"line: over 65536 bytes\"}\n"
      "{\"cmd\":\"WriteBase64\",\"ok\":true,\"reply\":\"{\\\"b64_encode\\\": \\\"aGVsbG8=\\\", "
      "\\\"size\\\": 8 }\"}\n"
      "{\"cmd\":\"Get\xef\xbf\xbd\xef\xbf\xbdName\",\"ok\":false,\"reply\":null}\n"
      "{\"cmd\":\"ReadBase64\",\"ok\":true,\"reply\":\"{\\\"b64_decode\\\": \\\"\xef\xbf\xbd\\\", "
      "\\\"size\\\": 1 }\"}\n"
      "{\"id\":null,\"cmd\":\"GetName\",\"ok\":true,\"reply\":\"FileSystem\"}\n"
      "{\"error\":\"line: no \\\"\\\\n\\\" before end of input\"}\n");
}

// CPU time (user and system) of a process in ticks, also of a zombie.
long CpuTicks(pid_t pid) {
  long ticks = -1;
  std::istringstream(
      xaptest::ShellOutput("awk '{print $14 + $15}' /proc/" + std::to_string(pid) + "/stat")) >>
      ticks;
  return ticks;
}

// Whatever its streams are, a host with nothing to do sleeps (with a job
// waiting: below).
TEST_F(InFolder, AnIdleHostUsesNoCpu) {
  int sockets[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
  close(sockets[1]);  // the peer has gone
  const std::pair<std::string, xaptest::ModuleOptions> rows[] = {
      {"stdout closed", {{">&-"}}},
      {"a socket", {{}, false, false, sockets[0]}},
      {"a file", {{">" + d + "out"}}},
      {"/dev/null", {{">/dev/null"}}},
      {"a pipe", {}}};
  for (const auto& r : rows) {
    ModuleProcess module(r.second);
    usleep(500000);
    long before = CpuTicks(module.Pid());
    usleep(1000000);
    EXPECT_LE(CpuTicks(module.Pid()) - before, 10) << r.first;  // of about 100 per second
  }
  close(sockets[0]);
}

// Whether line N of one of the module's units holds a log statement or a
// log site handed to a step.
bool LogsAtLine(int line) {
  return !xaptest::ShellOutput("cd " XAP_SOURCE_DIR "/FileSystem/Src && awk 'FNR == " +
                               std::to_string(line) + " && /XAP_[A-Z_]+/' Xap*.cpp")
              .empty();
}

// The level-0 lines each command is meant to give the caller, whole (a
// walk's beginning), and nothing below level 0; each line names the
// function it stands for and a line that logs, shown here as "F(N)".
TEST(Process, TellsTheCallerWhatWentWrongAtLevelZero) {
  const std::pair<std::string, std::string> rows[] = {
      {"GetFolderSize /proc/self 1 0", ""},  // follows no link: never cut
      {"getname", "Execute(N)] Unknow Cmd = [getname]\n"},
      {"{\"cmd\":\"\\u0010\"}", "Execute(N)] Unknow Cmd = [\\x10]\n"},
      {std::string(1100, 'x'), "Execute(N)] Unknow Cmd = [" + std::string(1100, 'x') + "]\n"},
      {"{\"cmd\":\"a\\nb\"}", "Execute(N)] Unknow Cmd = [a\\nb]\n"},  // one line
      {"GetName", ""},
      {"WriteBase64 hello 4", "Execute(N)] parameter wrong size size = [5]\n"},
      {"WriteBase64 " + std::string(2048, 'a') + " 2048",
       "Execute(N)] output size . overflow strParam\\tsize = [2732]\n"},
      {"WriteBase64 " + std::string(1501, 'a') + " 1501",
       "Execute(N)] output size . overflow strParam\\tsize = [2004]\n"},
      {"ReadBase64 " + std::string(2049, 'a') + " 1",
       "Execute(N)] overflow strParam  size = [2049]\n"},
      {"SetWidgetInfo two x", "Execute(N)] WidgetType is not a whole number: [two]\n"},
      {"GetFolderSize /proc/self 1 1", "GetFolderSize(N)] folder walk of [/proc/self] cut after "},
      {"SetWidgetInfo 1 x", ""},
      {"DeleteAsync /tmp/" + std::string(240, 'd'),
       "t_AsyncThread(N)] overflow pszString size = [277] ( 255 char size limited )\n"}};
  ModuleProcess module;
  size_t logged = 0;
  for (const auto& r : rows) {
    module.Ask(r.first);
    if (r.first.rfind("DeleteAsync", 0) == 0) module.ReadLine();  // its event
    std::string log = module.Stderr().substr(logged), shown;
    logged += log.size();
    for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
      EXPECT_EQ(log.compare(at, 9, "L0 [QOM]["), 0) << log.substr(at, 80);
      size_t open = log.find('(', at), close = log.find(")] ", open);
      std::string function = log.substr(at + 9, open - at - 9);
      EXPECT_TRUE(LogsAtLine(std::atoi(log.c_str() + open + 1))) << log.substr(at, close - at);
      shown += function + "(N" + log.substr(close, end + 1 - close);
    }
    EXPECT_EQ(
        r.second.empty() || r.second.back() == '\n' ? shown : shown.substr(0, r.second.size()),
        r.second)
        << r.first.substr(0, 40);
  }
}

TEST(Process, Options) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // beginnings
  } rows[] = {{{"--version"}, 0, "FileSystem 0001 1.001\n", ""},
              {{"--help"}, 0, "usage: xapFileSystem", ""},
              {{"--log-level=4", "--version"}, 0, "FileSystem 0001 1.001\n", ""},
              {{"--bogus"}, 2, "", "xapFileSystem: bad option '--bogus'\nusage: xapFileSystem"},
              {{"--log-level", "5"}, 2, "", "xapFileSystem: bad option '--log-level'"},
              {{"--log-level"}, 2, "", "xapFileSystem: bad option '--log-level'"}};
  for (const auto& r : rows) {
    ModuleProcess module(xaptest::ModuleOptions{r.args});
    module.CloseInput();
    EXPECT_EQ(module.Wait(), r.status) << r.args[0];
    EXPECT_EQ(module.RestOfStdout().substr(0, r.out.size()), r.out) << r.args[0];
    EXPECT_EQ(module.Stderr().substr(0, r.err.size()), r.err) << r.args[0];
  }
}

// Waits until the module's stdout pipe is full: over 60,000 bytes unread
// that stay so for 100 ms (small lines leave its pages part-filled).
bool StdoutFills(const ModuleProcess& module) {
  return xaptest::WaitFor(
      [&] {
        int n = module.Unread();
        usleep(100000);
        return n > 60000 && module.Unread() == n;
      },
      10000);
}

// A reader that made the pipe non-blocking and reads late gets every line
// whole. A reader that has gone ends the host, and what stands after the
// last "\n" ("Delete .../keep" of a writer that died in "Delete
// .../keep/cache") is dropped, never run; at end of input it is refused
// (the first test).
TEST_F(InFolder, ANonBlockingReaderThatReadsLateGetsEveryLineWholeAndHalfLinesNeverRun) {
  xaptest::Sh("mkdir -p " + d + "keep/cache");
  ModuleProcess module(xaptest::ModuleOptions{{}, true});
  std::string input = "SetWidgetInfo 1 x\n";
  for (int i = 0; i < 3000; ++i)
    input += "{\"id\":" + std::to_string(i) + ",\"cmd\":\"GetName\"}\n";
  module.Send(input + "Delete " + d + "keep");
  EXPECT_TRUE(StdoutFills(module));
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"SetWidgetInfo\",\"ok\":true,\"reply\":1}");
  for (int i = 0; i < 3000; ++i) {
    nlohmann::json j = nlohmann::json::parse(module.ReadLine(), nullptr, false);
    ASSERT_TRUE(j.is_object() && j["id"] == i) << i;
  }
  module.CloseOutput();
  module.CloseInput();
  EXPECT_EQ(module.Wait(5000), 0);
  EXPECT_TRUE(xaptest::Exists(d + "keep/cache"));
}

// Tools meet no broken pipe when stderr's reader has gone, never read the
// terminal (an encrypted archive fails instead of prompting there), and
// "killall" is taken from the system's folders, not the working folder.
TEST(World, ToolsWithAGoneStderrATerminalOrAHostilePath) {
  XAPTEST_ISOLATE();  // killall ends only this test's unzips
  xaptest::TempDir dir;
  const std::string d = dir.Path() + "/";
  xaptest::Sh("cd " + d + " && for i in $(seq 50); do echo $i > f$i; done && zip -q a.zip f* && " +
              "echo s > s && zip -q -P pw e.zip s && printf '#!/bin/sh\\ntouch canary\\n' > " +
              "killall && chmod +x killall && printf 'SetWidgetInfo 1 x\\nUnzip " + d + "e.zip " +
              d + "o\\nUnzipKill\\n' > in");
  ModuleProcess module(xaptest::ModuleOptions{{"--log-level", "3"}, false, true});
  EXPECT_EQ(module.Ask("SetWidgetInfo 1 x"), "1");
  // The asynchronous unzip prints a line for the archive and each entry.
  EXPECT_EQ(module.Ask("UnzipAsync " + d + "a.zip " + d + "out"), "1");
  EXPECT_EQ(module.ReadLine(), "{\"event\":3,\"data\":[\"1\",\" \"]}");
  EXPECT_EQ(xaptest::ReadFile(d + "out/f50"), "50\n");
  EXPECT_EQ(xaptest::ShellOutput("cd " + d + " && PATH=.:$PATH script -qec '" +
                                 xaptest::ModuleCommand() + " < in' /dev/null"),
            "{\"cmd\":\"SetWidgetInfo\",\"ok\":true,\"reply\":1}\r\n"
            "{\"cmd\":\"Unzip\",\"ok\":true,\"reply\":0}\r\n"
            "{\"cmd\":\"UnzipKill\",\"ok\":true,\"reply\":0}\r\n");
  EXPECT_FALSE(xaptest::Exists(d + "canary"));
}

// A reader that takes 16 KiB every 400 ms: more than a second in all.
std::string SlowlyRead(int fd) {
  std::string out;
  char buf[16384];
  for (ssize_t n; usleep(400000), (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, n);
  return out;
}

// Every ending signal ends the tools with the host; the line being written
// is finished first while the reader takes it, and none follows.
TEST(World, EveryEndingSignalEndsTheToolsAndFinishesTheLine) {
  XAPTEST_ISOLATE();  // counts unzips by name
  xaptest::TempDir dir;
  xaptest::Sh("mkfifo " + dir / "ff");
  const std::string id = "\"" + std::string(60000, 'i') + "\"",
                    reply = "{\"id\":" + id +
                            ",\"cmd\":\"GetName\",\"ok\":true,\"reply\":\"FileSystem\"}\n";
  const int ending[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,     SIGUSR1,
                        SIGUSR2, SIGALRM, SIGPROF, SIGRTMIN + 3};
  // The module gets them at their default however ctest was started (a
  // background job of a shell ignores SIGINT and SIGQUIT).
  for (int sig : ending) signal(sig, SIG_DFL);
  long idle = 0;
  for (int sig : ending) {
    ModuleProcess module;
    EXPECT_EQ(module.Ask("SetWidgetInfo 1 x"), "1");
    EXPECT_EQ(module.Ask("UnzipAsync " + dir / "ff " + dir / "o"), "1");
    // A failure ends the test: the rounds after it would only wait.
    ASSERT_TRUE(
        xaptest::WaitFor([] { return xaptest::ShellOutput("pgrep -c unzip") == "1\n"; }, 5000))
        << sig;
    long before = CpuTicks(module.Pid());
    usleep(500000);
    idle += CpuTicks(module.Pid()) - before;
    // The first reply fills the pipe; the second is being written.
    module.Send("{\"id\":" + id + ",\"cmd\":\"GetName\"}\n{\"id\":" + id +
                ",\"cmd\":\"GetName\"}\n");
    ASSERT_TRUE(StdoutFills(module)) << sig;
    module.Signal(sig);
    module.CloseInput();  // input that ends meanwhile is no end of input
    EXPECT_EQ(sig == SIGALRM ? SlowlyRead(module.StdoutFd()) : module.RestOfStdout(), reply + reply)
        << sig;
    ASSERT_EQ(module.Wait(5000), 128 + sig);
    ASSERT_EQ(xaptest::ProcessesLeft("unzip"), 0) << sig;
  }
  EXPECT_LE(idle, 45);      // of about 450 ticks while a job waited for the FIFO
  signal(SIGHUP, SIG_IGN);  // as nohup starts it: a hangup stays ignored
  ModuleProcess nohup;
  signal(SIGHUP, SIG_DFL);
  nohup.Signal(SIGHUP);
  EXPECT_EQ(nohup.Ask("GetName"), "\"FileSystem\"");
}

// After an ending signal the line being written is finished for a reader
// that takes 256 bytes every 0.25 s from a one-page pipe, however long it
// takes: a reply on stdout, a log line on stderr.
TEST(World, ASlowSteadyReaderGetsTheLineInFlightWholeAfterASignal) {
  const std::string name(5000, 'x');
  for (bool bStderr : {false, true}) {
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    std::vector<std::string> args;
    if (bStderr) args.push_back("2>&" + std::to_string(err[1]));
    ModuleProcess module(xaptest::ModuleOptions{args});
    close(err[1]);
    const int slow = bStderr ? err[0] : module.StdoutFd();
    ASSERT_EQ(fcntl(slow, F_SETPIPE_SZ, 4096), 4096);
    module.SendLine(name);
    ASSERT_TRUE(xaptest::WaitFor([slow] {
      int n = 0;
      return ioctl(slow, FIONREAD, &n) == 0 && n == 4096;
    }));
    module.Signal(SIGTERM);
    std::string got;
    char buf[256];
    for (ssize_t n; (n = read(slow, buf, sizeof buf)) > 0; usleep(250000)) got.append(buf, n);
    if (bStderr) {
      // Its first line; ThreadSanitizer may add a report of its own after
      // it (it misses the lock of a timed wait and reports the unlock).
      got = got.substr(0, got.find('\n') + 1);
      EXPECT_EQ(got.substr(0, 17), "L0 [QOM][Execute(");
      EXPECT_EQ(got.substr(got.find(')')), ")] Unknow Cmd = [" + name + "]\n");
    } else {
      EXPECT_EQ(got, "{\"cmd\":\"" + name + "\",\"ok\":false,\"reply\":null}\n");
    }
    EXPECT_EQ(module.Wait(), 128 + SIGTERM) << bStderr;
    close(err[0]);
  }
}

// An output that cannot take more (a full device, a file-size limit) stops
// the commands, is said at level 0, and fails the exit status; the file
// keeps whole lines only.
TEST_F(InFolder, AnOutputThatCannotTakeMoreIsSaidAndFailsTheSession) {
  xaptest::WriteFile(d + "a", "a");
  const struct {
    std::string prefix, out, reason;
  } rows[] = {{"", "/dev/full", "No space left on device"},
              {"prlimit --fsize=3000", d + "out", "File too large"}};
  std::string input = "SetWidgetInfo 1 x\n";
  for (int i = 0; i < 100; ++i) input += "GetName\n";
  for (const auto& r : rows) {
    ModuleProcess module(xaptest::ModuleOptions{{">" + r.out}, false, false, -1, r.prefix});
    module.Send(input + "Copy " + d + "a " + d + "b\n");
    module.CloseInput();
    EXPECT_EQ(module.Wait(), 1) << r.out;
    EXPECT_FALSE(xaptest::Exists(d + "b")) << r.out;
#ifdef XAP_TEST_COVERAGE
    // The counters' own failed writes fill the limited stderr first.
    if (!r.prefix.empty()) continue;
#endif
    EXPECT_EQ(module.Stderr(), "L0 [host] cannot write standard output: " + r.reason +
                                   "; replies lost: 1, events lost: 0\n");
  }
  const std::string written = xaptest::ReadFile(d + "out");
  EXPECT_GT(written.size(), 2500u);
  EXPECT_EQ(written.back(), '\n');
}

// A signal while hundreds of jobs start their tools still ends every tool.
TEST(World, ASignalDuringABurstOfJobsEndsEveryTool) {
  XAPTEST_ISOLATE();  // counts unzips by name
  xaptest::TempDir dir;
  xaptest::Sh("mkfifo " + dir / "ff");
  std::string burst = "SetWidgetInfo 1 x\nUnzipAsync " + dir / "ff " + dir / "o\n";
  for (int i = 0; i < 300; ++i) burst += "DeleteAsync " + dir / std::to_string(i) + "\n";
  ModuleProcess module;
  module.Send(burst);
  EXPECT_TRUE(xaptest::WaitFor([] { return xaptest::ShellOutput("pgrep -c unzip") == "1\n"; }));
  for (int i = 0; i < 100; ++i) module.ReadLine();  // jobs are starting
  module.Signal(SIGTERM);
  EXPECT_EQ(module.Wait(), 128 + SIGTERM);
  EXPECT_EQ(xaptest::ProcessesLeft("unzip"), 0);
}

// A parent that ignores SIGCHLD hands that on: the host still waits for its
// tools, whose results would otherwise all look failed.
TEST_F(InFolder, AParentIgnoringItsChildrenStillGetsTheToolsResults) {
  xaptest::WriteFile(d + "a", "a");
  ModuleProcess module(xaptest::ModuleOptions{{}, false, false, -1, "env --ignore-signal=CHLD"});
  xaptest::Transcript(module, {{"SetWidgetInfo 1 x", "1"},
                               {"Copy " + d + "a " + d + "sub/b", "1"},
                               {"Delete " + d + "sub", "1"}});
}
