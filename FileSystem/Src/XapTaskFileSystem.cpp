#include "XapTaskFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QomShell.h"
#include "XapFileSystemLog.h"
#include "b64.h"

// Command lines of the module, shared by every operation. Tools that change
// files run at the lowest priority and are named by their absolute paths.
#define XAP_CMD_MKDIR "/usr/bin/nice -n 19 /bin/mkdir -p %s"
#define XAP_CMD_COPY "/usr/bin/nice -n 19 /bin/cp -rf %s %s"
#define XAP_CMD_MOVE "/usr/bin/nice -n 19 /bin/mv %s %s"
#define XAP_CMD_DELETE "/usr/bin/nice -n 19 /bin/rm -rf %s"
#define XAP_CMD_UNZIP "/usr/bin/nice -n 19 /usr/bin/unzip -q -o %s -d %s"
#define XAP_CMD_UNZIP_ASYNC "/usr/bin/nice -n 19 /usr/bin/unzip -o %s -d %s"
#define XAP_CMD_CHMOD_EXEC "/usr/bin/nice -n 19 /bin/chmod +x %s"
#define XAP_CMD_KILL_UNZIP "killall unzip"
#define XAP_CMD_SYNC "/bin/sync"

namespace qom {
namespace {

// How often t_CheckAuth opens a path that is missing before it gives up.
const int kOpenAttempts = 6;

// Command lines are formatted into buffers of this size.
const size_t kCommandSize = 1024;

// Limits of the path policy.
const size_t kMaxPathLength = 300;
const size_t kMaxSafeLength = 255;

// Allowed roots, compared byte-wise over their own length.
const char* const kAllowedRoots[] = {"/opt/down", "/tmp", "/opt/usr/apps"};
// Roots that a restricted widget may reach besides its own folder.
const char* const kSharedRoots[] = {"/opt/down/common/", "/tmp", "/opt/usr/apps"};

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

const CharTable kPathChars("");
const CharTable kCommandChars(" +");

enum ScreenVerdict { SCREEN_SAFE, SCREEN_TOO_LONG, SCREEN_UNSAFE };

ScreenVerdict Screen(const char* pszText, const CharTable& table, size_t* pnLength) {
  size_t nLength = strlen(pszText);
  *pnLength = nLength;
  if (nLength > kMaxSafeLength) return SCREEN_TOO_LONG;
  for (size_t i = 0; i < nLength; ++i) {
    if (!table.bAllowed[static_cast<unsigned char>(pszText[i])]) return SCREEN_UNSAFE;
  }
  return SCREEN_SAFE;
}

bool StartsWith(const char* pszText, const char* pszPrefix) {
  return strncmp(pszText, pszPrefix, strlen(pszPrefix)) == 0;
}

bool StartsWithAllowedRoot(const char* pszPath) {
  for (const char* pszRoot : kAllowedRoots) {
    if (StartsWith(pszPath, pszRoot)) return true;
  }
  return false;
}

}  // namespace

// Logs a screen's verdict in the name of the function that screened.
#define XAP_LOG_SCREEN(verdict, length)                                       \
  do {                                                                        \
    if ((verdict) == SCREEN_TOO_LONG) {                                       \
      XAP_LOG(0u, "overflow pszString size = [%d] ( 255 char size limited )", \
              static_cast<int>(length));                                      \
    } else if ((verdict) == SCREEN_UNSAFE) {                                  \
      XAP_LOG(3u, "The path specified is unsafe, NOT OK to proceed!!!!");     \
    } else {                                                                  \
      XAP_LOG(3u, "The path specified is safe, OK to proceed");               \
    }                                                                         \
  } while (0)

const char CXapTaskFileSystem::unsafeList[5] = "..";

CXapTaskFileSystem::CXapTaskFileSystem()
    : m_nFd(0), m_nAuthMode(0), m_pEngine(nullptr), m_nWidgetType(0) {
  XAP_TRACE();
  memset(m_szWidgetPath, 0, sizeof m_szWidgetPath);
  m_nWidgetType = 0;
}

CXapTaskFileSystem::~CXapTaskFileSystem() { XAP_TRACE(); }

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

int CXapTaskFileSystem::t_CheckAuth(const char* pszPath, int nMode, int nFlags,
                                    bool bReadableFile) {
  if (pszPath == nullptr) return 0;

  if (nMode == 0 && bReadableFile) {
    struct stat64 st;
    // A failed status read is not decisive; the open below is.
    if (stat64(pszPath, &st) == 0 && (!S_ISREG(st.st_mode) || (st.st_mode & S_IRUSR) == 0)) {
      m_nFd = 0;
      return 0;
    }
  }

  int nAccess;
  switch (nMode) {
    case 0:
      nAccess = O_RDONLY;
      break;
    case 1:
      nAccess = O_WRONLY;
      break;
    case 2:
      nAccess = O_RDWR;
      break;
    default:
      m_nFd = 0;
      return 0;
  }

  // O_CLOEXEC from the start: a shell command started by a worker between
  // the open and the fcntl below must not inherit the descriptor.
  int fd = -1;
  for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
    fd = open(pszPath, nFlags | nAccess | O_CLOEXEC, 0777);
    if (fd >= 0 || errno != ENOENT) break;
  }
  if (fd < 0) {
    m_nFd = -1;
    return 0;
  }
  m_nFd = fd;
  int fdFlags = fcntl(fd, F_GETFD);
  if (fdFlags >= 0) fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC);
  close(fd);
  m_nAuthMode = nMode;
  return 1;
}

int CXapTaskFileSystem::t_IsDirExist(const char* pszPath) {
  if (pszPath == nullptr) return 0;
  DIR* dir = opendir(pszPath);
  if (dir == nullptr) return 0;
  closedir(dir);
  return 1;
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

namespace qom {

// ---- The path policy.

int CXapTaskFileSystem::t_ValidPath(const char* pszPath) {
  size_t nLength = strlen(pszPath);
  if (nLength > kMaxPathLength) {
    XAP_LOG(3u, " Limited char size max. 300 = [%d]", static_cast<int>(nLength));
    return 0;
  }
  if (!StartsWithAllowedRoot(pszPath)) return 0;
  // Links are resolved only for the check; a path that does not resolve
  // (not made yet) is judged by its given prefix alone.
  char* pszResolved = realpath(pszPath, nullptr);
  if (pszResolved == nullptr) return 1;
  int nResult = StartsWithAllowedRoot(pszResolved) ? 1 : 0;
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
  ScreenVerdict eVerdict = Screen(pszString, kPathChars, &nLength);
  XAP_LOG_SCREEN(eVerdict, nLength);
  return eVerdict == SCREEN_SAFE ? 1 : 0;
}

int CXapTaskFileSystem::t_IsSafeCommandLine(const char* pszCommand) {
  if (pszCommand == nullptr) {
    XAP_ERROR();
    return 0;
  }
  size_t nLength = 0;
  ScreenVerdict eVerdict = Screen(pszCommand, kCommandChars, &nLength);
  XAP_LOG_SCREEN(eVerdict, nLength);
  return eVerdict == SCREEN_SAFE ? 1 : 0;
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
  bool bAccepted = m_nWidgetType == 1 || StartsWith(pszPath, m_szWidgetPath);
  for (size_t i = 0; !bAccepted && i < sizeof kSharedRoots / sizeof kSharedRoots[0]; ++i) {
    XAP_TRACE();
    bAccepted = StartsWith(pszPath, kSharedRoots[i]);
  }
  if (!bAccepted) {
    XAP_ERROR();
    XAP_LOG(4u, "cmdPath is illegal[%s]", pszPath);
    return XAP_RESULT_REFUSED;
  }
  XAP_LOG(4u, "safePath : [%s] =>[%s]", pszPath, strSafePath.c_str());
  return XAP_RESULT_OK;
}

// ---- Shell commands.

int CXapTaskFileSystem::t_SystemCall(const char* pszCommand) {
  XAP_TRACE();
  if (pszCommand == nullptr) {
    XAP_ERROR();
    return -1;
  }
  if (t_IsSafeCommandLine(pszCommand) == 0) {
    XAP_ERROR();
    return -1;
  }
  int nResult = QomExecShell(pszCommand);
  XAP_LOG(3u, "pszCommand = [%s]", pszCommand);
  return nResult;
}

int CXapTaskFileSystem::t_MakeFolder(char* pszPath) {
  if (t_IsExistedPath(pszPath) != 0) return 1;
  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);
  snprintf(szCommand, sizeof szCommand, XAP_CMD_MKDIR, pszPath);
  return t_SystemCall(szCommand) == 0 ? 1 : 0;
}

// ---- Items.

namespace {

// Permission bits as the system reports them, and as PTStat keeps them.
const uint32_t arr1[12] = {04000, 02000, 01000, 0400, 0200, 0100, 040, 020, 010, 04, 02, 01};
const uint32_t arr2[12] = {04000, 02000, 01000, 0400, 0200, 0100, 040, 020, 010, 04, 02, 01};

const uint32_t kKnownTypes[] = {0100000, 040000, 020000, 060000, 010000, 0120000, 0140000};

}  // namespace

int CXapTaskFileSystem::t_Stat(const char* pszPath, PTStat* pStat) {
  struct stat64 st;
  int nResult = stat64(pszPath, &st);
  if (nResult != 0) return nResult;
  pStat->st_dev = st.st_dev;
  pStat->st_ino = st.st_ino;
  pStat->st_nlink = static_cast<uint32_t>(st.st_nlink);
  pStat->st_uid = st.st_uid;
  pStat->st_gid = st.st_gid;
  pStat->st_rdev = st.st_rdev;
  pStat->st_size = st.st_size;
  pStat->st_blksize = static_cast<int32_t>(st.st_blksize);
  pStat->st_blocks = st.st_blocks;
  pStat->st_atime = static_cast<int32_t>(st.st_atim.tv_sec);
  pStat->st_mtime = static_cast<int32_t>(st.st_mtim.tv_sec);
  pStat->st_ctime = static_cast<int32_t>(st.st_ctim.tv_sec);
  pStat->st_mode = 0;
  uint32_t nType = st.st_mode & 0170000;
  for (uint32_t nKnown : kKnownTypes) {
    if (nType == nKnown) pStat->st_mode = nType;
  }
  for (int i = 0; i < 12; ++i) {
    if ((st.st_mode & arr1[i]) == arr1[i]) pStat->st_mode |= arr2[i];
  }
  return 0;
}

int CXapTaskFileSystem::t_IsExistedPath(char* pszPath) {
  if (pszPath == nullptr) {
    XAP_ERROR();
    return 0;
  }
  if (t_CheckAuth(pszPath, 0, 0, true) != 0) return 1;
  return t_IsDirExist(pszPath);
}

_PL_FS_ITEM_TYPE CXapTaskFileSystem::t_GetItemType(char* pszPath) {
  if (t_CheckAuth(pszPath, 0, 0, true) != 0) return PL_FS_ITEM_TYPE_FILE;
  if (t_IsDirExist(pszPath) != 0) return PL_FS_ITEM_TYPE_DIRECTORY;
  return PL_FS_ITEM_TYPE_UNKNOWN;
}

int CXapTaskFileSystem::IsExistedPath(char* pszPath) {
  if (pszPath == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_NULL_ARGUMENT;
  }
  if (t_IsExistedPath(pszPath) != 0) return XAP_RESULT_OK;
  XAP_ERROR();
  return XAP_RESULT_FAIL;
}

int CXapTaskFileSystem::GetItemType(char* pszPath, _PL_FS_ITEM_TYPE* peType) {
  if (pszPath == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_NULL_ARGUMENT;
  }
  *peType = t_GetItemType(pszPath);
  return XAP_RESULT_OK;
}

int CXapTaskFileSystem::GetFileSize(char* pszPath, int* pnSize) {
  if (pszPath == nullptr || pnSize == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_NULL_ARGUMENT;
  }
  PTStat statBuf;
  if (t_Stat(pszPath, &statBuf) != 0) {
    // Never report a size that was not read.
    XAP_ERROR();
    return XAP_RESULT_NOT_FOUND;
  }
  // The reply carries the low 32 bits, as a signed int.
  *pnSize = static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(statBuf.st_size)));
  XAP_LOG(4u, "statBuf.st_size int [%d]\n", *pnSize);
  XAP_LOG(4u, "statBuf.st_size long [%ld]\n", static_cast<long>(statBuf.st_size));
  return XAP_RESULT_OK;
}

// ---- Widget information, unzip cancel, executable flag.

int CXapTaskFileSystem::UnzipKill() {
  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);
  snprintf(szCommand, sizeof szCommand, XAP_CMD_KILL_UNZIP);
  if (t_SystemCall(szCommand) == 0) return XAP_RESULT_OK;
  XAP_ERROR();
  return XAP_RESULT_FAIL;
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

int CXapTaskFileSystem::SetXapFileExecutable(char* pszXapFileName) {
  XAP_TRACE();
  if (pszXapFileName == nullptr) {
    XAP_ERROR();
    return 0;
  }
  char szTarget[kCommandSize];
  memset(szTarget, 0, sizeof szTarget);
  snprintf(szTarget, sizeof szTarget, "/opt/down/xaps/xap%s/xap%s", pszXapFileName, pszXapFileName);
  XAP_LOG(3u, "pszXapFileName=[%s], target=[%s]", pszXapFileName, szTarget);
  if (t_IsSafeSystemString(pszXapFileName) == 0) return 1;
  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);
  int nLength = snprintf(szCommand, sizeof szCommand, XAP_CMD_CHMOD_EXEC, szTarget);
  if (nLength < 0 || static_cast<size_t>(nLength) >= sizeof szCommand) {
    // Cannot happen for a name that passed the check; never run a cut line.
    XAP_ERROR();
    return 1;
  }
  t_SystemCall(szCommand);  // the caller learns nothing of the outcome
  return 1;
}

}  // namespace qom
