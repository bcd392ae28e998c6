// Each limit that SECURITY.md states, shown as it is: if one of these tests
// fails, the page no longer tells the truth and must change with the code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "XapEngineFileSystem.h"
#include "XapTaskFileSystem.h"

namespace {

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

class Gate : public qom::CXapTaskFileSystem {
 public:
  using CXapTaskFileSystem::t_MakeSafePath;
  using CXapTaskFileSystem::t_SystemCall;
  int Safe(const std::string& path) {
    std::string copy = path;
    std::string safe;
    return t_MakeSafePath(&copy[0], safe);
  }
};

// A folder outside every allowed root, for a link to point at.
class Outside {
 public:
  Outside() {
    char templ[] = "/dev/shm/xapfs-outside-XXXXXX";
    m_path = mkdtemp(templ);
  }
  ~Outside() { system(("rm -rf " + m_path).c_str()); }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// Limit 1: links are resolved for the check only; the command runs later
// on the path as given, so a link changed in between is followed.
TEST(Limits, ALinkChangedAfterTheCheckIsFollowedByTheCommand) {
  xaptest::TempDir dir;
  Outside outside;
  mkdir((dir / "inside").c_str(), 0755);
  symlink((dir / "inside").c_str(), (dir / "l").c_str());
  Gate gate;
  std::string widget;
  gate.SetWidgetInfo(1, &widget[0]);
  ASSERT_EQ(gate.Safe(dir / "l"), 1);  // resolves into /tmp: accepted
  unlink((dir / "l").c_str());
  symlink(outside.Path().c_str(), (dir / "l").c_str());
  // The command the operation would now run goes where the link points.
  std::string command = "/usr/bin/nice -n 19 /bin/mkdir -p " + dir / "l/new";
  EXPECT_EQ(gate.t_SystemCall(command.c_str()), 0);
  EXPECT_TRUE(Exists(outside / "new"));
  // A dangling link passes the check whatever it points at.
  symlink((outside / "not-yet").c_str(), (dir / "dangling").c_str());
  EXPECT_EQ(gate.Safe(dir / "dangling"), 1);
}

// Limit 2: a path that does not resolve (its last part is not there yet)
// is judged by its text, so a link standing earlier in it that points
// outside the roots takes the command there; no race needed.
TEST(Limits, ALinkBeforeAPartNotThereYetLeadsOutside) {
  xaptest::TempDir dir;
  Outside outside;
  xaptest::WriteFile(dir / "src", "out");
  symlink(outside.Path().c_str(), (dir / "l").c_str());
  xaptest::ModuleProcess module;
  module.SendLine("SetWidgetInfo 1 x");
  module.ReadLine();
  module.SendLine("Copy " + dir / "src " + dir / "l/sub/new");  // mkdir -p, then cp
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"Copy\",\"ok\":true,\"reply\":1}");
  EXPECT_EQ(xaptest::ReadFile(outside / "sub/new"), "out");
}

// Limit 3: unzip opens PATH.zip when PATH is missing or a folder, and that
// name is never checked.
TEST(Limits, UnzipReadsANameThePolicyNeverSaw) {
  xaptest::TempDir dir;
  Outside outside;
  xaptest::WriteFile(outside / "h.txt", "hi");
  ASSERT_EQ(system(("cd " + outside.Path() + " && zip -q arch.zip h.txt").c_str()), 0);
  symlink((outside / "arch.zip").c_str(), (dir / "a..zip").c_str());  // refused by its name
  mkdir((dir / "f").c_str(), 0755);
  symlink((outside / "arch.zip").c_str(), (dir / "f.zip").c_str());  // refused as resolved
  xaptest::ModuleProcess module;
  module.SendLine("SetWidgetInfo 1 x");
  module.ReadLine();
  module.SendLine("UnzipAsync " + dir / "a. " + dir / "out1");  // "a." does not exist
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"UnzipAsync\",\"ok\":true,\"reply\":1}");
  EXPECT_EQ(module.ReadLine(), "{\"event\":3,\"data\":[\"1\",\" \"]}");
  module.SendLine("Unzip " + dir / "f " + dir / "out2");  // "f" is a folder
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"Unzip\",\"ok\":true,\"reply\":1}");
  EXPECT_EQ(xaptest::ReadFile(dir / "out1/h.txt"), "hi");
  EXPECT_EQ(xaptest::ReadFile(dir / "out2/h.txt"), "hi");
}

// Limit 4: a restricted widget's roots are compared as text, so a link in
// its own folder (or under /tmp) reaches another widget's folder.
TEST(Limits, ALinkInAWidgetsFolderReachesAnotherWidget) {
  xaptest::ModuleCopy module;
  xaptest::TempDir dir;
  const std::string w = "/opt/down/widgets/";
  std::string out = xaptest::ShellOutput(
      "cd / && unshare -m --propagation private sh -c '"
      "mount -t tmpfs xaptest /opt || exit 9; mkdir -p " +
      w + "w1 " + w + "w2; echo s > " + w + "w2/secret; ln -s " + w + "w2 " + w + "w1/L; ln -s " +
      w + "w2 " + dir / "L; " + "printf \"SetWidgetInfo 2 " + w + "w1\\nGetListFiles " + w +
      "w2\\nGetListFiles " + w + "w1/L\\nGetListFiles " + dir / "L" + "\\nDelete " + w +
      "w1/L/secret\\n\" | " + module.Command() + " 2>/dev/null; ls " + w + "w2' 2>&1");
  if (out.find("unshare: ") != std::string::npos || out.find("mount: ") != std::string::npos) {
    GTEST_SKIP() << "no mount namespace here: " << out;
  }
  EXPECT_EQ(out,
            "{\"cmd\":\"SetWidgetInfo\",\"ok\":true,\"reply\":1}\n"
            "{\"cmd\":\"GetListFiles\",\"ok\":true,\"reply\":-7}\n"
            "{\"cmd\":\"GetListFiles\",\"ok\":true,\"reply\":\"[ \\\"secret\\\",  0 ]\"}\n"
            "{\"cmd\":\"GetListFiles\",\"ok\":true,\"reply\":\"[ \\\"secret\\\",  0 ]\"}\n"
            "{\"cmd\":\"Delete\",\"ok\":true,\"reply\":1}\n");
}

// Limit 5: unzip of a FIFO waits for a writer: the job does not end, and
// end of input waits for it.
TEST(Limits, UnzipAsyncOfAFifoWaitsForAWriter) {
  xaptest::TempDir dir;
  ASSERT_EQ(mkfifo((dir / "ff").c_str(), 0644), 0);
  xaptest::ModuleProcess module;
  module.SendLine("SetWidgetInfo 1 x");
  module.ReadLine();
  module.SendLine("UnzipAsync " + dir / "ff " + dir / "out");
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"UnzipAsync\",\"ok\":true,\"reply\":1}");
  module.CloseInput();
  EXPECT_EQ(module.Wait(1000), -1);  // still waiting for the job
  int fd = -1;
  for (int i = 0; i < 1000 && fd < 0; ++i) {
    fd = open((dir / "ff").c_str(), O_WRONLY | O_NONBLOCK);  // ENXIO until unzip reads
    if (fd < 0) usleep(10000);
  }
  ASSERT_GE(fd, 0);
  close(fd);  // nothing written: unzip fails, the job ends
  EXPECT_EQ(module.Wait(), 0);
  EXPECT_EQ(module.RestOfStdout(), "{\"event\":3,\"data\":[\"1\",\" \"]}\n");
}

// Limit 6: names are put into the reply texts unescaped, so a name can
// shape them.
TEST(Limits, FileNamesShapeTheReplyTexts) {
  xaptest::TempDir dir;
  mkdir((dir / "q").c_str(), 0755);
  xaptest::WriteFile(dir / "q/x\", \"injected", "");
  qom::CXapEngineFileSystem engine;
  std::string ret;
  engine.Execute(ret, "SetWidgetInfo", "1", "", "", "");
  engine.Execute(ret, "GetListFiles", dir / "q", "", "", "");
  EXPECT_EQ(nlohmann::json::parse(ret), nlohmann::json::parse("[\"x\", \"injected\", 0]"));
}

// Limit 7: roots are byte-wise prefixes, not path components.
TEST(Limits, RootsAreBytePrefixes) {
  Gate unrestricted;
  std::string widget = "/opt/down/widgets/w1";
  unrestricted.SetWidgetInfo(1, &widget[0]);
  EXPECT_EQ(unrestricted.Safe("/tmpdata/x"), 1);
  EXPECT_EQ(unrestricted.Safe("/opt/downloads/x"), 1);
  EXPECT_EQ(unrestricted.Safe("/opt/usr/appsX/y"), 1);
  Gate restricted;
  restricted.SetWidgetInfo(2, &widget[0]);
  EXPECT_EQ(restricted.Safe("/opt/down/widgets/w12/x"), 1);  // another widget's folder
}

// Limit 8: the queries of existence, type and size take any path.
TEST(Limits, QueriesTakeAnyPath) {
  xaptest::ModuleProcess module;
  module.SendLine("GetFileSize /etc/passwd");
  struct stat st;
  ASSERT_EQ(stat("/etc/passwd", &st), 0);
  EXPECT_EQ(module.ReadLine(),
            "{\"cmd\":\"GetFileSize\",\"ok\":true,\"reply\":" + std::to_string(st.st_size) + "}");
  module.SendLine("IsExistedPath /etc");
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"IsExistedPath\",\"ok\":true,\"reply\":1}");
}

// Limit 9: unzip follows a link that already stands in the target folder.
TEST(Limits, UnzipWritesThroughALinkInTheTarget) {
  xaptest::TempDir dir;
  Outside outside;
  mkdir((dir / "pack").c_str(), 0755);
  mkdir((dir / "pack/l").c_str(), 0755);
  xaptest::WriteFile(dir / "pack/l/f.txt", "through");
  ASSERT_EQ(system(("cd " + dir / "pack" + " && zip -qr ../a.zip l").c_str()), 0);
  mkdir((dir / "target").c_str(), 0755);
  symlink(outside.Path().c_str(), (dir / "target/l").c_str());
  xaptest::ModuleProcess module;
  module.SendLine("SetWidgetInfo 1 x");
  module.ReadLine();
  module.SendLine("Unzip " + dir / "a.zip " + dir / "target");
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"Unzip\",\"ok\":true,\"reply\":1}");
  EXPECT_EQ(xaptest::ReadFile(outside / "f.txt"), "through");
}

// Limit 10: the module name of SetExecutable passes the character check
// only; "." and "/" are safe characters, so ".." in a name climbs out of
// /opt/down/xaps.
TEST(Limits, SetExecutableNameMayClimbOut) {
  xaptest::ModuleCopy module;
  std::string out = xaptest::ShellOutput(
      "cd / && unshare -m --propagation private sh -c '"
      "mount -t tmpfs xaptest /opt || exit 9; mkdir -p /opt/down/xaps/xap /opt/victim/xap; "
      "chmod 644 /opt/victim; echo SetExecutable /../../../../opt/victim | " +
      module.Command() + " 2>/dev/null; stat -c %a /opt/victim' 2>&1");
  if (out.find("unshare: ") != std::string::npos || out.find("mount: ") != std::string::npos) {
    GTEST_SKIP() << "no mount namespace here: " << out;
  }
  EXPECT_EQ(out, "{\"cmd\":\"SetExecutable\",\"ok\":true,\"reply\":1}\n755\n");
}

}  // namespace
