// Empty definitions of the framework's interface, so that the module links
// against nothing else. Never run.
#include "QomDebug.h"
#include "QomShell.h"
#include "XapBase.h"
#include "b64.h"
// NOLINTBEGIN(performance-unnecessary-value-param): the framework's signatures
namespace qom {

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
bool CXapAppBase::CheckVersion(std::string) { return false; }
bool CXapAppBase::CheckCredential(std::string) { return false; }

CXapEngineBase::CXapEngineBase() = default;
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
void CXapEngineBase::SetReturnValueInteger(std::string&, int) {}
void CXapEngineBase::SetReturnValueASCII(std::string&, const char*) {}
void CXapEngineBase::SetReturnValueASCII(std::string&, std::string&) {}
void CXapEngineBase::SendEvent(int, std::string, std::string) {}

int XapMain(int, char**, CXapAppBase*) { return 0; }
// NOLINTNEXTLINE(cert-dcl50-cpp): the framework's printf-style logger
void CQOMDebug::PrintLog(unsigned, unsigned, const char*, ...) {}

int QomExecShell(const char*) { return 0; }

}  // namespace qom
// NOLINTEND(performance-unnecessary-value-param)
void b64_encode(const char*, int, char*, int* outLen) { *outLen = 0; }
void b64_decode(const char*, int, char*, int* outLen) { *outLen = 0; }
