// The real xapFileSystem process, driven through its standard streams.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using xaptest::ModuleProcess;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream ss(text);
  std::string line;
  while (std::getline(ss, line)) lines.push_back(line);
  return lines;
}

TEST(Process, AnswersGetNameExactly) {
  ModuleProcess module;
  module.SendLine("{\"cmd\":\"GetName\"}");
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"GetName\",\"ok\":true,\"reply\":\"FileSystem\"}");
  module.CloseInput();
  EXPECT_EQ(module.Wait(), 0);
}

TEST(Process, AnswersInOrderAndGoesOnAfterRefusedLines) {
  ModuleProcess module;
  std::string input;
  input += "{\"id\": 1, \"cmd\": \"GetName\"}\n";
  input += "\n   \t\n";                           // blank: skipped
  input += "{\"id\": 2, \"cmd\": \"GetName\"\n";  // invalid JSON
  input += "{\"id\": 3, \"cmd\": \"x\", \"params\": [\"1\",\"2\",\"3\",\"4\",\"5\"]}\n";
  input += "{\"id\": 4, \"cmd\": 17}\n";
  input += "a b c d e f\n";
  input += "X " + std::string(70000, 'y') + "\n";  // too long
  input += "WriteBase64 hello 5\r\n";
  input += "{\"id\": \"last\", \"cmd\": \"getname\"}\n";
  input += "{\"id\": null, \"cmd\": \"GetName\", \"params\": [\"\", \"a b\"]}";  // no final "\n"
  module.Send(input);
  module.CloseInput();
  const char* expected[] = {
      "{\"id\":1,\"cmd\":\"GetName\",\"ok\":true,\"reply\":\"FileSystem\"}",
      "{\"error\":\"invalid JSON at byte 27\"}",
      "{\"id\":3,\"error\":\"params: at most 4 strings\"}",
      "{\"id\":4,\"error\":\"cmd: not a string\"}",
      "{\"error\":\"words: at most 5\"}",
      "{\"error\":\"line: over 65536 bytes\"}",
      "{\"cmd\":\"WriteBase64\",\"ok\":true,\"reply\":\"{\\\"b64_encode\\\": \\\"aGVsbG8=\\\", "
      "\\\"size\\\": 8 }\"}",
      "{\"id\":\"last\",\"cmd\":\"getname\",\"ok\":false,\"reply\":null}",
      "{\"id\":null,\"cmd\":\"GetName\",\"ok\":true,\"reply\":\"FileSystem\"}",
  };
  for (const char* line : expected) EXPECT_EQ(module.ReadLine(), line);
  EXPECT_EQ(module.Wait(), 0);
  EXPECT_EQ(module.RestOfStdout(), "");
  EXPECT_NE(module.Stderr().find("L0 [QOM][Execute("), std::string::npos);
  EXPECT_NE(module.Stderr().find(")] Unknow Cmd = [getname]\n"), std::string::npos);
}

TEST(Process, InvalidUtf8IsReplacedAndTheLineStaysJson) {
  ModuleProcess module;
  module.SendLine("Get\xff\xc3Name");
  // Decoded bytes that are no UTF-8 in a text reply.
  module.SendLine("ReadBase64 /w== 4");
  std::string a = module.ReadLine();
  std::string b = module.ReadLine();
  EXPECT_EQ(a, "{\"cmd\":\"Get\xef\xbf\xbd\xef\xbf\xbdName\",\"ok\":false,\"reply\":null}");
  EXPECT_EQ(b,
            "{\"cmd\":\"ReadBase64\",\"ok\":true,\"reply\":\"{\\\"b64_decode\\\": "
            "\\\"\xef\xbf\xbd\\\", \\\"size\\\": 1 }\"}");
}

TEST(Process, StdoutHoldsOnlyJsonAndStderrOneLinePerPair) {
  ModuleProcess module({"--log-level", "4"});
  std::string input;
  for (int i = 0; i < 50; ++i) {
    input += "{\"id\":" + std::to_string(i) + ",\"cmd\":\"GetName\",\"params\":[\"a\\nb\"]}\n";
    input += "Nope x\n";
    input += "ReadBase64 Zm9v 4\n";
  }
  module.Send(input);
  module.CloseInput();
  ASSERT_EQ(module.Wait(), 0);
  std::vector<std::string> out = SplitLines(module.RestOfStdout());
  ASSERT_EQ(out.size(), 150u);
  for (const std::string& line : out) {
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << line;
    ASSERT_TRUE(j.contains("ok")) << line;
  }
  std::vector<std::string> err = SplitLines(module.Stderr());
  int traces = 0;
  for (const std::string& line : err) {
    ASSERT_TRUE(line.rfind("L0 [QOM][", 0) == 0 || line.rfind("L3 [QOM][", 0) == 0 ||
                line.rfind("L4 [QOM][", 0) == 0)
        << line;
    if (line.find("check::::::: GetName([a\\nb][][][])") != std::string::npos) ++traces;
  }
  EXPECT_EQ(traces, 50);
}

TEST(Process, LogLevelFiltersTheLog) {
  ModuleProcess quiet;
  quiet.SendLine("GetName");
  quiet.CloseInput();
  ASSERT_EQ(quiet.Wait(), 0);
  EXPECT_EQ(quiet.Stderr(), "");
}

TEST(Process, Options) {
  {
    ModuleProcess module({"--version"});
    EXPECT_EQ(module.ReadLine(), "FileSystem 0001 1.001");
    EXPECT_EQ(module.Wait(), 0);
  }
  {
    ModuleProcess module({"--help"});
    EXPECT_EQ(module.ReadLine().rfind("usage: xapFileSystem", 0), 0u);
    EXPECT_EQ(module.Wait(), 0);
  }
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--bogus"}, {"--log-level"}, {"--log-level", "5"}, {"--log-level", "x"}, {"extra"}}) {
    ModuleProcess module(args);
    EXPECT_EQ(module.Wait(), 2) << args[0];
    EXPECT_EQ(module.RestOfStdout(), "") << args[0];
    EXPECT_NE(module.Stderr().find("usage: xapFileSystem"), std::string::npos) << args[0];
  }
}

TEST(Process, SignalsEndItAtOnce) {
  for (int sig : {SIGINT, SIGTERM}) {
    ModuleProcess module;
    module.SendLine("GetName");
    ASSERT_FALSE(module.ReadLine().empty());
    module.Signal(sig);
    EXPECT_EQ(module.Wait(), 128 + sig);
  }
}

// Where the process meets the world: a reader that made the stdout pipe
// non-blocking and reads late, a reader that goes, a broken stderr.
TEST(World, ANonBlockingReaderThatReadsLateGetsEveryLineWhole) {
  xaptest::ModuleOptions options;
  options.bNonBlockingStdout = true;
  ModuleProcess module(options);
  std::string input;
  for (int i = 0; i < 3000; ++i)
    input += "{\"id\":" + std::to_string(i) + ",\"cmd\":\"GetName\"}\n";
  module.Send(input);
  usleep(300000);  // the pipe fills meanwhile
  for (int i = 0; i < 3000; ++i) {
    nlohmann::json j = nlohmann::json::parse(module.ReadLine(), nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << i;
    ASSERT_EQ(j["id"], i);
  }
}

TEST(World, AReaderThatHasGoneEndsTheHostWithItsInputStillOpen) {
  ModuleProcess module;
  module.CloseOutput();
  module.SendLine("GetName");
  EXPECT_EQ(module.Wait(5000), 0);
}

TEST(World, ToolsMeetNoBrokenPipeWhenStderrsReaderHasGone) {
  xaptest::TempDir dir;
  std::string make = "cd " + dir.Path() + " && for i in $(seq 50); do echo $i > f$i; done && " +
                     "zip -q a.zip f* && rm f*";
  ASSERT_EQ(system(make.c_str()), 0);
  xaptest::ModuleOptions options;
  options.args = {"--log-level", "3"};
  options.bStderrGone = true;
  ModuleProcess module(options);
  module.SendLine("SetWidgetInfo 1 x");
  module.SendLine("UnzipAsync " + dir / "a.zip " + dir / "out");
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"SetWidgetInfo\",\"ok\":true,\"reply\":1}");
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"UnzipAsync\",\"ok\":true,\"reply\":1}");
  EXPECT_EQ(module.ReadLine(), "{\"event\":3,\"data\":[\"1\",\" \"]}");
  EXPECT_EQ(xaptest::ReadFile(dir / "out/f50"), "50\n");
}

// A tool never reads the terminal: an encrypted archive fails instead of
// asking for its password there, and the next command is answered.
TEST(World, ToolsHaveNoTerminalToPromptOn) {
  xaptest::TempDir dir;
  ASSERT_EQ(system(("cd " + dir.Path() + " && echo s > s && zip -q -P pw e.zip s").c_str()), 0);
  xaptest::ModuleOptions options;
  options.bTerminal = true;
  ModuleProcess module(options);
  module.SendLine("SetWidgetInfo 1 x");
  module.SendLine("Unzip " + dir / "e.zip " + dir / "out");
  module.SendLine("GetName");
  module.ReadLine();
  EXPECT_EQ(module.ReadLine(10000), "{\"cmd\":\"Unzip\",\"ok\":true,\"reply\":0}");
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"GetName\",\"ok\":true,\"reply\":\"FileSystem\"}");
  EXPECT_EQ(module.Terminal(), "");
}

// "killall" is found in the system's folders only, never in the working
// folder, whatever PATH the host was given. In a PID namespace of its own,
// so that no other unzip is ended.
TEST(World, AToolNamedWithoutItsFolderIsNotTakenFromTheWorkingFolder) {
  xaptest::TempDir dir;
  xaptest::WriteFile(dir / "killall", "#!/bin/sh\ntouch " + dir / "canary\n");
  chmod((dir / "killall").c_str(), 0755);
  xaptest::ModuleCopy module;
  std::string out = xaptest::ShellOutput("cd " + dir.Path() +
                                         " && echo UnzipKill | PATH=.:/usr/bin:/bin unshare -fp "
                                         "--mount-proc " +
                                         module.Command() + " 2>&1");
  if (out.find("unshare: ") != std::string::npos) GTEST_SKIP() << "no PID namespace: " << out;
  EXPECT_EQ(out, "{\"cmd\":\"UnzipKill\",\"ok\":true,\"reply\":0}\n");
  EXPECT_NE(access((dir / "canary").c_str(), F_OK), 0);
}

// SIGTERM ends the tools with the host: an unzip that waits for a writer
// of its FIFO is gone a second later.
TEST(World, StoppingStopsTheTools) {
  xaptest::TempDir dir;
  ASSERT_EQ(mkfifo((dir / "ff").c_str(), 0644), 0);
  ModuleProcess module;
  module.SendLine("SetWidgetInfo 1 x");
  module.SendLine("UnzipAsync " + dir / "ff " + dir / "out");
  module.ReadLine();
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"UnzipAsync\",\"ok\":true,\"reply\":1}");
  usleep(200000);  // the worker's unzip is waiting in its open
  module.Signal(SIGTERM);
  EXPECT_EQ(module.Wait(), 143);
  usleep(1000000);
  int left = 0;
  DIR* proc = opendir("/proc");
  while (struct dirent* e = readdir(proc)) {
    std::string cmdline = xaptest::ReadFile("/proc/" + std::string(e->d_name) + "/cmdline");
    left +=
        cmdline.find("unzip") != std::string::npos && cmdline.find(dir / "ff") != std::string::npos;
  }
  closedir(proc);
  EXPECT_EQ(left, 0);
  int fd = open((dir / "ff").c_str(), O_WRONLY | O_NONBLOCK);  // lets a survivor end
  if (fd >= 0) close(fd);
}

// A line nested 30,000 deep is refused without recursing: the host goes on
// under a 1 MiB stack.
TEST(World, DeepNestingCannotExhaustTheStack) {
  xaptest::TempDir dir;
  xaptest::WriteFile(dir / "in", "{\"id\":" + std::string(30000, '[') + std::string(30000, ']') +
                                     ",\"cmd\":\"GetName\"}\nGetName\n");
  xaptest::ModuleCopy module;
  std::string out =
      xaptest::ShellOutput("ulimit -s 1024 && " + module.Command() + " < " + dir / "in" + " 2>&1");
  EXPECT_EQ(out,
            "{\"error\":\"JSON: nested more than 64 deep\"}\n"
            "{\"cmd\":\"GetName\",\"ok\":true,\"reply\":\"FileSystem\"}\n");
}

}  // namespace
