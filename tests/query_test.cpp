// Catches wrong answers of the queries: existence, type, size and status of
// items, folder sizes on loops and at the path limits, property and listing
// texts at their cuts, Base64 at each size boundary, the partition figures.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/sysmacros.h>

#include <map>
#include <set>

#include "TestSupport.h"
#include "XapEngineFileSystem.h"

using namespace xaptest;

// The engine as the host calls it: the reply text of one command.
struct Engine : qom::CXapEngineFileSystem {
  std::string operator()(const std::string& cmd, const std::string& p1, const std::string& p2 = "",
                         const std::string& p3 = "") {
    std::string ret;
    Execute(ret, cmd, p1, p2, p3, "");
    return ret;
  }
};

// What IsExistedPath, GetItemType and GetFileSize (the low 32 bits) answer
// by what opens; no descriptor stays open.
TEST_F(InFolder, ExistenceTypeAndSizeByWhatOpens) {
  XAPTEST_ISOLATE();  // a tmpfs: folder sizes fixed, sparse files kept in
  Sh("cd " + d + " && mkdir dir && echo 123 > r && echo > w && chmod 200 w && mkfifo fifo && " +
     "ln -s " + d + "dir linkdir && ln -s gone dangling && truncate -s 3G 3g && truncate -s 5G 5g" +
     " && perl -e 'use Socket; socket(S, PF_UNIX, SOCK_STREAM, 0); " +
     "bind(S, pack_sockaddr_un(\"sock\")) or die'");
  const char* rows[] = {"dir 1 1 40",         "linkdir 1 1 40",     "r 1 0 4",
                        "w 0 1000 1",         "fifo 0 1000 0",      "sock 0 1000 0",
                        "dangling 0 1000 -5", "missing 0 1000 -5",  "3g 1 0 -1073741824",
                        "5g 1 0 1073741824",  "/dev/null 0 1000 0", "/etc 1 1"};
  ModuleProcess module;
  // The descriptors it holds on the items, not those a runtime opens.
  const std::string fds =
      "find /proc/" + std::to_string(module.Pid()) + "/fd -lname '" + d + "*' | wc -l";
  for (const char* row : rows) {
    std::istringstream words(row);
    std::string name, answer;
    words >> name;
    const std::string path = name[0] == '/' ? name : d + name;
    for (const char* cmd : {"IsExistedPath", "GetItemType", "GetFileSize"}) {
      if (!(words >> answer)) break;
      EXPECT_EQ(module.Ask(std::string(cmd) + " " + path), answer) << cmd << " " << path;
    }
  }
  EXPECT_EQ(ShellOutput(fds), "0\n") << "descriptors left open";
}

// A file under another process's write lease is answered at once: waiting
// for the lease to be given up would take the kernel's 45 s.
TEST_F(InFolder, AFileUnderAnotherWritersLeaseIsAnsweredAtOnce) {
  WriteFile(d + "leased", "");
  const int leased = open((d + "leased").c_str(), O_RDWR | O_CLOEXEC);
  signal(SIGIO, SIG_IGN);
  if (fcntl(leased, F_SETLEASE, F_WRLCK) != 0) GTEST_SKIP() << "no lease: " << strerror(errno);
  ModuleProcess module;
  for (const auto& [cmd, answer] :
       {std::pair{"IsExistedPath", "1"}, {"GetItemType", "0"}, {"GetFileSize", "0"}})
    EXPECT_EQ(module.Ask(cmd + (" " + d) + "leased", 10000), answer) << cmd;
}

// A link flipped between a file and a device node while the module checks
// it thousands of times: whatever the link names at each moment, the node
// is never opened (opening a device acts: a watchdog arms, a tape rewinds).
TEST_F(InFolder, ALinkSwappedUnderTheCheckNeverOpensADevice) {
  XAPTEST_ISOLATE();  // a /tmp of its own: device nodes open there
  if (mknod((d + "node").c_str(), S_IFCHR | 0644, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "cannot make a device node: " << strerror(errno);
  }
  WriteFile(d + "file", "x");
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, (d + "node").c_str(), IN_OPEN), 0);
  char events[4096];
  close(open((d + "node").c_str(), O_PATH | O_CLOEXEC));
  if (read(watch, events, sizeof events) > 0) GTEST_SKIP() << "this kernel reports O_PATH as opens";
  // The flipper ends with the namespace.
  Sh("cd " + d + " && (while :; do ln -sfn node link; ln -sfn file link; done) &");
  ModuleProcess module;
  std::map<std::string, int> seen;
  for (int i = 0; i < 4000; ++i) {
    const std::string cmd = i % 2 != 0 ? "IsExistedPath" : "GetItemType";
    ++seen[cmd + module.Ask(cmd + " " + d + "link")];
  }
  EXPECT_LE(read(watch, events, sizeof events), 0) << "the device node was opened";
  // Both items were met: the link was swapped under the checks.
  EXPECT_GT(seen["GetItemType0"], 0);
  EXPECT_GT(seen["GetItemType1000"], 0);
}

// The trees of the folder-size rows, in a tmpfs whose folder sizes are fixed
// (40 bytes, and 20 per entry): sums in the rows are literals.
const char kFolderTrees[] =
    "mkdir -p t/sub loop F T1 D P/T S R && cd t && head -c 1000 /dev/zero > a && "
    "head -c 70000 /dev/zero > sub/b && truncate -s 3G big && ln -s $PWD/sub tosub && "
    // a file whose joined path is 255 characters counts, one of 256 does not
    "n=$(printf %0$((254 - ${#PWD}))d 0) && echo 123456 > $n && echo 1 > ${n}e && cd .. && "
    "head -c 33 /dev/zero > loop/f && ln -s . loop/L && "
    // the same loop deep enough that the 255 characters end it first
    "p=. && for i in 1 2 3 4 5; do p=$p/$(printf %040d 0) && mkdir $p; done && "
    "head -c 33 /dev/zero > $p/f && ln -s . $p/L && "
    "echo hello > F/f && perl -e 'symlink \"f\", \"F/l$_\" for 0..10000' && "
    "ln -s ../D T1/L && (cd D && seq 10010 | xargs mkdir) && ln -s .. P/T/L && "
    "(cd P && seq 300 | xargs mkdir) && ln -s . S/a && ln -s . S/b && (cd S && seq 1000 | "
    "xargs touch) && perl -e 'symlink \".\", \"R/l$_\" for 1..20000' && "
    "for i in $(seq 0 39); do mkdir -p Fan$i && ln -s ../Fan$((i + 1)) Fan$i/a && "
    "ln -s ../Fan$((i + 1)) Fan$i/b; done && mkdir Fan40 && "
    // two links to N/d through 4 KiB texts; N/h: two links to itself, then
    // 3,000 links whose lookups pass 41 of those
    "mkdir -p N/x N/d N/h && b=$PWD/N && while [ ${#b} -lt 4080 ]; do b=$b/x/..; done && "
    "ln -s $b/d N/d/a && ln -s $b/d N/d/b && ln -s . N/h/c1 && ln -s . N/h/c2 && t=$PWD/N/d && "
    "for i in $(seq 20); do t=$t/a/b; done && T=$t/a perl -e 'symlink $ENV{T}, \"N/h/l$_\" for "
    "1..3000'";

// Every entry adds its lstat size, "." and ".." included, under the path
// "folder/name"; a link is followed as that path resolves. A walk that ends
// is exact however many links it follows; one that keeps coming back to
// the folders it has read is cut soon.
TEST_F(InFolder, ExactWhereTheWalkEndsCutSoonWhereItWouldNot) {
  XAPTEST_ISOLATE();
  MountTmpfs(dir.Path(), "1g");
  Sh("cd " + d + " && " + kFolderTrees);
  std::string deep(40, '0');
  for (int i = 1; i < 5; ++i) deep += "/" + std::string(40, '0');
  // The folder ("deep": the five levels), the two flags ("-": none) and
  // the sum, or "cut 0". The sums are tmpfs's: a folder's size is 20 bytes
  // an entry, "." and ".." included, on the tmpfs mounted above.
  const char* rows[] = {
      "t - - 2315", "t 1 - 72535", "t true 1 142755", "t - true 2315", "t TRUE yes 2315",
      "loop 1 0 1174", "loop 1 1 48134", "deep 1 1 2376", "t/missing 1 1 0",
      // 10,001 links to a file; a link to a folder of 10,010 folders; a link
      // to .. beside 300 folders.
      "F 1 1 211147", "F 1 0 211147", "T1 1 1 2005405624", "P/T 1 1 74218202",
      // Cut: two links to itself, 20,000 links to itself, 40 levels of two
      // links to the next, /proc/self, slow lookups.
      "S 1 1 cut 0", "R 1 1 cut 0", "Fan0 1 1 cut 0", "/proc/self 1 1 cut 0", "N/h 1 1 cut 0"};
  ModuleProcess module;
  for (const char* row : rows) {
    std::istringstream words(row);
    std::string folder, sub, link, expected;
    std::getline(words >> folder >> sub >> link >> std::ws, expected);
    folder = folder == "deep" ? d + deep : folder[0] == '/' ? folder : d + folder;
    // A walk cut by its budget may take long on a loaded emulator.
    const std::string reply = module.Ask(
        Line("GetFolderSize", {folder, sub == "-" ? "" : sub, link == "-" ? "" : link}), 60000);
    EXPECT_EQ(reply, expected.rfind("cut ", 0) == 0 ? expected.substr(4) : '"' + expected + '"')
        << row;
  }
  // The last walk is cut by the processor time its lookups took (which load
  // does not add to), long before its steps would cut it; said at level 0.
  EXPECT_TRUE(std::regex_search(
      module.NewLog(), std::regex("L0 \\[QOM\\]\\[GetFolderSize\\(N\\)\\] folder walk of \\[" + d +
                                  "N/h\\] cut after \\d{1,5} steps in folders already read "
                                  "through links and \\d{4,} ms of lookups")));
}

// Where directory positions count entries (an overlay), files of the top
// changed while the walk is deep never make a file count twice; where no
// handles exist (ramfs), a deep tree with few descriptors is exact or cut
// and said; a file with one descriptor free is still a file.
TEST_F(InFolder, WhereFileSystemsDifferOrDescriptorsRunShort) {
  XAPTEST_ISOLATE();
  // The chain made last is listed first: the walk goes deep before the files.
  Sh("cd " + d + " && mkdir -p l/top u w m r && cd l/top && for i in $(seq 600); do truncate -s " +
     "100000 f$i; done && mkdir -p $(printf 'c/%.0s' $(seq 20)) && (cd c && seq 30000 | xargs " +
     "touch) && mount -t ramfs xaptest " + d + "r && cd " + d + "r && p=r && for i in $(seq 40); " +
     "do p=$p/d && mkdir -p $p && printf 0123456789 > $p/f; done && echo 1 > " + d + "file");
  ModuleProcess few("prlimit -n12 @");
  const std::string ramfs = few.Ask("GetFolderSize " + d + "r/r 1 1");
  EXPECT_TRUE(ramfs == "\"400\"" ||
              (ramfs == "0" && few.NewLog().find("cut at") != std::string::npos))
      << ramfs;
  const std::string top = "GetFolderSize " + d + "m/top 1 1";
  const bool bOverlay =
      system(("mount -t overlay xaptest -o lowerdir=" + d + "l,upperdir=" + d + "u,workdir=" + d +
              "w,index=on,nfs_export=on " + d + "m 2>/dev/null")
                 .c_str()) == 0;
  if (bOverlay) {
    ModuleProcess module;
    // Each file changed is copied up: the top's listing changes under the walk.
    Sh("(cd " + d + "m/top && for i in $(seq 600); do chmod 600 f$i; touch f$i; done; touch " + d +
       "done) &");
    std::vector<std::string> sums;
    while (!Exists(d + "done")) sums.push_back(module.Ask(top));
    // The folders' own sizes may change meanwhile by 40 bytes an entry; a
    // file counted twice adds 100,000. A cut is said.
    const long long nAfter = std::stoll(module.Ask(top).substr(1));
    const std::string log = module.NewLog();
    for (const std::string& sum : sums) {
      const bool bNear = sum != "0" && std::llabs(std::stoll(sum.substr(1)) - nAfter) < 50000;
      EXPECT_TRUE(bNear || (sum == "0" && log.find("cut at") != std::string::npos)) << sum;
    }
  }
  // Descriptors a test runner leaves open are not the module's to use.
  ModuleProcess one("sh -c 'exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; exec prlimit -n4 @'");
  const bool bStarts = one.Ask("GetName") == "\"FileSystem\"";
  for (const char* cmd : {"IsExistedPath ", "GetItemType "}) {
    if (!bStarts) break;
    EXPECT_EQ(one.Ask(cmd + d + "file") + one.Ask(cmd + d + "r"), cmd[0] == 'I' ? "11" : "01");
  }
  if (!bOverlay || !bStarts) {
    GTEST_SKIP() << (bOverlay ? "" : "no overlay with file handles here; ")
                 << (bStarts ? ""
                             : "the program does not start with 4 descriptors (a sanitizer's "
                               "runtime takes more); ")
                 << "the other rows ran";
  }
}

// Seven names of 255 and one of 224 make exactly 2047 characters, all
// listed; with one of 225 any seven of the eight fit, and no more.
void ExpectTheNamesThatFit(Engine& ask, const std::string& d) {
  for (size_t last : {224, 225}) {
    const std::string full = d + std::to_string(last);
    std::set<std::string> names;
    mkdir(full.c_str(), 0755);
    for (char c = 'a'; c <= 'h'; ++c)
      WriteFile(full + "/" + *names.insert(std::string(c < 'h' ? 255 : last, c)).first, "");
    // The listing rebuilt from the names it holds, each one of the folder's.
    std::string listed = ask("GetListFiles", full), rebuilt = "[ ";
    size_t count = 0;
    for (size_t at = 2, end; (end = listed.find("\", ", at)) != std::string::npos; at = end + 3) {
      std::string name = listed.substr(at + 1, end - at - 1);
      count += names.count(name);
      rebuilt += "\"" + name + "\", ";
    }
    EXPECT_EQ(listed, rebuilt + " 0 ]");
    EXPECT_EQ(count, last == 224 ? 8u : 7u);
  }
}

// Access time after modification time, and in the future: reading does
// not move it.
std::string SetTimes(const std::string& paths) {
  return "touch -d @1000000000 -- " + paths + " && touch -a -d @2000000000 -- " + paths;
}
// The property text of a file of 5 bytes with the times Sh gives it
// below, in a folder of nCount entries.
std::string FileProperty(const std::string& folder, const std::string& name,
                         const std::string& readOnly, int nCount) {
  return "{ \"readOnly\": " + readOnly +
         ", \"isFile\": true, \"isDirectory\": false, \"created\": 2000000000, "
         "\"modified\": 1000000000, \"path\": " +
         folder + ", \"name\": " + name + ", \"fullPath\": " + folder + "/" + name +
         ", \"fileSize\": 5, \"length\": " + std::to_string(nCount) + " }";
}

// Property and listing texts: exact, or not given at all.
TEST_F(InFolder, PropertiesAndListingsExactOrNotAtAll) {
  XAPTEST_ISOLATE();  // the folder under /tmp, an allowed root
  const std::string real = d + "real";
  Sh("cd " + d + " && mkdir real 0 gone && ln -s " + real + " link && cd real && for f in rw x " +
     "wo; do echo 1234 > $f; done && chmod 644 rw && chmod 700 x && chmod 200 wo && " +
     SetTimes(". *"));
  Engine ask;
  ask("SetWidgetInfo", "2", dir.Path());
  // The folder it went into removed: later commands work from there, and
  // the next property is exact; relative paths resolve where it went last.
  ask("GetProperty", d + "gone");
  rmdir((d + "gone").c_str());
  const std::tuple<const char*, std::string, std::string> rows[] = {
      {"Copy", real + "/rw", "1"},  // to d + "copied"
      {"GetProperty", d + "missing", ""},
      {"GetProperty", real,
       "{ \"readOnly\": false, \"isFile\": false, \"isDirectory\": true, \"created\": "
       "2000000000, \"modified\": 1000000000, \"path\": " +
           real + ", \"name\": NULL, \"fullPath\": " + real + ", \"fileSize\": " +
           std::to_string(std::stoi(ShellOutput("stat -c %s " + real))) + ", \"length\": 3 }"},
      {"GetProperty", d + "link/rw", FileProperty(real, "rw", "true", 3)},
      {"GetProperty", d + "link/x", FileProperty(real, "x", "false", 3)},
      {"GetProperty", d + "link/wo", FileProperty(real, "wo", "false", 3)},
      {"IsExistedPath", "rw", "1"},
      {"IsExistedPath", "link", "0"},
      {"GetListFiles", d + "0", "[  0 ]"},
      {"GetListFiles", d + "missing", ""}};
  for (const auto& [cmd, path, reply] : rows)
    EXPECT_EQ(ask(cmd, path, d + "copied"), reply) << cmd << " " << path;
  // Folders of about 600, 939 (a text of 2048 characters), 1000 and 1100
  // characters behind short links: shown whole, or (over 2047 characters;
  // unreadable directory) not at all.
  std::string deep = dir.Path();
  for (size_t length : {600, 938, 1000, 1100}) {
    while (deep.size() < length)
      deep += "/" + std::string(std::min<size_t>(99, length - deep.size()), 'd');
    Sh("mkdir -p " + deep + " && echo 1234 > " + deep + "/f && " + SetTimes(deep + "/f") +
       " && ln -s " + deep + " " + d + std::to_string(length));
    EXPECT_EQ(ask("GetProperty", d + std::to_string(length) + "/f"),
              length > 600 ? "" : FileProperty(deep, "f", "true", 1));
  }
  ASSERT_EQ(chdir("/"), 0);  // out of the folder GetProperty went into
  // Names are not escaped; one of 251 characters is listed whole (of 255:
  // the names that fit).
  for (const std::string& name : {std::string("q\"uote"), std::string(251, 'n')}) {
    Sh("mkdir " + d + "1 && touch '" + d + "1/" + name + "'");
    EXPECT_EQ(ask("GetListFiles", d + "1"), "[ \"" + name + "\",  0 ]");
    Sh("rm -r " + d + "1");
  }
  ExpectTheNamesThatFit(ask, d);
}

// Each reply, and the level-0 line of each refusal.
TEST(Base64, AnswersOrRefusesAtEachBoundary) {
  std::string yWFh500;  // "aaa" encodes to "YWFh"
  for (int i = 0; i < 500; ++i) yWFh500 += "YWFh";
  const std::string a2048(2048, 'A'), e = "{\"b64_encode\": \"", d = "{\"b64_decode\": \"",
                                      q = "L0 [QOM][Execute(N)] ";
  // The command, its text and declared size, and the reply, or for a
  // refusal ("0") its level-0 line.
  const std::tuple<const char*, std::string, std::string, std::string> rows[] = {
      {"WriteBase64", "hello", "5", e + "aGVsbG8=\", \"size\": 8 }"},
      {"ReadBase64", "aGVsbG8=", "8", d + "hello\", \"size\": 5 }"},
      // Odd values in every sextet position, the padded tail's too.
      {"WriteBase64", "01234567890", "11", e + "MDEyMzQ1Njc4OTA=\", \"size\": 16 }"},
      // The declared size is read as strtol reads it, and must be exact.
      {"WriteBase64", "hello", "  +5xyz", e + "aGVsbG8=\", \"size\": 8 }"},
      {"WriteBase64", "hello", "4", q + "parameter wrong size size = [5]\n"},
      // Decoding stops at padding and outside the alphabet.
      {"ReadBase64", "Zg==Zm9v", "8", d + "f\", \"size\": 1 }"},
      {"ReadBase64", "Zm9v!Zm9v", "9", d + "foo\", \"size\": 3 }"},
      // 1500 bytes encode to exactly 2000 characters; 1501 to 2004.
      {"WriteBase64", std::string(1500, 'a'), "1500", e + yWFh500 + "\", \"size\": 2000 }"},
      {"WriteBase64", std::string(1501, 'a'), "1501",
       q + "output size . overflow strParam\\tsize = [2004]\n"},
      {"ReadBase64", a2048, "2048", d + "\", \"size\": 1536 }"},
      // 2732 characters: measured, never written.
      {"WriteBase64", a2048, "2048", q + "output size . overflow strParam\\tsize = [2732]\n"},
      {"WriteBase64", a2048 + "A", "2049", q + "overflow strParam  size = [2049]\n"},
      {"ReadBase64", a2048 + "A", "2049", q + "overflow strParam  size = [2049]\n"},
      // Decoded text goes into the reply unescaped; a zero byte ends it.
      {"ReadBase64", "YSJi", "4", d + "a\"b\", \"size\": 3 }"}};
  ModuleProcess module;
  for (const auto& [cmd, input, declared, reply] : rows) {
    const bool bRefused = reply.rfind(q, 0) == 0;
    EXPECT_EQ(module.Ask(Line(cmd, {input, declared})),
              bRefused ? "0" : nlohmann::json(reply).dump())
        << cmd << " " << input.size();
    EXPECT_EQ(module.NewLog(), bRefused ? reply : "") << cmd << " " << input.size();
  }
}

// The real figures of a tmpfs of 4 MiB on /tmp holding 1 MiB (and what a
// sanitizer's runtime may have put there); tmpfs reserves nothing. (What
// happens without one: env_test.)
TEST(Partition, FiguresOfTheFileSystemOnTmp) {
  XAPTEST_ISOLATE();
  MountTmpfs("/tmp", "4m");
  WriteFile("/tmp/fill", std::string(1048576, 'f'));
  ModuleProcess module;
  auto figure = [&](const char* cmd) { return std::stoll(module.Ask(cmd).substr(1)); };
  const long long used = figure("GetUsedSize");
  EXPECT_EQ(std::tuple(figure("GetTotalSize"), used / 1048576, used + figure("GetFreeSize")),
            std::tuple(4194304, 1, 4194304));
}
