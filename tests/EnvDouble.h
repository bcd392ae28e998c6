// A stand-in for the operating system under the module: every call goes to
// the real one, except the n-th call of a kind that a test makes fail with
// an errno of its choosing; calls are counted and the command lines handed
// to the shell recorded, never run. Paths under /tmp and /opt are looked up
// below a folder of the test's own, so the module's roots need no root.
#ifndef XAP_TESTS_ENVDOUBLE_H_
#define XAP_TESTS_ENVDOUBLE_H_

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "XapEnv.h"

namespace xaptest {

enum class Call {
  kOpen,
  kOpenAt,
  kStat,
  kFStat,
  kFStatAt,
  kReadEntries,
  kAccessAt,
  kNameToHandle,
  kRealPath,
  kChangeDir,
  kOpenMountTable,
  kStatFs,
  kStartThread,
  kRunShell
};

class EnvDouble : public qom::Env {
 public:
  explicit EnvDouble(std::string root = "") : m_root(std::move(root)) {}

  // The n-th call of the kind from now on (1: the next) fails with nErrno.
  void Fail(Call call, int n, int nErrno) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failures[{call, m_counts[call] + n}] = nErrno;
  }
  int Count(Call call) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts[call];
  }
  std::vector<std::string> Shell() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_shell, {});
  }
  // What RunShell answers. Handles: made of device and inode where the
  // file system gives none, so that the walk may close folders anywhere;
  // or none at all, as on ramfs.
  int nShellResult = 0;
  bool bFakeHandles = false;
  bool bNoHandles = false;

  int Open(const char* p, int nFlags, mode_t nMode) override {
    return Hit(Call::kOpen) ? -1 : Posix().Open(At(p).c_str(), nFlags, nMode);
  }
  int OpenAt(int nDir, const char* p, int nFlags) override {
    return Hit(Call::kOpenAt) ? -1 : Posix().OpenAt(nDir, p, nFlags);
  }
  int Close(int fd) override { return Posix().Close(fd); }
  int Stat(const char* p, struct stat64* pStat) override {
    return Hit(Call::kStat) ? -1 : Posix().Stat(At(p).c_str(), pStat);
  }
  int FStat(int fd, struct stat64* pStat) override {
    return Hit(Call::kFStat) ? -1 : Posix().FStat(fd, pStat);
  }
  int FStatAt(int nDir, const char* p, struct stat64* pStat, int nFlags) override {
    return Hit(Call::kFStatAt) ? -1 : Posix().FStatAt(nDir, p, pStat, nFlags);
  }
  ssize_t ReadEntries(int fd, void* pBuffer, size_t nSize) override {
    return Hit(Call::kReadEntries) ? -1 : Posix().ReadEntries(fd, pBuffer, nSize);
  }
  int AccessAt(int nDir, const char* p, int nMode, int nFlags) override {
    return Hit(Call::kAccessAt) ? -1 : Posix().AccessAt(nDir, At(p).c_str(), nMode, nFlags);
  }
  int NameToHandle(int fd, struct file_handle* pHandle, int* pnMount) override {
    if (Hit(Call::kNameToHandle)) return -1;
    if (bNoHandles) return errno = EOPNOTSUPP, -1;
    if (Posix().NameToHandle(fd, pHandle, pnMount) == 0) return 0;
    if (!bFakeHandles) return -1;
    struct stat64 st;
    if (Posix().FStat(fd, &st) != 0) return -1;
    *pnMount = static_cast<int>(st.st_dev);
    pHandle->handle_type = 1;
    pHandle->handle_bytes = sizeof st.st_ino;
    memcpy(pHandle->f_handle, &st.st_ino, sizeof st.st_ino);
    return 0;
  }
  char* RealPath(const char* p) override {
    if (Hit(Call::kRealPath)) return nullptr;
    char* pszResolved = Posix().RealPath(At(p).c_str());
    if (pszResolved != nullptr && !m_root.empty() &&
        strncmp(pszResolved, m_root.c_str(), m_root.size()) == 0) {
      memmove(pszResolved, pszResolved + m_root.size(), strlen(pszResolved) - m_root.size() + 1);
    }
    return pszResolved;
  }
  int ChangeDir(const char* p) override {
    return Hit(Call::kChangeDir) ? -1 : Posix().ChangeDir(At(p).c_str());
  }
  char* CurrentDir(char* pszBuffer, size_t nSize) override {
    return Posix().CurrentDir(pszBuffer, nSize);
  }
  FILE* OpenMountTable() override {
    return Hit(Call::kOpenMountTable) ? nullptr : Posix().OpenMountTable();
  }
  struct mntent* NextMount(FILE* pTable, struct mntent* pEntry, char* pszLine, int nSize) override {
    return Posix().NextMount(pTable, pEntry, pszLine, nSize);
  }
  void CloseMountTable(FILE* pTable) override { Posix().CloseMountTable(pTable); }
  int StatFs(const char* p, struct statfs64* pFs) override {
    return Hit(Call::kStatFs) ? -1 : Posix().StatFs(p, pFs);
  }
  int StartThread(pthread_t* pThread, const pthread_attr_t* pAttr, void* (*pfnEntry)(void*),
                  void* pArgument) override {
    if (Hit(Call::kStartThread)) return errno;
    return Posix().StartThread(pThread, pAttr, pfnEntry, pArgument);
  }
  int RunShell(const char* pszCommand) override {
    if (Hit(Call::kRunShell)) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_shell.emplace_back(pszCommand);
    return nShellResult;
  }

 private:
  // Counts the call; true (errno set) when it is one to fail.
  bool Hit(Call call) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_failures.find({call, ++m_counts[call]});
    if (it == m_failures.end()) return false;
    errno = it->second;
    return true;
  }
  std::string At(const char* p) const {
    const bool bRooted = strncmp(p, "/tmp", 4) == 0 || strncmp(p, "/opt", 4) == 0;
    return bRooted && !m_root.empty() ? m_root + p : p;
  }
  static Env& Posix() { return qom::Env::Posix(); }

  std::string m_root;
  std::mutex m_mutex;
  std::map<Call, int> m_counts;
  std::map<std::pair<Call, int>, int> m_failures;
  std::vector<std::string> m_shell;
};

}  // namespace xaptest

#endif  // XAP_TESTS_ENVDOUBLE_H_
