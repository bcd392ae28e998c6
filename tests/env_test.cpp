// Catches wrong answers where the operating system says no: every outcome
// of the folder walk, the item check's lookups and fallbacks, the partition
// figures, a thread or a tool that cannot start, and the exact command
// lines; all through the module's seam for its OS calls, without root.
#include <dirent.h>
#include <sys/stat.h>

#include <tuple>

#include "EnvDouble.h"
#include "TestSupport.h"
#include "XapFolderWalk.h"
#include "XapTaskFileSystem.h"

using namespace xaptest;

// The task with its inner steps in reach.
struct Task : qom::CXapTaskFileSystem {
  using CXapTaskFileSystem::CXapTaskFileSystem;
  using CXapTaskFileSystem::m_nFd;
  using CXapTaskFileSystem::t_CheckAuth;
  using CXapTaskFileSystem::t_GetSizeInfo;
};

// What the walk must sum, found the plain way: every entry's lstat size,
// "." and ".." included, and the folders below (links: none followed).
double Reference(const std::string& folder) {
  double lfTotal = 0;
  DIR* pDir = opendir(folder.c_str());
  while (struct dirent* pEntry = readdir(pDir)) {  // NOLINT(concurrency-mt-unsafe): its own stream
    const std::string name = pEntry->d_name, path = folder + "/" + name;
    struct stat st;
    lstat(path.c_str(), &st);
    lfTotal += static_cast<double>(st.st_size);
    if (S_ISDIR(st.st_mode) && name != "." && name != "..") lfTotal += Reference(path);
  }
  closedir(pDir);
  return lfTotal;
}

struct Walked {
  double lfTotal;
  qom::WalkCut eCut;
  size_t nMostOpen;
};

Walked Walk(qom::Env& env, const std::string& top) {
  qom::FolderWalk walk(env, top.c_str(), true, false);
  for (qom::WalkStep eStep; (eStep = walk.Next()) != qom::WalkStep::kEnd;) {
    EXPECT_TRUE(eStep != qom::WalkStep::kCut || walk.Cut() != qom::WalkCut::kNone);
  }
  return {walk.Total(), walk.Cut(), walk.MostOpen()};
}

// A tree 24 levels deep, a file at each level, and a file of 5 bytes that
// a failed status or open leaves out: every outcome of the walk, each
// exact, a sum short of what a failure hid, or a cut.
TEST_F(InFolder, EveryOutcomeOfTheWalk) {
  Sh("cd " + d + " && mkdir -p t/$(printf 'd/%.0s' $(seq 24)) && printf 12345 > t/five && " +
     "for p in $(find t -type d); do printf 1234567 > $p/f; done");
  const std::string top = d + "t";
  const double lfExact = Reference(top);
  using qom::WalkCut;
  enum Answer { kExact, kShort, kCut };
  // The failing call, its number (from the walk's start), errno, handles
  // faked, and the answer; a cut names its cause.
  const std::tuple<Call, int, int, bool, Answer, WalkCut> rows[] = {
      {Call::kStat, 1, 0, true, kExact, WalkCut::kNone},  // nothing fails
      {Call::kOpen, 1, EMFILE, true, kCut, WalkCut::kResources},
      {Call::kOpen, 1, EACCES, true, kExact, WalkCut::kNone},       // the top unread: 0
      {Call::kOpenAt, 1, EMFILE, true, kCut, WalkCut::kResources},  // none to spare
      {Call::kOpenAt, 1, EACCES, true, kShort, WalkCut::kNone},
      {Call::kOpenAt, 10, ENFILE, true, kExact, WalkCut::kNone},  // an outer one spared
      // No handles: nothing can be spared, and the shortage is not taken
      // for an unreadable folder.
      {Call::kOpenAt, 10, EMFILE, false, kCut, WalkCut::kResources},
      {Call::kReadEntries, 3, ENOMEM, true, kCut, WalkCut::kResources},
      {Call::kReadEntries, 3, EIO, true, kCut, WalkCut::kRead},
      {Call::kFStatAt, 2, ENOMEM, true, kCut, WalkCut::kResources},
      {Call::kFStatAt, 4, EACCES, true, kShort, WalkCut::kNone},
      // A folder closed early that is not itself when reopened.
      {Call::kNameToHandle, 18, EOPNOTSUPP, true, kCut, WalkCut::kReopen}};
  for (const auto& [call, n, nErrno, bHandles, answer, eCut] : rows) {
    EnvDouble env;
    env.bFakeHandles = bHandles;
    env.bNoHandles = !bHandles;
    if (nErrno != 0) env.Fail(call, n, nErrno);
    const Walked walked = Walk(env, top);
    const std::string row =
        std::to_string(static_cast<int>(call)) + " " + std::to_string(n) + " " + strerror(nErrno);
    EXPECT_EQ(walked.eCut, eCut) << row;
    const bool bTopUnread = call == Call::kOpen && nErrno == EACCES;
    if (answer == kShort) {
      EXPECT_LT(walked.lfTotal, lfExact) << row;
    } else if (answer == kExact) {
      EXPECT_EQ(walked.lfTotal, bTopUnread ? 0 : lfExact) << row;
      // At most 16 folders open where handles exist.
      EXPECT_EQ(walked.nMostOpen, bTopUnread ? 0u : 16u) << row;
    }
  }
  // Elsewhere one per level of depth.
  EnvDouble bare;
  bare.bNoHandles = true;
  EXPECT_EQ(Walk(bare, top).nMostOpen, 25u);
}

// A link is followed through its joined path; a false ELOOP is tried once
// more, a real one adds nothing of the folder it would lead to.
TEST_F(InFolder, TheWalkRetriesALoopOnce) {
  Sh("cd " + d + " && mkdir -p t s && printf 123 > s/f && ln -s " + d + "s t/l");
  for (const auto& [nLoops, bWhole] : {std::pair{1, true}, std::pair{2, false}}) {
    EnvDouble env;
    for (int i = 1; i <= nLoops; ++i) env.Fail(Call::kOpen, 1 + i, ELOOP);  // after the top
    qom::FolderWalk walk(env, (d + "t").c_str(), true, true);
    while (walk.Next() != qom::WalkStep::kEnd) {
    }
    EXPECT_EQ(walk.Total(), Reference(d + "t") + (bWhole ? Reference(d + "s") : 0)) << nLoops;
  }
}

// The item check: a folder is refused by its status without an open, a
// missing path after six lookups; a file counts as opened under a lease,
// without /proc, and with one descriptor free or none; never otherwise.
TEST_F(InFolder, TheItemCheckLooksAsOftenAsItMust) {
  Sh("cd " + d + " && mkdir folder && echo 1 > file && echo 1 > wo && chmod 200 wo");
  // The item, the failing open and its errno, the answer, m_nFd, opens.
  const std::tuple<const char*, int, int, int, int, int> rows[] = {
      {"folder", 0, 0, 0, 0, 0},          {"wo", 0, 0, 0, 0, 0},
      {"missing", 0, 0, 0, -1, 6},        {"file", 0, 0, 1, 99, 2},
      {"file", 2, EWOULDBLOCK, 1, -1, 2},  // a lease
      {"file", 2, ENOENT, 1, 99, 2},       // no /proc: asked of the kernel
      {"file", 2, EMFILE, 1, 99, 2},       // one descriptor free
      {"file", 1, EMFILE, 1, -1, 1},       // none
      {"missing", 1, EMFILE, 0, -1, 1},   {"file", 2, EACCES, 0, -1, 2}};
  for (const auto& [name, n, nErrno, nAnswer, nFd, nOpens] : rows) {
    EnvDouble env;
    if (n != 0) env.Fail(Call::kOpen, n, nErrno);
    Task task(env);
    task.m_nFd = 99;
    const std::string row = std::string(name) + " " + strerror(nErrno);
    EXPECT_EQ(task.t_CheckAuth((d + name).c_str(), 0, 0, true), nAnswer) << row;
    // 99: the number of the descriptor it closed.
    EXPECT_TRUE(nFd == 99 ? task.m_nFd > 2 : task.m_nFd == nFd) << row << ": " << task.m_nFd;
    EXPECT_EQ(env.Count(Call::kOpen), nOpens) << row;
  }
}

// The figures of the first entry at the resolved /tmp that can be measured;
// free is what an unprivileged user may have.
TEST(Seam, PartitionFiguresFromTheFirstMeasurableEntry) {
  struct Mounts : EnvDouble {
    FILE* OpenMountTable() override {
      static char table[] = "a /tmp tmpfs rw 0 0\nb /tmp tmpfs rw 0 0\n";
      return fmemopen(table, strlen(table), "r");
    }
    char* RealPath(const char*) override { return strdup("/tmp"); }
    int StatFs(const char* p, struct statfs64* pFs) override {
      if (++nCalls == 1) return errno = EACCES, -1;  // the first entry cannot be measured
      *pFs = {};
      pFs->f_bsize = 4096, pFs->f_blocks = 1000, pFs->f_bfree = 250, pFs->f_bavail = 200;
      return p == std::string("/tmp") ? 0 : -1;
    }
    int nCalls = 0;
  } env;
  Task task(env);
  unsigned long long total = 0, used = 0, free = 0;
  EXPECT_EQ(task.t_GetSizeInfo(&total, &used, &free), 1);
  EXPECT_EQ(std::tie(total, used, free), std::make_tuple(4096000ULL, 3072000ULL, 819200ULL));
}

// The exact lines each command hands to the shell, and what a failing tool
// or a thread that cannot start answers.
TEST_F(InFolder, TheShellGetsExactlyTheseLines) {
  Sh("mkdir -p " + d + "tmp/dir " + d + "opt/down && echo 1 > " + d + "tmp/src && echo 1 > " + d +
     "tmp/a.zip");
  const std::string nice = "/usr/bin/nice -n 19 ";
  // The command, its parameters, what the shell answers, the reply, and
  // the lines.
  using Lines = std::vector<std::string>;
  const std::tuple<const char*, const char*, const char*, int, int, Lines> rows[] = {
      {"Copy",
       "/tmp/src",
       "/tmp/new/dst",
       0,
       1,
       {nice + "/bin/mkdir -p /tmp/new", nice + "/bin/cp -rf /tmp/src /tmp/new/dst", "/bin/sync"}},
      {"Move",
       "/tmp/dir",
       "/tmp/dir2",
       0,
       1,
       {nice + "/bin/mkdir -p /tmp/dir2", nice + "/bin/mv /tmp/dir /tmp/dir2", "/bin/sync"}},
      {"Copy", "/tmp/src", "/tmp/dir/", 1, 0, {nice + "/bin/cp -rf /tmp/src /tmp/dir/"}},
      {"Delete", "/tmp/src", "", 0, 1, {nice + "/bin/rm -rf /tmp/src", "/bin/sync"}},
      {"Unzip",
       "/tmp/a.zip",
       "/tmp/u",
       0,
       1,
       {nice + "/bin/mkdir -p /tmp/u", nice + "/usr/bin/unzip -q -o /tmp/a.zip -d /tmp/u",
        "/bin/sync"}},
      {"SetExecutable", "x1", "", 0, 1, {nice + "/bin/chmod +x /opt/down/xaps/xapx1/xapx1"}},
      {"SetExecutable", "a b", "", 0, 1, {}},  // another module's file: no line
      {"SetExecutable", "a;b", "", 0, 1, {}},
      {"UnzipKill", "", "", 1, 0, {"killall unzip"}},
      {"DeleteAsync", "/tmp/src", "", 0, 0, {}}};  // its thread cannot start
  for (const auto& [cmd, p1, p2, nShell, nReply, lines] : rows) {
    EnvDouble env(dir.Path());
    env.nShellResult = nShell;
    env.Fail(Call::kStartThread, 1, EAGAIN);
    Task task(env);
    task.SetWidgetInfo(1, const_cast<char*>(""));
    std::string a = p1, b = p2;
    const std::string c = cmd;
    const int nGot = c == "Copy"            ? task.Copy(&a[0], &b[0])
                     : c == "Move"          ? task.Move(&a[0], &b[0])
                     : c == "Delete"        ? task.Delete(&a[0])
                     : c == "Unzip"         ? task.Unzip(&a[0], &b[0])
                     : c == "SetExecutable" ? task.SetXapFileExecutable(&a[0])
                     : c == "UnzipKill"     ? task.UnzipKill()
                                            : task.DeleteAsync(&a[0]);
    EXPECT_EQ(nGot, nReply) << cmd << " " << p1;
    EXPECT_EQ(env.Shell(), lines) << cmd << " " << p1;
  }
}
