#include "XapBase.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <unordered_set>

#include "XapOutput.h"
#include "XapProtocol.h"

namespace qom {
namespace {

// Engines that are alive. SendEvent delivers only while its engine is in
// the set, and holds the lock while it delivers, so an engine's destructor
// waits for an event in flight and every later event is dropped.
std::mutex g_registryMutex;
std::unordered_set<const CXapEngineBase*>& LiveEngines() {
  static std::unordered_set<const CXapEngineBase*>* live =
      new std::unordered_set<const CXapEngineBase*>();
  return *live;
}

std::atomic<XapEventSink> g_eventSink{nullptr};

void WriteEventLine(int nEventId, const std::string& strData1, const std::string& strData2) {
  host::WriteEventLine(host::FormatEvent(nEventId, strData1, strData2));
}

std::mutex g_jobMutex;
std::condition_variable g_jobsDone;
long g_nJobs = 0;

}  // namespace

void XapJobStarted() {
  std::lock_guard<std::mutex> lock(g_jobMutex);
  ++g_nJobs;
}

void XapJobFinished() {
  std::lock_guard<std::mutex> lock(g_jobMutex);
  if (g_nJobs > 0 && --g_nJobs == 0) g_jobsDone.notify_all();
}

void XapWaitForJobs() {
  std::unique_lock<std::mutex> lock(g_jobMutex);
  g_jobsDone.wait(lock, [] { return g_nJobs == 0; });
}

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

CXapEngineBase::CXapEngineBase() : m_eReplyKind(XAP_REPLY_NONE), m_nReplyInteger(0) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  LiveEngines().insert(this);
}

CXapEngineBase::~CXapEngineBase() {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  LiveEngines().erase(this);
}

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
  SendEventTo(this, nEventId, strData1, strData2);
}

void CXapEngineBase::SendEventTo(CXapEngineBase* pEngine, int nEventId, const std::string& strData1,
                                 const std::string& strData2) {
  // Delivered under the registry lock: the engine cannot be destroyed
  // while its event is being written.
  std::lock_guard<std::mutex> lock(g_registryMutex);
  if (LiveEngines().count(pEngine) == 0) return;
  XapEventSink sink = g_eventSink.load();
  if (sink == nullptr) sink = WriteEventLine;
  sink(nEventId, strData1, strData2);
}

void CXapEngineBase::SetEventSink(XapEventSink pfnSink) { g_eventSink.store(pfnSink); }

}  // namespace qom
