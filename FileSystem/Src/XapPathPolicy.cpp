// The path policy: the checks of text (the screens of XapPathPolicy.h, the
// roots), and the task's members that apply them to every path an
// operation works on, with their log lines.
#include "XapPathPolicy.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "XapFileSystemLog.h"
#include "XapTaskFileSystem.h"

namespace qom {
namespace policy {
namespace {

// Longest path the policy looks at, and longest text a screen passes.
const size_t kMaxPathLength = 300;
const size_t kMaxSafeLength = 255;

const char* const kAllowedRoots[] = {"/opt/down", "/tmp", "/opt/usr/apps"};
// Roots that a restricted widget may reach besides its own folder.
const char* const kSharedRoots[3] = {"/opt/down/common/", "/tmp", "/opt/usr/apps"};

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

// Whether pszText begins with pszPrefix, byte for byte.
bool StartsWith(const char* pszText, const char* pszPrefix) {
  return strncmp(pszText, pszPrefix, strlen(pszPrefix)) == 0;
}

// Whether the path begins with an allowed root, compared over the root's
// own length (so "/tmpx" passes too).
bool UnderAllowedRoot(const char* pszPath) {
  for (const char* pszRoot : kAllowedRoots) {
    if (StartsWith(pszPath, pszRoot)) return true;
  }
  return false;
}

}  // namespace

ScreenVerdict ScreenPath(const char* pszPath, size_t* pnLength) {
  return Screen(pszPath, kPathChars, pnLength);
}

ScreenVerdict ScreenCommandLine(const char* pszCommand, size_t* pnLength) {
  return Screen(pszCommand, kCommandChars, pnLength);
}

}  // namespace policy

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
  XAP_LOG_SCREEN(eVerdict, nLength);
  return eVerdict == policy::SCREEN_SAFE ? 1 : 0;
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
