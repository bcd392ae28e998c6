// The path policy: the pure checks of text (XapPathPolicy.h), and the task's
// members that apply them to every path an operation works on and to every
// command line before it runs, with their log lines.
#include "XapPathPolicy.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "XapFileSystemLog.h"
#include "XapTaskFileSystem.h"

namespace qom {
namespace policy {
namespace {

const char* const kAllowedRoots[] = {"/opt/down", "/tmp", "/opt/usr/apps"};

// The safe characters, as the policy states them (the 0 stands twice).
const char kSafeCharacters[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ01234567890_-/.";

// Which bytes a screen admits.
struct CharTable {
  bool bAllowed[256];
  explicit CharTable(const char* pszExtra) : bAllowed() {
    for (const char* p = kSafeCharacters; *p != '\0'; ++p) {
      bAllowed[static_cast<unsigned char>(*p)] = true;
    }
    for (const char* p = pszExtra; *p != '\0'; ++p) bAllowed[static_cast<unsigned char>(*p)] = true;
  }
};

const CharTable kPathChars("");       // NOLINT(cert-err58-cpp): the constructor cannot throw
const CharTable kCommandChars(" +");  // NOLINT(cert-err58-cpp): the constructor cannot throw

ScreenVerdict Screen(const char* pszText, const CharTable& table, size_t* pnLength) {
  size_t nLength = strlen(pszText);
  *pnLength = nLength;
  if (nLength > kMaxSafeLength) return SCREEN_TOO_LONG;
  for (size_t i = 0; i < nLength; ++i) {
    if (!table.bAllowed[static_cast<unsigned char>(pszText[i])]) return SCREEN_UNSAFE;
  }
  return SCREEN_SAFE;
}

}  // namespace

const char* const kSharedRoots[3] = {"/opt/down/common/", "/tmp", "/opt/usr/apps"};

ScreenVerdict ScreenPath(const char* pszPath, size_t* pnLength) {
  return Screen(pszPath, kPathChars, pnLength);
}

ScreenVerdict ScreenCommandLine(const char* pszCommand, size_t* pnLength) {
  return Screen(pszCommand, kCommandChars, pnLength);
}

bool StartsWith(const char* pszText, const char* pszPrefix) {
  return strncmp(pszText, pszPrefix, strlen(pszPrefix)) == 0;
}

bool UnderAllowedRoot(const char* pszPath) {
  for (const char* pszRoot : kAllowedRoots) {
    if (StartsWith(pszPath, pszRoot)) return true;
  }
  return false;
}

}  // namespace policy

// Logs a screen's verdict in the name of the function that screened.
#define XAP_LOG_SCREEN_AT(site, verdict, length)                                       \
  do {                                                                                 \
    if ((verdict) == policy::SCREEN_TOO_LONG) {                                        \
      XAP_LOG_AT(site, 0u, "overflow pszString size = [%d] ( 255 char size limited )", \
                 static_cast<int>(length));                                            \
    } else if ((verdict) == policy::SCREEN_UNSAFE) {                                   \
      XAP_LOG_AT(site, 3u, "The path specified is unsafe, NOT OK to proceed!!!!");     \
    } else {                                                                           \
      XAP_LOG_AT(site, 3u, "The path specified is safe, OK to proceed");               \
    }                                                                                  \
  } while (0)

const char CXapTaskFileSystem::unsafeList[5] = "..";

int CXapTaskFileSystem::t_ValidPath(const char* pszPath) {
  size_t nLength = strlen(pszPath);
  if (nLength > policy::kMaxPathLength) {
    XAP_LOG(3u, " Limited char size max. 300 = [%d]", static_cast<int>(nLength));
    return 0;
  }
  if (!policy::UnderAllowedRoot(pszPath)) return 0;
  // Links are resolved only for the check; a path that does not resolve
  // (not made yet) is judged by its given prefix alone.
  char* pszResolved = m_pEnv->RealPath(pszPath);
  if (pszResolved == nullptr) return 1;
  int nResult = policy::UnderAllowedRoot(pszResolved) ? 1 : 0;
  free(pszResolved);
  return nResult;
}

int CXapTaskFileSystem::t_IsSafeSystemPath(const char* pszPath) {
  if (pszPath == nullptr) {
    XAP_ERROR();
    return 0;
  }
  if (t_ValidPath(pszPath) == 0) {
    XAP_LOG(3u, "Cannot permit this path= [%s]", pszPath);
    return 0;
  }
  if (strstr(pszPath, unsafeList) != nullptr) {
    XAP_LOG(3u, "Find unsafe string in system path= [%s]", pszPath);
    return 0;
  }
  return 1;
}

int CXapTaskFileSystem::t_IsSafeSystemString(const char* pszString) {
  if (pszString == nullptr) {
    XAP_ERROR();
    return 0;
  }
  size_t nLength = 0;
  policy::ScreenVerdict eVerdict = policy::ScreenPath(pszString, &nLength);
  XAP_LOG_SCREEN_AT(XAP_HERE, eVerdict, nLength);
  return eVerdict == policy::SCREEN_SAFE ? 1 : 0;
}

int CXapTaskFileSystem::t_IsSafeCommandLine(const XapLogSite& site, const char* pszCommand) {
  if (pszCommand == nullptr) {
    XAP_ERROR_AT(XAP_LINE_IN(site));
    return 0;
  }
  size_t nLength = 0;
  policy::ScreenVerdict eVerdict = policy::ScreenCommandLine(pszCommand, &nLength);
  XAP_LOG_SCREEN_AT(site, eVerdict, nLength);
  if (eVerdict != policy::SCREEN_SAFE) {
    XAP_ERROR_AT(XAP_LINE_IN(site));
    return 0;
  }
  return 1;
}

int CXapTaskFileSystem::t_MakeSafePath(char* pszPath, std::string& strSafePath) {
  if (m_nWidgetType == 0) {
    XAP_ERROR();
    return XAP_RESULT_NO_WIDGET;
  }
  if (t_IsSafeSystemPath(pszPath) == 0) {
    XAP_ERROR();
    return XAP_RESULT_REFUSED;
  }
  if (t_IsSafeSystemString(pszPath) == 0) {
    XAP_ERROR();
    return XAP_RESULT_REFUSED;
  }
  // Every allowed root begins with "/", so the path is absolute here.
  strSafePath = pszPath;
  bool bAccepted = m_nWidgetType == 1 || policy::StartsWith(pszPath, m_szWidgetPath);
  for (const char* pszRoot : policy::kSharedRoots) {
    if (bAccepted) break;
    XAP_TRACE();
    bAccepted = policy::StartsWith(pszPath, pszRoot);
  }
  if (!bAccepted) {
    XAP_ERROR();
    XAP_LOG(4u, "cmdPath is illegal[%s]", pszPath);
    return XAP_RESULT_REFUSED;
  }
  XAP_LOG(4u, "safePath : [%s] =>[%s]", pszPath, strSafePath.c_str());
  return XAP_RESULT_OK;
}

}  // namespace qom
