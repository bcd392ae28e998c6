#include "XapBase.h"

#include <atomic>
#include <new>

#include "XapOutput.h"
#include "XapProtocol.h"

namespace qom {
namespace {

std::atomic<XapEventSink> g_eventSink{nullptr};

}  // namespace
// NOLINTBEGIN(performance-unnecessary-value-param): the framework's signatures
// ---- CXapAppBase: the framework's defaults; this host uses none of them.

CXapAppBase::CXapAppBase() = default;
CXapAppBase::~CXapAppBase() = default;

int CXapAppBase::Open(const std::string&, const std::string&, const std::string&,
                      const std::string&) {
  return 0;
}
int CXapAppBase::Close(const std::string&, XapType::type) { return 0; }
bool CXapAppBase::Execute(std::string&, const std::string&, const std::string&, const std::string&,
                          const std::string&, const std::string&, const std::string&) {
  return false;
}
bool CXapAppBase::ExecuteWithParamList(std::string&, const std::string&, const std::string&,
                                       const ParamList&) {
  return false;
}
void CXapAppBase::Destroy() {}
int CXapAppBase::Open(int, const std::string&, const std::string&, const std::string&) { return 0; }
int CXapAppBase::Close(int) { return 0; }
bool CXapAppBase::Execute(std::string&, int, const std::string&, const std::string&,
                          const std::string&, const std::string&, const std::string&) {
  return false;
}
bool CXapAppBase::ExecuteWithParamList(std::string&, int, const std::string&, const ParamList&) {
  return false;
}
CXapEngineBase* CXapAppBase::CreateXapEngine() { return nullptr; }
bool CXapAppBase::CheckVersion(std::string) { return true; }
bool CXapAppBase::CheckCredential(std::string) { return true; }

// ---- CXapEngineBase

CXapEngineBase::CXapEngineBase() : m_eReplyKind(XAP_REPLY_NONE), m_nReplyInteger(0) {}

CXapEngineBase::~CXapEngineBase() = default;

bool CXapEngineBase::Execute(std::string&, const std::string&, const std::string&,
                             const std::string&, const std::string&, const std::string&) {
  return false;
}
bool CXapEngineBase::ExecuteWithParamList(std::string&, const std::string&, const ParamList&) {
  return false;
}
void CXapEngineBase::Destroy() {}
void CXapEngineBase::SetAppInfo(int, std::string, std::string, std::string) {}

void CXapEngineBase::SetReturnValueInteger(std::string& strRet, int nValue) {
  strRet = std::to_string(nValue);
  m_eReplyKind = XAP_REPLY_INTEGER;
  m_nReplyInteger = nValue;
}

void CXapEngineBase::SetReturnValueASCII(std::string& strRet, const char* pszValue) {
  strRet = pszValue != nullptr ? pszValue : "";
  m_eReplyKind = XAP_REPLY_ASCII;
}

void CXapEngineBase::SetReturnValueASCII(std::string& strRet, std::string& strValue) {
  strRet = strValue;
  m_eReplyKind = XAP_REPLY_ASCII;
}

void CXapEngineBase::ResetReply() {
  m_eReplyKind = XAP_REPLY_NONE;
  m_nReplyInteger = 0;
}

void CXapEngineBase::SendEvent(int nEventId, std::string strData1, std::string strData2) {
  // A sink set by a test takes the event; else it is a protocol line on
  // standard output (held while a command runs). An event that memory runs
  // out for is lost, said at level 0: the worker that sent it goes on.
  XapEventSink sink = g_eventSink.load();
  try {
    if (sink != nullptr) {
      sink(nEventId, strData1, strData2);
    } else {
      host::WriteEventLine(host::FormatEvent(nEventId, strData1, strData2));
    }
  } catch (const std::bad_alloc&) {
    host::WriteLogText("L0 [host] out of memory: an event was lost\n");
  }
}

void CXapEngineBase::SetEventSink(XapEventSink pfnSink) { g_eventSink.store(pfnSink); }
// NOLINTEND(performance-unnecessary-value-param)
}  // namespace qom
