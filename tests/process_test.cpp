// Catches faults where the process meets the world: replies out of order
// or not JSON, log lines at the wrong level, options, an output that cannot
// take more, a terminal, a hostile PATH, a parent that ignores SIGCHLD.
// (Signals, slow and gone readers: the chaos driver.)
#include <fcntl.h>
#include <sys/ioctl.h>

#include <chrono>
#include <thread>

#include "TestSupport.h"

using namespace xaptest;

// Blank lines get no answer, a line too long one error, bytes that are no
// UTF-8 come back as U+FFFD, and a last line without "\n" is refused.
// (Order, ids, long and cut lines among jobs and signals: the chaos driver.)
TEST(Process, AnswersEachLineOnceAndRefusesAHalfLine) {
  ModuleProcess module;
  module.Send("\n \t\nX " + std::string(70000, 'y') +
              "\nGet\xff\xc3Name\nReadBase64 /w== 4\nGetName");
  module.CloseInput();
  EXPECT_EQ(module.Wait(), 0);
  EXPECT_EQ(module.RestOfStdout(), R"({"error":"line: over 65536 bytes"}
{"cmd":"Get��Name","ok":false,"reply":null}
{"cmd":"ReadBase64","ok":true,"reply":"{\"b64_decode\": \"�\", \"size\": 1 }"}
{"error":"line: no \"\\n\" before end of input"}
)");
}

// The level-0 lines each command is meant to give the caller, whole, and
// nothing below level 0. (Base64's and a cut walk's: query_test.)
TEST(Process, TellsTheCallerWhatWentWrongAtLevelZero) {
  const std::string x497(497, 'x'), q = "L0 [QOM][";  // a message of 512 bytes
  const std::pair<std::string, std::string> rows[] = {
      {"{\"cmd\":\"\\u0010\"}", q + "Execute(N)] Unknow Cmd = [\\x10]\n"},
      {x497, q + "Execute(N)] Unknow Cmd = [" + x497 + "]\n"},
      {"{\"cmd\":\"a\\nb\"}", q + "Execute(N)] Unknow Cmd = [a\\nb]\n"},  // one line
      {"SetWidgetInfo two x", q + "Execute(N)] WidgetType is not a whole number: [two]\n"},
      {"DeleteAsync /tmp/" + std::string(240, 'd'),
       q + "t_AsyncThread(N)] overflow pszString size = [277] ( 255 char size limited )\n"}};
  ModuleProcess module;
  EXPECT_EQ(module.Ask("SetWidgetInfo 1 x"), "1");
  for (const auto& r : rows) {
    module.Ask(r.first);
    if (r.first.rfind("DeleteAsync", 0) == 0) module.ReadLine();  // its event
    EXPECT_EQ(module.NewLog(), r.second) << r.first.substr(0, 40);
  }
}

TEST(Process, Options) {
  // The arguments, the exit status, and the beginnings of stdout and stderr.
  const std::tuple<std::string, int, std::string, std::string> rows[] = {
      {"--version", 0, "FileSystem 0001 1.001\n", ""},
      {"--help", 0, "usage: xapFileSystem", ""},
      {"--log-level=3 < /dev/null", 0, "", "L3 [QOM][CXapEngineFileSystem(N)] "},  // applied
      {"--log-level 9 --version", 2, "", "xapFileSystem: bad option '--log-level'"},
      {"--bogus", 2, "", "xapFileSystem: bad option '--bogus'\nusage: xapFileSystem"},
      {"--log-level", 2, "", "xapFileSystem: bad option '--log-level'"},
      {"< /", 0, "", ""}};  // input that fails to read ends as at its end
  for (const auto& [args, status, out, err] : rows) {
    ModuleProcess module("@ " + args);
    module.CloseInput();
    EXPECT_EQ(module.Wait(), status) << args;
    EXPECT_EQ(module.RestOfStdout().substr(0, out.size()), out) << args;
    EXPECT_EQ(module.NewLog().substr(0, err.size()), err) << args;
  }
}

// A reply longer than a one-page pipe goes out in pieces that fill the page
// to its last byte while the reader waits (a pipe takes a small write whole
// or not at all: pieces of another size would leave a gap).
TEST(Process, FillsAOnePagePipeToItsLastByte) {
  const long nPage = sysconf(_SC_PAGESIZE);
  if (nPage != 4096)
    GTEST_SKIP() << "pages of " << nPage << " bytes: a one-page pipe takes the reply";
  ModuleProcess module;
  ASSERT_EQ(fcntl(module.StdoutFd(), F_SETPIPE_SZ, 4096), 4096);
  module.SendLine(std::string(5000, 'x'));  // an unknown command, named in its reply
  int unread = 0;
  for (int i = 0; i < 2000 && ioctl(module.StdoutFd(), FIONREAD, &unread) == 0 && unread < 4096;
       ++i)
    usleep(10000);
  EXPECT_EQ(unread, 4096);
}

// Stdout and stderr one pipe that another program writes 100-byte lines to:
// every reply and every level-0 line of about 1,560 bytes arrives whole,
// none with the other writer's bytes inside.
TEST(Process, LinesStayWholeInAPipeSharedWithAnotherWriter) {
  const std::string name(1500, 'x'), foreign(99, 'f');
  // The other writer ends when the pipe's reader has gone (SIGPIPE is
  // ignored here, and so in the shell).
  ModuleProcess module("sh -c 'while echo " + foreign + "; do :; done & exec \"$0\" $*' @ 2>&1");
  std::string input;
  for (int i = 0; i < 200; ++i) input += name + "\n";
  std::thread sender([&] {  // the replies are read meanwhile
    module.Send(input);
    module.CloseInput();
  });
  const std::string reply = "{\"cmd\":\"" + name + "\",\"ok\":false,\"reply\":null}";
  const std::regex log("L0 \\[QOM\\]\\[Execute\\(\\d+\\)\\] Unknow Cmd = \\[" + name + "\\]");
  int whole[2] = {0, 0}, broken = 0;
  // Until every line is whole, or the time is up (broken lines never are).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (whole[0] + whole[1] < 400 && std::chrono::steady_clock::now() < deadline) {
    const std::string line = module.ReadLine();
    const bool bLog = line[0] == 'L' && std::regex_match(line, log);
    whole[0] += line == reply;
    whole[1] += bLog;
    broken += line != reply && line != foreign && !bLog;
  }
  sender.join();
  EXPECT_EQ(module.Wait(), 0);
  EXPECT_EQ(whole[0], 200) << broken << " broken";
  EXPECT_EQ(whole[1], 200) << broken << " broken";
}

// Tools meet no broken pipe when stderr's reader has gone, never read the
// terminal (an encrypted archive fails instead of prompting there), and
// "killall" is taken from the system's folders, not the working folder,
// where one that could run lies in wait. A parent that ignores SIGCHLD
// hands that on: the host still waits for its tools, whose results would
// otherwise all look failed.
TEST_F(InFolder, ToolsWithAGoneStderrATerminalOrAHostilePath) {
  XAPTEST_ISOLATE();  // killall ends only this test's unzips
  Sh("cd " + d + " && for i in $(seq 50); do echo $i > f$i; done && zip -q a.zip f* && echo s > s" +
     " && zip -q -P pw e.zip s && printf '#!/bin/sh\\ntouch canary\\n' > killall && chmod +x " +
     "killall && printf 'SetWidgetInfo 1 x\\nUnzip " + d + "e.zip " + d + "o\\nUnzipKill\\n' > in");
  ASSERT_EQ(ShellOutput("cd " + d + " && PATH=.:$PATH killall; rm canary && echo ran"), "ran\n");
  int err[2];  // a stderr whose reader has gone
  ASSERT_EQ(pipe(err), 0);
  close(err[0]);
  ModuleProcess module("env --ignore-signal=CHLD @ --log-level 3 2>&" + std::to_string(err[1]));
  close(err[1]);
  EXPECT_EQ(module.Ask("SetWidgetInfo 1 x"), "1");
  EXPECT_EQ(module.Ask("Copy " + d + "f1 " + d + "g"), "1");
  // The asynchronous unzip prints a line for the archive and each entry.
  EXPECT_EQ(module.Ask("UnzipAsync " + d + "a.zip " + d + "out"), "1");
  EXPECT_EQ(module.ReadLine(), "{\"event\":3,\"data\":[\"1\",\" \"]}");
  EXPECT_EQ(ReadFile(d + "out/f50"), "50\n");
  EXPECT_EQ(ShellOutput("cd " + d + " && PATH=.:$PATH timeout 30 script -qec '" + ModuleCommand() +
                        " < in' /dev/null"),
            "{\"cmd\":\"SetWidgetInfo\",\"ok\":true,\"reply\":1}\r\n"
            "{\"cmd\":\"Unzip\",\"ok\":true,\"reply\":0}\r\n"
            "{\"cmd\":\"UnzipKill\",\"ok\":true,\"reply\":0}\r\n");
  EXPECT_FALSE(Exists(d + "canary"));
}

// An output that cannot take more (a full device, a file-size limit) stops
// the commands, is said at level 0, and fails the exit status; the file
// keeps whole lines only.
TEST_F(InFolder, AnOutputThatCannotTakeMoreIsSaidAndFailsTheSession) {
  XAPTEST_ISOLATE();  // under /tmp the copy would run
  WriteFile(d + "a", "a");
  // The words before the module, its stdout, the reason said.
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {"", "/dev/full", "No space left on device"},
      {"prlimit --fsize=3000", d + "out", "File too large"}};
  std::string input = "SetWidgetInfo 1 x\n";
  for (int i = 0; i < 100; ++i) input += "GetName\n";
  for (const auto& [prefix, out, reason] : rows) {
    ModuleProcess module(prefix + " @ >" + out);
    module.Send(input + "Copy " + d + "a " + d + "b\n");
    module.CloseInput();
    EXPECT_EQ(module.Wait(), 1) << out;
    EXPECT_FALSE(Exists(d + "b")) << out;
#ifdef XAP_TEST_COVERAGE
    // The counters' own failed writes fill the limited stderr first.
    if (!prefix.empty()) continue;
#endif
    EXPECT_EQ(module.NewLog(), "L0 [host] cannot write standard output: " + reason +
                                   "; replies lost: 1, events lost: 0\n");
  }
  const std::string written = ReadFile(d + "out");
  EXPECT_GT(written.size(), 2500u);
  EXPECT_EQ(written.back(), '\n');
}
