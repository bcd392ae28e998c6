// The task object itself: its life, the widget information, the shell
// runner every tool goes through, and the small commands (the executable
// flag, ending unzips, Base64). The other operations live by concern in
// the units that XapTaskFileSystem.h names.
#include "XapTaskFileSystem.h"

#include <cstdio>
#include <cstring>

#include "XapCommandLines.h"
#include "XapEngineFileSystem.h"
#include "XapFileSystemLog.h"
#include "XapPathPolicy.h"
#include "b64.h"

namespace qom {

CXapTaskFileSystem::CXapTaskFileSystem() : CXapTaskFileSystem(Env::Posix()) {}

CXapTaskFileSystem::CXapTaskFileSystem(Env& env)
    : m_nFd(0),
      m_nAuthMode(0),
      m_pEngine(nullptr),
      m_nWidgetType(0),
      m_pEngineLife(std::make_shared<PTEngineLife>()),
      m_pEnv(&env) {
  XAP_TRACE();
  memset(m_szWidgetPath, 0, sizeof m_szWidgetPath);
  m_nWidgetType = 0;
}

CXapTaskFileSystem::~CXapTaskFileSystem() {
  XAP_TRACE();
  // The engine goes with the task: running jobs must not reach it.
  std::lock_guard<std::mutex> lock(m_pEngineLife->mutex);
  m_pEngineLife->bAlive = false;
}

CXapEngineBase* CXapTaskFileSystem::t_EngineBase() const { return m_pEngine; }

int CXapTaskFileSystem::t_Trim(char* pszSrc, char* pszDest) {
  if (pszSrc == nullptr || pszDest == nullptr) return 0;
  const char* begin = pszSrc;
  while (*begin == ' ') ++begin;
  const char* end = begin + strlen(begin);
  while (end > begin && end[-1] == ' ') --end;
  size_t len = static_cast<size_t>(end - begin);
  memmove(pszDest, begin, len);
  pszDest[len] = '\0';
  return 1;
}

int CXapTaskFileSystem::SetWidgetInfo(int nWidgetType, char* pszWidgetPath) {
  if (pszWidgetPath == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_NULL_ARGUMENT;
  }
  // At most 199 characters; the rest of those bytes is zeroed so nothing of
  // a longer earlier path remains, and the last byte stays 0.
  size_t nLength = strnlen(pszWidgetPath, sizeof m_szWidgetPath - 1);
  memset(m_szWidgetPath, 0, sizeof m_szWidgetPath - 1);
  memcpy(m_szWidgetPath, pszWidgetPath, nLength);
  m_nWidgetType = nWidgetType;
  return XAP_RESULT_OK;
}

// ---- Shell commands.

int CXapTaskFileSystem::t_SystemCall(const char* pszCommand) {
  XAP_TRACE();
  bool bPassed = false;
  XAP_SCREEN_COMMAND(pszCommand, bPassed);
  if (!bPassed) return -1;
  int nResult = m_pEnv->RunShell(pszCommand);
  XAP_LOG(3u, "pszCommand = [%s]", pszCommand);
  return nResult;
}

int CXapTaskFileSystem::t_MakeFolder(char* pszPath) {
  if (t_IsExistedPath(pszPath) != 0) return 1;
  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);  // NOLINTNEXTLINE(cert-err33-c): path <= 255 characters
  snprintf(szCommand, sizeof szCommand, XAP_CMD_MKDIR, pszPath);
  return t_SystemCall(szCommand) == 0 ? 1 : 0;
}

int CXapTaskFileSystem::t_RunAndSync(const char* pszCommand) {
  if (t_SystemCall(pszCommand) != 0) return XAP_RESULT_FAIL;
  t_SystemCall(XAP_CMD_SYNC);
  return XAP_RESULT_OK;
}

// ---- Unzip cancel, executable flag, Base64.

int CXapTaskFileSystem::UnzipKill() {
  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);
  snprintf(szCommand, sizeof szCommand, XAP_CMD_KILL_UNZIP);  // NOLINT(cert-err33-c): a fixed text
  if (t_SystemCall(szCommand) == 0) return XAP_RESULT_OK;
  XAP_ERROR();
  return XAP_RESULT_FAIL;
}

int CXapTaskFileSystem::SetXapFileExecutable(char* pszXapFileName) {
  XAP_TRACE();
  if (pszXapFileName == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  // As long as the command line can carry whole; a name that may run (255
  // characters) makes a target of at most 532.
  char szTarget[kCommandSize - (sizeof XAP_CMD_CHMOD_EXEC - 3)];
  memset(szTarget, 0, sizeof szTarget);  // NOLINTNEXTLINE(cert-err33-c): longer names refused below
  snprintf(szTarget, sizeof szTarget, "/opt/down/xaps/xap%s/xap%s", pszXapFileName, pszXapFileName);
  XAP_LOG(3u, "pszXapFileName=[%s], target=[%s]", pszXapFileName, szTarget);
  if (t_IsSafeSystemString(pszXapFileName) == 0) return XAP_RESULT_OK;
  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);  // NOLINTNEXTLINE(cert-err33-c): 532 characters fit
  snprintf(szCommand, sizeof szCommand, XAP_CMD_CHMOD_EXEC, szTarget);
  t_SystemCall(szCommand);  // the caller learns nothing of the outcome
  return XAP_RESULT_OK;
}

int CXapTaskFileSystem::WriteBase64(char* pszInput, int* pnInputSize, char* pszOutput,
                                    int* pnOutputSize) {
  b64_encode(pszInput, *pnInputSize, pszOutput, pnOutputSize);
  return 1;
}

int CXapTaskFileSystem::ReadBase64(char* pszInput, int* pnInputSize, char* pszOutput,
                                   int* pnOutputSize) {
  b64_decode(pszInput, *pnInputSize, pszOutput, pnOutputSize);
  return 1;
}

}  // namespace qom
