#include "XapTaskFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <mntent.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "QomShell.h"
#include "XapBase.h"
#include "XapEngineFileSystem.h"
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

const CharTable kPathChars("");       // NOLINT(cert-err58-cpp): the constructor cannot throw
const CharTable kCommandChars(" +");  // NOLINT(cert-err58-cpp): the constructor cannot throw

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
#define XAP_LOG_SCREEN_AT(site, verdict, length)                                       \
  do {                                                                                 \
    if ((verdict) == SCREEN_TOO_LONG) {                                                \
      XAP_LOG_AT(site, 0u, "overflow pszString size = [%d] ( 255 char size limited )", \
                 static_cast<int>(length));                                            \
    } else if ((verdict) == SCREEN_UNSAFE) {                                           \
      XAP_LOG_AT(site, 3u, "The path specified is unsafe, NOT OK to proceed!!!!");     \
    } else {                                                                           \
      XAP_LOG_AT(site, 3u, "The path specified is safe, OK to proceed");               \
    }                                                                                  \
  } while (0)

const char CXapTaskFileSystem::unsafeList[5] = "..";

CXapTaskFileSystem::CXapTaskFileSystem()
    : m_nFd(0),
      m_nAuthMode(0),
      m_pEngine(nullptr),
      m_nWidgetType(0),
      m_pEngineLife(std::make_shared<PTEngineLife>()) {
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

  // Close-on-exec from the start: a shell command that a worker starts
  // meanwhile must not inherit the descriptor. Never waiting: a FIFO put in
  // place after the status call, or a file under a lease, would hold the
  // command thread until a writer or the lease's owner came.
  int fd = -1;
  for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
    fd = open(pszPath, nFlags | nAccess | O_CLOEXEC | O_NONBLOCK, 0777);
    if (fd >= 0 || errno != ENOENT) break;
  }
  // A file under another process's lease refuses a non-blocking open with
  // EWOULDBLOCK: a blocking open would have waited for the lease to break
  // and then succeeded, so it counts as opened.
  bool bLeased = fd < 0 && (errno == EWOULDBLOCK || errno == EAGAIN);
  if (fd < 0 && !bLeased) {
    m_nFd = -1;
    return 0;
  }
  // Already close-on-exec through O_CLOEXEC above: no fcntl round trips.
  m_nFd = fd;
  if (!bLeased) close(fd);
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
  XAP_LOG_SCREEN_AT(XAP_HERE, eVerdict, nLength);
  return eVerdict == SCREEN_SAFE ? 1 : 0;
}

int CXapTaskFileSystem::t_IsSafeCommandLine(const XapLogSite& site, const char* pszCommand) {
  if (pszCommand == nullptr) {
    XAP_ERROR_AT(site);
    return 0;
  }
  size_t nLength = 0;
  ScreenVerdict eVerdict = Screen(pszCommand, kCommandChars, &nLength);
  XAP_LOG_SCREEN_AT(site, eVerdict, nLength);
  if (eVerdict != SCREEN_SAFE) {
    XAP_ERROR_AT(site);
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
  if (t_IsSafeCommandLine(XAP_HERE, pszCommand) == 0) return -1;
  int nResult = QomExecShell(pszCommand);
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

// ---- Items.

namespace {

// Permission bits as the system reports them, and as PTStat keeps them.
const uint32_t arr1[12] = {04000, 02000, 01000, 0400, 0200, 0100, 040, 020, 010, 04, 02, 01};
const uint32_t arr2[12] = {04000, 02000, 01000, 0400, 0200, 0100, 040, 020, 010, 04, 02, 01};

const uint32_t kKnownTypes[] = {0100000, 040000, 020000, 060000, 010000, 0120000, 0140000};

// A size as the replies carry it: its low 32 bits, as a signed int.
int Low32(int64_t nSize) {
  return static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(nSize)));
}

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
  *pnSize = Low32(statBuf.st_size);
  XAP_LOG(4u, "statBuf.st_size int [%d]\n", *pnSize);
  XAP_LOG(4u, "statBuf.st_size long [%ld]\n", static_cast<long>(statBuf.st_size));
  return XAP_RESULT_OK;
}

// ---- Widget information, unzip cancel, executable flag.

int CXapTaskFileSystem::UnzipKill() {
  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);
  snprintf(szCommand, sizeof szCommand, XAP_CMD_KILL_UNZIP);  // NOLINT(cert-err33-c): a fixed text
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

// ---- Partition capacity.

int CXapTaskFileSystem::GetTotalSize(unsigned long long* pullTotal) {
  if (pullTotal == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_NULL_ARGUMENT;
  }
  t_GetSizeInfo(pullTotal, nullptr, nullptr);
  return XAP_RESULT_OK;
}

int CXapTaskFileSystem::GetUsedSize(unsigned long long* pullUsed) {
  if (pullUsed == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_NULL_ARGUMENT;
  }
  t_GetSizeInfo(nullptr, pullUsed, nullptr);
  return XAP_RESULT_OK;
}

int CXapTaskFileSystem::GetFreeSize(unsigned long long* pullFree) {
  if (pullFree == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_NULL_ARGUMENT;
  }
  t_GetSizeInfo(nullptr, nullptr, pullFree);
  return XAP_RESULT_OK;
}

int CXapTaskFileSystem::t_GetSizeInfo(unsigned long long* pullTotal, unsigned long long* pullUsed,
                                      unsigned long long* pullFree) {
  char* pszResolved = realpath("/tmp", nullptr);
  if (pszResolved == nullptr) {
    XAP_LOG(0u, "realpath failed. errno[%d]", errno);
    return 0;
  }
  XAP_LOG(4u, "Resovled Path Name[%s]\n", pszResolved);

  int s_percent = 0;
  bool bFound = false;
  struct statfs64 fs;
  FILE* pTable = setmntent("/proc/mounts", "r");
  if (pTable == nullptr) {
    XAP_LOG(0u, "Can not get mount info. Please check /proc/mounts");
  } else {
    struct mntent entry;
    char szLine[256];
    memset(szLine, 0, sizeof szLine);
    while (getmntent_r(pTable, &entry, szLine, sizeof szLine) != nullptr) {
      if (entry.mnt_dir == nullptr || entry.mnt_fsname == nullptr) continue;
      if (statfs64(entry.mnt_dir, &fs) != 0) continue;
      if (strcmp(entry.mnt_dir, pszResolved) == 0) {
        bFound = true;
        break;
      }
    }
    if (!bFound) {
      XAP_LOG(0u, "End of getmntent : Can't get mount entry information.");
      endmntent(pTable);
    }
  }

  if (bFound) {
    unsigned long long ullBlockSize = static_cast<unsigned long long>(fs.f_bsize);
    unsigned long long ullTotal = ullBlockSize * fs.f_blocks;
    unsigned long long ullUsed = ullBlockSize * (fs.f_blocks - fs.f_bfree);
    unsigned long long ullFree = ullBlockSize * fs.f_bavail;
    // Share of the blocks an unprivileged user can have, in hundredths of a
    // percent; blocks reserved for root are left out.
    if (ullTotal != 0 && ullUsed + ullFree != 0) {
      s_percent = static_cast<int>(  // NOLINTNEXTLINE(bugprone-incorrect-roundings): log-only, >= 0
          static_cast<double>(ullUsed * 10000ULL) / static_cast<double>(ullUsed + ullFree) + 0.5);
    }
    if (pullTotal != nullptr) *pullTotal = ullTotal;
    if (pullUsed != nullptr) *pullUsed = ullUsed;
    if (pullFree != nullptr) *pullFree = ullFree;
    endmntent(pTable);
    XAP_LOG(4u, "%s Total: %lld, Used:%lld, Free:%lld\n", pszResolved,
            static_cast<long long>(ullTotal), static_cast<long long>(ullUsed),
            static_cast<long long>(ullFree));
  } else {
    XAP_LOG(0u, "Can not find Widget Partition path: %s", pszResolved);
  }
  XAP_LOG(0u, "s_percent[%d]", s_percent);
  free(pszResolved);
  return 1;
}

// ---- Folder size.

namespace {

// Longest entry path the walk joins; an entry whose path would be longer
// is skipped, so the walk never works on a cut path.
const size_t kMaxEntryPath = 255;

// Only a walk that keeps coming back to folders it has read through links
// can run without end (a loop of links, a fan-out of links into links,
// /proc/self), so only that work is counted, in steps: reading an entry, a
// status call, opening a folder relative to its parent are one step each;
// a lookup through the joined path (up to 255 characters and 40 links) is
// kStepsPerLookup. The budget is about 0.25 s of the worst such work on a
// 2-core x86-64 machine, 4 to 8 times that on the device.
const long kMaxRepeatedSteps = 200000;
const long kStepsPerLookup = 16;
// A lookup also resolves the links named inside link texts of up to 4 KiB,
// which the walk does not see: one may take milliseconds. Lookups may take
// this much processor time in all, counted in every folder; ordinary ones
// take microseconds.
const int64_t kMaxLookupNanoseconds = 1000000000;

// A lookup through the joined path that fails with ELOOP is tried once
// more: the kernel can report a false ELOOP for a long chain of links while
// other processes rename folders (rarely: a few in a million lookups). A
// real loop fails both times.
const int kLookupAttempts = 2;

// Processor time of the calling thread, in nanoseconds: what a lookup cost,
// without the time it waited for the processor.
int64_t ThreadCpuNanoseconds() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Bytes of directory entries read at a time, per level of depth.
const size_t kEntryBuffer = 8192;

struct FolderKey {
  uint64_t nDevice;
  uint64_t nInode;
  bool operator==(const FolderKey& other) const {
    return nDevice == other.nDevice && nInode == other.nInode;
  }
};

struct FolderKeyHash {
  size_t operator()(const FolderKey& key) const {
    return std::hash<uint64_t>()(key.nInode * 0x9E3779B97F4A7C15ULL ^ key.nDevice);
  }
};

}  // namespace

// State of one GetFolderSize walk.
struct CXapTaskFileSystem::FolderWalk {
  double* plfTotal;
  bool bSearchLink;
  std::string strPath;      // the folder being read, joined as "%s/%s" from the top
  size_t nDepth = 0;        // folders between the top and the one being read
  bool bBelowLink = false;  // a followed link lies between the top and this folder
  bool bRepeating = false;  // this folder was read before through links
  std::unordered_set<FolderKey, FolderKeyHash> readThroughLinks;
  long nRepeatedSteps = 0;
  int64_t nLookupNanoseconds = 0;  // processor time of every lookup so far
  bool bCut = false;               // the budget ran out: the walk stops
  // One entry buffer per depth, kept for the whole walk.
  std::vector<std::vector<char>> buffers;

  // Counts steps of repeated work; false once a budget is spent.
  bool Repeat(long nSteps) {
    nRepeatedSteps += nSteps;
    if (nRepeatedSteps > kMaxRepeatedSteps || nLookupNanoseconds > kMaxLookupNanoseconds) {
      bCut = true;
    }
    return !bCut;
  }
};

int CXapTaskFileSystem::GetFolderSize(double* plfSize, char* pszFolder, bool bSub,
                                      bool bSearchLink) {
  XAP_TRACE();
  if (pszFolder == nullptr || plfSize == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  XAP_LOG(3u, "pszFolder=[%s] bSub=[%d] bSearchLink=[%d]", pszFolder, bSub ? 1 : 0,
          bSearchLink ? 1 : 0);
  double lfFolderSize = 0.0;
  FolderWalk walk;
  walk.plfTotal = &lfFolderSize;
  walk.bSearchLink = bSearchLink;
  walk.strPath = pszFolder;
  // A folder that cannot be read measures 0.
  t_GetFolderSizeHelper(walk, AT_FDCWD, pszFolder, bSub, true);
  if (walk.bCut) {
    // A partial sum would be a wrong answer: none is given.
    XAP_LOG(0u,
            "folder walk of [%s] cut after %ld steps in folders already read through links and "
            "%ld ms of lookups, at [%s] (%.0lf bytes so far)",
            pszFolder, walk.nRepeatedSteps, static_cast<long>(walk.nLookupNanoseconds / 1000000),
            walk.strPath.c_str(), lfFolderSize);
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  XAP_LOG(3u, "lfFolderSize=[%lf]", lfFolderSize);
  *plfSize = lfFolderSize;
  return XAP_RESULT_OK;
}

int CXapTaskFileSystem::t_GetFolderSizeHelper(FolderWalk& walk, int nParentFd, const char* pszName,
                                              bool bSub, bool bByPath) {
  XAP_LOG(3u, "# pszFolder = [%s]", walk.strPath.c_str());
  const bool bParentRepeating = walk.bRepeating;
  const bool bParentBelowLink = walk.bBelowLink;
  const int nFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;
  int fd = -1;
  if (bByPath) {
    // The joined path decides: its links resolve as the kernel counts them.
    int64_t nStart = ThreadCpuNanoseconds();
    int nLookups = 0;
    do {
      ++nLookups;
      fd = open(walk.strPath.c_str(), nFlags);
    } while (fd < 0 && errno == ELOOP && nLookups < kLookupAttempts);
    walk.nLookupNanoseconds += ThreadCpuNanoseconds() - nStart;
    if (!walk.Repeat(bParentRepeating ? kStepsPerLookup * nLookups : 0)) {
      if (fd >= 0) close(fd);
      return 0;
    }
  } else {
    // A real subfolder, opened without following a link that might have
    // taken its place since its status was read. Its joined path holds the
    // same links as its parent's, which resolved, so the two opens agree.
    fd = openat(nParentFd, pszName, nFlags | O_NOFOLLOW);
  }
  if (fd < 0) return 0;
  // A folder read before through links is work done again: every step of
  // its visit counts.
  walk.bBelowLink = bParentBelowLink || (bByPath && nParentFd != AT_FDCWD);
  walk.bRepeating = false;
  if (walk.bBelowLink) {
    struct stat64 st;
    walk.bRepeating = fstat64(fd, &st) == 0 &&
                      !walk.readThroughLinks.insert(FolderKey{st.st_dev, st.st_ino}).second;
  }
  const bool bRepeating = walk.bRepeating;
  if (walk.buffers.size() <= walk.nDepth) walk.buffers.emplace_back(kEntryBuffer);
  // The block outlives moves of the outer vector; a reference would not.
  char* pBuffer = walk.buffers[walk.nDepth].data();
  size_t nFolderLength = walk.strPath.size();
  ++walk.nDepth;

  ssize_t nRead;
  while ((!bRepeating || walk.Repeat(1)) && (nRead = getdents64(fd, pBuffer, kEntryBuffer)) > 0) {
    for (ssize_t nOffset = 0; !walk.bCut && nOffset < nRead;) {
      const struct dirent64* pEntry = reinterpret_cast<const struct dirent64*>(pBuffer + nOffset);
      nOffset += pEntry->d_reclen;
      const char* pszEntry = pEntry->d_name;
      bool bFits = nFolderLength + 1 + strlen(pszEntry) <= kMaxEntryPath;
      if (bRepeating && !walk.Repeat(bFits ? 2 : 1)) break;
      if (!bFits) continue;
      walk.strPath.append("/").append(pszEntry);
      // "." and ".." are entries like any other: their status is read too.
      // Read relative to the open folder, it is the status that the joined
      // path names: the folder's own path resolved.
      struct stat64 st;
      int nStat = fstatat64(fd, pszEntry, &st, AT_SYMLINK_NOFOLLOW);
      bool bDots = strcmp(pszEntry, ".") == 0 || strcmp(pszEntry, "..") == 0;
      // The 32-bit status call cannot read an entry of 2 GiB or more: such an
      // entry adds nothing and is not descended into.
      if (nStat == 0 && st.st_size <= INT32_MAX) {
        *walk.plfTotal += static_cast<double>(st.st_size);
        if (bSub && !bDots && S_ISDIR(st.st_mode)) {
          t_GetFolderSizeHelper(walk, fd, pszEntry, true, false);
        } else if (bSub && !bDots && S_ISLNK(st.st_mode) && walk.bSearchLink) {
          // A link to a file fails to open and adds nothing more.
          t_GetFolderSizeHelper(walk, fd, pszEntry, true, true);
        }
      }
      if (!walk.bCut) walk.strPath.resize(nFolderLength);
    }
  }
  --walk.nDepth;
  close(fd);
  walk.bRepeating = bParentRepeating;
  walk.bBelowLink = bParentBelowLink;
  return 1;
}

// ---- Item properties and folder listing.

namespace {

const size_t kFragmentSize = 1024;    // one property
const size_t kCurrentDirSize = 1024;  // the working folder that GetProperty shows
const size_t kNameFragment = 256;     // one listed name

const char kListingOpen[] = "[ ";
const char kListingClose[] = " 0 ]";

const char* Bool(bool b) { return b ? "true" : "false"; }

// Counts a folder's entries other than "." and ".."; -1 when it cannot be
// opened or closed.
int CountEntries(const char* pszFolder) {
  DIR* pDir = opendir(pszFolder);
  if (pDir == nullptr) return -1;
  int nCount = 0;
  while (struct dirent* pEntry = readdir(pDir)) {  // NOLINT(concurrency-mt-unsafe): its own stream
    if (strcmp(pEntry->d_name, ".") != 0 && strcmp(pEntry->d_name, "..") != 0) ++nCount;
  }
  return closedir(pDir) == 0 ? nCount : -1;
}

}  // namespace

CXapTaskFileSystem::PTReplyText::PTReplyText() { memset(m_szText, 0, sizeof m_szText); }
// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style; -Wformat=2 checks every call (format attribute)
void CXapTaskFileSystem::PTReplyText::Add(const char* pszFormat, ...) {
  char szFragment[kFragmentSize];
  memset(szFragment, 0, sizeof szFragment);
  va_list args;
  va_start(args, pszFormat);
  int n = vsnprintf(szFragment, kFragmentSize - 1, pszFormat, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= kFragmentSize - 1) {
    m_bSpoiled = true;
    return;
  }
  Append(szFragment, static_cast<size_t>(n));
}

void CXapTaskFileSystem::PTReplyText::Append(const char* pszText, size_t nLength) {
  if (m_bSpoiled || m_nLength + nLength > kTextReplySize - 1) {
    m_bSpoiled = true;
    return;
  }
  memcpy(m_szText + m_nLength, pszText, nLength);
  m_nLength += nLength;
}

bool CXapTaskFileSystem::PTReplyText::Fits(size_t nMore) const {
  return m_nLength + nMore <= kTextReplySize - 1;
}

void CXapTaskFileSystem::PTReplyText::CopyTo(char* pszOutput) const {
  memcpy(pszOutput, m_szText, m_nLength);
}

void CXapTaskFileSystem::t_PropertyText(PTReplyText& text, const PTStat& st,
                                        const char* pszCurrentDir, const char* pszName,
                                        int nCount) {
  bool bReadOnly = (st.st_mode & 0400) != 0 && (st.st_mode & 0700) != 0700;
  bool bIsFile = (st.st_mode & 0100000) != 0;
  bool bIsDirectory = !bIsFile && (st.st_mode & 040000) != 0;
  text.Add("{ \"readOnly\": %s, ", Bool(bReadOnly));
  text.Add("\"isFile\": %s, ", Bool(bIsFile));
  text.Add("\"isDirectory\": %s, ", Bool(bIsDirectory));
  text.Add("\"created\": %d, ", st.st_atime);
  text.Add("\"modified\": %d, ", st.st_mtime);
  text.Add("\"path\": %s, ", pszCurrentDir);
  if (pszName != nullptr) {
    text.Add("\"name\": %s, ", pszName);
    text.Add("\"fullPath\": %s/%s, ", pszCurrentDir, pszName);
  } else {
    text.Add("\"name\": NULL, ");
    text.Add("\"fullPath\": %s, ", pszCurrentDir);
  }
  text.Add("\"fileSize\": %d, ", Low32(st.st_size));
  text.Add("\"length\": %d }", nCount);
}

int CXapTaskFileSystem::GetProperty(char* pszPath, char* pszOutput) {
  std::string strSafePath;
  int nResult = t_MakeSafePath(pszPath, strSafePath);
  if (nResult != XAP_RESULT_OK) return nResult;
  PTStat st;
  if (t_Stat(strSafePath.c_str(), &st) != 0) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }

  // The folder to describe: the one that holds a file, or the folder itself.
  bool bIsFile = (st.st_mode & 0100000) != 0;
  std::string strFolder = strSafePath;
  std::string strName;
  if (bIsFile) {
    size_t nCut = strSafePath.find_last_of("/\\");
    strFolder = nCut == std::string::npos ? std::string() : strSafePath.substr(0, nCut);
    strName = nCut == std::string::npos ? strSafePath : strSafePath.substr(nCut + 1);
  }
  char szCurrentDir[kCurrentDirSize];
  memset(szCurrentDir, 0, sizeof szCurrentDir);
  int nChangeDir = chdir(strFolder.c_str());
  bool bReadDir = getcwd(szCurrentDir, sizeof szCurrentDir) != nullptr;
  if (!bReadDir) szCurrentDir[0] = '\0';
  XAP_LOG(3u, "change dir: %d, current dir: %s\n", nChangeDir, szCurrentDir);
  if (!bReadDir) {
    // A folder whose resolved path does not fit the buffer cannot be shown.
    XAP_LOG(0u, "current directory unreadable after change to [%s]", strFolder.c_str());
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  int nCount = CountEntries(strFolder.c_str());
  if (nCount < 0) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }

  PTReplyText text;
  t_PropertyText(text, st, szCurrentDir, bIsFile ? strName.c_str() : nullptr, nCount);
  if (text.Spoiled()) {
    XAP_LOG(0u, "property text longer than %d characters: [%s]",
            static_cast<int>(kTextReplySize - 1), strSafePath.c_str());
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  text.CopyTo(pszOutput);
  return XAP_RESULT_OK;
}

void CXapTaskFileSystem::t_ListingOpen(PTReplyText& text) {
  text.Append(kListingOpen, sizeof kListingOpen - 1);
}

bool CXapTaskFileSystem::t_ListingAdd(PTReplyText& text, const char* pszName) {
  size_t nName = strlen(pszName);
  // The fragment "\"name\", ", and room left for the closing part.
  if (!text.Fits(nName + 4 + sizeof kListingClose - 1)) return false;
  if (nName + 4 < kNameFragment - 1) {
    char szFragment[kNameFragment];
    memset(szFragment, 0, sizeof szFragment);
    int n = snprintf(szFragment, kNameFragment - 1, "\"%s\", ", pszName);
    text.Append(szFragment, static_cast<size_t>(n));
  } else {
    // Too long for a fragment: written whole, never cut.
    text.Append("\"", 1);
    text.Append(pszName, nName);
    text.Append("\", ", 3);
  }
  return true;
}

void CXapTaskFileSystem::t_ListingClose(PTReplyText& text) {
  text.Append(kListingClose, sizeof kListingClose - 1);
}

int CXapTaskFileSystem::GetListFiles(char* pszPath, char* pszOutput) {
  std::string strSafePath;
  int nResult = t_MakeSafePath(pszPath, strSafePath);
  if (nResult != XAP_RESULT_OK) return nResult;

  DIR* pDir = opendir(strSafePath.c_str());
  if (pDir == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  PTReplyText text;
  t_ListingOpen(text);
  int nListed = 0;
  while (struct dirent* pEntry = readdir(pDir)) {  // NOLINT(concurrency-mt-unsafe): its own stream
    const char* pszEntry = pEntry->d_name;
    if (strcmp(pszEntry, ".") == 0 || strcmp(pszEntry, "..") == 0) continue;
    if (!t_ListingAdd(text, pszEntry)) {
      XAP_LOG(0u, "listing of [%s] cut after %d entries: the reply holds %d characters",
              strSafePath.c_str(), nListed, static_cast<int>(kTextReplySize - 1));
      break;
    }
    ++nListed;
  }
  if (closedir(pDir) != 0) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  t_ListingClose(text);
  text.CopyTo(pszOutput);
  return XAP_RESULT_OK;
}

// ---- Copy, move, delete and unzip.

int CXapTaskFileSystem::t_OpenPaths(const XapLogSite& site, char* pszSrcPath,
                                    std::string& strSafeSrc, char* pszDestPath,
                                    std::string* pstrSafeDest) {
  if (pszSrcPath == nullptr || (pstrSafeDest != nullptr && pszDestPath == nullptr)) {
    XAP_ERROR_AT(site);
    return XAP_RESULT_NULL_ARGUMENT;
  }
  int nResult = t_MakeSafePath(pszSrcPath, strSafeSrc);
  if (nResult != XAP_RESULT_OK || pstrSafeDest == nullptr) return nResult;
  return t_MakeSafePath(pszDestPath, *pstrSafeDest);
}

int CXapTaskFileSystem::t_RunAndSync(const char* pszCommand) {
  if (t_SystemCall(pszCommand) != 0) return XAP_RESULT_FAIL;
  t_SystemCall(XAP_CMD_SYNC);
  return XAP_RESULT_OK;
}

int CXapTaskFileSystem::Copy(char* pszSrcPath, char* pszDestPath) {
  XAP_TRACE();
  return t_Transfer(XAP_HERE, pszSrcPath, pszDestPath, false);
}

int CXapTaskFileSystem::Move(char* pszSrcPath, char* pszDestPath) {
  XAP_TRACE();
  return t_Transfer(XAP_HERE, pszSrcPath, pszDestPath, true);
}

int CXapTaskFileSystem::t_Transfer(const XapLogSite& site, char* pszSrcPath, char* pszDestPath,
                                   bool bMove) {
  // Move reports its failures to make the folder or to run; Copy does not.
  const bool bLogFailures = bMove;
  std::string safeSrcPath;
  std::string safeDestPath;
  int nResult = t_OpenPaths(site, pszSrcPath, safeSrcPath, pszDestPath, &safeDestPath);
  if (nResult != XAP_RESULT_OK) return nResult;
  if (t_IsExistedPath(&safeSrcPath[0]) == 0) {
    XAP_ERROR_AT(site);
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
    if (bLogFailures) XAP_ERROR_AT(site);
    return XAP_RESULT_NOT_FOUND;
  }

  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);  // NOLINTNEXTLINE(cert-err33-c): paths <= 255 characters
  snprintf(szCommand, sizeof szCommand, bMove ? XAP_CMD_MOVE : XAP_CMD_COPY, safeSrcPath.c_str(),
           safeDestPath.c_str());
  nResult = t_RunAndSync(szCommand);
  if (nResult != XAP_RESULT_OK && bLogFailures) XAP_ERROR_AT(site);
  return nResult;
}

int CXapTaskFileSystem::Delete(char* pszPath) {
  XAP_TRACE();
  std::string safePath;
  int nResult = t_OpenPaths(XAP_HERE, pszPath, safePath, nullptr, nullptr);
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
  int nResult = t_OpenPaths(XAP_HERE, pszSrcPath, safeSrcPath, pszDestPath, &safeDestPath);
  if (nResult != XAP_RESULT_OK) return nResult;
  if (t_IsExistedPath(&safeSrcPath[0]) == 0 ||
      t_GetItemType(&safeDestPath[0]) == PL_FS_ITEM_TYPE_FILE ||
      t_MakeFolder(&safeDestPath[0]) == 0) {
    XAP_ERROR();
    return XAP_RESULT_NOT_FOUND;
  }
  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);  // NOLINTNEXTLINE(cert-err33-c): paths <= 255 characters
  snprintf(szCommand, sizeof szCommand, XAP_CMD_UNZIP, safeSrcPath.c_str(), safeDestPath.c_str());
  nResult = t_RunAndSync(szCommand);
  if (nResult != XAP_RESULT_OK) XAP_ERROR();
  return nResult;
}

// ---- Asynchronous jobs.

namespace {

// A job's path buffer: 1025 bytes, zero-filled, at most 1023 characters.
const size_t kJobPathSize = 1025;

// How the starter waits for the worker to take the job.
const int kStartWaits = 100;
const std::chrono::milliseconds kStartWait(100);  // NOLINT(cert-err58-cpp): cannot throw

// The worker's stack and name.
const size_t kWorkerStack = 0x100000;
const char kWorkerName[] = "QOM-Xap-AsyncFS";
// NOLINTBEGIN(cert-err33-c): a path of at most 255 characters fits the 1024
char* NewJobPath(const std::string& strPath) {
  char* pszPath = static_cast<char*>(calloc(1, kJobPathSize));
  if (pszPath != nullptr) snprintf(pszPath, kJobPathSize - 1, "%s", strPath.c_str());
  return pszPath;
}  // NOLINTEND(cert-err33-c)

}  // namespace

int CXapTaskFileSystem::UnzipAsync(char* pszSrcPath, char* pszDestPath) {
  XAP_TRACE();
  std::string safeSrcPath;
  std::string safeDestPath;
  int nResult = t_OpenPaths(XAP_HERE, pszSrcPath, safeSrcPath, pszDestPath, &safeDestPath);
  if (nResult != XAP_RESULT_OK) return nResult;
  XAP_LOG(4u, "safeSrcPath = [%s]", safeSrcPath.c_str());
  XAP_LOG(4u, "safeDestPath = [%s]", safeDestPath.c_str());
  XAP_LOG(4u, "pszSrcPath = [%s]", safeSrcPath.c_str());
  XAP_LOG(4u, "pszDestPath = [%s]", safeDestPath.c_str());
  PTAsyncData* pJob = t_NewAsyncJob(ASYNC_CMD_UNZIP, safeSrcPath, &safeDestPath);
  if (pJob == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  return t_StartAsyncJob(XAP_HERE, pJob);
}

int CXapTaskFileSystem::DeleteAsync(char* pszPath) {
  XAP_TRACE();
  std::string safePath;
  int nResult = t_OpenPaths(XAP_HERE, pszPath, safePath, nullptr, nullptr);
  if (nResult != XAP_RESULT_OK) return nResult;
  XAP_LOG(4u, "pszPath = [%s]", safePath.c_str());
  PTAsyncData* pJob = t_NewAsyncJob(ASYNC_CMD_DELETE, safePath, nullptr);
  if (pJob == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  return t_StartAsyncJob(XAP_HERE, pJob);
}

CXapTaskFileSystem::PTAsyncData* CXapTaskFileSystem::t_NewAsyncJob(
    int32_t eAsyncCommand, const std::string& strSrcPath, const std::string* pstrDestPath) {
  PTAsyncData* pJob = new (std::nothrow) PTAsyncData();
  if (pJob == nullptr) return nullptr;
  pJob->eAsyncCommand = eAsyncCommand;
  pJob->pEngine = m_pEngine;
  pJob->pEngineLife = m_pEngineLife;
  pJob->pszSrcPath = NewJobPath(strSrcPath);
  if (pstrDestPath != nullptr) pJob->pszDestPath = NewJobPath(*pstrDestPath);
  if (pJob->pszSrcPath == nullptr || (pstrDestPath != nullptr && pJob->pszDestPath == nullptr)) {
    delete pJob;
    return nullptr;
  }
  return pJob;
}

void CXapTaskFileSystem::t_ReleaseAsyncJob(PTAsyncData* pJob) {
  if (pJob->nReferences.fetch_sub(1) == 1) delete pJob;
}

int CXapTaskFileSystem::t_StartAsyncJob(const XapLogSite& site, PTAsyncData* pJob) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    XAP_ERROR_AT(site);
    delete pJob;
    return XAP_RESULT_FAIL;
  }
  pthread_t thread;
  if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0 ||
      pthread_attr_setstacksize(&attr, kWorkerStack) != 0 ||
      pthread_create(&thread, &attr, t_AsyncThread, pJob) != 0) {
    XAP_ERROR_AT(site);
    pthread_attr_destroy(&attr);
    delete pJob;
    return XAP_RESULT_FAIL;
  }
  pthread_attr_destroy(&attr);

  // Answer as soon as the worker has the job: it signals rather than being
  // polled, so the reply does not wait out a sleep.
  bool bSeen = false;
  {
    std::unique_lock<std::mutex> lock(pJob->mutex);
    for (int nWait = kStartWaits; nWait > 0 && !bSeen; --nWait) {
      bSeen = pJob->started.wait_for(lock, kStartWait, [pJob] { return pJob->bStarted; });
    }
  }
  if (bSeen) XAP_TRACE_AT(site);
  t_ReleaseAsyncJob(pJob);
  return XAP_RESULT_OK;
}

void CXapTaskFileSystem::t_SendJobEvent(PTAsyncData* pJob, int nEvent, const char* pszResult) {
  std::lock_guard<std::mutex> lock(pJob->pEngineLife->mutex);
  if (pJob->pEngineLife->bAlive) pJob->pEngine->SendEvent(nEvent, pszResult, " ");
}

void* CXapTaskFileSystem::t_AsyncThread(void* pData) {
  XAP_TRACE();
  prctl(PR_SET_NAME, kWorkerName, 0, 0, 0);
  if (pData == nullptr) {
    XAP_LOG(3u, "CXapTaskFileSystem t_AsyncThread pData is NULL");
    return nullptr;
  }
  PTAsyncData* pJob = static_cast<PTAsyncData*>(pData);
  std::string strSrcPath = pJob->pszSrcPath != nullptr ? pJob->pszSrcPath : "";
  std::string strDestPath = pJob->pszDestPath != nullptr ? pJob->pszDestPath : "";
  int32_t eAsyncCommand = pJob->eAsyncCommand;
  XAP_LOG(3u, "eAsyncCommand = [%d]", eAsyncCommand);
  XAP_LOG(4u, "strSrcPath = [%s]", strSrcPath.c_str());
  XAP_LOG(4u, "strDestPath = [%s]", strDestPath.c_str());
  {
    std::lock_guard<std::mutex> lock(pJob->mutex);
    pJob->bStarted = true;
    pJob->started.notify_one();
  }

  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);
  int nEvent = ASYNC_EVENT_UNKNOWN;
  if (eAsyncCommand == ASYNC_CMD_DELETE) {
    nEvent = ASYNC_EVENT_DELETE;  // NOLINTNEXTLINE(cert-err33-c): path <= 255 characters
    snprintf(szCommand, sizeof szCommand, XAP_CMD_DELETE, strSrcPath.c_str());
  } else if (eAsyncCommand == ASYNC_CMD_UNZIP) {
    nEvent = ASYNC_EVENT_UNZIP;  // NOLINTNEXTLINE(cert-err33-c): paths <= 255 characters
    snprintf(szCommand, sizeof szCommand, XAP_CMD_UNZIP_ASYNC, strSrcPath.c_str(),
             strDestPath.c_str());
  }
  if (nEvent == ASYNC_EVENT_UNKNOWN) {
    XAP_ERROR();
    t_SendJobEvent(pJob, ASYNC_EVENT_UNKNOWN, "0");
  } else if (t_IsSafeCommandLine(XAP_HERE, szCommand) == 0) {
    t_SendJobEvent(pJob, nEvent, "0");
  } else {
    // "1" says the command ran, not that it succeeded.
    QomExecShell(szCommand);
    QomExecShell(XAP_CMD_SYNC);
    t_SendJobEvent(pJob, nEvent, "1");
  }
  t_ReleaseAsyncJob(pJob);
  return nullptr;
}

}  // namespace qom
