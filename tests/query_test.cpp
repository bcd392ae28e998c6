// The queries: folder size, item properties, folder listing and partition
// capacity, answered through the engine as the host calls it.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "XapEngineFileSystem.h"
#include "XapTaskFileSystem.h"

namespace {

std::string Ask(qom::CXapEngineFileSystem& engine, const std::string& cmd, const std::string& p1,
                const std::string& p2 = "", const std::string& p3 = "") {
  std::string ret;
  engine.ResetReply();
  EXPECT_TRUE(engine.Execute(ret, cmd, p1, p2, p3, ""));
  return ret;
}

// An item's own size, as lstat reads it.
long long Size(const std::string& path) {
  struct stat64 st;
  EXPECT_EQ(lstat64(path.c_str(), &st), 0) << path;
  return st.st_size;
}

void Sparse(const std::string& path, long long size) {
  int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate64(fd, size), 0);
  close(fd);
}

// Every entry adds its lstat size, "." and ".." included, under the path
// "folder/name"; links are followed as that path resolves, so a loop ends
// where the path holds more links than one resolution follows (40) or
// grows past 255 characters.
TEST(FolderSize, SumsEveryEntryAsItsJoinedPathResolves) {
  xaptest::TempDir dir;
  const std::string t = dir / "t";
  mkdir(t.c_str(), 0755);
  mkdir((t + "/sub").c_str(), 0755);
  mkdir((t + "/empty").c_str(), 0755);
  xaptest::WriteFile(t + "/a", std::string(1000, 'a'));
  xaptest::WriteFile(t + "/sub/b", std::string(70000, 'b'));
  Sparse(t + "/big", 3221225472LL);  // unreadable to the 32-bit call: adds nothing
  symlink((t + "/sub").c_str(), (t + "/tosub").c_str());
  symlink((t + "/a").c_str(), (t + "/toa").c_str());
  const long long tTop = Size(t) + Size(dir.Path()) + 1000 + Size(t + "/sub") + Size(t + "/empty") +
                         Size(t + "/tosub") + Size(t + "/toa");
  const long long tSub = Size(t + "/sub") + Size(t) + 70000;
  const long long tEmpty = Size(t + "/empty") + Size(t);

  // loop: f (33 bytes) and L -> "."; loop2: f and d/L -> "..".
  const std::string loop = dir / "loop", loop2 = dir / "loop2";
  mkdir(loop.c_str(), 0755);
  mkdir(loop2.c_str(), 0755);
  mkdir((loop2 + "/d").c_str(), 0755);
  xaptest::WriteFile(loop + "/f", std::string(33, 'f'));
  xaptest::WriteFile(loop2 + "/f", std::string(33, 'f'));
  symlink(".", (loop + "/L").c_str());
  symlink("..", (loop2 + "/d/L").c_str());
  const long long loopLevel = Size(loop) + Size(dir.Path()) + 33 + 1;
  const long long loop2Level = Size(loop2) + Size(dir.Path()) + 33 + Size(loop2 + "/d");
  const long long loop2D = Size(loop2 + "/d") + Size(loop2) + 2;

  // The same loop deep enough that the 255 characters end it first.
  std::string deep = dir.Path();
  while (deep.size() < 200) {
    deep += "/" + std::string(40, 'n');
    mkdir(deep.c_str(), 0755);
  }
  xaptest::WriteFile(deep + "/f", std::string(33, 'f'));
  symlink(".", (deep + "/L").c_str());
  long long deepSum = 0;
  for (size_t n = deep.size(); n + 2 <= 255; n += 2) {
    deepSum += Size(deep) + 33 + 1 + (n + 3 <= 255 ? Size(deep + "/..") : 0);
  }
  // Levels of a loop: down to the first path that does not resolve (41 on
  // Linux, whose paths follow at most 40 links).
  auto levels = [](const std::string& top, const std::string& step) {
    long long n = 0;
    struct stat64 st;
    for (std::string p = top; lstat64((p + "/.").c_str(), &st) == 0; p += step) ++n;
    return n;
  };
  const struct {
    std::string folder;
    const char *sub, *link;
    long long expected;
  } rows[] = {
      {t, "", "", tTop},
      {t, "1", "", tTop + tSub + tEmpty},
      {t, "true", "1", tTop + tSub + tEmpty + tSub},
      {t, "", "true", tTop},
      {t, "TRUE", "yes", tTop},
      {loop, "1", "0", loopLevel},
      {loop, "1", "1", levels(loop, "/L") * loopLevel},
      {loop2, "1", "", loop2Level + loop2D},
      {loop2, "1", "1", levels(loop2, "/d/L") * (loop2Level + loop2D)},
      {deep, "1", "1", deepSum},
      {t + "/empty", "1", "1", tEmpty},
      {t + "/missing", "1", "1", 0},
  };
  qom::CXapEngineFileSystem engine;
  for (const auto& row : rows) {
    EXPECT_EQ(Ask(engine, "GetFolderSize", row.folder, row.sub, row.link),
              std::to_string(row.expected))
        << row.folder << " " << row.sub << "/" << row.link;
  }
}

// A fan-out of links (each folder holds two links to the next) would take
// 2^40 visits: the walk is cut, logged and answered.
TEST(FolderSize, AWalkThatWouldNotEndIsCutAndAnswered) {
  xaptest::TempDir dir;
  for (int i = 0; i < 40; ++i) mkdir((dir / ("f" + std::to_string(i))).c_str(), 0755);
  for (int i = 0; i + 1 < 40; ++i) {
    const std::string next = "../f" + std::to_string(i + 1);
    symlink(next.c_str(), (dir / ("f" + std::to_string(i)) + "/a").c_str());
    symlink(next.c_str(), (dir / ("f" + std::to_string(i)) + "/b").c_str());
  }
  xaptest::ModuleProcess module;
  for (const std::string& folder : {dir / "f0", std::string("/proc/self")}) {
    module.SendLine("GetFolderSize " + folder + " 1 1");
    EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"GetFolderSize\",\"ok\":true,\"reply\":0}");
  }
  EXPECT_NE(module.Stderr().find("folder walk of [" +
                                 dir / "f0] cut after 10000 folders reached through links, at ["),
            std::string::npos)
      << module.Stderr();
}

// "." and ".." are read like the other entries: in a folder that can be
// listed but not searched, none of them can, and the folder measures 0.
TEST(FolderSize, AFolderListableButNotSearchableMeasuresNothing) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run the module as another user";
  xaptest::TempDir dir;
  chmod(dir.Path().c_str(), 0755);
  mkdir((dir / "ns").c_str(), 0704);
  chmod((dir / "ns").c_str(), 0704);
  xaptest::WriteFile(dir / "ns/f", "data");
  xaptest::ModuleCopy copy;
  std::string out = xaptest::ShellOutput("echo GetFolderSize " + dir / "ns" +
                                         " 1 1 | setpriv --reuid=65534 --regid=65534 "
                                         "--clear-groups " +
                                         copy.Command() + " 2>&1");
  EXPECT_EQ(out, "{\"cmd\":\"GetFolderSize\",\"ok\":true,\"reply\":\"0\"}\n");
}

std::string PropertyText(const std::string& folder, const std::string& name, const struct stat& st,
                         int length) {
  bool isFile = S_ISREG(st.st_mode);
  bool readOnly = (st.st_mode & 0400) && (st.st_mode & 0700) != 0700;
  std::string text = std::string("{ \"readOnly\": ") + (readOnly ? "true" : "false") +
                     ", \"isFile\": " + (isFile ? "true" : "false") +
                     ", \"isDirectory\": " + (isFile ? "false" : "true") +
                     ", \"created\": " + std::to_string(st.st_atim.tv_sec) +
                     ", \"modified\": " + std::to_string(st.st_mtim.tv_sec) +
                     ", \"path\": " + folder + ", \"name\": " + (isFile ? name : "NULL") +
                     ", \"fullPath\": " + (isFile ? folder + "/" + name : folder) +
                     ", \"fileSize\": " + std::to_string(static_cast<int>(st.st_size)) +
                     ", \"length\": " + std::to_string(length) + " }";
  return text;
}

// The existence probe opens what it examines without waiting: a file under
// a lease its owner holds answers at once instead of after the lease break.
TEST(Probe, AFileUnderALeaseDoesNotHoldTheCommandThread) {
  xaptest::TempDir dir;
  xaptest::WriteFile(dir / "leased", "x");
  int fd = open((dir / "leased").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  signal(SIGIO, SIG_IGN);  // the lease break is signalled to its holder
  if (fcntl(fd, F_SETLEASE, F_WRLCK) != 0) GTEST_SKIP() << "no lease here: " << strerror(errno);
  xaptest::ModuleProcess module;
  module.SendLine("IsExistedPath " + dir / "leased");
  bool bOk = false;
  std::string reply = module.ReadLine(5000, &bOk);
  EXPECT_TRUE(bOk);
  EXPECT_EQ(reply, "{\"cmd\":\"IsExistedPath\",\"ok\":true,\"reply\":0}");
  close(fd);
}

TEST(Property, DescribesFilesAndFoldersInTheExactForm) {
  xaptest::TempDir dir;
  const std::string real = dir / "real";
  mkdir(real.c_str(), 0755);
  mkdir((dir / "empty").c_str(), 0755);
  const struct {
    const char* name;
    mode_t mode;
  } files[] = {{"rw.txt", 0644}, {"x.bin", 0700}, {"wo", 0200}};
  for (const auto& f : files) {
    xaptest::WriteFile(real + "/" + f.name, "12345");
    chmod((real + "/" + f.name).c_str(), f.mode);
  }
  Sparse(real + "/3g", 3221225472LL);
  symlink(real.c_str(), (dir / "link").c_str());
  qom::CXapEngineFileSystem engine;
  Ask(engine, "SetWidgetInfo", "2", dir.Path());
  for (const char* name : {"rw.txt", "x.bin", "wo", "3g"}) {
    struct stat st;
    stat((real + "/" + name).c_str(), &st);
    // Reached through a link: the folder is shown resolved, the name as given.
    EXPECT_EQ(Ask(engine, "GetProperty", dir / "link/" + name), PropertyText(real, name, st, 4))
        << name;
  }
  char cwd[4096];
  EXPECT_STREQ(getcwd(cwd, sizeof cwd), real.c_str());  // the change of directory stays
  struct stat st;
  stat((dir / "empty").c_str(), &st);
  EXPECT_EQ(Ask(engine, "GetProperty", dir / "empty"), PropertyText(dir / "empty", "", st, 0));
  EXPECT_EQ(Ask(engine, "GetProperty", dir / "missing"), "");
  EXPECT_EQ(Ask(engine, "GetProperty", "/etc/passwd"), "-7");
}

TEST(Property, TextThatCannotBeShownWholeAnswersNothing) {
  xaptest::TempDir dir;
  qom::CXapEngineFileSystem engine;
  Ask(engine, "SetWidgetInfo", "1", "");
  // Real folders of about 600, 1000 and 1100 characters, behind short links.
  std::string deep = dir.Path();
  for (size_t length : {600, 1000, 1100}) {
    while (deep.size() < length) {
      deep += "/" + std::string(std::min<size_t>(99, length - deep.size()), 'd');
      ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    xaptest::WriteFile(deep + "/f", "x");
    std::string link = dir / std::to_string(length);
    symlink(deep.c_str(), link.c_str());
    std::string reply = Ask(engine, "GetProperty", link + "/f");
    if (length == 600) {
      EXPECT_NE(reply.find("\"fullPath\": " + deep + "/f, "), std::string::npos) << reply;
    } else {
      EXPECT_EQ(reply, "") << length;  // over 2047 characters; unreadable directory
    }
  }
}

TEST(ListFiles, ExactTextWholeNamesAndACutThatStaysAnArray) {
  xaptest::TempDir dir;
  qom::CXapEngineFileSystem engine;
  Ask(engine, "SetWidgetInfo", "2", dir.Path());
  mkdir((dir / "empty").c_str(), 0755);
  EXPECT_EQ(Ask(engine, "GetListFiles", dir / "empty"), "[  0 ]");

  mkdir((dir / "odd").c_str(), 0755);
  xaptest::WriteFile(dir / "odd/q\"uote", "");
  mkdir((dir / "odd/back\\slash").c_str(), 0755);
  std::string listed = Ask(engine, "GetListFiles", dir / "odd");
  EXPECT_TRUE(listed == "[ \"q\"uote\", \"back\\slash\",  0 ]" ||
              listed == "[ \"back\\slash\", \"q\"uote\",  0 ]")
      << listed;

  mkdir((dir / "long").c_str(), 0755);
  std::string longName(255, 'n');
  xaptest::WriteFile(dir / "long/" + longName, "");
  EXPECT_EQ(Ask(engine, "GetListFiles", dir / "long"), "[ \"" + longName + "\",  0 ]");

  mkdir((dir / "many").c_str(), 0755);
  std::set<std::string> names;
  for (int i = 0; i < 150; ++i) {
    char name[32];
    snprintf(name, sizeof name, "entry-%014d", i);  // 20 characters
    names.insert(name);
    xaptest::WriteFile(dir / "many/" + name, "");
  }
  std::string cut = Ask(engine, "GetListFiles", dir / "many");
  EXPECT_LE(cut.size(), 2047u);
  EXPECT_GT(cut.size(), 2047u - 24 - 4);  // no room was left for one more entry
  nlohmann::json array = nlohmann::json::parse(cut);
  ASSERT_TRUE(array.is_array());
  EXPECT_EQ(array.back(), 0);
  for (size_t i = 0; i + 1 < array.size(); ++i) EXPECT_EQ(names.count(array[i]), 1u);
  EXPECT_EQ(array.size() - 1, (2047u - 2 - 4) / 24);

  EXPECT_EQ(Ask(engine, "GetListFiles", dir / "missing"), "");
  EXPECT_EQ(Ask(engine, "GetListFiles", dir / "empty/../odd"), "-7");
}

// The real commands, with a tmpfs of known size on /tmp in a mount
// namespace of the test's own, and with /tmp no mount point at all.
TEST(Partition, CommandsReportTheTmpfsOnTmp) {
  xaptest::ModuleCopy copy;
  const std::string module = copy.Command();
  const std::string ask = "printf \"GetTotalSize\\nGetUsedSize\\nGetFreeSize\\n\" | " + module;
  std::string out = xaptest::ShellOutput(
      "cd / && unshare -m --propagation private sh -c '"
      "mount -t tmpfs -o size=4m xaptest /tmp || exit 9; "
      "head -c 1048576 /dev/zero > /tmp/fill; " +
      ask + " 2>/dev/null; umount /tmp; mountpoint -q /tmp && umount -l /tmp; " + ask +
      " 2>/dev/null' 2>&1");
  if (out.find("unshare: ") != std::string::npos || out.find("mount: ") != std::string::npos) {
    GTEST_SKIP() << "no mount namespace here: " << out;
  }
  std::vector<std::string> replies;
  std::stringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << line;
    replies.push_back(j["reply"].get<std::string>());
  }
  ASSERT_EQ(replies.size(), 6u) << out;
  EXPECT_EQ(replies[0], "4194304");
  // The 1 MiB file, and whatever else the process put there (a sanitizer's
  // runtime may); tmpfs reserves nothing, so used and free make the total.
  EXPECT_GE(std::stoll(replies[1]), 1048576);
  EXPECT_LE(std::stoll(replies[1]), 2 * 1048576);
  EXPECT_EQ(std::stoll(replies[1]) + std::stoll(replies[2]), 4194304);
  for (int i = 3; i < 6; ++i) EXPECT_EQ(replies[i], "0");  // /tmp no mount point
}

}  // namespace
