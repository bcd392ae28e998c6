// Catches wrong answers where the operating system says no: every outcome
// of the folder walk, the item check's lookups and fallbacks, the partition
// figures, a thread or a tool that cannot start, and the exact command
// lines; all through the module's seam for its OS calls, without root.
#include <sys/stat.h>

#include <tuple>

#include "EnvDouble.h"
#include "TestSupport.h"
#include "XapEngineFileSystem.h"
#include "XapFolderWalk.h"
#include "XapTaskFileSystem.h"

using namespace xaptest;
using Lines = std::vector<std::string>;

// The task with its inner steps in reach.
struct Task : qom::CXapTaskFileSystem {
  using CXapTaskFileSystem::CXapTaskFileSystem;
  using CXapTaskFileSystem::m_nAuthMode;
  using CXapTaskFileSystem::m_nFd;
  using CXapTaskFileSystem::t_AsyncThread;
  using CXapTaskFileSystem::t_CheckAuth;
  using CXapTaskFileSystem::t_GetSizeInfo;
  using CXapTaskFileSystem::t_StartAsyncJob;
  using CXapTaskFileSystem::t_SystemCall;
  using CXapTaskFileSystem::t_Trim;
};

// What the walk must sum, found the plain way: every entry's lstat size,
// "." and ".." of each folder included (links: none followed).
double Reference(const std::string& top) {
  return std::stod(
      ShellOutput("(find " + top + " -mindepth 1 -printf '%s\\n'; find " + top +
                  " -type d -exec stat -c %s {} {}/.. \\;) | awk '{s += $1} END {print s}'"));
}

struct Walked {
  double lfTotal;
  qom::WalkCut eCut;
  size_t nMostOpen;
};

Walked Walk(qom::Env& env, const std::string& top, bool bFollow = false) {
  qom::FolderWalk walk(env, top.c_str(), true, bFollow);
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
      {Call::kReadEntries, 2, EINVAL, true, kShort, WalkCut::kNone},  // unread: adds nothing
      {Call::kReadEntries, 26, EIO, false, kCut, WalkCut::kRead},     // read in part
      {Call::kFStatAt, 2, ENOMEM, true, kCut, WalkCut::kResources},
      {Call::kFStatAt, 4, EACCES, true, kShort, WalkCut::kNone},
      // A folder closed early that is not itself when reopened.
      {Call::kNameToHandle, 18, EnvDouble::kAnotherFile, true, kCut, WalkCut::kReopen}};
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
  // Memory that runs out mid-walk cuts it: 0, nothing written, no end of
  // the process.
  struct Short : EnvDouble {
    int FStatAt(int, const char*, struct stat64*, int) override { throw std::bad_alloc(); }
  } shortOfMemory;
  Task task(shortOfMemory);
  double lfSize = -1;
  std::string folder = top;
  EXPECT_EQ(task.GetFolderSize(&lfSize, &folder[0], true, false), 0);
  EXPECT_EQ(lfSize, -1);
}

// A link is followed through its joined path; a false ELOOP is tried once
// more, a real one adds nothing of the folder it would lead to.
TEST_F(InFolder, TheWalkRetriesALoopOnce) {
  Sh("cd " + d + " && mkdir -p t s && printf 123 > s/f && ln -s " + d + "s t/l");
  for (const auto& [nLoops, bWhole] : {std::pair{1, true}, std::pair{2, false}}) {
    EnvDouble env;
    for (int i = 1; i <= nLoops; ++i) env.Fail(Call::kOpen, 1 + i, ELOOP);  // after the top
    EXPECT_EQ(Walk(env, d + "t", true).lfTotal,
              Reference(d + "t") + (bWhole ? Reference(d + "s") : 0))
        << nLoops;
  }
}

// The item check: a folder is refused by its status without an open, a
// missing path after six lookups; a file counts as opened under a lease,
// without /proc, and with one descriptor free or none; never otherwise.
TEST_F(InFolder, TheItemCheckLooksAsOftenAsItMust) {
  Sh("cd " + d + " && mkdir folder && echo 1 > file && echo 1 > wo && chmod 200 wo");
  // The item, the mode ("r": 0 without the file test), the failing call,
  // its number and errno, the answer, m_nFd (99: the number of the
  // descriptor it closed), and the opens.
  const std::tuple<const char*, char, Call, int, int, int, int, int> rows[] = {
      {"folder", '0', Call::kOpen, 0, 0, 0, 0, 0},
      {"wo", '0', Call::kOpen, 0, 0, 0, 0, 0},
      {"missing", '0', Call::kOpen, 0, 0, 0, -1, 6},
      {"file", '0', Call::kOpen, 0, 0, 1, 99, 2},
      {"file", '0', Call::kOpen, 2, EWOULDBLOCK, 1, -1, 2},  // a lease
      {"file", '0', Call::kOpen, 2, ENOENT, 1, 99, 2},       // no /proc: asked of the kernel
      {"file", '0', Call::kStatFs, 1, ENOENT, 1, 99, 1},     // nor where /proc is not its own
      {"file", '0', Call::kOpen, 2, EMFILE, 1, 99, 2},       // one descriptor free
      {"file", '0', Call::kOpen, 1, EMFILE, 1, -1, 1},       // none
      {"missing", '0', Call::kOpen, 1, EMFILE, 0, -1, 1},
      {"file", '0', Call::kOpen, 2, EACCES, 0, -1, 2},
      {"file", '0', Call::kFStat, 1, EIO, 0, 0, 1},
      // Without /proc the kernel is asked about the item, else by path.
      {"file", '0', Call::kAccessAt, 1, EINVAL, 1, 99, 2},
      {"file", '1', Call::kOpen, 0, 0, 1, 99, 2},
      {"file", '2', Call::kOpen, 0, 0, 1, 99, 2},
      {"file", '3', Call::kOpen, 0, 0, 0, 0, 0},
      {"folder", '1', Call::kOpen, 0, 0, 0, -1, 2},
      {"folder", 'r', Call::kOpen, 0, 0, 1, 99, 2}};
  for (const auto& [name, mode, call, n, nErrno, nAnswer, nFd, nOpens] : rows) {
    EnvDouble env;
    if (n != 0) env.Fail(call, n, nErrno);
    if (call == Call::kAccessAt) env.Fail(Call::kOpen, 2, ENOENT);
    Task task(env);
    task.m_nFd = 99;
    const std::string row = std::string(name) + " " + mode + " " + strerror(nErrno);
    const int nMode = mode == 'r' ? 0 : mode - '0';
    EXPECT_EQ(task.t_CheckAuth((d + name).c_str(), nMode, 0, mode != 'r'), nAnswer) << row;
    EXPECT_TRUE(nFd == 99 ? task.m_nFd > 2 : task.m_nFd == nFd) << row << ": " << task.m_nFd;
    EXPECT_EQ(env.Count(Call::kOpen), nOpens) << row;
    EXPECT_TRUE(nAnswer == 0 || task.m_nAuthMode == nMode) << row;
  }
}

// The figures of the first entry at the resolved /tmp that can be measured
// (free: what an unprivileged user may have); none written without one.
TEST(Seam, PartitionFiguresFromTheFirstMeasurableEntry) {
  struct Mounts : EnvDouble {
    FILE* OpenMountTable() override {
      return table.empty() ? nullptr : fmemopen(&table[0], table.size(), "r");
    }
    char* RealPath(const char*) override {
      return bResolves ? strdup("/tmp") : (errno = ENOENT, nullptr);
    }
    int StatFs(const char*, struct statfs64* pFs) override {
      if (++nCalls == 1) return errno = EACCES, -1;  // the first entry cannot be measured
      *pFs = {};
      pFs->f_bsize = 4096, pFs->f_blocks = 1000, pFs->f_bfree = 250, pFs->f_bavail = 200;
      return 0;
    }
    std::string table;
    bool bResolves = true;
    int nCalls = 0;
  };
  const std::string tmp = "x /tmp tmpfs rw 0 0\n", q = "L0 [QOM][t_GetSizeInfo(N)] ",
                    none = q + "Can not find Widget Partition path: /tmp\n" + q + "s_percent[0]\n";
  // The mount table (none when empty), whether /tmp resolves, the result,
  // the figures (7: left as they were) and the level-0 lines.
  using U = unsigned long long;
  const std::tuple<std::string, bool, int, U, U, U, std::string> rows[] = {
      {tmp + tmp, true, 1, 4096000, 3072000, 819200, q + "s_percent[7895]\n"},
      {tmp + "y /tmp/ tmpfs rw 0 0\nz /TMP tmpfs rw 0 0\n", true, 1, 7, 7, 7,
       q + "End of getmntent : Can't get mount entry information.\n" + none},
      {"", true, 1, 7, 7, 7, q + "Can not get mount info. Please check /proc/mounts\n" + none},
      {tmp + tmp, false, 0, 7, 7, 7, q + "realpath failed. errno[2]\n"}};
  for (const auto& [table, bResolves, nResult, total, used, free, log] : rows) {
    Mounts env;
    env.table = table;
    env.bResolves = bResolves;
    Task task(env);
    U figures[3] = {7, 7, 7};
    testing::internal::CaptureStderr();
    EXPECT_EQ(task.t_GetSizeInfo(&figures[0], &figures[1], &figures[2]), nResult) << table;
    EXPECT_EQ(
        std::regex_replace(testing::internal::GetCapturedStderr(), std::regex("\\(\\d+\\)"), "(N)"),
        log);
    EXPECT_EQ(std::tie(figures[0], figures[1], figures[2]), std::tie(total, used, free)) << table;
  }
}

// The exact lines each command hands to the shell, a job's event, and what
// a failing tool or a thread that cannot start answers.
TEST_F(InFolder, TheShellGetsExactlyTheseLines) {
  Sh("mkdir -p " + d + "tmp/dir " + d + "opt/down && echo 1 > " + d + "tmp/src && echo 1 > " + d +
     "tmp/a.zip");
  static std::string events;
  qom::CXapEngineBase::SetEventSink([](int nId, const std::string& strData, const std::string&) {
    events += std::to_string(nId) + strData;
  });
  const std::string n = "/usr/bin/nice -n 19 ", l(200, 'l');
  // The command and its parameters, what the shell answers ("t": the
  // thread cannot start), the reply, the lines joined by "|", the event.
  const std::tuple<const char*, std::string, std::string, const char*, const char*, std::string,
                   const char*>
      rows[] = {
          {"Copy", "/tmp/src", "/tmp/new/dst", "0", "1",
           n + "/bin/mkdir -p /tmp/new|" + n + "/bin/cp -rf /tmp/src /tmp/new/dst|/bin/sync", ""},
          {"Move", "/tmp/dir", "/tmp/dir2", "0", "1",
           n + "/bin/mkdir -p /tmp/dir2|" + n + "/bin/mv /tmp/dir /tmp/dir2|/bin/sync", ""},
          {"Copy", "/tmp/src", "/tmp/dir/", "1", "0", n + "/bin/cp -rf /tmp/src /tmp/dir/", ""},
          {"Delete", "/tmp/src", "", "0", "1", n + "/bin/rm -rf /tmp/src|/bin/sync", ""},
          {"Unzip", "/tmp/a.zip", "/tmp/u", "0", "1",
           n + "/bin/mkdir -p /tmp/u|" + n + "/usr/bin/unzip -q -o /tmp/a.zip -d /tmp/u|/bin/sync",
           ""},
          {"SetExecutable", "x1", "", "0", "1", n + "/bin/chmod +x /opt/down/xaps/xapx1/xapx1", ""},
          {"SetExecutable", "a b", "", "0", "1", "", ""},  // another module's file: no line
          {"SetExecutable", "a;b", "", "0", "1", "", ""},
          {"UnzipKill", "", "", "1", "0", "killall unzip", ""},
          {"DeleteAsync", "/tmp/src", "", "1", "1", n + "/bin/rm -rf /tmp/src|/bin/sync", "01"},
          {"UnzipAsync", "/tmp/a.zip", "/tmp/v", "0", "1",
           n + "/usr/bin/unzip -o /tmp/a.zip -d /tmp/v|/bin/sync", "31"},
          // Over 255 characters: the worker's screen refuses the line.
          {"UnzipAsync", "/tmp/" + l, "/tmp/" + l, "0", "1", "", "30"},
          {"DeleteAsync", "/tmp/src", "", "t", "0", "", ""}};
  for (const auto& [cmd, p1, p2, shell, reply, lines, event] : rows) {
    EnvDouble env(dir.Path());
    env.nShellResult = shell[0] == '1';
    if (shell[0] == 't') env.Fail(Call::kStartThread, 1, EAGAIN);
    qom::CXapEngineFileSystem engine(env);
    std::string ret;
    engine.Execute(ret, "SetWidgetInfo", "1", "", "", "");
    engine.Execute(ret, cmd, p1, p2, "", "");
    qom::XapWaitForJobs();
    std::string ran;
    for (const std::string& line : env.Shell()) ran += (ran.empty() ? "" : "|") + line;
    EXPECT_EQ(ret + " " + ran + " " + std::exchange(events, ""),
              std::string(reply) + " " + lines + " " + event)
        << cmd << " " << p1;
  }  // A job of no known kind runs nothing and ends with event 4, "0".
  EnvDouble env;
  qom::CXapEngineFileSystem engine(env);
  auto* pJob =
      qom::AsyncJob::New(0, "/tmp/x", nullptr, &engine, env, std::make_shared<qom::EngineLife>());
  EXPECT_EQ(Task::t_StartAsyncJob(pJob), 1);
  qom::XapWaitForJobs();
  EXPECT_EQ(std::exchange(events, "") + std::to_string(env.Shell().size()), "400");
}

// The small members at their edges: t_Trim's blanks (0x20 only), the
// runner's own screen (the characters of a path, blanks and "+", at most
// 255), and null arguments answered, nothing written.
TEST(Seam, SmallMembersAtTheirEdges) {
  EnvDouble env;
  Task task(env);
  for (const auto& [in, out] : Rows{{"  a b  ", "a b"}, {"", ""}, {"   ", ""}, {"\ta ", "\ta"}}) {
    char szOut[16] = "x";
    std::string text = in;
    EXPECT_EQ(task.t_Trim(&text[0], szOut), 1);
    EXPECT_EQ(szOut, out);
  }
  char szUntouched[4] = "x";
  EXPECT_EQ(task.t_Trim(nullptr, szUntouched) + task.t_Trim(szUntouched, nullptr), 0);
  EXPECT_STREQ(szUntouched, "x");
  const std::string x255(255, 'x');
  for (const std::string& line :
       Lines{"/bin/x +a_-/.Z9", "/bin/x;y", "/bin/x\xc3\xa9", x255, x255 + "x"})
    task.t_SystemCall(line.c_str());
  EXPECT_EQ(env.Shell(), (Lines{"/bin/x +a_-/.Z9", x255}));
  EXPECT_NE(task.t_SystemCall(nullptr), 0);
  EXPECT_EQ(task.SetXapFileExecutable(nullptr), 0);
  EXPECT_EQ(task.SetWidgetInfo(1, nullptr), -3);
  EXPECT_EQ(Task::t_AsyncThread(nullptr), nullptr);
  // The queries' null arguments: -3, and 0 for the folder size.
  char szPath[] = "/";
  int nSize = 7;
  EXPECT_EQ(task.IsExistedPath(nullptr) + task.GetItemType(nullptr, nullptr) +
                task.GetFileSize(szPath, nullptr) + task.GetTotalSize(nullptr),
            -12);
  EXPECT_EQ(task.GetFolderSize(nullptr, szPath, true, true) + task.GetFileSize(nullptr, &nSize),
            -3);
  EXPECT_EQ(nSize, 7);
}
