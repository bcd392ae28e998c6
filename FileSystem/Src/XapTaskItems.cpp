// Items: whether a path names an item, what kind and how large (by what
// the process can open), its status, and the two texts that describe
// items: the properties of one item and the listing of a folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "XapFileSystemLog.h"
#include "XapTaskFileSystem.h"
#include "XapTaskShared.h"

namespace qom {
namespace {

// How often t_CheckAuth looks a missing path up before it gives up.
const int kOpenAttempts = 6;

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

// Takes hold of the item a path names without acting on it: a descriptor
// that only locates (O_PATH) runs no driver's open, whatever the path
// names. A missing path is looked up again, six times in all.
int LocateItem(const char* pszPath, int nFlags) {
  int fd = -1;
  for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
    fd = open(pszPath, O_PATH | O_CLOEXEC | (nFlags & (O_NOFOLLOW | O_DIRECTORY)));
    if (fd >= 0 || errno != ENOENT) break;
  }
  return fd;
}

// Opens the very item that nItemFd holds, through its entry in
// /proc/self/fd, whatever its path names by now. Close-on-exec, so that a
// tool a worker starts meanwhile does not inherit it; never waiting, so
// that a file under a lease does not hold the command thread. ENOENT only
// where /proc is not mounted.
int OpenHeldItem(int nItemFd, int nFlags) {
  char szEntry[32];
  snprintf(szEntry, sizeof szEntry, "/proc/self/fd/%d", nItemFd);  // NOLINT(cert-err33-c): fits
  return open(szEntry, (nFlags & ~(O_NOFOLLOW | O_DIRECTORY)) | O_CLOEXEC | O_NONBLOCK, 0777);
}

// Without /proc the held item cannot be opened by itself: whether it could
// be is asked of the kernel, which opens nothing to answer (about that
// item where the kernel can, else about what the path names).
bool AccessibleWithoutOpen(int nItemFd, const char* pszPath, int nMode) {
  const int nWanted = nMode == 0 ? R_OK : nMode == 1 ? W_OK : R_OK | W_OK;
  if (faccessat(nItemFd, "", nWanted, AT_EMPTY_PATH | AT_EACCESS) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  return faccessat(AT_FDCWD, pszPath, nWanted, AT_EACCESS) == 0;
}

}  // namespace

int CXapTaskFileSystem::t_CheckAuth(const char* pszPath, int nMode, int nFlags,
                                    bool bReadableFile) {
  if (pszPath == nullptr) return 0;
  const int nAccess = AccessOfMode(nMode);
  if (nAccess < 0) {
    m_nFd = 0;
    return 0;
  }
  // The status and the open concern one item: a link swapped between the
  // two must never make this process, root on the device, open a device.
  const int nItemFd = LocateItem(pszPath, nFlags);
  if (nItemFd < 0) {
    m_nFd = -1;
    return 0;
  }
  struct stat64 st;
  if (nMode == 0 && bReadableFile && fstat64(nItemFd, &st) == 0 &&
      (!S_ISREG(st.st_mode) || (st.st_mode & S_IRUSR) == 0)) {
    close(nItemFd);
    m_nFd = 0;
    return 0;
  }
  int fd = OpenHeldItem(nItemFd, nFlags | nAccess);
  bool bOpened = fd >= 0;
  // A file under another process's lease refuses a non-blocking open with
  // EWOULDBLOCK: a blocking open would have waited for the lease to break
  // and then succeeded, so it counts as opened (and its number as -1).
  if (fd < 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) bOpened = true;
  if (fd < 0 && errno == ENOENT && AccessibleWithoutOpen(nItemFd, pszPath, nMode)) {
    bOpened = true;
    fd = nItemFd;
  }
  m_nFd = bOpened ? fd : -1;
  if (fd >= 0 && fd != nItemFd) close(fd);
  close(nItemFd);
  if (!bOpened) return 0;
  m_nAuthMode = nMode;
  return 1;
}

int CXapTaskFileSystem::t_IsDirExist(const char* pszPath) {
  if (pszPath == nullptr) return 0;
  // Opened as a folder only: a device or FIFO put at the path is refused
  // before anything acts on it.
  DIR* dir = opendir(pszPath);
  if (dir == nullptr) return 0;
  closedir(dir);
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
    if (!IsDotEntry(pEntry->d_name)) ++nCount;
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
    m_bOverflowed = true;
    return;
  }
  Append(szFragment, static_cast<size_t>(n));
}

void CXapTaskFileSystem::PTReplyText::Append(const char* pszText, size_t nLength) {
  if (m_bOverflowed || m_nLength + nLength > kTextReplySize - 1) {
    m_bOverflowed = true;
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
  if (text.Overflowed()) {
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
    if (IsDotEntry(pszEntry)) continue;
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

}  // namespace qom
