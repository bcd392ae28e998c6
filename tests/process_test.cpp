// Catches faults where the process meets the world: replies out of order
// or not JSON, log lines on stdout or at the wrong level, options, signals,
// readers that are slow, non-blocking or gone, a terminal, a hostile PATH,
// deep nesting, and a process that spins while it waits.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using xaptest::ModuleProcess;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);) lines.push_back(line);
  return lines;
}

// Milliseconds of CPU the process has used.
long CpuMs(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  long ticks = 0;
  for (int i = 1; i <= 15 && stat >> field; ++i) ticks += i >= 14 ? std::stol(field) : 0;
  return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

TEST(Process, AnswersEachLineInOrderAndGoesOnAfterRefusedOnes) {
  ModuleProcess module;
  module.Send(
      "{\"id\": 1, \"cmd\": \"GetName\"}\n\n   \t\n{\"id\": 2, \"cmd\": \"GetName\"\n"
      "{\"id\": 3, \"cmd\": \"x\", \"params\": [\"1\",\"2\",\"3\",\"4\",\"5\"]}\n"
      "{\"id\": 4, \"cmd\": 17}\na b c d e f\nX " +
      std::string(70000, 'y') +
      "\nWriteBase64 hello 5\r\nGet\xff\xc3Name\nReadBase64 /w== 4\n"
      "{\"id\": \"last\", \"cmd\": \"getname\"}\n"
      "{\"id\": null, \"cmd\": \"GetName\", \"params\": [\"\", \"a b\"]}");  // no final "\n"
  module.CloseInput();
  const std::vector<std::string> expected = {
      "{\"id\":1,\"cmd\":\"GetName\",\"ok\":true,\"reply\":\"FileSystem\"}",
      "{\"error\":\"invalid JSON at byte 27\"}",
      "{\"id\":3,\"error\":\"params: at most 4 strings\"}",
      "{\"id\":4,\"error\":\"cmd: not a string\"}",
      "{\"error\":\"words: at most 5\"}",
      "{\"error\":\"line: over 65536 bytes\"}",
      "{\"cmd\":\"WriteBase64\",\"ok\":true,\"reply\":\"{\\\"b64_encode\\\": \\\"aGVsbG8=\\\", "
      "\\\"size\\\": 8 }\"}",
      "{\"cmd\":\"Get\xef\xbf\xbd\xef\xbf\xbdName\",\"ok\":false,\"reply\":null}",
      "{\"cmd\":\"ReadBase64\",\"ok\":true,\"reply\":\"{\\\"b64_decode\\\": \\\"\xef\xbf\xbd\\\", "
      "\\\"size\\\": 1 }\"}",
      "{\"id\":\"last\",\"cmd\":\"getname\",\"ok\":false,\"reply\":null}",
      "{\"id\":null,\"cmd\":\"GetName\",\"ok\":true,\"reply\":\"FileSystem\"}",
  };
  EXPECT_EQ(module.Wait(), 0);
  EXPECT_EQ(Lines(module.RestOfStdout()), expected);
}

// The level-0 lines a caller is meant to see, and nothing below level 0.
TEST(Process, TellsTheCallerWhatWentWrongAtLevelZero) {
  xaptest::TempDir dir;
  const std::string far = dir / std::string(240 - dir.Path().size(), 'd');
  const std::pair<std::string, std::string> rows[] = {
      {"getname", ")] Unknow Cmd = [getname]"},
      {"WriteBase64 hello 4", "[QOM][Execute("},
      {"WriteBase64 hello 4", ")] parameter wrong size size = [5]"},
      {"WriteBase64 " + std::string(1501, 'a') + " 1501",
       "output size . overflow strParam\\tsize = [2004]"},
      {"ReadBase64 " + std::string(2049, 'a') + " 1", "overflow strParam  size = [2049]"},
      {"SetWidgetInfo two x", "] WidgetType is not a whole number: [two]"},
      {"GetFolderSize /proc/self 1 1",
       "] folder walk of [/proc/self] cut after 10000 folders reached through links, at ["},
      {"SetWidgetInfo 1 x", ""},
      {"DeleteAsync " + far, "[QOM][t_AsyncThread("},
      {"DeleteAsync " + far, ")] overflow pszString size = ["},
  };
  ModuleProcess module;
  for (const auto& r : rows) module.SendLine(r.first);
  module.CloseInput();
  ASSERT_EQ(module.Wait(), 0);
  std::string log = module.Stderr();
  for (const auto& r : rows) EXPECT_NE(log.find(r.second), std::string::npos) << r.second;
  for (const std::string& line : Lines(log)) EXPECT_EQ(line.rfind("L0 [QOM][", 0), 0u) << line;
}

TEST(Process, StdoutHoldsOnlyJsonAndTheLogOneLinePerPair) {
  xaptest::ModuleOptions options;
  options.args = {"--log-level", "4"};
  ModuleProcess module(options);
  std::string input;
  for (int i = 0; i < 50; ++i) {
    input += "{\"id\":" + std::to_string(i) + ",\"cmd\":\"Nope\",\"params\":[\"a\\nb\",\"b\",";
    input += "\"c\",\"\\u001b\"]}\nDelete /tmp/missing\nSetWidgetInfo 1 x\n";
  }
  module.Send(input);
  module.CloseInput();
  ASSERT_EQ(module.Wait(), 0);
  std::vector<std::string> out = Lines(module.RestOfStdout());
  ASSERT_EQ(out.size(), 150u);
  for (const std::string& line : out) {
    EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).contains("ok")) << line;
  }
  int traces = 0;
  for (const std::string& line : Lines(module.Stderr())) {
    EXPECT_TRUE(line.size() > 9 && line[0] == 'L' && line.find(" [QOM][") == 2) << line;
    traces += line.find("] check::::::: Nope([a\\nb][b][c][\\x1b])") != std::string::npos;
  }
  EXPECT_EQ(traces, 50);
}

TEST(Process, OptionsAndSignals) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // beginnings
  } rows[] = {{{"--version"}, 0, "FileSystem 0001 1.001\n", ""},
              {{"--help"}, 0, "usage: xapFileSystem", ""},
              {{"--log-level=4"}, 0, "", ""},
              {{"--bogus"}, 2, "", "xapFileSystem: bad option '--bogus'\nusage: xapFileSystem"},
              {{"--log-level"}, 2, "", "xapFileSystem: bad option '--log-level'\nusage"},
              {{"--log-level", "5"}, 2, "", "xapFileSystem: bad option"},
              {{"--log-level", "44"}, 2, "", "xapFileSystem: bad option"},
              {{"extra"}, 2, "", "xapFileSystem: bad option 'extra'"}};
  for (const auto& r : rows) {
    ModuleProcess module(xaptest::ModuleOptions{r.args});
    module.CloseInput();
    EXPECT_EQ(module.Wait(), r.status) << r.args[0];
    EXPECT_EQ(module.RestOfStdout().rfind(r.out, 0), 0u) << r.args[0];
    EXPECT_EQ(module.Stderr().rfind(r.err, 0), 0u) << r.args[0];
  }
  for (int sig : {SIGINT, SIGTERM}) {
    ModuleProcess module;
    EXPECT_EQ(module.Ask("GetName"), "\"FileSystem\"");
    module.Signal(sig);
    EXPECT_EQ(module.Wait(), 128 + sig);
  }
}

// A reader that made the pipe non-blocking and reads late gets every line
// whole, and the writer waits without spinning meanwhile.
TEST(World, ANonBlockingReaderThatReadsLateGetsEveryLineWhole) {
  xaptest::ModuleOptions options;
  options.bNonBlockingStdout = true;
  ModuleProcess module(options);
  std::string input;
  for (int i = 0; i < 3000; ++i)
    input += "{\"id\":" + std::to_string(i) + ",\"cmd\":\"GetName\"}\n";
  module.Send(input);
  usleep(500000);  // the pipe fills meanwhile
  long cpu = CpuMs(module.Pid());
  usleep(300000);
  EXPECT_LT(CpuMs(module.Pid()) - cpu, 100);
  for (int i = 0; i < 3000; ++i) {
    nlohmann::json j = nlohmann::json::parse(module.ReadLine(), nullptr, false);
    ASSERT_TRUE(j.is_object() && j["id"] == i) << i;
  }
  // Idle, waiting for input, it spins neither.
  cpu = CpuMs(module.Pid());
  usleep(300000);
  EXPECT_LT(CpuMs(module.Pid()) - cpu, 100);
}

TEST(World, AReaderThatHasGoneEndsTheHostWithItsInputStillOpen) {
  ModuleProcess module;
  module.CloseOutput();
  module.SendLine("GetName");
  EXPECT_EQ(module.Wait(5000), 0);
}

// Tools meet no broken pipe when stderr's reader has gone, and never read
// the terminal: an encrypted archive fails instead of prompting there.
TEST(World, ToolsWithAGoneStderrOrATerminal) {
  xaptest::TempDir dir;
  ASSERT_EQ(system(("cd " + dir.Path() + " && seq 5000 > f && zip -q a.zip f && " +
                    "echo s > s && zip -q -P pw e.zip s")
                       .c_str()),
            0);
  xaptest::ModuleOptions gone, terminal;
  gone.args = {"--log-level", "3"};
  gone.bStderrGone = true;
  terminal.bTerminal = true;
  for (const auto& options : {gone, terminal}) {
    ModuleProcess module(options);
    EXPECT_EQ(module.Ask("SetWidgetInfo 1 x"), "1");
    EXPECT_EQ(module.Ask("Unzip " + dir / "e.zip " + dir / "out"), "0");
    EXPECT_EQ(module.Ask("Unzip " + dir / "a.zip " + dir / "out"), "1");
    EXPECT_EQ(module.Terminal(), "");
  }
  EXPECT_EQ(xaptest::ReadFile(dir / "out/f"), xaptest::ShellOutput("seq 5000"));
}

// "killall" is taken from the system's folders, never from the working
// folder, whatever PATH the host was given.
TEST(World, AToolNamedWithoutItsFolderIsNotTakenFromTheWorkingFolder) {
  XAPTEST_ISOLATE();
  xaptest::TempDir dir;
  xaptest::WriteFile(dir / "killall", "#!/bin/sh\ntouch " + dir / "canary\n");
  chmod((dir / "killall").c_str(), 0755);
  ASSERT_EQ(chdir(dir.Path().c_str()), 0);
  setenv("PATH", (".:" + std::string(getenv("PATH"))).c_str(), 1);
  ModuleProcess module;
  EXPECT_EQ(module.Ask("UnzipKill"), "0");
  EXPECT_FALSE(xaptest::Exists(dir / "canary"));
}

// A line nested 30,000 deep is refused without recursing: the host goes on
// under a 1 MiB stack.
TEST(World, DeepNestingCannotExhaustTheStack) {
  xaptest::TempDir dir;
  xaptest::WriteFile(dir / "in", "{\"id\":" + std::string(30000, '[') + std::string(30000, ']') +
                                     ",\"cmd\":\"GetName\"}\nGetName\n");
  EXPECT_EQ(
      xaptest::ShellOutput("ulimit -s 1024 && " + xaptest::ModuleCommand() + " < " + dir / "in"),
      "{\"error\":\"JSON: nested more than 64 deep\"}\n"
      "{\"cmd\":\"GetName\",\"ok\":true,\"reply\":\"FileSystem\"}\n");
}

}  // namespace
