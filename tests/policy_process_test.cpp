// The path policy and the checks as the real process applies them: hostile
// input never runs anything, bad widget types are refused, the executable
// flag reaches only the module file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using xaptest::ModuleProcess;

// The JSON form; parameters that are no valid UTF-8 go in the word form.
std::string Command(const std::string& cmd, const std::vector<std::string>& params) {
  try {
    return nlohmann::json{{"cmd", cmd}, {"params", params}}.dump();
  } catch (const nlohmann::json::type_error&) {
    std::string line = cmd;
    for (const std::string& p : params) line += " " + p;
    return line;
  }
}

nlohmann::json Reply(ModuleProcess& module) {
  std::string line = module.ReadLine();
  nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << line;
  return j;
}

// Paths built to make a canary file if any part of them reached a shell.
std::vector<std::string> HostilePaths(const std::string& dir) {
  const std::string canary = dir + "/canary";
  const std::string touch = "touch " + canary;
  return {
      dir + "/x;" + touch,
      dir + "/x|" + touch,
      dir + "/x&" + touch + "&",
      dir + "/$(" + touch + ")",
      dir + "/`" + touch + "`",
      dir + "/x'; " + touch + "; '",
      dir + "/x\"; " + touch + "; \"",
      dir + "/x\n" + touch,
      dir + "/x\t" + touch,
      dir + "/x " + canary,
      dir + "/*",
      dir + "/?",
      "~/x",
      dir + "/\xc3\xa9t\xc3\xa9",
      dir + "/\xff\xfe",
      dir + "/../../etc/passwd",
      "/tmp/../etc",
      dir + "/" + std::string(300, 'a'),
      dir + "/toetc/passwd",
      dir + "/x>" + canary,
      dir + "/x<" + canary,
  };
}

TEST(Hostile, NoInputEverRunsAShellCommandOfItsOwn) {
  xaptest::TempDir dir;
  symlink("/etc", (dir / "toetc").c_str());
  ModuleProcess module;
  module.SendLine(Command("SetWidgetInfo", {"2", dir.Path()}));
  EXPECT_EQ(Reply(module)["reply"], 1);
  for (const std::string& path : HostilePaths(dir.Path())) {
    // The queries answer about the path as given and run no shell at all.
    module.SendLine(Command("IsExistedPath", {path}));
    Reply(module);
    module.SendLine(Command("GetItemType", {path}));
    Reply(module);
    module.SendLine(Command("GetFileSize", {path}));
    Reply(module);
    // A module name outside the safe set runs nothing and still answers 1.
    module.SendLine(Command("SetExecutable", {path}));
    EXPECT_EQ(Reply(module)["reply"], 1) << path;
    // Every command that works on a path refuses it, in either place.
    const std::string safe = dir / "safe";
    const std::vector<std::vector<std::string>> gated = {
        {"Copy", path, safe},       {"Copy", safe, path},       {"Move", path, safe},
        {"Move", safe, path},       {"Unzip", path, safe},      {"Unzip", safe, path},
        {"UnzipAsync", path, safe}, {"UnzipAsync", safe, path}, {"Delete", path},
        {"DeleteAsync", path},      {"GetProperty", path},      {"GetListFiles", path}};
    for (const auto& g : gated) {
      module.SendLine(Command(g[0], std::vector<std::string>(g.begin() + 1, g.end())));
      EXPECT_EQ(Reply(module)["reply"], -7) << g[0] << " " << path;
    }
  }
  module.CloseInput();
  EXPECT_EQ(module.Wait(), 0);
  EXPECT_NE(access((dir / "canary").c_str(), F_OK), 0);
  EXPECT_EQ(module.RestOfStdout(), "");  // no job was started
}

TEST(WidgetInfo, TypesThatAreNoWholeIntAreRefused) {
  ModuleProcess module;
  const char* bad[] = {" 2", "2 ", "", "+", "-", "2147483648", "-2147483649", "1.5", "0x10", "two"};
  for (const char* type : bad) {
    module.SendLine(Command("SetWidgetInfo", {type, "/opt/down/w"}));
    nlohmann::json r = Reply(module);
    EXPECT_EQ(r["ok"], false) << type;
    EXPECT_EQ(r["reply"], 0) << type;
  }
  for (const char* type : {"2147483647", "-2147483648", "+2", "0", "-1"}) {
    module.SendLine(Command("SetWidgetInfo", {type, "/opt/down/w"}));
    nlohmann::json r = Reply(module);
    EXPECT_EQ(r["ok"], true) << type;
    EXPECT_EQ(r["reply"], 1) << type;
  }
  module.CloseInput();
  ASSERT_EQ(module.Wait(), 0);
  std::string log = module.Stderr();
  for (const char* type : bad) {
    EXPECT_NE(log.find(std::string("] WidgetType is not a whole number: [") + type + "]\n"),
              std::string::npos)
        << type;
  }
}

// The module file lives under /opt/down: the test gives the module a /opt
// of its own in a private mount namespace.
TEST(SetExecutable, ReachesTheModuleFileAndNothingElse) {
  xaptest::ModuleCopy module;
  const std::string script =
      "cd / && unshare -m --propagation private sh -c '"
      "mount -t tmpfs xaptest /opt || exit 9; "
      "for d in Clock \"\" a; do mkdir -p /opt/down/xaps/xap$d; "
      "echo x > /opt/down/xaps/xap$d/xap$d; chmod 644 /opt/down/xaps/xap$d/xap$d; done; "
      "printf \"%s\\n\" \"SetExecutable Clock\" "
      "\"{\\\"cmd\\\":\\\"SetExecutable\\\",\\\"params\\\":[\\\"\\\"]}\" "
      "\"SetExecutable a;chmod\" \"SetExecutable Missing\" | " +
      module.Command() +
      " 2>/dev/null; "
      "stat -c %a /opt/down/xaps/xapClock/xapClock /opt/down/xaps/xap/xap /opt/down/xaps/xapa/xapa"
      "' 2>&1";
  std::string out = xaptest::ShellOutput(script);
  if (out.find("unshare: ") != std::string::npos || out.find("mount: ") != std::string::npos) {
    GTEST_SKIP() << "no mount namespace here: " << out;
  }
  EXPECT_EQ(out,
            "{\"cmd\":\"SetExecutable\",\"ok\":true,\"reply\":1}\n"
            "{\"cmd\":\"SetExecutable\",\"ok\":true,\"reply\":1}\n"
            "{\"cmd\":\"SetExecutable\",\"ok\":true,\"reply\":1}\n"
            "{\"cmd\":\"SetExecutable\",\"ok\":true,\"reply\":1}\n"
            "755\n755\n644\n");
}

}  // namespace
