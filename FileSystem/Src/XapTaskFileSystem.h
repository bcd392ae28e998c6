// The task object: carries out every file-system operation of the module.
// Operations take plain text pointers and out-parameters and answer an
// integer result code; nothing is reported by exceptions. Every call of the
// operating system goes through its Env (XapEnv.h). The bodies live in
// units by concern: XapTaskFileSystem.cpp (the object, the shell runner,
// the small commands), XapPathPolicy.cpp (the checks of paths),
// XapTaskItems.cpp (existence, kind, size), XapTaskTexts.cpp (properties
// and listings), XapTaskPartition.cpp, XapFolderWalk.cpp (folder sizes),
// XapTaskChanges.cpp (copy, move, delete, unzip) and XapTaskJobs.cpp (the
// same on workers). Types of their own: the walk, the folder reader, the
// reply texts, the job record and the command lines.
#ifndef XAP_FILESYSTEM_XAPTASKFILESYSTEM_H_
#define XAP_FILESYSTEM_XAPTASKFILESYSTEM_H_

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "XapAsyncJob.h"
#include "XapEnv.h"
#include "XapFileSystemLog.h"
#include "XapReplyText.h"

// The C library defines st_atime, st_mtime and st_ctime as macros for the
// nanosecond fields of struct stat; PTStat has fields of those names. Code
// that sees this header reads struct stat's times as st_atim and so on.
#undef st_atime
#undef st_mtime
#undef st_ctime

namespace qom {

class CXapEngineBase;
class FolderWalk;

// Kinds of asynchronous job.
enum _PL_FS_ASYNC_COMMAND { ASYNC_CMD_DELETE = 0x5BB0, ASYNC_CMD_UNZIP = 0x5BB3 };

// Event ids that report the end of a job.
enum { ASYNC_EVENT_DELETE = 0, ASYNC_EVENT_UNZIP = 3, ASYNC_EVENT_UNKNOWN = 4 };

// Kinds of file-system item.
enum _PL_FS_ITEM_TYPE {
  PL_FS_ITEM_TYPE_FILE = 0,       // owner-readable regular file that opens for reading
  PL_FS_ITEM_TYPE_DIRECTORY = 1,  // directory that opens for listing
  PL_FS_ITEM_TYPE_UNKNOWN = 1000  // anything else, a missing item included
};

class CXapEngineFileSystem;

// Result codes of the task operations.
enum {
  XAP_RESULT_OK = 1,
  XAP_RESULT_FAIL = 0,
  XAP_RESULT_NULL_ARGUMENT = -3,
  XAP_RESULT_NO_WIDGET = -4,
  XAP_RESULT_NOT_FOUND = -5,
  XAP_RESULT_REFUSED = -7,
};

class CXapTaskFileSystem {
 public:
  // A task on the operating system itself.
  CXapTaskFileSystem();
  // A task whose every call of the operating system goes through env, which
  // must outlive it and the jobs it starts.
  explicit CXapTaskFileSystem(Env& env);
  virtual ~CXapTaskFileSystem();

  CXapTaskFileSystem(const CXapTaskFileSystem&) = delete;
  CXapTaskFileSystem& operator=(const CXapTaskFileSystem&) = delete;

  // Characters the reply buffer of GetProperty and GetListFiles holds, its
  // terminator included.
  static const size_t kTextReplySize = ReplyText::kSize;

  // The task's copy of an item's status, from the 64-bit status query.
  struct PTStat {
    uint64_t st_dev;
    uint64_t st_ino;
    uint32_t st_mode;  // type bits of the seven known kinds, and permission bits
    uint32_t st_nlink;
    uint32_t st_uid;
    uint32_t st_gid;
    uint64_t st_rdev;
    int64_t st_size;
    int32_t st_blksize;
    int64_t st_blocks;
    int32_t st_atime;  // whole seconds
    int32_t st_mtime;
    int32_t st_ctime;
  };

  // One asynchronous job, and whether the engine the jobs report to still
  // lives (XapAsyncJob.h).
  using PTAsyncData = AsyncJob;
  using PTEngineLife = EngineLife;

  // Copies the source into the destination (cp -rf), making the folder
  // that receives it first. 1, 0 when cp failed, -3, -5 (source missing or
  // folder not made), or the gate's -4/-7.
  int Copy(char* pszSrcPath, char* pszDestPath);
  // The same with mv.
  int Move(char* pszSrcPath, char* pszDestPath);
  // Removes a file or a folder tree (rm -rf). 1, 0, -3, -5 (missing), -4/-7.
  int Delete(char* pszPath);
  // Unpacks an archive into a folder, made first when missing. 1, 0, -3,
  // -5 (archive missing, target an existing file, folder not made), -4/-7.
  int Unzip(char* pszSrcPath, char* pszDestPath);
  // Start the unzip or delete on a worker thread of its own; the worker
  // reports the end with event 3 or 0 ("1" ran, "0" refused). 1 once the
  // worker has the job (or after 10 s), 0 when it could not be started,
  // -3, -4/-7.
  int UnzipAsync(char* pszSrcPath, char* pszDestPath);
  int DeleteAsync(char* pszPath);

  // 1 when the path is an owner-readable file or a directory, 0 when not,
  // -3 for null.
  int IsExistedPath(char* pszPath);
  // Writes the item's kind through peType and returns 1; -3 for a null path.
  int GetItemType(char* pszPath, _PL_FS_ITEM_TYPE* peType);
  // Writes the low 32 bits of the item's size through pnSize and returns 1;
  // -3 for a null argument, -5 when the item cannot be examined.
  int GetFileSize(char* pszPath, int* pnSize);

  // Capacity of the widget partition (the mount whose directory is exactly
  // the resolved /tmp) in bytes, read anew each time. 1 (the value is left
  // as it was when the partition is not found), or -3 for null.
  int GetTotalSize(unsigned long long* pullTotal);
  int GetUsedSize(unsigned long long* pullUsed);
  int GetFreeSize(unsigned long long* pullFree);

  // Sums the sizes of the folder's entries ("." and ".." included), with
  // bSub of its subfolders, with bSearchLink also through links to folders.
  // Every entry's path is joined as "folder/name" and must fit 255
  // characters; a link is followed as that path resolves, so a loop of
  // links ends where the path grows too long or holds more than 40 links.
  // 1 with the sum in *plfSize (0 for a folder that cannot be read); 0 for
  // a null argument, or when the walk is cut (nothing written, a level-0
  // line says why): its work in folders it has read before through links,
  // or the processor time of its lookups through joined paths, passed its
  // budget; descriptors or memory ran out; a folder's entries could not be
  // read to their end. On file systems that give file handles the walk
  // holds at most 16 folders open, reading the rest of an outer folder's
  // entries (8 MiB of them at most in all) before it closes it and
  // reopening it by its joined path on the way back, so a deep tree still
  // sums exactly with few descriptors left; elsewhere it holds one per
  // level of depth.
  int GetFolderSize(double* plfSize, char* pszFolder, bool bSub, bool bSearchLink);

  // Describes a file or folder as one JSON-like line in pszOutput
  // (kTextReplySize bytes, zero-filled by the caller; no terminator
  // written). 1, 0 when it cannot be examined or the text would not fit,
  // or the gate's -4/-7.
  // Changes the process's current directory to the item's folder.
  int GetProperty(char* pszPath, char* pszOutput);
  // Lists the folder's entries as "[ "name", ... 0 ]" in pszOutput
  // (kTextReplySize bytes, zero-filled by the caller). A listing too long for the buffer
  // ends at the last whole entry that fits. 1, 0, or the gate's -4/-7.
  int GetListFiles(char* pszPath, char* pszOutput);

  // Ends every running "unzip" process: 1 when the command succeeded (some
  // were running), else 0.
  int UnzipKill();
  // Sets the widget type and folder that the path policy checks against;
  // at most 199 characters of the folder are kept. 1, or -3 for null.
  int SetWidgetInfo(int nWidgetType, char* pszWidgetPath);
  // Makes /opt/down/xaps/xap<name>/xap<name> executable. 1 when a name was
  // given, whatever became of the command (nothing runs for a name outside
  // the safe characters); 0 for null.
  int SetXapFileExecutable(char* pszXapFileName);

  // Encodes *pnInputSize bytes of pszInput into pszOutput and stores the
  // character count in *pnOutputSize. pszOutput must hold the whole
  // encoding; the caller checks that before. Returns 1.
  int WriteBase64(char* pszInput, int* pnInputSize, char* pszOutput, int* pnOutputSize);
  // Decodes like WriteBase64 encodes; the output is at most 3/4 of the input.
  int ReadBase64(char* pszInput, int* pnInputSize, char* pszOutput, int* pnOutputSize);

 protected:
  friend class CXapEngineFileSystem;

  // Copies pszSrc without its leading and trailing blanks (0x20 only) into
  // pszDest, which holds at least strlen(pszSrc) + 1 bytes. 1, or 0 when
  // either pointer is null (nothing written).
  int t_Trim(char* pszSrc, char* pszDest);

  // Whether pszPath opens in nMode (0 read, 1 write, 2 read-write) with the
  // extra open flags; with bReadableFile and mode 0 it must also be a
  // regular file with the owner-read bit. The status read and the open
  // concern the same item: the path is looked up once, without acting on
  // what it names (up to six lookups of a missing path), and that item is
  // opened through /proc/self/fd; where /proc is not mounted, the kernel
  // is asked whether it could be opened instead. Opens without waiting
  // (O_NONBLOCK): a file under another process's lease counts as opened.
  // Records the descriptor's number in m_nFd (-1 when the open failed or
  // met a lease, 0 when refused before it) and the mode in m_nAuthMode.
  // 1 or 0.
  int t_CheckAuth(const char* pszPath, int nMode, int nFlags, bool bReadableFile);

  // 1 when pszPath opens as a directory stream, else 0 (also for null).
  int t_IsDirExist(const char* pszPath);

  // ---- The path policy.

  // Length (300), allowed roots as given and, when the path resolves, as
  // resolved. 1 allowed, 0 refused. pszPath is not null.
  int t_ValidPath(const char* pszPath);
  // t_ValidPath and no ".." anywhere. 0 also for null.
  int t_IsSafeSystemPath(const char* pszPath);
  // At most 255 characters, all from the safe set (letters, digits, "_",
  // "-", "/", "."). 0 also for null.
  static int t_IsSafeSystemString(const char* pszString);
  // The gate of every path an operation works on: -4 while no widget type
  // is set, -7 when the checks or the widget's roots refuse it, else 1 with
  // the path, unchanged, in strSafePath.
  int t_MakeSafePath(char* pszPath, std::string& strSafePath);

  // ---- Shell commands.

  // Screens the command line and runs it; 0 when it ran and succeeded,
  // nonzero otherwise (also when refused or null).
  int t_SystemCall(const char* pszCommand);
  // 1 when the folder exists (or a readable file of that name does) or was
  // made with "mkdir -p"; else 0.
  int t_MakeFolder(char* pszPath);

  // ---- Items.

  // Fills *pStat from the item's status (links followed): 0, or the failed
  // query's nonzero result with *pStat untouched.
  int t_Stat(const char* pszPath, PTStat* pStat);
  // 1 for an owner-readable regular file that opens, or a directory.
  int t_IsExistedPath(char* pszPath);
  _PL_FS_ITEM_TYPE t_GetItemType(char* pszPath);

  // ---- Modifying operations.

  // Checks the paths of every modifying operation, first step of each: -3
  // when pszSrcPath is null, or pszDestPath is null while pstrSafeDest is
  // given; else the gate's verdict on the source and then, when
  // pstrSafeDest is given, on the destination. Opens nothing.
  int t_CheckPaths(char* pszSrcPath, std::string& strSafeSrc, char* pszDestPath,
                   std::string* pstrSafeDest);
  // The closing of the synchronous ones: runs the command line; 0 when it
  // failed, else runs "/bin/sync" and answers 1.
  int t_RunAndSync(const char* pszCommand);
  // The steps Copy and Move share; bMove picks the command and whether
  // failures are logged.
  int t_Transfer(char* pszSrcPath, char* pszDestPath, bool bMove);

  // Starts the detached worker for the job and waits for it to take it.
  // 1, or 0 when the thread could not be started (the job is released).
  static int t_StartAsyncJob(PTAsyncData* pJob);
  // The owning engine as the framework's base, where the jobs' events go.
  CXapEngineBase* t_EngineBase() const;
  // The worker thread's entry; owns pData (a PTAsyncData). Returns null.
  static void* t_AsyncThread(void* pData);

  // ---- Reply texts.

  // The property text of an item; pszName is null for a folder.
  static void t_PropertyText(ReplyText& text, const PTStat& st, const char* pszCurrentDir,
                             const char* pszName, int nCount);

  // ---- Partition and folder size.

  // The figures of the mount whose directory is exactly the resolved
  // "/tmp", read from "/proc/mounts"; null outputs are skipped. 0 when
  // "/tmp" cannot be resolved, else 1 (outputs untouched when no entry
  // matches).
  int t_GetSizeInfo(unsigned long long* pullTotal, unsigned long long* pullUsed,
                    unsigned long long* pullFree);

  // Runs the walk to its end, logging each folder it is about to read.
  void t_GetFolderSizeHelper(FolderWalk& walk);

  // The one forbidden fragment of a path.
  static const char unsafeList[5];

  int32_t m_nFd;                                // descriptor number of the last t_CheckAuth open
  int32_t m_nAuthMode;                          // mode of the last successful t_CheckAuth
  CXapEngineFileSystem* m_pEngine;              // the owning engine, for the workers' events
  char m_szWidgetPath[200];                     // widget folder, at most 199 characters
  int32_t m_nWidgetType;                        // 0 none, 1 unrestricted, other restricted
  std::shared_ptr<PTEngineLife> m_pEngineLife;  // shared with the jobs
  Env* m_pEnv;                                  // every call of the operating system
};

}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPTASKFILESYSTEM_H_
