// "UnzipKill" ends every process named unzip it can see: in a PID namespace
// of its own, only this test's.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "TestSupport.h"

extern char** environ;

namespace {

using xaptest::ModuleProcess;

// A long-running process named "unzip": the sleep tool under that name.
pid_t StartFakeUnzip(const xaptest::TempDir& dir) {
  std::string tool = dir / "unzip";
  std::string copy = "cp /bin/sleep " + tool;
  if (access(tool.c_str(), X_OK) != 0 && system(copy.c_str()) != 0) return -1;
  char* argv[] = {&tool[0], const_cast<char*>("60"), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, tool.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  std::string comm = "/proc/" + std::to_string(pid) + "/comm";
  for (int i = 0; i < 500 && xaptest::ReadFile(comm) != "unzip\n"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return pid;
}

TEST(UnzipKill, AnswersOneOnlyWhenAnUnzipWasEnded) {
  XAPTEST_ISOLATE();
  xaptest::TempDir dir;
  ModuleProcess module;
  module.SendLine("UnzipKill");
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"UnzipKill\",\"ok\":true,\"reply\":0}");

  pid_t a = StartFakeUnzip(dir);
  pid_t b = StartFakeUnzip(dir);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  module.SendLine("UnzipKill");
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"UnzipKill\",\"ok\":true,\"reply\":1}");
  for (pid_t pid : {a, b}) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  }
  module.SendLine("UnzipKill");
  EXPECT_EQ(module.ReadLine(), "{\"cmd\":\"UnzipKill\",\"ok\":true,\"reply\":0}");
  module.CloseInput();
  EXPECT_EQ(module.Wait(), 0);
  std::string log = module.Stderr();
  EXPECT_EQ(log.find("pszCommand"), std::string::npos);  // level 0 only
}

}  // namespace
