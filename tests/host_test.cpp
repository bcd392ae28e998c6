// The host's own parts: Base64, the line protocol, the logger, the shell
// routine and event delivery.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "QomDebug.h"
#include "QomShell.h"
#include "TestSupport.h"
#include "XapBase.h"
#include "XapProtocol.h"
#include "b64.h"

namespace {

using qom::host::Command;
using qom::host::LineKind;
using qom::host::ParseLine;

std::string Encode(const std::string& in) {
  std::vector<char> out(static_cast<size_t>(b64_encoded_length(static_cast<int>(in.size()))) + 1);
  int n = -1;
  b64_encode(in.data(), static_cast<int>(in.size()), out.data(), &n);
  return std::string(out.data(), static_cast<size_t>(n));
}

std::string Decode(const std::string& in, int inLen) {
  std::vector<char> out(in.size() + 1);
  int n = -1;
  b64_decode(in.data(), inLen, out.data(), &n);
  return std::string(out.data(), static_cast<size_t>(n));
}

TEST(Base64, KnownVectors) {
  const struct {
    const char* plain;
    const char* encoded;
  } cases[] = {{"", ""},
               {"f", "Zg=="},
               {"fo", "Zm8="},
               {"foo", "Zm9v"},
               {"foob", "Zm9vYg=="},
               {"fooba", "Zm9vYmE="},
               {"foobar", "Zm9vYmFy"},
               {"\xff\xfe\xfd", "//79"}};
  for (const auto& c : cases) {
    EXPECT_EQ(Encode(c.plain), c.encoded) << c.plain;
    EXPECT_EQ(Decode(c.encoded, static_cast<int>(strlen(c.encoded))), c.plain) << c.encoded;
  }
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
  std::string data;
  for (int i = 0; i < 300; ++i) data += static_cast<char>((i * 37 + 11) & 0xFF);
  for (size_t len = 0; len <= data.size(); ++len) {
    std::string in = data.substr(0, len);
    std::string enc = Encode(in);
    ASSERT_EQ(enc.size(), static_cast<size_t>(b64_encoded_length(static_cast<int>(len))));
    ASSERT_EQ(Decode(enc, static_cast<int>(enc.size())), in) << len;
  }
}

TEST(Base64, DecodeStaysWithinItsBoundsWhateverTheInput) {
  // The byte after inLen is valid Base64 and must not be read.
  EXPECT_EQ(Decode("Zm9vYmFy", 4), "foo");
  EXPECT_EQ(Decode("Zm9vYmFy", 6), "foob");
  // Decoding stops at padding and at anything outside the alphabet.
  EXPECT_EQ(Decode("Zg==Zm9v", 8), "f");
  EXPECT_EQ(Decode("Zm9v!Zm9v", 9), "foo");
  EXPECT_EQ(Decode("Z", 1), "");
  EXPECT_EQ(Decode("abc", -5), "");
  // Never more than the decoded count is written: guard bytes stay.
  for (int len = 0; len <= 12; ++len) {
    char out[32];
    memset(out, 0x5A, sizeof out);
    int n = -1;
    b64_decode("QUJDREVGR0hJSktM", len, out, &n);
    EXPECT_LE(n, len * 3 / 4);
    for (size_t i = static_cast<size_t>(n); i < sizeof out; ++i) ASSERT_EQ(out[i], 0x5A) << len;
  }
}

struct ParseCase {
  std::string line;
  LineKind kind;
  std::string cmdOrError;  // the command name, or the whole error line
  const char* params[4];
};

TEST(Protocol, ParsesOrRefusesEachLine) {
  const ParseCase cases[] = {
      {"", LineKind::kBlank, "", {}},
      {" \t ", LineKind::kBlank, "", {}},
      {"\r", LineKind::kBlank, "", {}},
      {"GetName", LineKind::kCommand, "GetName", {"", "", "", ""}},
      {"  Copy\t/tmp/a   /tmp/b \r", LineKind::kCommand, "Copy", {"/tmp/a", "/tmp/b", "", ""}},
      {"a 1 2 3 4", LineKind::kCommand, "a", {"1", "2", "3", "4"}},
      {"a 1 2 3 4 5", LineKind::kRefused, "{\"error\":\"words: at most 5\"}\n", {}},
      {R"({"cmd":" Get Name ","params":["","x y"]})",
       LineKind::kCommand,
       " Get Name ",
       {"", "x y", "", ""}},
      {R"(  {"id":7,"cmd":"Copy","params":["/a","/b","c","d"]})",
       LineKind::kCommand,
       "Copy",
       {"/a", "/b", "c", "d"}},
      {R"({"cmd":"x","params":["1","2","3","4","5"],"id":3})",
       LineKind::kRefused,
       "{\"id\":3,\"error\":\"params: at most 4 strings\"}\n",
       {}},
      {R"({"cmd":"x","params":[1]})",
       LineKind::kRefused,
       "{\"error\":\"params: not all strings\"}\n",
       {}},
      {R"({"cmd":"x","params":"a"})",
       LineKind::kRefused,
       "{\"error\":\"params: not an array\"}\n",
       {}},
      {R"({"id":"k","params":[]})",
       LineKind::kRefused,
       "{\"id\":\"k\",\"error\":\"cmd: missing\"}\n",
       {}},
      {R"({"id":[1,{"a":null}],"cmd":5})",
       LineKind::kRefused,
       "{\"id\":[1,{\"a\":null}],\"error\":\"cmd: not a string\"}\n",
       {}},
      {"{\"cmd\":\"x\"", LineKind::kRefused, "{\"error\":\"invalid JSON at byte 11\"}\n", {}},
      {"{\"cmd\":\"x\"} trailing",
       LineKind::kRefused,
       "{\"error\":\"invalid JSON at byte 15\"}\n",
       {}},
      {"[1,2]", LineKind::kCommand, "[1,2]", {"", "", "", ""}},
      {" {}", LineKind::kRefused, "{\"error\":\"cmd: missing\"}\n", {}},
      {"{\"cmd\":\"\xff\"}", LineKind::kRefused, "{\"error\":\"invalid JSON at byte 9\"}\n", {}},
      // Nesting is checked before parsing: 64 levels, the outer object counted.
      {"{\"id\":" + std::string(63, '[') + std::string(63, ']') + ",\"cmd\":\"x\"}",
       LineKind::kCommand,
       "x",
       {"", "", "", ""}},
      {"{\"id\":" + std::string(64, '[') + std::string(64, ']') + ",\"cmd\":\"x\"}",
       LineKind::kRefused,
       "{\"error\":\"JSON: nested more than 64 deep\"}\n",
       {}},
      {"{\"cmd\":\"" + std::string(100, '[') + "\\\"{\"}",
       LineKind::kCommand,
       std::string(100, '[') + "\"{",
       {"", "", "", ""}},
      // Found by fuzzing: a number too large for the library ended the host.
      {"{\"id\":1e999999,\"cmd\":\"GetName\"}",
       LineKind::kRefused,
       "{\"error\":\"invalid JSON: a value out of range\"}\n",
       {}},
  };
  for (const ParseCase& c : cases) {
    Command cmd;
    std::string error;
    LineKind kind = ParseLine(c.line, &cmd, &error);
    ASSERT_EQ(kind, c.kind) << c.line;
    if (kind == LineKind::kCommand) {
      EXPECT_EQ(cmd.strCmd, c.cmdOrError) << c.line;
      for (int i = 0; i < 4; ++i) EXPECT_EQ(cmd.strParams[i], c.params[i]) << c.line << " #" << i;
    } else if (kind == LineKind::kRefused) {
      EXPECT_EQ(error, c.cmdOrError) << c.line;
    }
  }
}

TEST(Protocol, LineLengthLimitCountsBytesWithoutTheCarriageReturn) {
  Command cmd;
  std::string error;
  std::string longest = "x " + std::string(qom::host::kMaxLineBytes - 2, 'a');
  EXPECT_EQ(ParseLine(longest, &cmd, &error), LineKind::kCommand);
  EXPECT_EQ(ParseLine(longest + "\r", &cmd, &error), LineKind::kCommand);
  EXPECT_EQ(ParseLine(longest + "a", &cmd, &error), LineKind::kRefused);
  EXPECT_EQ(error, "{\"error\":\"line: over 65536 bytes\"}\n");
}

TEST(Protocol, RepliesCarryIdCmdOkAndATypedReply) {
  Command cmd;
  std::string error;
  ASSERT_EQ(ParseLine(R"({"id":{"n":1.5},"cmd":"Copy"})", &cmd, &error), LineKind::kCommand);
  EXPECT_EQ(qom::host::FormatReply(cmd, true, qom::XAP_REPLY_INTEGER, -7, "-7"),
            "{\"id\":{\"n\":1.5},\"cmd\":\"Copy\",\"ok\":true,\"reply\":-7}\n");
  ASSERT_EQ(ParseLine("Get\xff\xfeName", &cmd, &error), LineKind::kCommand);
  EXPECT_EQ(qom::host::FormatReply(cmd, false, qom::XAP_REPLY_NONE, 0, ""),
            "{\"cmd\":\"Get\xef\xbf\xbd\xef\xbf\xbdName\",\"ok\":false,\"reply\":null}\n");
  EXPECT_EQ(
      qom::host::FormatReply(cmd, true, qom::XAP_REPLY_ASCII, 0, "a\"b\n\x01"),
      "{\"cmd\":\"Get\xef\xbf\xbd\xef\xbf\xbdName\",\"ok\":true,\"reply\":\"a\\\"b\\n\\u0001\"}\n");
  EXPECT_EQ(qom::host::FormatEvent(3, "1", " "), "{\"event\":3,\"data\":[\"1\",\" \"]}\n");
  // Characters some readers take for line ends are escaped.
  EXPECT_EQ(qom::host::FormatEvent(0, "a\u2028b\u2029c\u0085", "\u2027"),
            "{\"event\":0,\"data\":[\"a\\u2028b\\u2029c\\u0085\",\"\u2027\"]}\n");
}

TEST(Logger, APairIsOneLineWithControlCharactersEscaped) {
  xaptest::LogCapture log(3);
  qom::CQOMDebug::PrintLog(2, 3, "[QOM][%s(%d)] ", "Fn", 12);
  qom::CQOMDebug::PrintLog(2, 3, "a\tb\x1b[0m%s\n", "\nc");
  qom::CQOMDebug::PrintLog(2, 4, "[QOM][%s(%d)] ", "Hidden", 1);
  qom::CQOMDebug::PrintLog(2, 4, "hidden");
  qom::CQOMDebug::PrintLog(2, 0, "[QOM][%s(%d)] ", "Zero", 2);
  qom::CQOMDebug::PrintLog(2, 0, "msg");
  std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "L3 [QOM][Fn(12)] a\\tb\\x1b[0m\\nc\n");
  EXPECT_EQ(lines[1], "L0 [QOM][Zero(2)] msg\n");
}

TEST(Logger, PairsFromManyThreadsStayWhole) {
  xaptest::LogCapture log(3);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i) {
        qom::CQOMDebug::PrintLog(2, 3, "[QOM][%s(%d)] ", "T", t);
        qom::CQOMDebug::PrintLog(2, 3, "thread %d item %d", t, i);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 4000u);
  for (const std::string& line : lines) {
    int a = -1, b = -1, i = -1;
    ASSERT_EQ(sscanf(line.c_str(), "L3 [QOM][T(%d)] thread %d item %d", &a, &b, &i), 3) << line;
    EXPECT_EQ(a, b) << line;
  }
}

TEST(Shell, ReturnsZeroOnlyForExitStatusZero) {
  const struct {
    const char* command;
    int result;
  } cases[] = {{"true", 0},
               {"exit 3", 3},
               {"false", 1},
               {"kill -9 $$", 128 + 9},
               {"/nonexistent/tool", 127},
               // No terminal, no command stream: stdin is /dev/null.
               {"[ \"$(readlink /proc/$$/fd/0)\" = /dev/null ]", 0},
               // Standard output and standard error share the host's pipe.
               {"[ \"$(readlink /proc/$$/fd/1)\" = \"$(readlink /proc/$$/fd/2)\" ]", 0},
               // A session of its own, and a PATH of the system's folders only.
               {"[ \"$(cut -d' ' -f6 /proc/$$/stat)\" = $$ ]", 0},
               {"[ \"$PATH\" = /usr/sbin:/usr/bin:/sbin:/bin ]", 0}};
  for (const auto& c : cases) EXPECT_EQ(qom::QomExecShell(c.command), c.result) << c.command;
  EXPECT_NE(qom::QomExecShell(nullptr), 0);
  // What a tool prints becomes log lines of level 3, escaped.
  xaptest::LogCapture log(3);
  EXPECT_EQ(qom::QomExecShell("echo out; echo 'e\tr' >&2; printf last"), 0);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"L3 [sh] out\n", "L3 [sh] e\\tr\n", "L3 [sh] last\n"}));
  log.Clear();
  qom::CQOMDebug::SetLevel(2);
  EXPECT_EQ(qom::QomExecShell("seq 100000"), 0);  // read, not shown
  EXPECT_TRUE(log.Lines().empty());
}

TEST(Shell, ManyThreadsEachGetTheirOwnResult) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 10; ++i) {
        int code = (t * 10 + i) % 100;
        std::string cmd = "exit " + std::to_string(code);
        if (qom::QomExecShell(cmd.c_str()) != code) ++wrong;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

std::mutex g_eventMutex;
std::vector<std::string> g_events;

void CaptureEvent(int id, const std::string& a, const std::string& b) {
  std::lock_guard<std::mutex> lock(g_eventMutex);
  g_events.push_back(std::to_string(id) + "|" + a + "|" + b);
}

TEST(Events, DeliveredFromAnyThread) {
  g_events.clear();
  qom::CXapEngineBase::SetEventSink(CaptureEvent);
  qom::CXapEngineBase engine;
  std::thread worker([&engine] { engine.SendEvent(3, "1", " "); });
  worker.join();
  qom::CXapEngineBase::SetEventSink(nullptr);
  ASSERT_EQ(g_events.size(), 1u);
  EXPECT_EQ(g_events[0], "3|1| ");
}

void* Sleeper(void* pFinished) {
  usleep(20000);
  ++*static_cast<std::atomic<int>*>(pFinished);
  return nullptr;
}

// Threads made through pthread_create are counted without being told.
TEST(Jobs, WaitingEndsWhenTheLastThreadHasEnded) {
  std::atomic<int> finished{0};
  for (int i = 0; i < 4; ++i) {
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, Sleeper, &finished), 0);
    pthread_detach(thread);
  }
  qom::XapWaitForJobs();
  EXPECT_EQ(finished.load(), 4);
  qom::XapWaitForJobs();  // nothing counted: returns at once
}

}  // namespace
