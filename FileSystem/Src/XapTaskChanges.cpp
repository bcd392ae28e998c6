// Changes on the command thread: copy, move, delete and unzip. Each checks
// its paths through the policy, checks the item it works on, makes the
// folder that must receive it, and runs its tool and then "/bin/sync".
#include <cstdio>
#include <cstring>
#include <string>

#include "XapCommandLines.h"
#include "XapFileSystemLog.h"
#include "XapTaskFileSystem.h"

namespace qom {

int CXapTaskFileSystem::t_CheckPaths(char* pszSrcPath, std::string& strSafeSrc, char* pszDestPath,
                                     std::string* pstrSafeDest) {
  if (pszSrcPath == nullptr || (pstrSafeDest != nullptr && pszDestPath == nullptr)) {
    XAP_ERROR();
    return XAP_RESULT_NULL_ARGUMENT;
  }
  int nResult = t_MakeSafePath(pszSrcPath, strSafeSrc);
  if (nResult != XAP_RESULT_OK || pstrSafeDest == nullptr) return nResult;
  return t_MakeSafePath(pszDestPath, *pstrSafeDest);
}

int CXapTaskFileSystem::Copy(char* pszSrcPath, char* pszDestPath) {
  XAP_TRACE();
  return t_Transfer(pszSrcPath, pszDestPath, false);
}

int CXapTaskFileSystem::Move(char* pszSrcPath, char* pszDestPath) {
  XAP_TRACE();
  return t_Transfer(pszSrcPath, pszDestPath, true);
}

int CXapTaskFileSystem::t_Transfer(char* pszSrcPath, char* pszDestPath, bool bMove) {
  // Move reports its failures to make the folder or to run; Copy does not.
  const bool bLogFailures = bMove;
  std::string safeSrcPath;
  std::string safeDestPath;
  int nResult = t_CheckPaths(pszSrcPath, safeSrcPath, pszDestPath, &safeDestPath);
  if (nResult != XAP_RESULT_OK) return nResult;
  if (t_IsExistedPath(&safeSrcPath[0]) == 0) {
    XAP_ERROR();
    return XAP_RESULT_NOT_FOUND;
  }

  // The folder that must exist before the command runs: the destination
  // itself for a folder source or a destination ending in "/", else the
  // destination's parent.
  char szTrimmedDest[kCommandSize];
  char szDestFolder[kCommandSize];
  memset(szTrimmedDest, 0, sizeof szTrimmedDest);
  memset(szDestFolder, 0, sizeof szDestFolder);
  t_Trim(&safeDestPath[0], szTrimmedDest);
  size_t nDest = strlen(szTrimmedDest);
  if (t_GetItemType(&safeSrcPath[0]) != PL_FS_ITEM_TYPE_FILE ||
      (nDest > 0 && szTrimmedDest[nDest - 1] == '/')) {
    memcpy(szDestFolder, szTrimmedDest, nDest);
  } else {
    const char* pszLastSlash = strrchr(szTrimmedDest, '/');
    if (pszLastSlash != nullptr) {
      memcpy(szDestFolder, szTrimmedDest, static_cast<size_t>(pszLastSlash - szTrimmedDest));
    }
  }
  if (t_MakeFolder(szDestFolder) == 0) {
    if (bLogFailures) XAP_ERROR();
    return XAP_RESULT_NOT_FOUND;
  }

  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);  // NOLINTNEXTLINE(cert-err33-c): paths <= 255 characters
  snprintf(szCommand, sizeof szCommand, bMove ? XAP_CMD_MOVE : XAP_CMD_COPY, safeSrcPath.c_str(),
           safeDestPath.c_str());
  nResult = t_RunAndSync(szCommand);
  if (nResult != XAP_RESULT_OK && bLogFailures) XAP_ERROR();
  return nResult;
}

int CXapTaskFileSystem::Delete(char* pszPath) {
  XAP_TRACE();
  std::string safePath;
  int nResult = t_CheckPaths(pszPath, safePath, nullptr, nullptr);
  if (nResult != XAP_RESULT_OK) return nResult;
  XAP_LOG(4u, "pszSrcPath [%s]", safePath.c_str());
  if (t_IsExistedPath(&safePath[0]) == 0) {
    XAP_ERROR();
    return XAP_RESULT_NOT_FOUND;
  }
  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);  // NOLINTNEXTLINE(cert-err33-c): path <= 255 characters
  snprintf(szCommand, sizeof szCommand, XAP_CMD_DELETE, safePath.c_str());
  nResult = t_RunAndSync(szCommand);
  if (nResult != XAP_RESULT_OK) XAP_ERROR();
  return nResult;
}

int CXapTaskFileSystem::Unzip(char* pszSrcPath, char* pszDestPath) {
  XAP_TRACE();
  std::string safeSrcPath;
  std::string safeDestPath;
  int nResult = t_CheckPaths(pszSrcPath, safeSrcPath, pszDestPath, &safeDestPath);
  if (nResult != XAP_RESULT_OK) return nResult;
  // Three causes of -5, each logged from its own line.
  if (t_IsExistedPath(&safeSrcPath[0]) == 0) {
    XAP_ERROR();  // no archive
    return XAP_RESULT_NOT_FOUND;
  }
  if (t_GetItemType(&safeDestPath[0]) == PL_FS_ITEM_TYPE_FILE) {
    XAP_ERROR();  // the target is a file
    return XAP_RESULT_NOT_FOUND;
  }
  if (t_MakeFolder(&safeDestPath[0]) == 0) {
    XAP_ERROR();  // the target folder could not be made
    return XAP_RESULT_NOT_FOUND;
  }
  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);  // NOLINTNEXTLINE(cert-err33-c): paths <= 255 characters
  snprintf(szCommand, sizeof szCommand, XAP_CMD_UNZIP, safeSrcPath.c_str(), safeDestPath.c_str());
  nResult = t_RunAndSync(szCommand);
  if (nResult != XAP_RESULT_OK) XAP_ERROR();
  return nResult;
}

}  // namespace qom
