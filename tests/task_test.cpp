// The task object's own members: construction, trimming, the access probe
// and the folder test.

// This file defines open and open64 itself (below); with 64-bit offsets on
// a 32-bit target the headers would make both of them open64.
#undef _FILE_OFFSET_BITS
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <string>

#include "TestSupport.h"
#include "XapTaskFileSystem.h"

// Counts the opens of the path under test. Defined in the test program, so
// that the module's calls of open bind here; forwards to the system call.
namespace {
std::atomic<int> g_openCalls{0};
std::atomic<bool> g_countOpens{false};

int ForwardOpen(const char* path, int flags, va_list args) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) mode = va_arg(args, mode_t);
  if (g_countOpens.load()) ++g_openCalls;
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}
}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int fd = ForwardOpen(path, flags, args);
  va_end(args);
  return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int fd = ForwardOpen(path, flags | O_LARGEFILE, args);
  va_end(args);
  return fd;
}

namespace {

class TaskProbe : public qom::CXapTaskFileSystem {
 public:
  using CXapTaskFileSystem::m_nAuthMode;
  using CXapTaskFileSystem::m_nFd;
  using CXapTaskFileSystem::m_nWidgetType;
  using CXapTaskFileSystem::m_pEngine;
  using CXapTaskFileSystem::m_szWidgetPath;
  using CXapTaskFileSystem::t_CheckAuth;
  using CXapTaskFileSystem::t_IsDirExist;
  using CXapTaskFileSystem::t_Trim;

  // t_CheckAuth with its callers' arguments, counting the opens it makes.
  int Probe(const std::string& path, int nMode = 0, bool bReadable = true, int* pnOpens = nullptr) {
    g_openCalls = 0;
    g_countOpens = true;
    int r = t_CheckAuth(path.c_str(), nMode, 0, bReadable);
    g_countOpens = false;
    if (pnOpens != nullptr) *pnOpens = g_openCalls.load();
    return r;
  }
};

TEST(Task, StartsWithoutWidgetInformation) {
  TaskProbe task;
  EXPECT_EQ(task.m_nWidgetType, 0);
  EXPECT_EQ(task.m_pEngine, nullptr);
  for (char c : task.m_szWidgetPath) ASSERT_EQ(c, 0);
}

TEST(Task, TrimRemovesOnlyLeadingAndTrailingSpaces) {
  TaskProbe task;
  const struct {
    const char* in;
    const char* out;
  } cases[] = {{"  a b  ", "a b"},      {"", ""},       {"   ", ""},
               {"\tx ", "\tx"},         {"x\t", "x\t"}, {"/tmp/a", "/tmp/a"},
               {" /tmp/a/ ", "/tmp/a/"}};
  for (const auto& c : cases) {
    char dest[64];
    memset(dest, 'Z', sizeof dest);
    std::string in = c.in;
    EXPECT_EQ(task.t_Trim(&in[0], dest), 1) << c.in;
    EXPECT_STREQ(dest, c.out) << c.in;
    EXPECT_EQ(in, c.in);
  }
  char dest[4] = "xy";
  char src[] = "a";
  EXPECT_EQ(task.t_Trim(nullptr, dest), 0);
  EXPECT_STREQ(dest, "xy");
  EXPECT_EQ(task.t_Trim(src, nullptr), 0);
}

TEST(CheckAuth, ReadableRegularFileOpensOnceAndRecordsTheMode) {
  xaptest::TempDir dir;
  xaptest::WriteFile(dir / "f", "x");
  chmod((dir / "f").c_str(), 0400);
  TaskProbe task;
  task.m_nAuthMode = 7;
  int opens = 0;
  EXPECT_EQ(task.Probe(dir / "f", 0, true, &opens), 1);
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(task.m_nAuthMode, 0);
  EXPECT_GT(task.m_nFd, 2);
  // The descriptor is closed again.
  EXPECT_EQ(fcntl(task.m_nFd, F_GETFD), -1);
}

TEST(CheckAuth, RefusesWithoutOpeningWhatIsNoOwnerReadableFile) {
  xaptest::TempDir dir;
  mkdir((dir / "d").c_str(), 0755);
  xaptest::WriteFile(dir / "w", "x");
  chmod((dir / "w").c_str(), 0200);
  // Group and others may read, the owner may not: refused all the same.
  xaptest::WriteFile(dir / "o", "x");
  chmod((dir / "o").c_str(), 0044);
  mkfifo((dir / "fifo").c_str(), 0644);
  symlink((dir / "d").c_str(), (dir / "linkdir").c_str());
  for (const char* name : {"d", "w", "o", "fifo", "linkdir"}) {
    TaskProbe task;
    task.m_nFd = 99;
    task.m_nAuthMode = 2;
    int opens = -1;
    EXPECT_EQ(task.Probe(dir / name, 0, true, &opens), 0) << name;
    EXPECT_EQ(opens, 0) << name;
    EXPECT_EQ(task.m_nFd, 0) << name;
    EXPECT_EQ(task.m_nAuthMode, 2) << name;
  }
}

TEST(CheckAuth, MissingPathIsTriedSixTimes) {
  xaptest::TempDir dir;
  symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str());
  for (const char* name : {"missing", "dangling"}) {
    TaskProbe task;
    int opens = 0;
    EXPECT_EQ(task.Probe(dir / name, 0, true, &opens), 0) << name;
    EXPECT_EQ(opens, 6) << name;
    EXPECT_EQ(task.m_nFd, -1) << name;
  }
}

TEST(CheckAuth, OtherOpenErrorsEndAfterOneAttempt) {
  xaptest::TempDir dir;
  xaptest::WriteFile(dir / "f", "x");
  mkdir((dir / "d").c_str(), 0755);
  const struct {
    std::string path;
    int mode;
  } cases[] = {{dir / "f/below", 0}, {dir / "d", 1}, {dir / "d", 2}};
  for (const auto& c : cases) {
    TaskProbe task;
    int opens = 0;
    EXPECT_EQ(task.Probe(c.path, c.mode, false, &opens), 0) << c.path << " mode " << c.mode;
    EXPECT_EQ(opens, 1) << c.path;
    EXPECT_EQ(task.m_nFd, -1) << c.path;
  }
}

TEST(CheckAuth, UnknownModeRefusesAndALaterReadSucceeds) {
  xaptest::TempDir dir;
  xaptest::WriteFile(dir / "f", "x");
  TaskProbe task;
  int opens = -1;
  EXPECT_EQ(task.Probe(dir / "f", 3, true, &opens), 0);
  EXPECT_EQ(opens, 0);
  EXPECT_EQ(task.m_nFd, 0);
  task.m_nAuthMode = 5;
  EXPECT_EQ(task.Probe(dir / "f", 0, true), 1);
  EXPECT_EQ(task.m_nAuthMode, 0);
  EXPECT_EQ(task.Probe(dir / "f", 2, false), 1);
  EXPECT_EQ(task.m_nAuthMode, 2);
  // A directory opens read-only when the file test is off.
  EXPECT_EQ(task.Probe(dir.Path(), 0, false), 1);
  EXPECT_EQ(task.t_CheckAuth(nullptr, 0, 0, true), 0);
}

TEST(IsDirExist, OnlyWhatOpensAsADirectory) {
  xaptest::TempDir dir;
  xaptest::WriteFile(dir / "f", "x");
  mkdir((dir / "d").c_str(), 0755);
  symlink((dir / "d").c_str(), (dir / "ld").c_str());
  symlink((dir / "f").c_str(), (dir / "lf").c_str());
  TaskProbe task;
  EXPECT_EQ(task.t_IsDirExist((dir / "d").c_str()), 1);
  EXPECT_EQ(task.t_IsDirExist((dir / "ld").c_str()), 1);
  EXPECT_EQ(task.t_IsDirExist((dir / "f").c_str()), 0);
  EXPECT_EQ(task.t_IsDirExist((dir / "lf").c_str()), 0);
  EXPECT_EQ(task.t_IsDirExist((dir / "missing").c_str()), 0);
  EXPECT_EQ(task.t_IsDirExist(nullptr), 0);
}

}  // namespace
