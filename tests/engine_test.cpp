// The command dispatcher: names, replies, and the Base64 commands.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "XapAppFileSystem.h"
#include "XapEngineFileSystem.h"
#include "XapTaskFileSystem.h"

namespace {

using qom::XAP_REPLY_ASCII;
using qom::XAP_REPLY_INTEGER;
using qom::XAP_REPLY_NONE;

// Exposes the task pointer so that a test can take the task away.
class EngineProbe : public qom::CXapEngineFileSystem {
 public:
  void DropTask() {
    delete m_pTask;
    m_pTask = nullptr;
  }
};

struct Result {
  bool bOk;
  qom::XapReplyKind eKind;
  int nInteger;
  std::string strText;
};

Result Exec(qom::CXapEngineFileSystem& engine, const std::string& cmd, const std::string& p1 = "",
            const std::string& p2 = "", const std::string& p3 = "", const std::string& p4 = "") {
  std::string ret;
  engine.ResetReply();
  bool ok = engine.Execute(ret, cmd, p1, p2, p3, p4);
  return {ok, engine.ReplyKind(), engine.ReplyInteger(), ret};
}

TEST(Application, NamesTheModuleAndMakesAnEngineWithATask) {
  qom::CXapAppFileSystem app;
  EXPECT_EQ(app.m_strName, "FileSystem");
  EXPECT_EQ(app.m_strId, "0001");
  EXPECT_EQ(app.m_strVersion, "1.001");
  qom::CXapEngineBase* engine = app.CreateXapEngine();
  ASSERT_NE(engine, nullptr);
  std::string ret;  // only an engine with its task answers
  EXPECT_TRUE(engine->Execute(ret, "GetName", "", "", "", ""));
  delete engine;
}

TEST(Dispatch, GetNameRepliesTheNameWhateverTheParameters) {
  EngineProbe engine;
  for (const char* p : {"", "x", "with blank"}) {
    Result r = Exec(engine, "GetName", p, p, p, p);
    EXPECT_TRUE(r.bOk);
    EXPECT_EQ(r.eKind, XAP_REPLY_ASCII);
    EXPECT_EQ(r.strText, "FileSystem");
  }
}

TEST(Dispatch, UnknownNamesGetNoReplyAndALevelZeroLine) {
  EngineProbe engine;
  const std::string names[] = {
      "getname", "GetName ", " GetName", "", "GETNAME", "UnknownCmd", std::string("GetName\0x", 9)};
  for (const std::string& name : names) {
    xaptest::LogCapture log(0);
    Result r = Exec(engine, name);
    EXPECT_FALSE(r.bOk) << name;
    EXPECT_EQ(r.eKind, XAP_REPLY_NONE) << name;
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u) << name;
    EXPECT_EQ(lines[0].rfind("L0 [QOM][Execute(", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(")] Unknow Cmd = [" + std::string(name.c_str()) + "]\n"),
              std::string::npos)
        << lines[0];
  }
}

TEST(Dispatch, EveryCallIsTracedWithAllFiveTexts) {
  EngineProbe engine;
  xaptest::LogCapture log(3);
  Exec(engine, "Nope", "a", "b", "c", "d");
  Exec(engine, "GetName", "", "2");
  EXPECT_EQ(log.Count("] check::::::: Nope([a][b][c][d])\n"), 1);
  EXPECT_EQ(log.Count("] check::::::: GetName([][2][][])\n"), 1);
}

TEST(Dispatch, WithoutATaskEvenGetNameFails) {
  EngineProbe engine;
  engine.DropTask();
  xaptest::LogCapture log(3);
  Result r = Exec(engine, "GetName");
  EXPECT_FALSE(r.bOk);
  EXPECT_EQ(r.eKind, XAP_REPLY_NONE);
  EXPECT_EQ(
      log.Count("\\x1b[2;31;42m !!!!ERROR!!!![FileSystem/Src/XapEngineFileSystem.cpp][Execute]["),
      1);
  EXPECT_EQ(log.Count("Unknow Cmd"), 0);
}

TEST(Dispatch, ConvertParamAcceptsOnlyTrueAndOne) {
  EngineProbe engine;
  const struct {
    const char* text;
    bool value;
  } cases[] = {{"true", true}, {"1", true}, {"TRUE", false}, {"True", false}, {" 1", false},
               {"1 ", false},  {"", false}, {"yes", false},  {"01", false},   {"true\n", false}};
  for (const auto& c : cases) EXPECT_EQ(engine.ConvertParam(c.text), c.value) << c.text;
}

struct Base64Case {
  const char* cmd;
  std::string input;
  std::string declared;
  bool bOk;
  std::string reply;  // text reply, or empty for the integer 0
  std::string log;    // a level-0 line that must appear, or empty for none
};

TEST(Base64Commands, AnswerOrRefuseAtEachBoundary) {
  const std::string a1500(1500, 'a');
  const std::string a1501(1501, 'a');
  const std::string a2048(2048, 'A');
  const std::string a2049(2049, 'A');
  std::string yWFh500;  // "aaa" encodes to "YWFh"
  for (int i = 0; i < 500; ++i) yWFh500 += "YWFh";
  const Base64Case cases[] = {
      {"WriteBase64", "hello", "5", true, "{\"b64_encode\": \"aGVsbG8=\", \"size\": 8 }", ""},
      {"ReadBase64", "aGVsbG8=", "8", true, "{\"b64_decode\": \"hello\", \"size\": 5 }", ""},
      {"WriteBase64", "", "0", true, "{\"b64_encode\": \"\", \"size\": 0 }", ""},
      {"ReadBase64", "", "", true, "{\"b64_decode\": \"\", \"size\": 0 }", ""},
      {"WriteBase64", "", "abc", true, "{\"b64_encode\": \"\", \"size\": 0 }", ""},
      // The declared size is read as strtol reads it.
      {"WriteBase64", "hello", "  5", true, "{\"b64_encode\": \"aGVsbG8=\", \"size\": 8 }", ""},
      {"WriteBase64", "hello", "+5xyz", true, "{\"b64_encode\": \"aGVsbG8=\", \"size\": 8 }", ""},
      {"WriteBase64", "hello", "-5", false, "", "parameter wrong size size = [5]"},
      {"WriteBase64", "hello", "4", false, "", "parameter wrong size size = [5]"},
      {"WriteBase64", "hello", "x5", false, "", "parameter wrong size size = [5]"},
      {"WriteBase64", "hello", "99999999999999999999", false, "",
       "parameter wrong size size = [5]"},
      // 1500 bytes encode to exactly 2000 characters; 1501 to 2004.
      {"WriteBase64", a1500, "1500", true, "{\"b64_encode\": \"" + yWFh500 + "\", \"size\": 2000 }",
       ""},
      {"WriteBase64", a1501, "1501", false, "", "output size . overflow strParam\\tsize = [2004]"},
      {"WriteBase64", a2048, "2048", false, "", "output size . overflow strParam\\tsize = [2732]"},
      {"ReadBase64", a2048, "2048", true, "", ""},
      {"WriteBase64", a2049, "2049", false, "", "overflow strParam  size = [2049]"},
      {"ReadBase64", a2049, "7", false, "", "overflow strParam  size = [2049]"},
      // Decoded text goes into the reply unescaped; a zero byte ends it.
      {"ReadBase64", "YSJi", "4", true, "{\"b64_decode\": \"a\"b\", \"size\": 3 }", ""},
      {"ReadBase64", "AEE=", "4", true, "{\"b64_decode\": \"\", \"size\": 2 }", ""},
  };
  for (const Base64Case& c : cases) {
    EngineProbe engine;
    xaptest::LogCapture log(0);
    Result r = Exec(engine, c.cmd, c.input, c.declared);
    std::string label =
        std::string(c.cmd) + " len " + std::to_string(c.input.size()) + " [" + c.declared + "]";
    EXPECT_EQ(r.bOk, c.bOk) << label;
    if (!c.bOk) {
      EXPECT_EQ(r.eKind, XAP_REPLY_INTEGER) << label;
      EXPECT_EQ(r.nInteger, 0) << label;
      EXPECT_EQ(log.Count("L0 [QOM][Execute("), 1) << label;
      EXPECT_EQ(log.Count(c.log + "\n"), 1) << label;
    } else {
      EXPECT_EQ(r.eKind, XAP_REPLY_ASCII) << label;
      EXPECT_TRUE(log.Lines().empty()) << label;
      if (!c.reply.empty()) {
        EXPECT_EQ(r.strText, c.reply) << label;
      }
    }
  }
}

TEST(Base64Commands, LargestInputsFillTheReplyExactly) {
  EngineProbe engine;
  std::string plain(1500, '\0');
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>(i % 251 + 1);
  Result enc = Exec(engine, "WriteBase64", plain, "1500");
  ASSERT_TRUE(enc.bOk);
  const std::string head = "{\"b64_encode\": \"";
  const std::string tail = "\", \"size\": 2000 }";
  ASSERT_EQ(enc.strText.size(), head.size() + 2000 + tail.size());
  std::string encoded = enc.strText.substr(head.size(), 2000);
  Result dec = Exec(engine, "ReadBase64", encoded, "2000");
  ASSERT_TRUE(dec.bOk);
  EXPECT_EQ(dec.strText, "{\"b64_decode\": \"" + plain + "\", \"size\": 1500 }");

  Result big = Exec(engine, "ReadBase64", std::string(2048, 'A'), "2048");
  ASSERT_TRUE(big.bOk);
  EXPECT_EQ(big.strText, "{\"b64_decode\": \"\", \"size\": 1536 }");
}

}  // namespace

// Each log line carries the function whose step it is, also where a shared
// helper writes it.
TEST(Logging, LinesNameTheFunctionWhoseStepTheyAre) {
  xaptest::TempDir dir;
  const std::string longName(120, 'n');
  xaptest::WriteFile(dir / longName, "x");
  const std::string far = dir / std::string(240 - dir.Path().size(), 'd');
  const std::string file = "FileSystem/Src/XapTaskFileSystem.cpp";
  const struct {
    const char* cmd;
    std::string p1, p2;
    std::string function, message;
  } rows[] = {
      {"WriteBase64", "abc", "4", "Execute", "parameter wrong size size = [3]"},
      {"SetWidgetInfo", "1", "", "Execute", "WidgetType[1] WidgetPath[]"},
      {"Copy", dir / "missing", dir / "x", "Copy", "!!!!ERROR!!!![" + file + "][Copy]["},
      {"Move", dir / "missing", dir / "x", "Move", "!!!!ERROR!!!![" + file + "][Move]["},
      {"Move", dir / longName, dir / longName + "2", "t_SystemCall", "overflow pszString size = ["},
      {"Move", dir / longName, dir / longName + "2", "Move", "][Move]["},
      {"DeleteAsync", far, "", "DeleteAsync", "FILE=[" + file + "] FUNCTION=[DeleteAsync]"},
      {"GetTotalSize", "", "", "t_GetSizeInfo", "s_percent["},
      {"GetListFiles", dir / "missing", "", "GetListFiles", "][GetListFiles]["},
      {"GetProperty", dir / "missing", "", "GetProperty", "][GetProperty]["},
  };
  qom::CXapEngineFileSystem engine;
  Exec(engine, "SetWidgetInfo", "1", "");
  for (const auto& row : rows) {
    xaptest::LogCapture log(4);
    Exec(engine, row.cmd, row.p1, row.p2);
    qom::XapWaitForJobs();
    int nFound = 0;
    for (const std::string& line : log.Lines()) {
      nFound += line.find("[QOM][" + row.function + "(") != std::string::npos &&
                line.find(row.message) != std::string::npos;
    }
    EXPECT_GE(nFound, 1) << row.cmd << " " << row.function << ": " << row.message;
  }
  // The worker's screen refuses the delete of a 240-character path.
  xaptest::LogCapture log(3);
  Exec(engine, "DeleteAsync", far);
  qom::XapWaitForJobs();
  EXPECT_EQ(log.Count("L0 [QOM][t_AsyncThread("), 1);
  EXPECT_EQ(log.Count("][t_AsyncThread]["), 1);
}
