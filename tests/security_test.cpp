// Each limit that SECURITY.md states, shown as it is: if one of these tests
// fails, the page no longer tells the truth and must change with the code.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TestSupport.h"
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
  ASSERT_EQ(gate.Safe(dir / "l/new"), 1);  // resolves into /tmp: accepted
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

// Limit 2: roots are byte-wise prefixes, not path components.
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

// Limit 3: the queries of existence, type and size take any path.
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

// Limit 4: unzip follows a link that already stands in the target folder.
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

// Limit 5: the module name of SetExecutable passes the character check
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
