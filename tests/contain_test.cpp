// Each row is a way out of the roots that the path policy's text checks
// leave open. The default mode takes it; contained mode must not: a victim
// tree outside the roots (a file, folders, a device node) keeps its bytes
// and modes, nothing from outside lands in the roots, and the command
// answers as it does when its tool fails.

#include "TestSupport.h"

using namespace xaptest;

namespace {

// /opt of its own, the roots and the victim, as each row starts.
void FreshTree() {
  Sh("rm -rf /tmp/* /opt/* && mkdir -p /opt/down/w1 /opt/down/w2 /opt/down/common "
     "/opt/down/xaps/xap /opt/usr/apps /opt/victim/g/xap && cd /opt/victim && "
     "echo secret > file && chmod 600 g && echo z > z && zip -q a.zip z && rm z && "
     "echo s > /tmp/src && { mknod dev c 1 3 || true; }");
}

std::string Victim() {
  return ShellOutput(
      "cd /opt/victim && find . -printf '%p %M %s %Y %U\\n' | sort && "
      "find . -type f -exec md5sum {} + | sort");
}

// The replies to the lines ("|" between them), blank-separated, then "!"
// when the log named a path outside the allowed roots.
std::string Replies(const std::string& command, const std::string& lines) {
  ModuleProcess module(command);
  std::string replies;
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line, '|');) replies += module.Ask(line) + " ";
  module.CloseInput();
  EXPECT_EQ(module.Wait(), 0);
  replies.pop_back();
  return replies +
         (module.NewLog().find(": outside the allowed roots") != std::string::npos ? "!" : "");
}

}  // namespace

TEST(Contain, EachWayOutOfTheRootsIsTakenByDefaultAndClosedWhenContained) {
  XAPTEST_ISOLATE();
  MountTmpfs("/opt");
  ModuleProcess probe("@ --contain");
  probe.CloseInput();
  // Where the machine cannot give it (no privilege, no such call, a chroot
  // or a /proc of another PID namespace): any other refusal is a fault.
  const std::string refusal = probe.Wait() == 0 ? "" : probe.NewLog();
  if (std::regex_search(refusal, std::regex(": (Operation not permitted|Function not implemented|"
                                            "Invalid argument) \\(")))
    GTEST_SKIP() << refusal;
  ASSERT_EQ(refusal, "");
  // The setup, the lines, a test that holds once the way was taken, and the
  // replies in contained mode.
  const char* const ways[][4] = {
      {"ln -s /opt/victim /tmp/l", "SetWidgetInfo 1 x|Copy /tmp/src /tmp/l/sub/new",
       "test -e /opt/victim/sub/new", "1 -5!"},
      // unzip's own fallback name, to a program folder, which the tools can read.
      {"mount -t tmpfs t /usr/local && cp /opt/victim/a.zip /usr/local && mkdir /tmp/f && "
       "ln -s /usr/local/a.zip /tmp/f.zip",
       "SetWidgetInfo 1 x|Unzip /tmp/f /tmp/o", "test -e /tmp/o/z", "1 0!"},
      {"echo w > /opt/down/w2/f && ln -s ../w2 /opt/down/w1/l",
       "SetWidgetInfo 2 /opt/down/w1|Delete /opt/down/w1/l/f", "! test -e /opt/down/w2/f", "1 0!"},
      {"echo w > /opt/down/w2/f",
       R"({"cmd":"SetWidgetInfo","params":["2",""]}|Delete /opt/down/w2/f)",
       "! test -e /opt/down/w2/f", "1 0!"},
      {"mkdir /opt/downloads", "SetWidgetInfo 1 x|Copy /tmp/src /opt/downloads/x",
       "test -e /opt/downloads/x", "1 0!"},
      {"cd /tmp && ln -s /opt/victim s && zip -qy a1.zip s && rm s && mkdir s && echo y > s/y && "
       "zip -q a2.zip s/y && rm -r s",
       "SetWidgetInfo 1 x|Unzip /tmp/a1.zip /tmp/t|Unzip /tmp/a2.zip /tmp/t",
       "test -e /opt/victim/y", "1 1 0"},
      {"true", "SetExecutable /../../../../opt/victim/g", "test $(stat -c %a /opt/victim/g) = 711",
       "1!"},
      {"mkdir /tmp/b && ln -s /opt/victim/file /tmp/b/src",
       "SetWidgetInfo 1 x|Copy /tmp/src /tmp/b/", "grep -qx s /opt/victim/file", "1 0"},
  };
  for (const auto& way : ways) {
    // Contained also in a PID namespace whose /proc is not its own.
    for (const std::string mode : {"@", "@ --contain", "unshare -fp @ --contain"}) {
      SCOPED_TRACE(std::string(way[1]) + " " + mode);
      FreshTree();
      Sh(way[0]);
      std::string before = Victim();
      std::string replies = Replies(mode, way[1]);
      EXPECT_EQ(ShellOutput(std::string(way[2]) + " && echo taken"), mode == "@" ? "taken\n" : "");
      if (mode == "@") continue;
      EXPECT_EQ(Victim(), before);
      EXPECT_EQ(replies, way[3]);
    }
  }
  // A link flipped under running commands: the check passes while it
  // points inside; by the time the tool runs it may point at the victim.
  // The default mode is caught out sooner or later; contained mode never.
  for (const std::string mode : {"@", "@ --contain"}) {
    SCOPED_TRACE(mode);
    FreshTree();
    Sh("cd /tmp && { while :; do ln -sfn in l.n && mv -Tf l.n l; ln -sfn /opt/victim l.n && "
       "mv -Tf l.n l; done >/dev/null 2>&1 & echo $! > flip.pid; }");
    std::string before = Victim();
    ModuleProcess module(mode);
    module.Ask("SetWidgetInfo 1 x");
    int nRounds = 0;
    for (; nRounds < 100 && (mode != "@" || Victim() == before); ++nRounds) {
      for (const char* line :
           {"Copy /tmp/src /tmp/m", "Copy /tmp/src /tmp/in/file", "Copy /tmp/src /tmp/l/c",
            "Move /tmp/m /tmp/l/m", "Delete /tmp/l/file", "Unzip /tmp/u.zip /tmp/l"})
        module.Ask(line);
    }
    Sh("kill $(cat /tmp/flip.pid)");
    EXPECT_EQ(Victim() == before, mode != "@") << nRounds << " rounds";
  }
}

TEST(Contain, RefusesToStartWhereItCannotBeHad) {
  ModuleProcess module("setpriv --reuid 65534 --regid 65534 --clear-groups @ --contain");
  module.CloseInput();
  int status = module.Wait();
  std::string log = module.NewLog();
  if (status == 126 || status == 127) GTEST_SKIP() << "uid 65534 cannot run the module: " << log;
  EXPECT_EQ(status, 1);
  EXPECT_NE(log.find("xapFileSystem: --contain: cannot make a mount namespace: "), log.npos) << log;
}
