// One GetFolderSize walk, as named steps: entering a folder (by its joined
// path or below the folder around it), taking its next entry, visiting an
// entry (its status, its size, whether to descend), leaving the folder, and
// the budget's charge. The task's t_GetFolderSizeHelper strings them into
// the recursion (XapFolderWalk.cpp).
#ifndef XAP_FILESYSTEM_XAPFOLDERWALK_H_
#define XAP_FILESYSTEM_XAPFOLDERWALK_H_

#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace qom {

// What a visit made of one entry.
enum class WalkEntry {
  kPassed,      // not examined: its joined path would pass 255 characters, or the walk is cut
  kUnreadable,  // its status could not be read, or it is 2 GiB or more: adds nothing
  kCounted,     // its size added; nothing to descend into
  kFolder,      // its size added; a real subfolder to descend into
  kLink,        // its size added; a link to follow, which may lead to a folder
};

// Why a walk stopped before its end. Any of them makes the answer 0.
enum class WalkCut {
  kNone,
  kBudget,     // its repeated work or its lookups' processor time passed the budget
  kResources,  // descriptors or memory ran out with no folder left to close
  kReopen,     // a folder closed to spare a descriptor could not be reopened as itself
};

class FolderWalk {
 public:
  // A walk of the folder pszTop; bSearchLink: links to folders are followed.
  FolderWalk(const char* pszTop, bool bSearchLink);
  ~FolderWalk();
  FolderWalk(const FolderWalk&) = delete;
  FolderWalk& operator=(const FolderWalk&) = delete;

  // Opens the folder that Path() names and makes it the innermost level: by
  // that path when bByPath (the top, and every link followed), else as
  // pszName in the innermost level without following a link. False when it
  // cannot be opened, or the walk is cut.
  bool Enter(const char* pszName, bool bByPath);
  // The innermost level's next entry; null at its end, and once cut.
  const struct dirent64* NextEntry();
  // Examines an entry of the innermost level and adds its size. Path()
  // names the entry from here until EndEntry.
  WalkEntry Visit(const struct dirent64* pEntry, bool bSub);
  // Path() names the innermost level again (after a cut it keeps showing
  // where the walk stopped).
  void EndEntry();
  // Closes the innermost level; the level around it is open again after.
  void Leave();

  double Total() const { return m_lfTotal; }
  WalkCut Cut() const { return m_eCut; }
  // The joined path of the folder or entry at hand, "folder/name".
  const std::string& Path() const { return m_strPath; }
  long RepeatedSteps() const { return m_nRepeatedSteps; }
  long LookupMilliseconds() const { return static_cast<long>(m_nLookupNanoseconds / 1000000); }
  // Why a kResources or kReopen cut came, as a text.
  std::string CutReason() const;
  // Memory ran out during the walk (an allocation failed): cuts it, closes
  // its folders and gives back what it holds.
  void OutOfMemory();

 private:
  // What knows a folder again for sure: its file handle, which carries
  // the inode's generation, so a new folder that took a freed inode number
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
    FolderHandle handle;       // recorded when closed early, to know it again
    off_t nResume = 0;         // where its entries go on after a reopen
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

  int OpenByPath(bool bParentRepeating);
  int OpenBelow(const char* pszName);
  Level& PushLevel();
  // Charges steps of repeated work; false once a budget is spent.
  bool Charge(long nSteps);
  // Closes the outermost open level but the innermost, to free a
  // descriptor; false when there is none.
  bool SpareDescriptor();
  bool CloseEarly(Level& level);
  bool Reopen(Level& level);
  void CutFor(WalkCut eCut, int nErrno);

  const bool m_bSearchLink;
  std::string m_strPath;
  std::vector<Level> m_levels;  // kept for the whole walk, buffers with them
  size_t m_nDepth = 0;          // levels in use
  size_t m_nOpen = 0;           // levels holding a descriptor
  double m_lfTotal = 0.0;
  std::unordered_set<FolderKey, FolderKeyHash> m_readThroughLinks;
  long m_nRepeatedSteps = 0;
  int64_t m_nLookupNanoseconds = 0;  // processor time of every lookup so far
  WalkCut m_eCut = WalkCut::kNone;
  int m_nCutErrno = 0;
};

}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPFOLDERWALK_H_
