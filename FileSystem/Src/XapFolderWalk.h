// One GetFolderSize walk as an iterator: each Next() takes one step and
// names what it did. The walk owns its only stack of folders; it never
// seeks back into a folder it closed.
#ifndef XAP_FILESYSTEM_XAPFOLDERWALK_H_
#define XAP_FILESYSTEM_XAPFOLDERWALK_H_

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "XapEnv.h"

namespace qom {

// What one step did.
enum class WalkStep {
  kFolder,      // a folder is read next: the top or a real subfolder; Path() names it
  kLink,        // a link is followed next (it may lead to a folder); Path() names it
  kEntered,     // that folder opened
  kRepeated,    // that folder opened, and it was read before through links
  kUnopened,    // that folder could not be opened: it adds nothing
  kCounted,     // an entry's size added
  kUnreadable,  // an entry whose status cannot be read, or of 2 GiB or more: adds nothing
  kPassed,      // an entry whose joined path would pass 255 characters: not examined
  kLeft,        // a folder read to its end
  kCut,         // the walk stopped before its end; Cut() says why, Path() where
  kEnd,         // nothing more
};

// Why a walk stopped before its end. Any of them makes the answer 0.
enum class WalkCut {
  kNone,
  kBudget,     // its repeated work or its lookups' processor time passed the budget
  kResources,  // descriptors or memory ran out with no folder left to close
  kReopen,     // a folder closed to spare a descriptor could not be reopened as itself
  kRead,       // a folder's entries, once begun, could not be read to their end
};

class FolderWalk {
 public:
  // A walk of pszTop; bSub: into subfolders; bSearchLink: also through
  // links (with bSub).
  FolderWalk(Env& env, const char* pszTop, bool bSub, bool bSearchLink);
  ~FolderWalk();
  FolderWalk(const FolderWalk&) = delete;
  FolderWalk& operator=(const FolderWalk&) = delete;

  // Takes the next step. After kCut or kEnd every call answers kEnd.
  WalkStep Next();

  double Total() const { return m_lfTotal; }
  WalkCut Cut() const { return m_eCut; }
  // The joined path of the folder or entry at hand, "folder/name".
  const std::string& Path() const { return m_strPath; }
  long RepeatedSteps() const { return m_nRepeatedSteps; }
  long LookupMilliseconds() const { return static_cast<long>(m_nLookupNanoseconds / 1000000); }
  // Why a cut other than kBudget came, as a text.
  std::string CutReason() const;
  // Memory ran out during a step (an allocation threw): cuts the walk,
  // closes its folders and gives back what it holds.
  void OutOfMemory();
  // Folders open at once at most so far.
  size_t MostOpen() const { return m_nMostOpen; }

 private:
  // What knows a folder again for sure: its file handle, which carries the
  // inode's generation, so a new folder that took a freed inode number
  // differs; and its mount.
  struct FolderHandle {
    int nMount = -1;
    int nType = 0;
    unsigned nBytes = 0;
    unsigned char bytes[128] = {};
    bool operator==(const FolderHandle& other) const;
  };
  struct Level {
    int fd = -1;               // -1 while closed to spare a descriptor
    size_t nPathLength = 0;    // its joined path: the first characters of m_strPath
    bool bBelowLink = false;   // a followed link lies between the top and it
    bool bRepeating = false;   // it was read before through links
    bool bAllRead = false;     // every entry is in buffer: nothing more to read from fd
    bool bReadSome = false;    // a read of its entries has succeeded
    size_t nHeld = 0;          // bytes of it counted in m_nHeldBytes
    FolderHandle handle;       // recorded when closed early, to know it again
    std::vector<char> buffer;  // entries read and not yet all visited
    size_t nRead = 0;
    size_t nNext = 0;
  };
  struct FolderKey {
    uint64_t nDevice;
    uint64_t nInode;
    bool operator==(const FolderKey& other) const {
      return nDevice == other.nDevice && nInode == other.nInode;
    }
  };
  struct FolderKeyHash {
    size_t operator()(const FolderKey& key) const;
  };
  enum class Pending { kNothing, kByPath, kBelow };

  WalkStep Step();
  WalkStep Enter();
  WalkStep Visit(const struct dirent64* pEntry);
  WalkStep Leave();
  // The innermost level's next entry; null at its end or on a cut.
  const struct dirent64* NextEntry();
  // Reads more entries of the level into its buffer: bytes read, 0 at the
  // end, -1 on a cut.
  ssize_t ReadMore(Level& level, size_t nFrom);
  // Opens the folder Path() names: by that path, or below the innermost
  // level without following a link. A descriptor, or minus the error.
  int OpenByPath(const std::string& strPath, bool bCharge);
  int OpenBelow(const char* pszName);
  bool ReadHandle(int fd, FolderHandle* pHandle);
  // Charges steps of repeated work; false once a budget is spent.
  bool Charge(long nSteps);
  // Closes the outermost open level but the innermost, its remaining
  // entries read first, to free a descriptor; false when none can be.
  bool SpareDescriptor();
  bool CloseEarly(Level& level);
  bool Reopen(Level& level);
  void CutFor(WalkCut eCut, int nErrno);
  void CloseAll();

  Env& m_env;
  const bool m_bSub;
  const bool m_bSearchLink;
  std::string m_strPath;
  bool m_bStarted = false;
  Pending m_ePending = Pending::kByPath;  // the top is read first
  std::vector<Level> m_levels;            // kept for the whole walk, buffers with them
  size_t m_nDepth = 0;                    // levels in use
  size_t m_nOpen = 0;                     // levels holding a descriptor
  size_t m_nMostOpen = 0;
  size_t m_nHeldBytes = 0;  // entries held for folders closed early
  double m_lfTotal = 0.0;
  std::unordered_set<FolderKey, FolderKeyHash> m_readThroughLinks;
  long m_nRepeatedSteps = 0;
  int64_t m_nLookupNanoseconds = 0;  // processor time of every lookup so far
  WalkCut m_eCut = WalkCut::kNone;
  int m_nCutErrno = 0;
  bool m_bOver = false;  // kCut or kEnd was answered
};

}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPFOLDERWALK_H_
