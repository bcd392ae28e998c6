// The folder walk of GetFolderSize: its steps (XapFolderWalk.h), its
// budget, and the task's two members that run it.
#include "XapFolderWalk.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <new>

#include "XapFileSystemLog.h"
#include "XapFolderReader.h"
#include "XapTaskFileSystem.h"

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

// Levels that hold a descriptor at once, so that a walk leaves descriptors
// to the jobs that run beside it. Deeper walks close the outermost open
// level and reopen it by its joined path on the way back. Only a folder
// whose file system gives a file handle is closed early: by device and
// inode alone, a new folder that took the number of a removed one would
// pass for it. Elsewhere (ramfs, /proc, an overlay without handles) every
// level of depth holds its descriptor.
const size_t kMaxOpenLevels = 16;

// A folder is closed early only once all its remaining entries are read:
// where a directory position counts entries rather than naming one, a
// folder changed meanwhile would not resume where it stopped. The entries
// held so for all closed folders together take at most this many bytes of
// records (about 300,000 names of 8 characters); a folder with more left
// keeps its descriptor.
const size_t kMaxHeldBytes = 8u << 20;

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

size_t FolderWalk::FolderKeyHash::operator()(const FolderKey& key) const {
  return std::hash<uint64_t>()(key.nInode * 0x9E3779B97F4A7C15ULL ^ key.nDevice);
}

FolderWalk::FolderWalk(Env& env, const char* pszTop, bool bSub, bool bSearchLink)
    : m_env(env), m_bSub(bSub), m_bSearchLink(bSearchLink), m_strPath(pszTop) {}

FolderWalk::~FolderWalk() { CloseAll(); }

void FolderWalk::CloseAll() {
  for (Level& level : m_levels) {
    if (level.fd >= 0) m_env.Close(level.fd);
    level.fd = -1;
  }
  m_nOpen = 0;
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
  const char* pszWhat = m_eCut == WalkCut::kReopen ? "cannot reopen a folder: "
                        : m_eCut == WalkCut::kRead ? "cannot read a folder's entries: "
                                                   : "";
  return std::string(pszWhat) + pszText;
}

void FolderWalk::OutOfMemory() {
  CutFor(WalkCut::kResources, ENOMEM);
  CloseAll();
  std::vector<Level>().swap(m_levels);
  std::unordered_set<FolderKey, FolderKeyHash>().swap(m_readThroughLinks);
  m_nDepth = 0;
  m_nHeldBytes = 0;
}

WalkStep FolderWalk::Next() {
  if (m_bOver) return WalkStep::kEnd;
  WalkStep eStep = WalkStep::kCut;
  if (m_eCut == WalkCut::kNone) eStep = Step();
  if (m_eCut != WalkCut::kNone) eStep = WalkStep::kCut;
  m_bOver = eStep == WalkStep::kCut || eStep == WalkStep::kEnd;
  return eStep;
}

WalkStep FolderWalk::Step() {
  if (!m_bStarted) {
    m_bStarted = true;
    return WalkStep::kFolder;  // the top, opened next
  }
  if (m_ePending != Pending::kNothing) return Enter();
  if (m_nDepth == 0) return WalkStep::kEnd;
  if (const struct dirent64* pEntry = NextEntry()) return Visit(pEntry);
  return m_eCut == WalkCut::kNone ? Leave() : WalkStep::kCut;
}

WalkStep FolderWalk::Enter() {
  const bool bByPath = m_ePending == Pending::kByPath;
  m_ePending = Pending::kNothing;
  const Level* pParent = m_nDepth > 0 ? &m_levels[m_nDepth - 1] : nullptr;
  const bool bParentRepeating = pParent != nullptr && pParent->bRepeating;
  // A link was followed between the top and this folder.
  const bool bBelowLink = pParent != nullptr && (pParent->bBelowLink || bByPath);
  if (m_nOpen >= kMaxOpenLevels) SpareDescriptor();
  int fd = bByPath ? OpenByPath(m_strPath, bParentRepeating)
                   : OpenBelow(m_strPath.c_str() + pParent->nPathLength + 1);
  if (fd < 0) {
    if (IsShortage(-fd)) CutFor(WalkCut::kResources, -fd);
    return m_eCut == WalkCut::kNone ? WalkStep::kUnopened : WalkStep::kCut;
  }
  if (m_levels.size() <= m_nDepth) m_levels.emplace_back();
  Level& level = m_levels[m_nDepth++];
  level.fd = fd;
  if (++m_nOpen > m_nMostOpen) m_nMostOpen = m_nOpen;
  level.nPathLength = m_strPath.size();
  level.bBelowLink = bBelowLink;
  level.bAllRead = false;
  level.bReadSome = false;
  level.nRead = 0;
  level.nNext = 0;
  // A folder read before through links is work done again: every step of
  // its visit counts.
  level.bRepeating = false;
  if (bBelowLink) {
    struct stat64 st;
    level.bRepeating = m_env.FStat(fd, &st) == 0 &&
                       !m_readThroughLinks.insert(FolderKey{st.st_dev, st.st_ino}).second;
  }
  return level.bRepeating ? WalkStep::kRepeated : WalkStep::kEntered;
}

int FolderWalk::OpenByPath(const std::string& strPath, bool bChargeLookups) {
  // The joined path decides: its links resolve as the kernel counts them.
  int64_t nStart = ThreadCpuNanoseconds();
  int nLookups = 0;
  int nLoops = 0;
  int fd = -1;
  for (;;) {
    ++nLookups;
    fd = m_env.Open(strPath.c_str(), kFolderFlags, 0);
    if (fd >= 0) break;
    fd = -errno;  // before anything else can change errno
    if (fd == -ELOOP && ++nLoops < kLookupAttempts) continue;
    if (!IsShortage(-fd) || !SpareDescriptor()) break;
  }
  m_nLookupNanoseconds += ThreadCpuNanoseconds() - nStart;
  if (!Charge(bChargeLookups ? kStepsPerLookup * nLookups : 0)) {
    if (fd >= 0) m_env.Close(fd);
    return -ECANCELED;
  }
  return fd;
}

int FolderWalk::OpenBelow(const char* pszName) {
  // A real subfolder, opened without following a link that might have
  // taken its place since its status was read. Its joined path holds the
  // same links as its parent's, which resolved, so the two opens agree.
  for (;;) {
    int fd = m_env.OpenAt(m_levels[m_nDepth - 1].fd, pszName, kFolderFlags | O_NOFOLLOW);
    if (fd >= 0) return fd;
    const int nErrno = errno;
    if (!IsShortage(nErrno) || !SpareDescriptor()) return -nErrno;
  }
}

const struct dirent64* FolderWalk::NextEntry() {
  Level& level = m_levels[m_nDepth - 1];
  m_strPath.resize(level.nPathLength);
  for (;;) {
    if (level.nNext < level.nRead) {
      const struct dirent64* pEntry =
          reinterpret_cast<const struct dirent64*>(level.buffer.data() + level.nNext);
      level.nNext += pEntry->d_reclen;
      return pEntry;
    }
    if (level.bAllRead) return nullptr;
    level.nNext = 0;
    if (ReadMore(level, 0) <= 0) return nullptr;
  }
}

ssize_t FolderWalk::ReadMore(Level& level, size_t nFrom) {
  if (level.bRepeating && !Charge(1)) return -1;
  if (level.buffer.size() < nFrom + kEntryBuffer) level.buffer.resize(nFrom + kEntryBuffer);
  ssize_t nRead = m_env.ReadEntries(level.fd, level.buffer.data() + nFrom, kEntryBuffer);
  const int nErrno = nRead < 0 ? errno : 0;
  if (nRead < 0 && !level.bReadSome && !IsShortage(nErrno)) {
    // A folder that opens but yields nothing (removed meanwhile, a dead
    // process's folder in /proc) adds nothing, as one that does not open.
    nRead = 0;
  } else if (nRead < 0) {
    // Entries left unread would make the sum short.
    CutFor(IsShortage(nErrno) ? WalkCut::kResources : WalkCut::kRead, nErrno);
    return -1;
  }
  level.bReadSome = true;
  level.bAllRead = nRead == 0;
  level.nRead = nFrom + static_cast<size_t>(nRead);
  return nRead;
}

WalkStep FolderWalk::Visit(const struct dirent64* pEntry) {
  const Level& level = m_levels[m_nDepth - 1];
  const char* pszEntry = pEntry->d_name;
  bool bFits = level.nPathLength + 1 + strlen(pszEntry) <= kMaxEntryPath;
  if (level.bRepeating && !Charge(bFits ? 2 : 1)) return WalkStep::kCut;
  if (!bFits) return WalkStep::kPassed;
  m_strPath.append("/").append(pszEntry);
  // "." and ".." are entries like any other: their status is read too.
  // Read relative to the open folder, it is the status that the joined
  // path names: the folder's own path resolved.
  struct stat64 st;
  if (m_env.FStatAt(level.fd, pszEntry, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOMEM) CutFor(WalkCut::kResources, ENOMEM);
    return WalkStep::kUnreadable;
  }
  // The 32-bit status call cannot read an entry of 2 GiB or more: such an
  // entry adds nothing and is not descended into.
  if (st.st_size > INT32_MAX) return WalkStep::kUnreadable;
  m_lfTotal += static_cast<double>(st.st_size);
  if (!m_bSub || IsDotEntry(pszEntry)) return WalkStep::kCounted;
  if (S_ISDIR(st.st_mode)) {
    m_ePending = Pending::kBelow;
    return WalkStep::kFolder;
  }
  // A link to a file fails to open as a folder and adds nothing more.
  if (S_ISLNK(st.st_mode) && m_bSearchLink) {
    m_ePending = Pending::kByPath;
    return WalkStep::kLink;
  }
  return WalkStep::kCounted;
}

WalkStep FolderWalk::Leave() {
  Level& level = m_levels[m_nDepth - 1];
  if (level.fd >= 0) {
    m_env.Close(level.fd);
    level.fd = -1;
    --m_nOpen;
  }
  if (level.nHeld > 0) {
    m_nHeldBytes -= level.nHeld;
    level.nHeld = 0;
    std::vector<char>().swap(level.buffer);
  }
  --m_nDepth;
  if (m_nDepth == 0) return WalkStep::kLeft;
  Level& parent = m_levels[m_nDepth - 1];
  m_strPath.resize(parent.nPathLength);
  if (parent.fd < 0 && !Reopen(parent)) return WalkStep::kCut;
  return WalkStep::kLeft;
}

bool FolderWalk::SpareDescriptor() {
  for (size_t i = 0; i + 1 < m_nDepth && m_eCut == WalkCut::kNone; ++i) {
    if (m_levels[i].fd >= 0 && CloseEarly(m_levels[i])) return true;
  }
  return false;
}

bool FolderWalk::CloseEarly(Level& level) {
  if (!ReadHandle(level.fd, &level.handle)) return false;
  // What is left of the entries moves to the front, and the rest is read.
  const size_t nLeft = level.nRead - level.nNext;
  memmove(level.buffer.data(), level.buffer.data() + level.nNext, nLeft);
  level.nRead = nLeft;
  level.nNext = 0;
  while (!level.bAllRead) {
    // Too many held: it keeps its descriptor, and what was read stays.
    if (m_nHeldBytes + level.nRead + kEntryBuffer > kMaxHeldBytes) return false;
    if (ReadMore(level, level.nRead) < 0) return false;
  }
  level.nHeld = level.buffer.size();
  m_nHeldBytes += level.nHeld;
  m_env.Close(level.fd);
  level.fd = -1;
  --m_nOpen;
  return true;
}

bool FolderWalk::Reopen(Level& level) {
  // m_strPath names the level again.
  const int fd = OpenByPath(m_strPath, false);
  if (fd < 0) {
    CutFor(IsShortage(-fd) ? WalkCut::kResources : WalkCut::kReopen, -fd);
    return false;
  }
  FolderHandle handle;
  if (!ReadHandle(fd, &handle) || !(handle == level.handle)) {
    m_env.Close(fd);
    CutFor(WalkCut::kReopen, 0);
    return false;
  }
  level.fd = fd;
  if (++m_nOpen > m_nMostOpen) m_nMostOpen = m_nOpen;
  return true;
}

bool FolderWalk::ReadHandle(int fd, FolderHandle* pHandle) {
  union {
    struct file_handle handle;
    unsigned char space[sizeof(struct file_handle) + MAX_HANDLE_SZ];
  } buffer;
  buffer.handle.handle_bytes = MAX_HANDLE_SZ;
  if (m_env.NameToHandle(fd, &buffer.handle, &pHandle->nMount) != 0) return false;
  pHandle->nType = buffer.handle.handle_type;
  pHandle->nBytes = buffer.handle.handle_bytes;
  memcpy(pHandle->bytes, buffer.handle.f_handle, buffer.handle.handle_bytes);
  return true;
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
  FolderWalk walk(*m_pEnv, pszFolder, bSub, bSearchLink);
  try {
    // A folder that cannot be read measures 0.
    t_GetFolderSizeHelper(walk);
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

void CXapTaskFileSystem::t_GetFolderSizeHelper(FolderWalk& walk) {
  for (;;) {
    const WalkStep eStep = walk.Next();
    if (eStep == WalkStep::kCut || eStep == WalkStep::kEnd) return;
    if (eStep == WalkStep::kFolder || eStep == WalkStep::kLink) {
      XAP_LOG(3u, "# pszFolder = [%s]", walk.Path().c_str());
    }
  }
}

}  // namespace qom
