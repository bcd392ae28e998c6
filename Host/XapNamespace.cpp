// The making of a contained tools' namespace. A child of the host takes a
// mount namespace of its own, mounts a small tmpfs as the new root, binds
// the program folders into it read-only and the writable folders
// read-write, seals the tmpfs read-only, makes it the root and sends the
// namespace to the host, which checks it before any tool enters it.
#include "XapNamespace.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

namespace qom {
namespace host {
namespace {

// Where the child mounts the new root before it becomes "/": a folder every
// Linux system has, whose own content no tool needs.
const char kNewRoot[] = "/proc";

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
}  // namespace

bool IsFolderBeneath(const Folder& folder) {
  int fd = OpenBeneath(folder.root, folder.rel);
  struct stat st = {};
  bool bFolder = fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  if (fd >= 0) close(fd);
  return bFolder;
}

int MakeNamespace(const std::vector<Folder>& writable, std::vector<Folder>* pMissing,
                  std::string* why) {
  std::vector<Step> steps;
  AddProgramSteps(steps);
  for (const Folder& folder : writable) {
    if (!AddFolderSteps(steps, folder)) pMissing->push_back(folder);
  }
  return TakeNamespace(steps, why);
}

}  // namespace host
}  // namespace qom
