// Catches faults of the Base64 commands at each boundary of their sizes and
// of the flags' reading, through the dispatcher as the host calls it.
#include <gtest/gtest.h>

#include <string>

#include "XapEngineFileSystem.h"

namespace {

TEST(Base64Commands, AnswerOrRefuseAtEachBoundary) {
  std::string yWFh500, plain(1500, '\0');  // "aaa" encodes to "YWFh"
  for (int i = 0; i < 500; ++i) yWFh500 += "YWFh";
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>(i % 251 + 1);
  const std::string a2048(2048, 'A');
  const struct {
    const char* cmd;
    std::string input, declared;
    std::string reply;  // the text, or "0" for the refusal
  } rows[] = {
      {"WriteBase64", "hello", "5", "{\"b64_encode\": \"aGVsbG8=\", \"size\": 8 }"},
      {"ReadBase64", "aGVsbG8=", "8", "{\"b64_decode\": \"hello\", \"size\": 5 }"},
      {"WriteBase64", "", "abc", "{\"b64_encode\": \"\", \"size\": 0 }"},
      {"ReadBase64", "", "", "{\"b64_decode\": \"\", \"size\": 0 }"},
      // The declared size is read as strtol reads it, and may not be short.
      {"WriteBase64", "hello", "  +5xyz", "{\"b64_encode\": \"aGVsbG8=\", \"size\": 8 }"},
      {"WriteBase64", "hello", "-5", "0"},
      {"WriteBase64", "hello", "4", "0"},
      {"WriteBase64", "hello", "x5", "0"},
      {"WriteBase64", "hello", "99999999999999999999", "0"},
      // 1500 bytes encode to exactly 2000 characters; 1501 to 2004.
      {"WriteBase64", std::string(1500, 'a'), "1500",
       "{\"b64_encode\": \"" + yWFh500 + "\", \"size\": 2000 }"},
      {"WriteBase64", std::string(1501, 'a'), "1501", "0"},
      {"ReadBase64", std::string(2000, 'A'), "2000", "{\"b64_decode\": \"\", \"size\": 1500 }"},
      {"ReadBase64", a2048, "2048", "{\"b64_decode\": \"\", \"size\": 1536 }"},
      {"WriteBase64", a2048 + "A", "2049", "0"},
      {"ReadBase64", a2048 + "A", "7", "0"},
      // Decoded text goes into the reply unescaped; a zero byte ends it.
      {"ReadBase64", "YSJi", "4", "{\"b64_decode\": \"a\"b\", \"size\": 3 }"},
  };
  qom::CXapEngineFileSystem engine;
  for (const auto& r : rows) {
    std::string ret;
    engine.ResetReply();
    bool bOk = engine.Execute(ret, r.cmd, r.input, r.declared, "", "");
    EXPECT_EQ(bOk, r.reply != "0") << r.cmd << " " << r.input.size() << " [" << r.declared << "]";
    EXPECT_EQ(ret, r.reply) << r.cmd << " " << r.input.size() << " [" << r.declared << "]";
  }
  // The largest input comes back whole.
  std::string encoded, decoded;
  engine.Execute(encoded, "WriteBase64", plain, "1500", "", "");
  encoded = encoded.substr(16, 2000);
  engine.Execute(decoded, "ReadBase64", encoded, "2000", "", "");
  EXPECT_EQ(decoded, "{\"b64_decode\": \"" + plain + "\", \"size\": 1500 }");
}

TEST(Flags, OnlyTrueAndOneAreTrue) {
  qom::CXapEngineFileSystem engine;
  for (const char* yes : {"true", "1"}) EXPECT_TRUE(engine.ConvertParam(yes)) << yes;
  for (const char* no : {"TRUE", "True", " 1", "1 ", "", "yes", "01", "true\n"}) {
    EXPECT_FALSE(engine.ConvertParam(no)) << no;
  }
}

}  // namespace
