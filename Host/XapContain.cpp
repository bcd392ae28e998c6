// Contained mode. A namespace is prepared by a child of the host: it takes a
// mount namespace of its own, mounts a small tmpfs as the new root, binds the
// program folders into it read-only and the writable folders read-write
// (without devices), seals the tmpfs read-only and makes it the root. The
// host keeps the namespace by a descriptor and the child ends; each tool of
// a contained command then enters it before its program starts. The host's
// own view of the machine stays as it was.
#include "XapContain.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "XapOutput.h"
#include "XapProtocol.h"

namespace qom {
namespace host {
namespace {

// Where the child mounts the new root before it becomes "/": a folder every
// Linux system has, whose own content no tool needs.
const char kNewRoot[] = "/proc";

// The longest widget folder text the module keeps.
const size_t kWidgetPathMax = 199;

// A folder a scope lets its tools change: root, and a path below it that is
// resolved beneath root only (a link in it cannot lead out of root).
struct Folder {
  std::string root;
  std::string rel;
  std::string Path() const { return rel.empty() ? root : root + "/" + rel; }
};

const char kTmp[] = "/tmp";
const char kApps[] = "/opt/usr/apps";
const char kDown[] = "/opt/down";

std::vector<Folder> Roots() { return {{kTmp, ""}, {kDown, ""}, {kApps, ""}}; }

std::string ErrorText(int nError) {
  char text[128];
  return strerror_r(nError, text, sizeof text);
}

// One thing the child does in the new root. Paths are whole ("/proc/usr").
enum class Op { kDir, kLink, kFile, kBindRead, kBindWrite };
struct Step {
  Op op;
  std::string path;
  std::string from;  // a link's target, or what a bind binds
  std::string rel;   // for kBindWrite: below from, resolved beneath it
};

// The steps of the child that are not in the plan, as its report numbers
// them (below 0).
const char* const kFixedSteps[] = {"make a mount namespace", "make the mounts private",
                                   "mount the new root",     "seal the new root",
                                   "make it the root",       "open the namespace it made"};

}  // namespace

class ContainScope : public std::enable_shared_from_this<ContainScope> {
 public:
  ContainScope() = default;
  ContainScope(const ContainScope&) = delete;
  ContainScope& operator=(const ContainScope&) = delete;
  ~ContainScope() {
    if (nsFd >= 0) close(nsFd);
  }
  int nsFd = -1;                     // -1: could not be prepared, no tool runs
  std::vector<Folder> wanted;        // what it was prepared for
  std::vector<std::string> folders;  // the writable ones, as the host resolves them
  std::vector<Folder> missing;       // wanted but absent when prepared
};

namespace {

bool g_bContained = false;
ScopeRef g_roots;   // the allowed roots
ScopeRef g_xaps;    // the module files' folder
ScopeRef g_widget;  // what ordinary commands get now
std::string g_strWidgetPath;
thread_local ContainScope* t_scope = nullptr;

// The folders the tools read: those of the top of the tree that hold
// programs and libraries, links kept as links; the linker's cache and the
// local time zone (a tool sets the times an archive's entries give), in an
// /etc of nothing else.
void AddProgramSteps(std::vector<Step>& steps) {
  for (const char* path : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32", "/usr", "/etc",
                           "/etc/ld.so.cache", "/etc/localtime"}) {
    const std::string inRoot = kNewRoot + std::string(path);
    struct stat st = {};
    char target[PATH_MAX];
    ssize_t n = lstat(path, &st) == 0 && S_ISLNK(st.st_mode)
                    ? readlink(path, target, sizeof target - 1)
                    : -1;
    if (n > 0) {
      steps.push_back({Op::kLink, inRoot, std::string(target, static_cast<size_t>(n)), ""});
    } else if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) {
      steps.push_back({S_ISDIR(st.st_mode) ? Op::kDir : Op::kFile, inRoot, "", ""});
      if (strcmp(path, "/etc") != 0) steps.push_back({Op::kBindRead, inRoot, path, ""});
    }
  }
}

// Opens a folder beneath its root, so that a link on the way cannot lead
// out of it; with no path below, the root (or a program folder or file) as
// it is.
int OpenBeneath(const std::string& root, const std::string& rel) {
  int fd = open(root.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0 || rel.empty()) return fd;
  struct open_how how = {};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  int below = static_cast<int>(syscall(SYS_openat2, fd, rel.c_str(), &how, sizeof how));
  int nError = errno;
  close(fd);
  errno = nError;
  return below;
}

// Whether the folder is one beneath its root now.
bool IsFolderBeneath(const Folder& folder) {
  int fd = OpenBeneath(folder.root, folder.rel);
  struct stat st = {};
  bool bFolder = fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  if (fd >= 0) close(fd);
  return bFolder;
}

// Binds one writable folder at its own path, making the folders above it in
// the new root. False when it is not a folder beneath its root now (the
// child looks again, in its own namespace).
bool AddFolderSteps(std::vector<Step>& steps, const Folder& folder) {
  if (!IsFolderBeneath(folder)) return false;
  std::string path = folder.Path();
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    steps.push_back({Op::kDir, kNewRoot + path.substr(0, slash), "", ""});
  }
  steps.push_back({Op::kDir, kNewRoot + path, "", ""});
  steps.push_back({Op::kBindWrite, kNewRoot + path, folder.root, folder.rel});
  return true;
}

// A bind of the whole tree at from, with its mounts, without devices and
// set-user-id programs; read-only for the program folders.
bool Bind(const Step& step) {
  int source = OpenBeneath(step.from, step.rel);
  if (source < 0) return false;
  int tree =
      open_tree(source, "", OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_EMPTY_PATH | AT_RECURSIVE);
  close(source);
  if (tree < 0) return false;
  bool bOk = move_mount(tree, "", AT_FDCWD, step.path.c_str(), MOVE_MOUNT_F_EMPTY_PATH) == 0;
  close(tree);
  struct mount_attr attr = {};
  attr.attr_set = MOUNT_ATTR_NODEV | MOUNT_ATTR_NOSUID;
  if (step.op == Op::kBindRead) attr.attr_set |= MOUNT_ATTR_RDONLY;
  return bOk && mount_setattr(AT_FDCWD, step.path.c_str(), AT_RECURSIVE, &attr, sizeof attr) == 0;
}

bool RunStep(const Step& step) {
  switch (step.op) {
    case Op::kDir:
      return mkdir(step.path.c_str(), 0755) == 0 || errno == EEXIST;
    case Op::kLink:
      return symlink(step.from.c_str(), step.path.c_str()) == 0;
    case Op::kFile: {
      int fd = open(step.path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      return fd >= 0 && close(fd) == 0;
    }
    case Op::kBindRead:
    case Op::kBindWrite:
      return Bind(step);
  }
  return false;
}

// What the child reports: the failed step (below 0: kFixedSteps) and its
// error, or -100 for done and the identity of the root it made.
struct BuildReport {
  int nStep;
  int nError;
  uint64_t root;
  uint64_t rootInode;
};

// The namespace the calling process is in, as a descriptor; the one it
// made when before is the one it was in, which only a /proc that is not
// this process's could make it (then -1 with EINVAL).
int OpenOwnNamespace(int before) {
  int fd = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
  struct stat was = {}, is = {};
  if (fd >= 0 && before >= 0 && fstat(before, &was) == 0 && fstat(fd, &is) == 0 &&
      was.st_ino == is.st_ino && was.st_dev == is.st_dev) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

// Sends the report and, when done, the namespace's descriptor with it.
void Send(int socketFd, const BuildReport& report, int nsFd) {
  struct iovec data = {const_cast<BuildReport*>(&report), sizeof report};
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  struct msghdr message = {};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  if (report.nStep == -100) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    struct cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &nsFd, sizeof(int));
  }
  while (sendmsg(socketFd, &message, MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
}

// The child's work: the new namespace, opened by the child itself (a pid
// of the host's would name another process where /proc is not its own),
// sent to the host. Only system calls: the host may have other threads.
[[noreturn]] void BuildInChild(const std::vector<Step>& steps, int socketFd) {
  BuildReport report = {-100, 0, 0, 0};
  struct mount_attr sealed = {};
  sealed.attr_set = MOUNT_ATTR_RDONLY | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOSUID;
  int before = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
  int nsFd = -1;
  if (unshare(CLONE_NEWNS) != 0) {
    report.nStep = -1;
  } else if ((nsFd = OpenOwnNamespace(before)) < 0) {
    report.nStep = -6;
  } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    report.nStep = -2;
  } else if (mount("xapfs", kNewRoot, "tmpfs", MS_NODEV | MS_NOSUID | MS_NOEXEC,
                   "mode=0755,size=1m") != 0) {
    report.nStep = -3;
  }
  for (size_t i = 0; report.nStep == -100 && i < steps.size(); ++i) {
    if (!RunStep(steps[i])) report.nStep = static_cast<int>(i);
  }
  if (report.nStep == -100 && mount_setattr(AT_FDCWD, kNewRoot, 0, &sealed, sizeof sealed) != 0) {
    report.nStep = -4;
  }
  if (report.nStep == -100 && (chdir(kNewRoot) != 0 || syscall(SYS_pivot_root, ".", ".") != 0 ||
                               umount2(".", MNT_DETACH) != 0 || chdir("/") != 0)) {
    report.nStep = -5;
  }
  report.nError = report.nStep == -100 ? 0 : errno;
  struct stat root = {};
  if (report.nStep == -100 && stat("/", &root) == 0) {
    report.root = root.st_dev;
    report.rootInode = root.st_ino;
  }
  Send(socketFd, report, nsFd);
  // _Exit, not _exit, which a coverage build wraps to write its counters:
  // their files are not in this namespace.
  _Exit(0);
}

std::string Why(const std::vector<Step>& steps, const BuildReport& report) {
  std::string what;
  if (report.nStep < 0 && report.nStep >= -6) {
    what = kFixedSteps[-report.nStep - 1];
  } else if (report.nStep >= 0 && static_cast<size_t>(report.nStep) < steps.size()) {
    const Step& step = steps[static_cast<size_t>(report.nStep)];
    bool bBind = step.op == Op::kBindRead || step.op == Op::kBindWrite;
    what = bBind ? "bind " + Folder{step.from, step.rel}.Path()
                 : "make " + step.path.substr(sizeof kNewRoot - 1);
  } else {
    what = "prepare the namespace";
  }
  return "cannot " + what + ": " + ErrorText(report.nError);
}

// Takes the report and the descriptor that Report sends.
int ReceiveNamespace(int socketFd, BuildReport& report) {
  struct iovec data = {&report, sizeof report};
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  struct msghdr message = {};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n;
  while ((n = recvmsg(socketFd, &message, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
  }
  struct cmsghdr* header = CMSG_FIRSTHDR(&message);
  int nsFd = -1;
  if (header != nullptr && header->cmsg_type == SCM_RIGHTS)
    memcpy(&nsFd, CMSG_DATA(header), sizeof(int));
  if (n != sizeof report || (report.nStep == -100 && nsFd < 0)) {
    report.nStep = -99;
    report.nError = EIO;
  }
  return report.nStep == -100 ? nsFd : -1;
}

// Whether a tool that enters nsFd finds the root the child made: a /proc
// that is not what it seems could have handed over another namespace.
bool IsTheNamespaceMade(int nsFd, const BuildReport& report) {
  pid_t pid = fork();
  if (pid == 0) {
    struct stat root = {};
    bool bSame = setns(nsFd, CLONE_NEWNS) == 0 && stat("/", &root) == 0 &&
                 root.st_dev == report.root && root.st_ino == report.rootInode;
    _Exit(bSame ? 0 : 1);  // see BuildInChild
  }
  int status = 1;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs the child and takes its namespace. The descriptor, or -1 with *why.
int TakeNamespace(const std::vector<Step>& steps, std::string* why) {
  int sockets[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
    *why = ErrorText(errno);
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(sockets[0]);
    BuildInChild(steps, sockets[1]);
  }
  BuildReport report = {-99, errno, 0, 0};
  close(sockets[1]);
  int nsFd = pid > 0 ? ReceiveNamespace(sockets[0], report) : -1;
  if (nsFd >= 0 && !IsTheNamespaceMade(nsFd, report)) {
    close(nsFd);
    nsFd = -1;
    report.nStep = -6;
    report.nError = EINVAL;
  }
  close(sockets[0]);
  while (pid > 0 && waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (nsFd < 0) *why = Why(steps, report);
  return nsFd;
}

// A scope for these folders; one whose namespace could not be prepared
// runs no tool, and *why says why.
ScopeRef Prepare(const std::vector<Folder>& wanted, std::string* why) {
  auto scope = std::make_shared<ContainScope>();
  scope->wanted = wanted;
  std::vector<Step> steps;
  AddProgramSteps(steps);
  for (const Folder& folder : wanted) {
    if (!AddFolderSteps(steps, folder)) {
      scope->missing.push_back(folder);
      continue;
    }
    char* resolved = realpath(folder.Path().c_str(), nullptr);
    scope->folders.emplace_back(resolved != nullptr ? resolved : folder.Path());
    free(resolved);
  }
  scope->nsFd = TakeNamespace(steps, why);
  return scope;
}

void LogLine(const std::string& text) { WriteLogLine("L0 [contain] " + text + "\n"); }

// Prepares the scope again when a folder it lacked has come since.
void Refresh(ScopeRef& scope) {
  for (const Folder& folder : scope->missing) {
    if (!IsFolderBeneath(folder)) continue;
    std::string why;
    ScopeRef fresh = Prepare(scope->wanted, &why);
    if (fresh->nsFd < 0) LogLine(why);
    scope = fresh;
    return;
  }
}

bool Within(const char* path, const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    if (strncmp(path, folder.c_str(), folder.size()) == 0 &&
        (path[folder.size()] == '\0' || path[folder.size()] == '/' || folder == "/")) {
      return true;
    }
  }
  return false;
}

// The widget folder and the shared roots. A folder text that names no folder
// of its own below /opt/down (empty, relative, with "..", or inside a shared
// root) adds nothing.
std::vector<Folder> WidgetFolders(std::string text) {
  text.resize(std::min(text.size(), kWidgetPathMax));
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  if (text == kDown) return Roots();
  std::vector<Folder> folders{{kTmp, ""}, {kApps, ""}, {kDown, "common"}};
  const std::string down = kDown + std::string("/");
  if (text.compare(0, down.size(), down) == 0 && text.find("..") == std::string::npos &&
      !Within(text.c_str(), {down + "common"})) {
    size_t start = text.find_first_not_of('/', down.size());
    if (start != std::string::npos) folders.push_back({kDown, text.substr(start)});
  }
  return folders;
}

// The resolved form of the path of n bytes as the host sees it, into out:
// its longest part that exists resolved, the rest as given. False when it
// does not fit. No allocation: every tool start of a contained command
// comes here.
bool Resolve(const char* path, size_t n, char (&out)[PATH_MAX]) {
  char head[PATH_MAX];
  while (n > 1 && path[n - 1] == '/') --n;  // "z/" is the folder z
  if (n >= sizeof head) return false;
  memcpy(head, path, n);
  head[n] = '\0';
  size_t rest = n;  // where the part not resolved begins
  while (realpath(head, out) == nullptr) {
    char* slash = strrchr(head, '/');
    if (slash == nullptr || slash[1] == '\0') return false;
    rest = static_cast<size_t>(slash - head);
    slash[slash == head ? 1 : 0] = '\0';
  }
  size_t used = strcmp(out, "/") == 0 && rest < n ? 0 : strlen(out);
  if (used + (n - rest) >= PATH_MAX) return false;
  memcpy(out + used, path + rest, n - rest);
  out[used + n - rest] = '\0';
  return true;
}

// A level-0 line when the path of n bytes, with suffix added, leads
// outside the scope's folders; whether it does.
bool ReportOutside(const ContainScope& scope, const char* word, size_t n, const char* suffix) {
  char path[PATH_MAX];
  char resolved[PATH_MAX];
  int nPath = snprintf(path, sizeof path, "%.*s%s", static_cast<int>(n), word, suffix);
  if (nPath > 0 && static_cast<size_t>(nPath) < sizeof path &&
      Resolve(path, static_cast<size_t>(nPath), resolved) && Within(resolved, scope.folders)) {
    return false;
  }
  LogLine(std::string(path) + ": outside the allowed roots");
  return true;
}

}  // namespace

std::string StartContainment() {
  // Its children are waited for: a host started with SIGCHLD ignored would
  // see none of them end.
  signal(SIGCHLD, SIG_DFL);  // NOLINT(cert-err33-c): cannot fail for SIGCHLD
  std::string why;
  g_roots = Prepare(Roots(), &why);
  if (g_roots->nsFd >= 0) g_xaps = Prepare({{kDown, "xaps"}}, &why);
  if (g_roots->nsFd < 0 || g_xaps->nsFd < 0) {
    return why + " (contained mode needs root, mount namespaces and Linux 5.12 or later)";
  }
  g_widget = g_roots;
  g_bContained = true;
  return "";
}

void EnterCommandScope(const Command& cmd) {
  if (!g_bContained) return;
  if (cmd.strCmd == "UnzipKill") {
    t_scope = nullptr;
    return;
  }
  ScopeRef& scope = cmd.strCmd == "SetExecutable" ? g_xaps : g_widget;
  Refresh(scope);
  t_scope = scope.get();
}

void LeaveCommandScope(const Command& cmd, bool bOk, XapReplyKind eKind, int nReply) {
  t_scope = nullptr;
  if (!g_bContained || cmd.strCmd != "SetWidgetInfo" || !bOk || eKind != XAP_REPLY_INTEGER ||
      nReply != 1) {
    return;
  }
  // The module took the type as a whole decimal number: so does this.
  long nType = strtol(cmd.strParams[0].c_str(), nullptr, 10);
  if (nType == 0 || nType == 1) {
    g_widget = g_roots;
    g_strWidgetPath.clear();
    return;
  }
  if (g_widget != g_roots && g_widget->nsFd >= 0 && cmd.strParams[1] == g_strWidgetPath) return;
  std::string why;
  g_widget = Prepare(WidgetFolders(cmd.strParams[1]), &why);
  g_strWidgetPath = cmd.strParams[1];
  if (g_widget->nsFd < 0) LogLine(why + ": the widget's commands run no tool");
}

ScopeRef ThreadScope() { return t_scope != nullptr ? t_scope->shared_from_this() : nullptr; }

void SetThreadScope(ContainScope* pScope) { t_scope = pScope; }

int ScopeNamespace(const ContainScope& scope) { return scope.nsFd >= 0 ? scope.nsFd : -2; }

bool ReportPathsOutside(const ContainScope& scope, const char* command) {
  const char* tool = nullptr;
  bool bOutside = false;
  for (const char* p = command; *p != '\0';) {
    const char* word = p;
    size_t n = strcspn(p, " ");
    p += n + (p[n] != '\0' ? 1 : 0);
    if (n == 0) continue;
    // The tool is the first word that is neither "nice" nor its options;
    // the paths follow it.
    if (tool == nullptr) {
      bool bNice = memmem(word, n, "nice", 4) != nullptr || word[0] == '-' ||
                   isdigit(static_cast<unsigned char>(word[0])) != 0;
      tool = bNice ? nullptr : word;
      continue;
    }
    if (word[0] != '/') continue;
    bOutside |= ReportOutside(scope, word, n, "");
    // unzip opens the archive's name with ".zip" or ".ZIP" added when the
    // name itself is missing or a folder.
    if (strncmp(tool, "/usr/bin/unzip ", 15) == 0 && word == tool + 15 + strcspn(tool + 15, "/")) {
      for (const char* suffix : {".zip", ".ZIP"}) bOutside |= ReportOutside(scope, word, n, suffix);
    }
  }
  return bOutside;
}

}  // namespace host
}  // namespace qom
