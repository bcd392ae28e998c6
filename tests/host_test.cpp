// Catches faults in the host's own parts: a line parsed or refused wrongly,
// an event that is no JSON line, a wrong shell status, or a tool that gets
// a terminal or the host's PATH.

#include <sys/resource.h>
#include <sys/wait.h>

#include <filesystem>

#include "QomDebug.h"
#include "QomShell.h"
#include "TestSupport.h"
#include "XapOutput.h"
#include "XapProtocol.h"

TEST(Protocol, ParsesOrRefusesEachLine) {
  // The expected command as "id=name|p1|p2|p3|p4", or the refusal line.
  auto error = [](const std::string& e) { return "{\"error\":\"" + e + "\"}\n"; };
  const std::string deep = error("JSON: nested more than 64 deep"),
                    a(qom::host::kMaxLineBytes - 2, 'a');
  const std::pair<std::string, std::string> rows[] = {
      {" \t \r", ""},
      {"  Copy\t/tmp/a   /tmp/b \r", "Copy|/tmp/a|/tmp/b||"},
      {"a 1 2 3 4", "a|1|2|3|4"},
      {"a 1 2 3 4 5", error("words: at most 5")},
      {R"({"cmd":" Get Name ","params":["","x y"]})", " Get Name ||x y||"},
      {R"( {"id":7,"cmd":"Copy","params":["/a","/b","c","d"]})", "7=Copy|/a|/b|c|d"},
      // The id as written, for a client that matches replies by it.
      {R"({"id":18446744073709551616,"cmd":"x"})", "18446744073709551616=x||||"},
      {R"({"id":1.50,"cmd":"x"})", "1.50=x||||"},
      {R"({"id":0,"cmd":"x"})", "0=x||||"},
      {"{\"id\":[\"a\\\"b\\u00e9 c\u2028\", {}],\"cmd\":\"x\"}",
       "[\"a\\\"b\\u00e9 c\\u2028\",{}]=x||||"},
      {R"({"id":1,"\u0069d":2,"cmd":"x"})", "2=x||||"},  // the last of repeated keys
      {R"({"cmd":"x","params":["1","2","3","4","5"],"id":3})",
       "{\"id\":3,\"error\":\"params: at most 4 strings\"}\n"},
      {R"({"cmd":"x","params":[1]})", error("params: not all strings")},
      {R"({"cmd":"x","params":"a"})", error("params: not an array")},
      {R"({"id":"k","params":[],"Cmd":"x"})", "{\"id\":\"k\",\"error\":\"cmd: missing\"}\n"},
      {R"({"id":[1,{"a":null}],"cmd":5})",
       "{\"id\":[1,{\"a\":null}],\"error\":\"cmd: not a string\"}\n"},
      {"{\"cmd\":\"\xff\"}", error("invalid JSON at byte 9")},
      // The module would see "/a" of "/a\0/b", another command.
      {std::string("{\"cmd\":\"x\"}\0{", 12), error("line: holds a NUL byte")},
      {std::string("Delete /a\0/b", 13), error("line: holds a NUL byte")},
      {R"({"cmd":"x","params":["/a\u0000/b"]})", error("params: a string holds a NUL character")},
      {R"({"cmd":"x\u0000"})", error("cmd: holds a NUL character")},
      // Nesting is checked before parsing: 64 levels, the outer object counted.
      {"{\"id\":" + std::string(63, '[') + std::string(63, ']') + ",\"cmd\":\"x\"}",
       std::string(63, '[') + std::string(63, ']') + "=x||||"},
      {"{\"id\":" + std::string(64, '[') + std::string(64, ']') + ",\"cmd\":\"x\"}", deep},
      {"{\"id\":" + std::string(30000, '[') + ",\"cmd\":\"x\"}", deep},  // never recursed into
      {"{\"cmd\":\"" + std::string(100, '[') + "\\\"{\"}", std::string(100, '[') + "\"{||||"},
      // Found by fuzzing: a number too large for the library ended the host.
      {"{\"id\": 1e999999 ,\"cmd\":\"GetName\",\"x\":[-1E400]}", "1e999999=GetName||||"},
      {"x " + a + "\r", "x|" + a + "|||"},
      {"x " + a + "a", error("line: over 65536 bytes")}};
  for (const auto& r : rows) {
    qom::host::Command cmd;
    std::string error;
    auto kind = qom::host::ParseLine(r.first, &cmd, &error);
    std::string got = kind == qom::host::LineKind::kRefused ? error : "";
    if (kind == qom::host::LineKind::kCommand) {
      got = cmd.bHasId ? cmd.strId + "=" + cmd.strCmd : cmd.strCmd;
      for (const std::string& p : cmd.strParams) got += "|" + p;
    }
    EXPECT_EQ(got, r.second) << r.first.substr(0, 80);
  }
}

// Characters some readers take for line ends are escaped, their kin not.
TEST(Protocol, EventsAreOneJsonLine) {
  EXPECT_EQ(qom::host::FormatEvent(3, "a\u2028b\u2029c\u0085\u2027\u00a8", " "),
            "{\"event\":3,\"data\":[\"a\\u2028b\\u2029c\\u0085\u2027\u00a8\",\" \"]}\n");
}

// An event sent while a command runs waits for that command's reply; one
// sent between commands goes out at once.
TEST(Output, AnEventDuringACommandFollowsItsReply) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const int ownStdout = dup(STDOUT_FILENO);
  dup2(out[1], STDOUT_FILENO);
  qom::host::BeginCommand();
  qom::host::WriteEventLine("event\n");
  qom::host::EndCommand("reply\n");
  qom::host::WriteEventLine("later\n");
  dup2(ownStdout, STDOUT_FILENO);
  char buffer[64] = {};
  EXPECT_EQ(std::string(buffer, read(out[0], buffer, sizeof buffer)), "reply\nevent\nlater\n");
}

// The tool's status, no terminal nor the host's PATH for it; at level 3
// every line it prints is logged whole, also when several arrive in one
// read, and a last line without "\n" too.
TEST(Shell, ReturnsTheToolsStatusLogsItsLinesAndGivesItNoTerminalNorForeignPath) {
  const std::pair<const char*, int> rows[] = {
      {"printf 'a\\nbc\\n\\nd'", 0},  // the log's first lines
      {"exit 3", 3},
      {"kill -9 $$", 128 + 9},
      {"/nonexistent/tool", 127},
      {"seq 100000; exit 4", 4},  // much output, read while it runs
      {"[ \"$(readlink /proc/$$/fd/0)\" = /dev/null ]", 0},
      {"[ \"$(readlink /proc/$$/fd/1)\" = \"$(readlink /proc/$$/fd/2)\" ]", 0},
      {"[ \"$(cut -d' ' -f6 /proc/$$/stat)\" = $$ ]", 0},  // a session of its own
      {"[ \"$PATH\" = /usr/sbin:/usr/bin:/sbin:/bin ]", 0},
      {"kill -TERM $$; exit 5", 128 + SIGTERM},  // at its default, though the host ignores it
      {"[ $(tr '\\0' '\\n' < /proc/$$/environ | grep -c ^PATH=) = 1 ]", 0},  // the host's is gone
  };
  setenv("PATH", ("/xaptest/bin:" + std::string(getenv("PATH"))).c_str(), 1);
  static std::string log;
  qom::host::SetLogSink([](const std::string& line) { log += line; });
  qom::CQOMDebug::SetLevel(3);
  signal(SIGTERM, SIG_IGN);
  int in[2];  // a stdin the tool must not get, whatever the test's own was
  ASSERT_EQ(pipe(in), 0);
  dup2(in[0], STDIN_FILENO);
  for (const auto& r : rows) EXPECT_EQ(qom::QomExecShell(r.first), r.second) << r.first;
  signal(SIGTERM, SIG_DFL);
  qom::CQOMDebug::SetLevel(0);
  qom::host::SetLogSink(nullptr);
  const std::string first = "L3 [sh] a\nL3 [sh] bc\nL3 [sh] \nL3 [sh] d\nL3 [sh] ";
  EXPECT_EQ(log.substr(0, first.size()), first);
}

// A tool that cannot start (the process limit reached) is a failure and
// says so at level 0: a job that never ran must not look done. A program
// named by its path starts with the one process the host sees start.
TEST(Shell, SaysWhenAToolCannotStart) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run as a uid of its own";
  if (!xaptest::ShellOutput("pgrep -u 54321").empty()) GTEST_SKIP() << "uid 54321 is in use";
  pid_t child = fork();
  if (child == 0) {
    static std::string log;
    qom::host::SetLogSink([](const std::string& line) { log += line; });
    auto count = [](const char* folder) {
      auto all = std::filesystem::directory_iterator(folder);
      return static_cast<rlim_t>(std::distance(begin(all), end(all)));
    };
    // This process's threads (an emulator has some of its own) and one more.
    const rlim_t nThreads = count("/proc/self/task");
    struct rlimit one = {nThreads + 1, nThreads + 1}, none = {0, 0};
    if (setgid(54321) != 0 || setuid(54321) != 0) _exit(77);  // root of a user namespace
    bool bLimited = setrlimit(RLIMIT_NPROC, &one) == 0;
    int rc = qom::QomExecShell("/bin/true");
    bLimited = bLimited && rc == 0 && setrlimit(RLIMIT_NPROC, &none) == 0;
    // Nothing of the start that failed stays open (no process may start
    // now, so the descriptors are counted here).
    const auto before = count("/proc/self/fd");
    rc = qom::QomExecShell("true");
    // Status 0 when all of it holds.
    _exit(!(bLimited && rc != 0 && count("/proc/self/fd") == before &&
            log == "L0 [sh] cannot start \"true\": Resource temporarily unavailable\n"));
  }
  int status = -1;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "uid 54321 is not mapped";
  EXPECT_EQ(status, 0);
}
