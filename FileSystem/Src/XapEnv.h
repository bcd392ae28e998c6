// What the module asks of the operating system, behind one interface: the
// task holds one and hands it to the walk and to every job. The shipped
// implementation calls the system directly; a test double can fail the
// n-th call of a kind and record what was asked. Every call answers as its
// system call does: -1 (or null) with errno set on failure.
#ifndef XAP_FILESYSTEM_XAPENV_H_
#define XAP_FILESYSTEM_XAPENV_H_

#include <fcntl.h>
#include <mntent.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <cstddef>

namespace qom {

class Env {
 public:
  virtual ~Env() = default;

  // The implementation that calls the system; it lives as long as the
  // process.
  static Env& Posix();

  // ---- Files and folders.
  virtual int Open(const char* pszPath, int nFlags, mode_t nMode) = 0;
  // Opens pszName in the folder nDirFd.
  virtual int OpenAt(int nDirFd, const char* pszName, int nFlags) = 0;
  virtual int Close(int fd) = 0;
  // Status following links.
  virtual int Stat(const char* pszPath, struct stat64* pStat) = 0;
  virtual int FStat(int fd, struct stat64* pStat) = 0;
  // Status of pszName in the folder nDirFd, with AT_ flags.
  virtual int FStatAt(int nDirFd, const char* pszName, struct stat64* pStat, int nFlags) = 0;
  // Raw folder entries (struct dirent64 records) into pBuffer: bytes read,
  // 0 at the end, -1 on failure.
  virtual ssize_t ReadEntries(int fd, void* pBuffer, size_t nSize) = 0;
  // Whether the process may access the item, with AT_ flags.
  virtual int AccessAt(int nDirFd, const char* pszPath, int nMode, int nFlags) = 0;
  // The file handle of the open item fd (handle_bytes set by the caller),
  // and its mount's id.
  virtual int NameToHandle(int fd, struct file_handle* pHandle, int* pnMountId) = 0;
  // The resolved path, allocated with malloc; null on failure.
  virtual char* RealPath(const char* pszPath) = 0;
  virtual int ChangeDir(const char* pszPath) = 0;
  virtual char* CurrentDir(char* pszBuffer, size_t nSize) = 0;

  // ---- The mount table and file system figures.
  // Opens /proc/mounts for reading; null on failure.
  virtual FILE* OpenMountTable() = 0;
  // The next entry (its strings in pszLine); null at the end.
  virtual struct mntent* NextMount(FILE* pTable, struct mntent* pEntry, char* pszLine,
                                   int nSize) = 0;
  virtual void CloseMountTable(FILE* pTable) = 0;
  virtual int StatFs(const char* pszPath, struct statfs64* pFs) = 0;

  // ---- Threads and tools.
  // pthread_create: 0, or the error number.
  virtual int StartThread(pthread_t* pThread, const pthread_attr_t* pAttr, void* (*pfnEntry)(void*),
                          void* pArgument) = 0;
  // Runs one command line through the framework's shell: 0 when it ran and
  // succeeded.
  virtual int RunShell(const char* pszCommand) = 0;
};

}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPENV_H_
