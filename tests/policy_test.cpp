// The path policy, the command-line screen, the shell runner and the item
// checks of the task object.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "TestSupport.h"
#include "XapTaskFileSystem.h"

// PTStat's time fields have the names the C library defines as macros for
// struct stat, whose times are read here as st_atim and so on.
#undef st_atime
#undef st_mtime
#undef st_ctime

namespace {

using qom::_PL_FS_ITEM_TYPE;

class TaskProbe : public qom::CXapTaskFileSystem {
 public:
  using CXapTaskFileSystem::m_nWidgetType;
  using CXapTaskFileSystem::m_szWidgetPath;
  using CXapTaskFileSystem::PTStat;
  using CXapTaskFileSystem::t_IsDirExist;
  using CXapTaskFileSystem::t_IsSafeCommandLine;
  using CXapTaskFileSystem::t_IsSafeSystemPath;
  using CXapTaskFileSystem::t_IsSafeSystemString;
  using CXapTaskFileSystem::t_MakeFolder;
  using CXapTaskFileSystem::t_MakeSafePath;
  using CXapTaskFileSystem::t_Stat;
  using CXapTaskFileSystem::t_SystemCall;
  using CXapTaskFileSystem::t_ValidPath;

  TaskProbe(int nType = 2, const char* pszWidget = "/opt/down/widgets/w1") {
    std::string widget = pszWidget;
    SetWidgetInfo(nType, &widget[0]);
  }
  int Safe(const std::string& path, std::string* pSafe = nullptr) {
    std::string copy = path;
    std::string safe = "untouched";
    int r = t_MakeSafePath(&copy[0], safe);
    if (pSafe != nullptr) *pSafe = safe;
    return r;
  }
};

std::string Under(const std::string& root, size_t total) {
  std::string path = root + "/";
  while (path.size() < total) path += 'a';
  return path;
}

TEST(ValidPath, RootsAreByteWisePrefixesCheckedBeforeAndAfterResolving) {
  xaptest::TempDir dir;
  symlink("/etc", (dir / "toetc").c_str());
  symlink(dir.Path().c_str(), (dir / "inside").c_str());
  symlink("/etc/none/such", (dir / "dangling").c_str());
  const struct {
    std::string path;
    int result;
    const char* log;
  } cases[] = {
      {"/tmp", 1, nullptr},
      {"/tmpdata/x", 1, nullptr},
      {"/opt/downloads/x", 1, nullptr},
      {"/opt/down/not/made/yet", 1, nullptr},
      {"/opt/usr/apps/x", 1, nullptr},
      {"tmp/x", 0, nullptr},
      {"/etc/passwd", 0, nullptr},
      {"/opt/dow", 0, nullptr},
      {Under("/tmp", 300), 1, nullptr},
      {Under("/tmp", 301), 0, " Limited char size max. 300 = [301]"},
      {dir / "toetc", 0, nullptr},
      {dir / "toetc/passwd", 0, nullptr},
      {dir / "inside", 1, nullptr},
      {dir / "dangling", 1, nullptr},
      {"/tmp/../etc", 0, nullptr},
  };
  for (const auto& c : cases) {
    TaskProbe task;
    xaptest::LogCapture log(4);
    EXPECT_EQ(task.t_ValidPath(c.path.c_str()), c.result) << c.path;
    if (c.log != nullptr) {
      EXPECT_EQ(log.Count(c.log), 1) << c.path;
    } else {
      EXPECT_TRUE(log.Lines().empty()) << c.path;
    }
  }
}

TEST(SafeSystemPath, RefusesDotDotAnywhereAndSaysWhy) {
  TaskProbe task;
  const struct {
    const char* path;
    int result;
    const char* log;
  } cases[] = {
      {"/opt/down/a/b", 1, nullptr},
      {"/opt/down/a/../b", 0, "Find unsafe string in system path= [/opt/down/a/../b]"},
      {"/tmp/file..txt", 0, "Find unsafe string in system path= [/tmp/file..txt]"},
      {"/etc/passwd", 0, "Cannot permit this path= [/etc/passwd]"},
  };
  for (const auto& c : cases) {
    xaptest::LogCapture log(3);
    EXPECT_EQ(task.t_IsSafeSystemPath(c.path), c.result) << c.path;
    if (c.log != nullptr) {
      EXPECT_EQ(log.Count(c.log), 1) << c.path;
    }
  }
  xaptest::LogCapture log(3);
  EXPECT_EQ(task.t_IsSafeSystemPath(nullptr), 0);
  EXPECT_EQ(log.Count("!!!!ERROR!!!!"), 1);
}

TEST(SafeSystemString, SixtySevenCharactersAndTwoHundredFiftyFive) {
  const std::string all = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-/.";
  const struct {
    std::string text;
    int path;     // t_IsSafeSystemString
    int command;  // t_IsSafeCommandLine
  } cases[] = {
      {all, 1, 1},
      {"", 1, 1},
      {"/opt/down/a_b-c.d/E9", 1, 1},
      {"/opt/down/my file", 0, 1},
      {"/opt/down/a+b", 0, 1},
      {std::string(255, 'a'), 1, 1},
      {std::string(256, 'a'), 0, 0},
      {"/tmp/\xc3\xa9", 0, 0},
      {"/tmp/a\x7f", 0, 0},
      {"/usr/bin/nice -n 19 /bin/chmod +x /tmp/x", 0, 1},
      {"killall unzip", 0, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TaskProbe::t_IsSafeSystemString(c.text.c_str()), c.path) << c.text;
    EXPECT_EQ(TaskProbe::t_IsSafeCommandLine("test", c.text.c_str()), c.command) << c.text;
  }
  for (const char* bad : {";", "|", "&", "$", "'", "\"", "`", "\t", "\n", "*", "?", "~", "\\",
                          "(", ")", "<", ">", "=", ",",  ":", "%",  "!",  "#", "[", "{"}) {
    std::string line = std::string("/bin/rm -rf /tmp/x") + bad;
    EXPECT_EQ(TaskProbe::t_IsSafeSystemString(line.c_str()), 0) << line;
    EXPECT_EQ(TaskProbe::t_IsSafeCommandLine("test", line.c_str()), 0) << line;
  }
  xaptest::LogCapture log(3);
  EXPECT_EQ(TaskProbe::t_IsSafeSystemString(std::string(256, 'a').c_str()), 0);
  EXPECT_EQ(TaskProbe::t_IsSafeSystemString("a b"), 0);
  EXPECT_EQ(TaskProbe::t_IsSafeSystemString("ab"), 1);
  EXPECT_EQ(TaskProbe::t_IsSafeSystemString(nullptr), 0);
  std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("L0 [QOM][t_IsSafeSystemString("), std::string::npos);
  EXPECT_NE(lines[0].find(")] overflow pszString size = [256] ( 255 char size limited )\n"),
            std::string::npos);
  EXPECT_NE(lines[1].find("L3 [QOM][t_IsSafeSystemString("), std::string::npos);
  EXPECT_NE(lines[1].find(")] The path specified is unsafe, NOT OK to proceed!!!!\n"),
            std::string::npos);
  EXPECT_NE(lines[2].find(")] The path specified is safe, OK to proceed\n"), std::string::npos);
  EXPECT_NE(lines[3].find("!!!!ERROR!!!!"), std::string::npos);
}

TEST(MakeSafePath, NoWidgetTypeRefusesEverythingFirst) {
  TaskProbe task(0, "");
  std::string safe = "untouched";
  EXPECT_EQ(task.Safe("/tmp/x", &safe), -4);
  EXPECT_EQ(safe, "untouched");
  EXPECT_EQ(task.Safe("/etc/passwd"), -4);
  EXPECT_EQ(task.t_MakeSafePath(nullptr, safe), -4);
}

TEST(MakeSafePath, WidgetRootsAndSharedRoots) {
  const struct {
    int type;
    const char* widget;
    std::string path;
    int result;
  } cases[] = {
      {2, "/opt/down/widgets/w1", "/opt/down/widgets/w1/data", 1},
      {2, "/opt/down/widgets/w1", "/opt/down/widgets/w12/x", 1},
      {2, "/opt/down/widgets/w1", "/opt/down/other/x", -7},
      {1, "/opt/down/widgets/w1", "/opt/down/other/x", 1},
      {-5, "/opt/down/widgets/w1", "/opt/down/other/x", -7},
      {2, "/opt/down/widgets/w1", "/opt/down/common/x", 1},
      {2, "/opt/down/widgets/w1", "/opt/down/common", -7},
      {2, "/opt/down/widgets/w1", "/tmp/x", 1},
      {2, "/opt/down/widgets/w1", "/tmpdata/x", 1},
      {2, "/opt/down/widgets/w1", "/opt/usr/apps/y", 1},
      {2, "", "/opt/down/anything", 1},
      {2, "/opt/down/widgets/w1", "data/x", -7},
      {2, "/opt/down/widgets/w1", "/tmp/a b", -7},
      {2, "/opt/down/widgets/w1", Under("/tmp", 255), 1},
      {2, "/opt/down/widgets/w1", Under("/tmp", 256), -7},
      {2, "/opt/down/widgets/w1", Under("/tmp", 301), -7},
      {2, "/opt/down/widgets/w1", "/opt/down/widgets/w1/../../x", -7},
      {1, "", "/etc/passwd", -7},
  };
  for (const auto& c : cases) {
    TaskProbe task(c.type, c.widget);
    std::string safe;
    EXPECT_EQ(task.Safe(c.path, &safe), c.result) << c.type << " " << c.path;
    if (c.result == 1) {
      EXPECT_EQ(safe, c.path);
    }
  }
  TaskProbe task;
  std::string safe = "untouched";
  EXPECT_EQ(task.t_MakeSafePath(nullptr, safe), -7);
  xaptest::LogCapture log(4);
  EXPECT_EQ(task.Safe("/opt/down/other/x"), -7);
  EXPECT_EQ(log.Count("L4 [QOM][t_MakeSafePath("), 1);
  EXPECT_EQ(log.Count(")] cmdPath is illegal[/opt/down/other/x]\n"), 1);
  log.Clear();
  EXPECT_EQ(task.Safe("/tmp/x"), 1);
  EXPECT_EQ(log.Count(")] safePath : [/tmp/x] =>[/tmp/x]\n"), 1);
}

TEST(SystemCall, RunsOnlyWhatPassesTheScreen) {
  xaptest::TempDir dir;
  TaskProbe task;
  std::string made = "/usr/bin/nice -n 19 /bin/mkdir -p " + (dir / "a/b");
  EXPECT_EQ(task.t_SystemCall(made.c_str()), 0);
  EXPECT_EQ(task.t_IsDirExist((dir / "a/b").c_str()), 1);
  EXPECT_NE(task.t_SystemCall("/bin/ls /nonexistent/x"), 0);
  EXPECT_EQ(task.t_SystemCall("/bin/sync"), 0);
  // Each of these would make the canary if it ran.
  std::string canary = dir / "canary";
  for (const std::string& line :
       {"/usr/bin/touch " + canary + " &", "/usr/bin/touch " + canary + ";",
        "/usr/bin/touch " + canary + "\n", "/usr/bin/touch " + canary + "\t",
        "/usr/bin/touch " + canary + " " + std::string(256, 'x')}) {
    xaptest::LogCapture log(3);
    EXPECT_NE(task.t_SystemCall(line.c_str()), 0) << line;
    EXPECT_EQ(log.Count("pszCommand = ["), 0) << line;
  }
  EXPECT_NE(task.t_SystemCall(nullptr), 0);
  EXPECT_NE(access(canary.c_str(), F_OK), 0);
}

TEST(MakeFolder, ExistingRunsNothingMissingIsMadeFailureIsZero) {
  xaptest::TempDir dir;
  xaptest::WriteFile(dir / "file", "x");
  TaskProbe task;
  xaptest::LogCapture log(3);
  std::string existing = dir.Path();
  EXPECT_EQ(task.t_MakeFolder(&existing[0]), 1);
  std::string file = dir / "file";
  EXPECT_EQ(task.t_MakeFolder(&file[0]), 1);
  EXPECT_EQ(log.Count("pszCommand"), 0);
  std::string missing = dir / "a/b/c";
  EXPECT_EQ(task.t_MakeFolder(&missing[0]), 1);
  EXPECT_EQ(task.t_IsDirExist(missing.c_str()), 1);
  std::string underFile = dir / "file/sub";
  EXPECT_EQ(task.t_MakeFolder(&underFile[0]), 0);
  std::string refused = dir / "x;y";
  EXPECT_EQ(task.t_MakeFolder(&refused[0]), 0);
}

TEST(Items, ExistenceAndTypeByWhatOpens) {
  xaptest::TempDir dir;
  mkdir((dir / "dir").c_str(), 0755);
  xaptest::WriteFile(dir / "w", "x");
  chmod((dir / "w").c_str(), 0200);
  xaptest::WriteFile(dir / "r", "x");
  chmod((dir / "r").c_str(), 0400);
  mkfifo((dir / "fifo").c_str(), 0644);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", (dir / "sock").c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
  symlink((dir / "dir").c_str(), (dir / "linkdir").c_str());
  symlink((dir / "gone").c_str(), (dir / "dangling").c_str());
  const struct {
    const char* name;
    int exists;
    int type;
  } cases[] = {{"dir", 1, 1},     {"w", 0, 1000},    {"r", 1, 0},           {"fifo", 0, 1000},
               {"sock", 0, 1000}, {"linkdir", 1, 1}, {"dangling", 0, 1000}, {"missing", 0, 1000}};
  for (const auto& c : cases) {
    TaskProbe task;
    std::string path = dir / c.name;
    EXPECT_EQ(task.IsExistedPath(&path[0]), c.exists) << c.name;
    _PL_FS_ITEM_TYPE type = qom::PL_FS_ITEM_TYPE_FILE;
    EXPECT_EQ(task.GetItemType(&path[0], &type), 1) << c.name;
    EXPECT_EQ(type, c.type) << c.name;
  }
  std::string dev = "/dev/null";
  TaskProbe task;
  EXPECT_EQ(task.IsExistedPath(&dev[0]), 0);
  EXPECT_EQ(task.IsExistedPath(nullptr), -3);
  _PL_FS_ITEM_TYPE type = qom::PL_FS_ITEM_TYPE_FILE;
  EXPECT_EQ(task.GetItemType(nullptr, &type), -3);
  EXPECT_EQ(type, qom::PL_FS_ITEM_TYPE_FILE);

  TaskProbe::PTStat st = {};
  ASSERT_EQ(task.t_Stat((dir / "sock").c_str(), &st), 0);
  struct stat real;
  ASSERT_EQ(stat((dir / "sock").c_str(), &real), 0);
  EXPECT_EQ(st.st_mode, 0140000u | (real.st_mode & 07777));
  EXPECT_EQ(st.st_ino, real.st_ino);
  EXPECT_EQ(st.st_mtime, static_cast<int32_t>(real.st_mtim.tv_sec));
  close(sock);
  chmod((dir / "r").c_str(), 07755);
  ASSERT_EQ(task.t_Stat((dir / "r").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode, 0107755u);
  TaskProbe::PTStat untouched = st;
  EXPECT_NE(task.t_Stat((dir / "missing").c_str(), &st), 0);
  EXPECT_EQ(memcmp(&st, &untouched, sizeof st), 0);
}

TEST(Items, FileSizeIsTheLowThirtyTwoBitsOrMinusFive) {
  xaptest::TempDir dir;
  const struct {
    const char* name;
    long long size;
    int reply;
  } cases[] = {
      {"small", 1234, 1234}, {"3g", 3221225472LL, -1073741824}, {"5g", 5368709120LL, 1073741824}};
  TaskProbe task;
  for (const auto& c : cases) {
    std::string path = dir / c.name;
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate64(fd, c.size), 0);  // sparse: no disk space used
    close(fd);
    int size = 7;
    EXPECT_EQ(task.GetFileSize(&path[0], &size), 1) << c.name;
    EXPECT_EQ(size, c.reply) << c.name;
  }
  std::string folder = dir.Path();
  struct stat st;
  stat(folder.c_str(), &st);
  int size = 7;
  EXPECT_EQ(task.GetFileSize(&folder[0], &size), 1);
  EXPECT_EQ(size, static_cast<int>(st.st_size));
  std::string missing = dir / "missing";
  size = 7;
  EXPECT_EQ(task.GetFileSize(&missing[0], &size), -5);
  EXPECT_EQ(size, 7);
  EXPECT_EQ(task.GetFileSize(nullptr, &size), -3);
  EXPECT_EQ(task.GetFileSize(&missing[0], nullptr), -3);
}

TEST(WidgetInfo, KeepsAtMost199CharactersAndNothingOfAnEarlierPath) {
  TaskProbe task(0, "");
  std::string longPath(250, 'L');
  EXPECT_EQ(task.SetWidgetInfo(7, &longPath[0]), 1);
  EXPECT_EQ(std::string(task.m_szWidgetPath), longPath.substr(0, 199));
  EXPECT_EQ(task.m_szWidgetPath[199], 0);
  std::string shortPath = "/opt/down/w/";
  EXPECT_EQ(task.SetWidgetInfo(0, &shortPath[0]), 1);
  EXPECT_STREQ(task.m_szWidgetPath, "/opt/down/w/");
  for (size_t i = shortPath.size(); i < sizeof task.m_szWidgetPath; ++i) {
    ASSERT_EQ(task.m_szWidgetPath[i], 0) << i;
  }
  EXPECT_EQ(task.m_nWidgetType, 0);
  EXPECT_EQ(task.Safe("/tmp/x"), -4);
  EXPECT_EQ(task.SetWidgetInfo(2, nullptr), -3);
  EXPECT_EQ(task.m_nWidgetType, 0);
  EXPECT_STREQ(task.m_szWidgetPath, "/opt/down/w/");
}

}  // namespace
