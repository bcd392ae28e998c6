// Fuzz target for the Base64 commands: any input and declared size. The
// sanitizers catch a write past the 2048-byte buffers; the checks below
// hold the replies to the rules of the two commands.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "XapEngineFileSystem.h"
#include "XapOutput.h"
#include "b64.h"

namespace {

void Fail(const char* what, const std::string& input) {
  fprintf(stderr, "base64: %s (input of %zu bytes)\n", what, input.size());
  abort();
}

void DropLog(const std::string&) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qom::CXapEngineFileSystem* engine = [] {
    qom::host::SetLogSink(DropLog);
    return new qom::CXapEngineFileSystem();
  }();
  if (size == 0) return 0;
  // First byte: command and how the declared size is given.
  bool bEncode = (data[0] & 1) != 0;
  std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  // Inputs past the fuzzer's length: repeat the data up to about 2049 bytes.
  if ((data[0] & 2) != 0 && !input.empty()) {
    while (input.size() < 2040) input += input;
    input.resize(2040 + data[0] % 10);
  }
  std::string declared = std::to_string(input.size());
  if ((data[0] & 4) != 0) declared = " " + declared + "x";
  if ((data[0] & 8) != 0) declared = std::to_string(data[0]);

  std::string ret;
  engine->ResetReply();
  bool bOk = engine->Execute(ret, bEncode ? "WriteBase64" : "ReadBase64", input, declared, "", "");
  long lDeclared = strtol(declared.c_str(), nullptr, 10);
  bool bSizeOk = input.size() <= 2048 && static_cast<long>(input.size()) == lDeclared;
  int nExpected = bEncode ? b64_encoded_length(static_cast<int>(input.size())) : -1;
  if (!bSizeOk || (bEncode && nExpected > 2000)) {
    if (bOk || engine->ReplyKind() != qom::XAP_REPLY_INTEGER || engine->ReplyInteger() != 0) {
      Fail("accepted what it must refuse", input);
    }
    return 0;
  }
  if (!bOk || engine->ReplyKind() != qom::XAP_REPLY_ASCII) Fail("refused a valid input", input);
  const char* key = bEncode ? "{\"b64_encode\": \"" : "{\"b64_decode\": \"";
  if (ret.compare(0, strlen(key), key) != 0) Fail("reply template", input);
  size_t sizeAt = ret.rfind("\", \"size\": ");
  if (sizeAt == std::string::npos || ret.substr(ret.size() - 2) != " }") Fail("template", input);
  int nSize = atoi(ret.c_str() + sizeAt + 11);
  if (nSize > 2000 || nSize < 0) Fail("output size out of bounds", input);
  if (bEncode) {
    if (nSize != nExpected) Fail("encoded size", input);
    std::string encoded = ret.substr(strlen(key), sizeAt - strlen(key));
    std::string back(input.size() + 4, '\0');
    int nBack = 0;
    b64_decode(encoded.data(), static_cast<int>(encoded.size()), &back[0], &nBack);
    if (back.substr(0, static_cast<size_t>(nBack)) != input) Fail("does not decode back", input);
  } else if (static_cast<size_t>(nSize) > input.size() * 3 / 4) {
    Fail("decoded more than the input holds", input);
  }
  return 0;
}
