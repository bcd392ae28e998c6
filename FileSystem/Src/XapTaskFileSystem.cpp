#include "XapTaskFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "XapFileSystemLog.h"
#include "b64.h"

namespace qom {
namespace {

// How often t_CheckAuth opens a path that is missing before it gives up.
const int kOpenAttempts = 6;

}  // namespace

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
