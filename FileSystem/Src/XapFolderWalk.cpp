// The folder walk of GetFolderSize: the walk's steps (XapFolderWalk.h), its
// budget, and the task's two members that run it.
#include "XapFolderWalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <new>

#include "XapFileSystemLog.h"
#include "XapTaskFileSystem.h"
#include "XapTaskShared.h"

namespace qom {
namespace {

// Longest entry path the walk joins; an entry whose path would be longer
// is passed over, so the walk never works on a cut path.
const size_t kMaxEntryPath = 255;

// Only a walk that keeps coming back to folders it has read through links
// can run without end (a loop of links, a fan-out of links into links,
// /proc/self), so only that work is counted, in steps: a read of a batch
// of entries, an entry, and its status call are one step each; a lookup
// through the joined path (up to 255 characters and 40 links) is
// kStepsPerLookup. Opening a real subfolder below its parent is not
// counted: the reads of that folder are. The budget is about 0.25 s of the
// worst such work on a 2-core x86-64 machine, 4 to 8 times that on the
// device.
const long kMaxRepeatedSteps = 200000;
const long kStepsPerLookup = 16;
// A lookup also resolves the links named inside link texts of up to 4 KiB,
// which the walk does not see: one may take milliseconds. Lookups may take
// this much processor time in all, counted in every folder; ordinary ones
// take microseconds.
const int64_t kMaxLookupNanoseconds = 1000000000;

// A lookup through the joined path that fails with ELOOP is tried once
// more: the kernel can report a false ELOOP for a long chain of links while
// other processes rename folders (rarely: a few in a million lookups). A
// real loop fails both times.
const int kLookupAttempts = 2;

// Bytes of directory entries read at a time, per level of depth.
const size_t kEntryBuffer = 8192;

// Levels that hold a descriptor at once. Deeper walks close the outermost
// open level and reopen it by its joined path on the way back, so a walk
// leaves descriptors to the jobs that run beside it, whatever its depth.
// Only a folder whose file system gives a file handle is closed early: by
// device and inode alone, a new folder that took the number of a removed
// one would pass for it.
const size_t kMaxOpenLevels = 16;

const int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;

// Processor time of the calling thread, in nanoseconds: what a lookup cost,
// without the time it waited for the processor.
int64_t ThreadCpuNanoseconds() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Errors that say the process is short of something, not that the folder
// is unreadable: never taken for a folder that adds nothing.
bool IsShortage(int nErrno) { return nErrno == EMFILE || nErrno == ENFILE || nErrno == ENOMEM; }

}  // namespace

bool FolderWalk::FolderHandle::operator==(const FolderHandle& other) const {
  return nMount == other.nMount && nType == other.nType && nBytes == other.nBytes &&
         memcmp(bytes, other.bytes, nBytes) == 0;
}

namespace {

// The open folder's handle; false where its file system has none.
bool ReadHandle(int fd, int* pnMount, int* pnType, unsigned* pnBytes, unsigned char* pBytes) {
  union {
    struct file_handle handle;
    unsigned char space[sizeof(struct file_handle) + MAX_HANDLE_SZ];
  } buffer;
  buffer.handle.handle_bytes = MAX_HANDLE_SZ;
  if (name_to_handle_at(fd, "", &buffer.handle, pnMount, AT_EMPTY_PATH) != 0) return false;
  *pnType = buffer.handle.handle_type;
  *pnBytes = buffer.handle.handle_bytes;
  memcpy(pBytes, buffer.handle.f_handle, buffer.handle.handle_bytes);
  return true;
}

}  // namespace

size_t FolderWalk::FolderKeyHash::operator()(const FolderKey& key) const {
  return std::hash<uint64_t>()(key.nInode * 0x9E3779B97F4A7C15ULL ^ key.nDevice);
}

FolderWalk::FolderWalk(const char* pszTop, bool bSearchLink)
    : m_bSearchLink(bSearchLink), m_strPath(pszTop) {}

FolderWalk::~FolderWalk() {
  for (Level& level : m_levels) {
    if (level.fd >= 0) close(level.fd);
  }
}

bool FolderWalk::Charge(long nSteps) {
  m_nRepeatedSteps += nSteps;
  if (m_eCut == WalkCut::kNone &&
      (m_nRepeatedSteps > kMaxRepeatedSteps || m_nLookupNanoseconds > kMaxLookupNanoseconds)) {
    m_eCut = WalkCut::kBudget;
  }
  return m_eCut == WalkCut::kNone;
}

void FolderWalk::CutFor(WalkCut eCut, int nErrno) {
  if (m_eCut != WalkCut::kNone) return;
  m_eCut = eCut;
  m_nCutErrno = nErrno;
}

std::string FolderWalk::CutReason() const {
  if (m_eCut == WalkCut::kReopen && m_nCutErrno == 0) {
    return "a folder closed to spare a descriptor was another folder when reopened";
  }
  char szText[128] = "";
  const char* pszText = strerror_r(m_nCutErrno, szText, sizeof szText);
  return std::string(m_eCut == WalkCut::kReopen ? "cannot reopen a folder: " : "") + pszText;
}

void FolderWalk::OutOfMemory() {
  CutFor(WalkCut::kResources, ENOMEM);
  for (Level& level : m_levels) {
    if (level.fd >= 0) close(level.fd);
    level.fd = -1;
  }
  std::vector<Level>().swap(m_levels);
  std::unordered_set<FolderKey, FolderKeyHash>().swap(m_readThroughLinks);
  m_nDepth = 0;
  m_nOpen = 0;
}

FolderWalk::Level& FolderWalk::PushLevel() {
  if (m_levels.size() <= m_nDepth) m_levels.emplace_back();
  Level& level = m_levels[m_nDepth++];
  if (level.buffer.empty()) level.buffer.resize(kEntryBuffer);
  level.nRead = 0;
  level.nNext = 0;
  return level;
}

bool FolderWalk::Enter(const char* pszName, bool bByPath) {
  const Level* pParent = m_nDepth > 0 ? &m_levels[m_nDepth - 1] : nullptr;
  const bool bParentRepeating = pParent != nullptr && pParent->bRepeating;
  const bool bBelowLink =
      pParent != nullptr && (pParent->bBelowLink || bByPath);  // a link was followed above
  if (m_nOpen >= kMaxOpenLevels) SpareDescriptor();
  int fd = bByPath ? OpenByPath(bParentRepeating) : OpenBelow(pszName);
  if (fd < 0) return false;
  Level& level = PushLevel();
  level.fd = fd;
  ++m_nOpen;
  level.nPathLength = m_strPath.size();
  level.bBelowLink = bBelowLink;
  // A folder read before through links is work done again: every step of
  // its visit counts.
  level.bRepeating = false;
  if (bBelowLink) {
    struct stat64 st;
    level.bRepeating =
        fstat64(fd, &st) == 0 && !m_readThroughLinks.insert(FolderKey{st.st_dev, st.st_ino}).second;
  }
  return true;
}

int FolderWalk::OpenByPath(bool bParentRepeating) {
  // The joined path decides: its links resolve as the kernel counts them.
  int64_t nStart = ThreadCpuNanoseconds();
  int nLookups = 0;
  int nLoops = 0;
  int fd = -1;
  for (;;) {
    ++nLookups;
    fd = open(m_strPath.c_str(), kFolderFlags);
    if (fd >= 0) break;
    if (errno == ELOOP && ++nLoops < kLookupAttempts) continue;
    if (!IsShortage(errno) || !SpareDescriptor()) break;
  }
  const int nErrno = errno;
  m_nLookupNanoseconds += ThreadCpuNanoseconds() - nStart;
  if (!Charge(bParentRepeating ? kStepsPerLookup * nLookups : 0)) {
    if (fd >= 0) close(fd);
    return -1;
  }
  if (fd < 0 && IsShortage(nErrno)) CutFor(WalkCut::kResources, nErrno);
  return fd;
}

int FolderWalk::OpenBelow(const char* pszName) {
  // A real subfolder, opened without following a link that might have
  // taken its place since its status was read. Its joined path holds the
  // same links as its parent's, which resolved, so the two opens agree.
  int fd;
  do {
    fd = openat(m_levels[m_nDepth - 1].fd, pszName, kFolderFlags | O_NOFOLLOW);
  } while (fd < 0 && IsShortage(errno) && SpareDescriptor());
  if (fd < 0 && IsShortage(errno)) CutFor(WalkCut::kResources, errno);
  return fd;
}

bool FolderWalk::SpareDescriptor() {
  for (size_t i = 0; i + 1 < m_nDepth; ++i) {
    if (m_levels[i].fd >= 0 && CloseEarly(m_levels[i])) return true;
  }
  return false;
}

bool FolderWalk::CloseEarly(Level& level) {
  FolderHandle& h = level.handle;
  off_t nPosition = lseek(level.fd, 0, SEEK_CUR);
  if (nPosition < 0 || !ReadHandle(level.fd, &h.nMount, &h.nType, &h.nBytes, h.bytes)) {
    return false;
  }
  level.nResume = nPosition;
  close(level.fd);
  level.fd = -1;
  --m_nOpen;
  return true;
}

bool FolderWalk::Reopen(Level& level) {
  const std::string strFolder = m_strPath.substr(0, level.nPathLength);
  int fd;
  int nLoops = 0;
  do {
    fd = open(strFolder.c_str(), kFolderFlags);
  } while (fd < 0 && ((errno == ELOOP && ++nLoops < kLookupAttempts) ||
                      (IsShortage(errno) && SpareDescriptor())));
  if (fd < 0) {
    CutFor(IsShortage(errno) ? WalkCut::kResources : WalkCut::kReopen, errno);
    return false;
  }
  FolderHandle h;
  if (!ReadHandle(fd, &h.nMount, &h.nType, &h.nBytes, h.bytes) || !(h == level.handle) ||
      lseek(fd, level.nResume, SEEK_SET) != level.nResume) {
    close(fd);
    CutFor(WalkCut::kReopen, 0);
    return false;
  }
  level.fd = fd;
  ++m_nOpen;
  return true;
}

const struct dirent64* FolderWalk::NextEntry() {
  Level& level = m_levels[m_nDepth - 1];
  while (m_eCut == WalkCut::kNone) {
    if (level.nNext < level.nRead) {
      const struct dirent64* pEntry =
          reinterpret_cast<const struct dirent64*>(level.buffer.data() + level.nNext);
      level.nNext += pEntry->d_reclen;
      return pEntry;
    }
    if (level.bRepeating && !Charge(1)) break;
    ssize_t nRead = getdents64(level.fd, level.buffer.data(), kEntryBuffer);
    if (nRead < 0 && IsShortage(errno)) CutFor(WalkCut::kResources, errno);
    if (nRead <= 0) break;
    level.nRead = static_cast<size_t>(nRead);
    level.nNext = 0;
  }
  return nullptr;
}

WalkEntry FolderWalk::Visit(const struct dirent64* pEntry, bool bSub) {
  const Level& level = m_levels[m_nDepth - 1];
  const char* pszEntry = pEntry->d_name;
  bool bFits = level.nPathLength + 1 + strlen(pszEntry) <= kMaxEntryPath;
  if (level.bRepeating && !Charge(bFits ? 2 : 1)) return WalkEntry::kPassed;
  if (!bFits) return WalkEntry::kPassed;
  m_strPath.append("/").append(pszEntry);
  // "." and ".." are entries like any other: their status is read too.
  // Read relative to the open folder, it is the status that the joined
  // path names: the folder's own path resolved.
  struct stat64 st;
  if (fstatat64(level.fd, pszEntry, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOMEM) CutFor(WalkCut::kResources, errno);
    return WalkEntry::kUnreadable;
  }
  // The 32-bit status call cannot read an entry of 2 GiB or more: such an
  // entry adds nothing and is not descended into.
  if (st.st_size > INT32_MAX) return WalkEntry::kUnreadable;
  m_lfTotal += static_cast<double>(st.st_size);
  if (!bSub || IsDotEntry(pszEntry)) return WalkEntry::kCounted;
  if (S_ISDIR(st.st_mode)) return WalkEntry::kFolder;
  // A link to a file fails to open as a folder and adds nothing more.
  if (S_ISLNK(st.st_mode) && m_bSearchLink) return WalkEntry::kLink;
  return WalkEntry::kCounted;
}

void FolderWalk::EndEntry() {
  if (m_eCut == WalkCut::kNone) m_strPath.resize(m_levels[m_nDepth - 1].nPathLength);
}

void FolderWalk::Leave() {
  Level& level = m_levels[m_nDepth - 1];
  if (level.fd >= 0) {
    close(level.fd);
    level.fd = -1;
    --m_nOpen;
  }
  --m_nDepth;
  if (m_nDepth > 0 && m_eCut == WalkCut::kNone && m_levels[m_nDepth - 1].fd < 0) {
    Reopen(m_levels[m_nDepth - 1]);
  }
}

// ---- The task's members.

int CXapTaskFileSystem::GetFolderSize(double* plfSize, char* pszFolder, bool bSub,
                                      bool bSearchLink) {
  XAP_TRACE();
  if (pszFolder == nullptr || plfSize == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  XAP_LOG(3u, "pszFolder=[%s] bSub=[%d] bSearchLink=[%d]", pszFolder, bSub ? 1 : 0,
          bSearchLink ? 1 : 0);
  FolderWalk walk(pszFolder, bSearchLink);
  try {
    // A folder that cannot be read measures 0.
    t_GetFolderSizeHelper(walk, pszFolder, bSub, true);
  } catch (const std::bad_alloc&) {
    // Its buffers or its record of folders read through links could not
    // grow: a cut like any other, not the end of the process.
    walk.OutOfMemory();
  }
  // A partial sum would be a wrong answer: none is given.
  if (walk.Cut() == WalkCut::kBudget) {
    XAP_LOG(0u,
            "folder walk of [%s] cut after %ld steps in folders already read through links and "
            "%ld ms of lookups, at [%s] (%.0lf bytes so far)",
            pszFolder, walk.RepeatedSteps(), walk.LookupMilliseconds(), walk.Path().c_str(),
            walk.Total());
  } else if (walk.Cut() != WalkCut::kNone) {
    XAP_LOG(0u, "folder walk of [%s] cut at [%s]: %s (%.0lf bytes so far)", pszFolder,
            walk.Path().c_str(), walk.CutReason().c_str(), walk.Total());
  }
  if (walk.Cut() != WalkCut::kNone) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  XAP_LOG(3u, "lfFolderSize=[%lf]", walk.Total());
  *plfSize = walk.Total();
  return XAP_RESULT_OK;
}

int CXapTaskFileSystem::t_GetFolderSizeHelper(FolderWalk& walk, const char* pszName, bool bSub,
                                              bool bByPath) {
  XAP_LOG(3u, "# pszFolder = [%s]", walk.Path().c_str());
  if (!walk.Enter(pszName, bByPath)) return 0;
  while (const struct dirent64* pEntry = walk.NextEntry()) {
    WalkEntry eEntry = walk.Visit(pEntry, bSub);
    if (eEntry == WalkEntry::kFolder || eEntry == WalkEntry::kLink) {
      t_GetFolderSizeHelper(walk, pEntry->d_name, true, eEntry == WalkEntry::kLink);
    }
    walk.EndEntry();
  }
  walk.Leave();
  return walk.Cut() == WalkCut::kNone ? 1 : 0;
}

}  // namespace qom
