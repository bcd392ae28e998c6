// The queries: folder size, item properties, folder listing and partition
// capacity, answered through the engine as the host calls it.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
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

// The folder-size rule, restated: every entry's lstat size ("." and ".."
// included) if it fits 32 bits and its joined path fits 255 characters;
// subfolders with bSub, links with both; a folder is not read below itself.
double ExpectedSize(const std::string& folder, bool bSub, bool bLink,
                    std::vector<std::pair<dev_t, ino_t>>& stack) {
  struct stat64 self;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr || stat64(folder.c_str(), &self) != 0) {
    if (dir != nullptr) closedir(dir);
    return 0;
  }
  for (const auto& a : stack) {
    if (a.first == self.st_dev && a.second == self.st_ino) {
      closedir(dir);
      return 0;
    }
  }
  stack.emplace_back(self.st_dev, self.st_ino);
  double sum = 0;
  while (struct dirent* e = readdir(dir)) {
    std::string path = folder + "/" + e->d_name;
    struct stat64 st;
    if (path.size() > 255 || lstat64(path.c_str(), &st) != 0 || st.st_size > INT_MAX) continue;
    sum += static_cast<double>(st.st_size);
    bool dots = strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0;
    if (bSub && ((S_ISDIR(st.st_mode) && !dots) || (S_ISLNK(st.st_mode) && bLink))) {
      sum += ExpectedSize(path, true, bLink, stack);
    }
  }
  stack.pop_back();
  closedir(dir);
  return sum;
}

std::string Expected(const std::string& folder, bool bSub, bool bLink) {
  std::vector<std::pair<dev_t, ino_t>> stack;
  char buf[32];
  snprintf(buf, sizeof buf, "%.0f", ExpectedSize(folder, bSub, bLink, stack));
  return buf;
}

void Sparse(const std::string& path, long long size) {
  int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate64(fd, size), 0);
  close(fd);
}

TEST(FolderSize, FollowsTheRuleWithAndWithoutSubfoldersAndLinks) {
  xaptest::TempDir dir;
  const std::string root = dir / "t";
  mkdir(root.c_str(), 0755);
  mkdir((root + "/sub").c_str(), 0755);
  mkdir((root + "/sub/deeper").c_str(), 0755);
  mkdir((root + "/empty").c_str(), 0755);
  xaptest::WriteFile(root + "/a", std::string(1000, 'a'));
  xaptest::WriteFile(root + "/sub/b", std::string(70000, 'b'));
  xaptest::WriteFile(root + "/sub/deeper/c", "c");
  Sparse(root + "/big", 3221225472LL);  // unreadable to the 32-bit call: adds nothing
  symlink((root + "/sub").c_str(), (root + "/tosub").c_str());
  symlink((root + "/a").c_str(), (root + "/toa").c_str());
  symlink(root.c_str(), (root + "/sub/loop").c_str());
  // A chain deep enough that its entries' paths pass 255 characters.
  std::string deep = root + "/sub";
  while (deep.size() < 300) {
    deep += "/nnnnnnnnnnnnnnnnnnnnnnnnnnnnnn";
    mkdir(deep.c_str(), 0755);
  }
  qom::CXapEngineFileSystem engine;
  const struct {
    const char* sub;
    const char* link;
  } flags[] = {{"", ""}, {"1", ""}, {"true", "1"}, {"", "true"}, {"TRUE", "yes"}};
  for (const auto& f : flags) {
    bool bSub = std::string(f.sub) == "1" || std::string(f.sub) == "true";
    bool bLink = std::string(f.link) == "1" || std::string(f.link) == "true";
    EXPECT_EQ(Ask(engine, "GetFolderSize", root, f.sub, f.link), Expected(root, bSub, bLink))
        << f.sub << "/" << f.link;
  }
  // Both flags count the linked folder again, and more than without links.
  EXPECT_GT(std::stod(Expected(root, true, true)), std::stod(Expected(root, true, false)));
  struct stat self, parent;
  stat((root + "/empty").c_str(), &self);
  stat(root.c_str(), &parent);
  EXPECT_EQ(Ask(engine, "GetFolderSize", root + "/empty", "1", "1"),
            std::to_string(self.st_size + parent.st_size));
  EXPECT_EQ(Ask(engine, "GetFolderSize", root + "/missing", "1", "1"), "0");
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

class SizeProbe : public qom::CXapTaskFileSystem {
 public:
  using CXapTaskFileSystem::t_GetSizeInfoFrom;
};

TEST(Partition, FiguresOfTheMountWhoseDirectoryIsTheResolvedRoot) {
  xaptest::TempDir dir;
  mkdir((dir / "mnt").c_str(), 0755);
  symlink((dir / "mnt").c_str(), (dir / "root").c_str());
  const std::string table = dir / "mounts";
  const std::string line = "dev " + dir / "mnt" + " ext4 rw 0 0\n";
  xaptest::WriteFile(table, "none /nonexistent tmpfs rw 0 0\ndev " + dir / "mnt/" +
                                " ext4 rw 0 0\ndev " + dir / "MNT" + " ext4 rw 0 0\n" + line);
  SizeProbe task;
  unsigned long long total = 1, used = 2, avail = 3;
  struct statfs64 fs;
  ASSERT_EQ(statfs64((dir / "mnt").c_str(), &fs), 0);
  EXPECT_EQ(task.t_GetSizeInfoFrom((dir / "root").c_str(), table.c_str(), &total, &used, &avail),
            1);
  EXPECT_EQ(total, static_cast<unsigned long long>(fs.f_bsize) * fs.f_blocks);
  EXPECT_EQ(total % fs.f_bsize, 0u);
  EXPECT_NEAR(static_cast<double>(used),
              static_cast<double>(fs.f_bsize) * (fs.f_blocks - fs.f_bfree),
              64.0 * 1024 * 1024);  // the disk is shared: allow for others' writes
  EXPECT_NEAR(static_cast<double>(avail), static_cast<double>(fs.f_bsize) * fs.f_bavail,
              64.0 * 1024 * 1024);

  // A trailing "/" or another case does not match: nothing is written.
  xaptest::WriteFile(table,
                     "dev " + dir / "mnt/" + " ext4 rw 0 0\ndev " + dir / "MNT" + " ext4 rw 0 0\n");
  total = used = avail = 7;
  xaptest::LogCapture log(0);
  EXPECT_EQ(task.t_GetSizeInfoFrom((dir / "mnt").c_str(), table.c_str(), &total, &used, &avail), 1);
  EXPECT_EQ(total + used + avail, 21u);
  EXPECT_EQ(log.Count("End of getmntent : Can't get mount entry information."), 1);
  EXPECT_EQ(log.Count("Can not find Widget Partition path: " + dir / "mnt"), 1);
  EXPECT_EQ(log.Count("s_percent[0]"), 1);
  EXPECT_EQ(
      task.t_GetSizeInfoFrom((dir / "mnt").c_str(), (dir / "none").c_str(), &total, &used, &avail),
      1);
  EXPECT_EQ(log.Count("Can not get mount info. Please check /proc/mounts"), 1);
  EXPECT_EQ(task.t_GetSizeInfoFrom((dir / "gone").c_str(), table.c_str(), &total, &used, &avail),
            0);
  EXPECT_EQ(log.Count("realpath failed. errno[2]"), 1);
  EXPECT_EQ(total + used + avail, 21u);
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
