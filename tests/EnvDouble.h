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

// clang-format off
enum class Call { kOpen, kOpenAt, kStat, kFStat, kFStatAt, kReadEntries, kAccessAt, kNameToHandle,
                  kRealPath, kChangeDir, kOpenMountTable, kStatFs, kStartThread, kRunShell };
// clang-format on

// A call of the kind that fails (answering failed), or else goes to the
// system.
#define XAPTEST_FORWARD(kind, failed, type, name, params, args) \
  type name params override { return Hit(Call::kind) ? failed : Real().name args; }

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

  XAPTEST_FORWARD(kOpen, -1, int, Open, (const char* p, int f, mode_t m), (At(p).c_str(), f, m))
  XAPTEST_FORWARD(kOpenAt, -1, int, OpenAt, (int d, const char* p, int f), (d, p, f))
  XAPTEST_FORWARD(kStat, -1, int, Stat, (const char* p, struct stat64* s), (At(p).c_str(), s))
  XAPTEST_FORWARD(kFStat, -1, int, FStat, (int fd, struct stat64* s), (fd, s))
  XAPTEST_FORWARD(kFStatAt, -1, int, FStatAt, (int d, const char* p, struct stat64* s, int f),
                  (d, p, s, f))
  XAPTEST_FORWARD(kReadEntries, -1, ssize_t, ReadEntries, (int fd, void* b, size_t n), (fd, b, n))
  XAPTEST_FORWARD(kAccessAt, -1, int, AccessAt, (int d, const char* p, int m, int f),
                  (d, At(p).c_str(), m, f))
  XAPTEST_FORWARD(kChangeDir, -1, int, ChangeDir, (const char* p), (At(p).c_str()))
  XAPTEST_FORWARD(kStatFs, -1, int, StatFs, (const char* p, struct statfs64* s), (p, s))
  int Close(int fd) override { return Real().Close(fd); }
  char* CurrentDir(char* p, size_t n) override { return Real().CurrentDir(p, n); }
  struct mntent* NextMount(FILE* t, struct mntent* e, char* l, int n) override {
    return Real().NextMount(t, e, l, n);
  }
  void CloseMountTable(FILE* t) override { Real().CloseMountTable(t); }
  XAPTEST_FORWARD(kOpenMountTable, nullptr, FILE*, OpenMountTable, (), ())
  XAPTEST_FORWARD(kStartThread, errno, int, StartThread,
                  (pthread_t * t, const pthread_attr_t* a, void* (*f)(void*), void* p),
                  (t, a, f, p))
  // Failing NameToHandle with kAnotherFile answers the handle of another
  // file, as when a folder was replaced.
  static constexpr int kAnotherFile = -1;
  int NameToHandle(int fd, struct file_handle* pHandle, int* pnMount) override {
    const bool bHit = Hit(Call::kNameToHandle);
    if (bHit && errno != kAnotherFile) return -1;
    if (bNoHandles) return errno = EOPNOTSUPP, -1;
    if (Real().NameToHandle(fd, pHandle, pnMount) != 0) {
      struct stat64 st;
      if (!bFakeHandles || Real().FStat(fd, &st) != 0) return -1;
      *pnMount = static_cast<int>(st.st_dev);
      pHandle->handle_type = 1;
      pHandle->handle_bytes = sizeof st.st_ino;
      memcpy(pHandle->f_handle, &st.st_ino, sizeof st.st_ino);
    }
    pHandle->f_handle[0] ^= bHit ? 1 : 0;
    return 0;
  }
  char* RealPath(const char* p) override {
    char* pszResolved = Hit(Call::kRealPath) ? nullptr : Real().RealPath(At(p).c_str());
    if (pszResolved != nullptr && !m_root.empty() &&
        strncmp(pszResolved, m_root.c_str(), m_root.size()) == 0) {
      memmove(pszResolved, pszResolved + m_root.size(), strlen(pszResolved) - m_root.size() + 1);
    }
    return pszResolved;
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
  static Env& Real() { return qom::Env::Posix(); }

  std::string m_root;
  std::mutex m_mutex;
  std::map<Call, int> m_counts;
  std::map<std::pair<Call, int>, int> m_failures;
  std::vector<std::string> m_shell;
};

#undef XAPTEST_FORWARD

}  // namespace xaptest

#endif  // XAP_TESTS_ENVDOUBLE_H_
