// The operating system as the module uses it: each call is the system's
// own, nothing added.
#include "XapEnv.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>

#include "QomShell.h"

namespace qom {
namespace {

class PosixEnv final : public Env {
 public:
  int Open(const char* pszPath, int nFlags, mode_t nMode) override {
    return open(pszPath, nFlags, nMode);  // NOLINT(cppcoreguidelines-pro-type-vararg)
  }
  int OpenAt(int nDirFd, const char* pszName, int nFlags) override {
    return openat(nDirFd, pszName, nFlags);  // NOLINT(cppcoreguidelines-pro-type-vararg)
  }
  int Close(int fd) override { return close(fd); }
  int Stat(const char* pszPath, struct stat64* pStat) override { return stat64(pszPath, pStat); }
  int FStat(int fd, struct stat64* pStat) override { return fstat64(fd, pStat); }
  int FStatAt(int nDirFd, const char* pszName, struct stat64* pStat, int nFlags) override {
    return fstatat64(nDirFd, pszName, pStat, nFlags);
  }
  ssize_t ReadEntries(int fd, void* pBuffer, size_t nSize) override {
    return getdents64(fd, pBuffer, nSize);
  }
  int AccessAt(int nDirFd, const char* pszPath, int nMode, int nFlags) override {
    return faccessat(nDirFd, pszPath, nMode, nFlags);
  }
  int NameToHandle(int fd, struct file_handle* pHandle, int* pnMountId) override {
    return name_to_handle_at(fd, "", pHandle, pnMountId, AT_EMPTY_PATH);
  }
  char* RealPath(const char* pszPath) override { return realpath(pszPath, nullptr); }
  int ChangeDir(const char* pszPath) override { return chdir(pszPath); }
  char* CurrentDir(char* pszBuffer, size_t nSize) override { return getcwd(pszBuffer, nSize); }
  FILE* OpenMountTable() override { return setmntent("/proc/mounts", "r"); }
  struct mntent* NextMount(FILE* pTable, struct mntent* pEntry, char* pszLine, int nSize) override {
    return getmntent_r(pTable, pEntry, pszLine, nSize);
  }
  void CloseMountTable(FILE* pTable) override { endmntent(pTable); }
  int StatFs(const char* pszPath, struct statfs64* pFs) override { return statfs64(pszPath, pFs); }
  int StartThread(pthread_t* pThread, const pthread_attr_t* pAttr, void* (*pfnEntry)(void*),
                  void* pArgument) override {
    // A plain pthread_create: the host is linked with --wrap=pthread_create,
    // so the linker hands this call to the host, which counts the thread
    // and waits for it before the process exits.
    return pthread_create(pThread, pAttr, pfnEntry, pArgument);
  }
  int RunShell(const char* pszCommand) override { return QomExecShell(pszCommand); }
};

}  // namespace

Env& Env::Posix() {
  // Never destroyed: a job may still ask while the process exits.
  static PosixEnv* const s_pEnv = new PosixEnv();
  return *s_pEnv;
}

}  // namespace qom
