// Items: whether a path names an item, what kind and how large (by what
// the process can open, looked up through the Env), and its status.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "XapFileSystemLog.h"
#include "XapTaskFileSystem.h"

namespace qom {
namespace {

// How often t_CheckAuth looks a missing path up before it gives up.
const int kOpenAttempts = 6;

// How a folder is opened to be listed or counted, as a directory stream is.
const int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;

// The access a t_CheckAuth mode asks for, or -1 for no such mode.
int AccessOfMode(int nMode) {
  switch (nMode) {
    case 0:
      return O_RDONLY;
    case 1:
      return O_WRONLY;
    case 2:
      return O_RDWR;
    default:
      return -1;
  }
}

// Errors that say the process is short of descriptors or memory, not that
// the item is missing.
bool IsShortage(int nErrno) { return nErrno == EMFILE || nErrno == ENFILE || nErrno == ENOMEM; }

// The access(2) mode that a t_CheckAuth mode asks for.
int WantedAccess(int nMode) { return nMode == 0 ? R_OK : nMode == 1 ? W_OK : R_OK | W_OK; }

// What the readable-file test admits: a regular file with the owner-read bit.
bool IsReadableFile(const struct stat64& st) {
  return S_ISREG(st.st_mode) && (st.st_mode & S_IRUSR) != 0;
}

// Takes hold of the item a path names without acting on it: a descriptor
// that only locates (O_PATH) runs no driver's open, whatever the path
// names. A missing path is looked up again, six times in all.
int LocateItem(Env& env, const char* pszPath, int nFlags) {
  int fd = -1;
  for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
    fd = env.Open(pszPath, O_PATH | O_CLOEXEC | (nFlags & (O_NOFOLLOW | O_DIRECTORY)), 0);
    if (fd >= 0 || errno != ENOENT) break;
  }
  return fd;
}

// Opens the very item that nItemFd holds, through its entry in
// /proc/self/fd, whatever its path names by now. Close-on-exec, so that a
// tool a worker starts meanwhile does not inherit it; never waiting, so
// that a file under a lease does not hold the command thread. ENOENT where
// /proc is not the process file system: a folder put over it could name
// any item there, a device among them.
int OpenHeldItem(Env& env, int nItemFd, int nFlags) {
  struct statfs64 fs;
  if (env.StatFs("/proc/self/fd", &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) {
    errno = ENOENT;
    return -1;
  }
  char szEntry[32];
  snprintf(szEntry, sizeof szEntry, "/proc/self/fd/%d", nItemFd);  // NOLINT(cert-err33-c): fits
  return env.Open(szEntry, (nFlags & ~(O_NOFOLLOW | O_DIRECTORY)) | O_CLOEXEC | O_NONBLOCK, 0777);
}

// Where the held item cannot be opened by itself (no /proc, no descriptor
// left for a second one), whether it could be is asked of the kernel,
// which opens nothing to answer: about that item where the kernel can,
// else about what the path names.
bool AccessibleWithoutOpen(Env& env, int nItemFd, const char* pszPath, int nMode) {
  if (env.AccessAt(nItemFd, "", WantedAccess(nMode), AT_EMPTY_PATH | AT_EACCESS) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  return env.AccessAt(AT_FDCWD, pszPath, WantedAccess(nMode), AT_EACCESS) == 0;
}

}  // namespace

int CXapTaskFileSystem::t_CheckAuth(const char* pszPath, int nMode, int nFlags,
                                    bool bReadableFile) {
  if (pszPath == nullptr) return 0;
  // A folder, a device or a FIFO is refused by its status, before any open.
  const bool bFileTest = nMode == 0 && bReadableFile;
  struct stat64 st;
  const bool bKnown = bFileTest && m_pEnv->Stat(pszPath, &st) == 0;
  const int nAccess = AccessOfMode(nMode);
  if ((bKnown && !IsReadableFile(st)) || nAccess < 0) {
    m_nFd = 0;
    return 0;
  }
  // The status and the open concern one item: a link swapped between the
  // two must never make this process, root on the device, open a device.
  const int nItemFd = LocateItem(*m_pEnv, pszPath, nFlags);
  if (nItemFd < 0) {
    // Not one descriptor left: the kernel is asked by the path, which
    // opens nothing; the status read above vouches for the kind.
    m_nFd = -1;
    if (!IsShortage(errno) || (bFileTest && !bKnown) ||
        m_pEnv->AccessAt(AT_FDCWD, pszPath, WantedAccess(nMode), AT_EACCESS) != 0) {
      return 0;
    }
    m_nAuthMode = nMode;
    return 1;
  }
  if (bFileTest && (m_pEnv->FStat(nItemFd, &st) != 0 || !IsReadableFile(st))) {
    m_pEnv->Close(nItemFd);
    m_nFd = 0;
    return 0;
  }
  int fd = OpenHeldItem(*m_pEnv, nItemFd, nFlags | nAccess);
  const int nErrno = fd < 0 ? errno : 0;
  // A file under another process's lease refuses a non-blocking open with
  // EWOULDBLOCK: a blocking open would have waited for the lease to break
  // and then succeeded, so it counts as opened (and its number as -1).
  bool bOpened = fd >= 0 || nErrno == EWOULDBLOCK || nErrno == EAGAIN;
  if ((nErrno == ENOENT || IsShortage(nErrno)) &&
      AccessibleWithoutOpen(*m_pEnv, nItemFd, pszPath, nMode)) {
    bOpened = true;
    fd = nItemFd;
  }
  m_nFd = bOpened ? fd : -1;
  if (fd >= 0 && fd != nItemFd) m_pEnv->Close(fd);
  m_pEnv->Close(nItemFd);
  if (!bOpened) return 0;
  m_nAuthMode = nMode;
  return 1;
}

int CXapTaskFileSystem::t_IsDirExist(const char* pszPath) {
  if (pszPath == nullptr) return 0;
  // Opened as a folder only: a device or FIFO put at the path is refused
  // before anything acts on it.
  const int fd = m_pEnv->Open(pszPath, kFolderFlags, 0);
  if (fd < 0) return 0;
  m_pEnv->Close(fd);
  return 1;
}

namespace {

// Permission bits as the system reports them, and as PTStat keeps them.
const uint32_t arr1[12] = {04000, 02000, 01000, 0400, 0200, 0100, 040, 020, 010, 04, 02, 01};
const uint32_t arr2[12] = {04000, 02000, 01000, 0400, 0200, 0100, 040, 020, 010, 04, 02, 01};

const uint32_t kKnownTypes[] = {0100000, 040000, 020000, 060000, 010000, 0120000, 0140000};

}  // namespace

int CXapTaskFileSystem::t_Stat(const char* pszPath, PTStat* pStat) {
  struct stat64 st;
  int nResult = m_pEnv->Stat(pszPath, &st);
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

}  // namespace qom
