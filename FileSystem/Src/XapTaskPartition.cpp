// The partition figures: total, used and free bytes of the mount whose
// directory is exactly the resolved "/tmp", read anew from the mount table
// for every command.
#include <mntent.h>
#include <sys/statfs.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "XapFileSystemLog.h"
#include "XapTaskFileSystem.h"

namespace qom {

int CXapTaskFileSystem::GetTotalSize(unsigned long long* pullTotal) {
  if (pullTotal == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_NULL_ARGUMENT;
  }
  t_GetSizeInfo(pullTotal, nullptr, nullptr);
  return XAP_RESULT_OK;
}

int CXapTaskFileSystem::GetUsedSize(unsigned long long* pullUsed) {
  if (pullUsed == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_NULL_ARGUMENT;
  }
  t_GetSizeInfo(nullptr, pullUsed, nullptr);
  return XAP_RESULT_OK;
}

int CXapTaskFileSystem::GetFreeSize(unsigned long long* pullFree) {
  if (pullFree == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_NULL_ARGUMENT;
  }
  t_GetSizeInfo(nullptr, nullptr, pullFree);
  return XAP_RESULT_OK;
}

namespace {

enum MountSearch { MOUNT_FOUND, MOUNT_NO_TABLE, MOUNT_NO_ENTRY };

// Reads the mount table for the first entry whose directory is exactly
// pszDir and can be measured; its figures go to *pFs.
MountSearch FindMount(Env& env, const char* pszDir, struct statfs64* pFs) {
  FILE* pTable = env.OpenMountTable();
  if (pTable == nullptr) return MOUNT_NO_TABLE;
  struct mntent entry;
  char szLine[256];
  memset(szLine, 0, sizeof szLine);
  bool bFound = false;
  while (!bFound && env.NextMount(pTable, &entry, szLine, sizeof szLine) != nullptr) {
    if (entry.mnt_dir == nullptr || entry.mnt_fsname == nullptr) continue;
    if (env.StatFs(entry.mnt_dir, pFs) != 0) continue;
    bFound = strcmp(entry.mnt_dir, pszDir) == 0;
  }
  env.CloseMountTable(pTable);
  return bFound ? MOUNT_FOUND : MOUNT_NO_ENTRY;
}

}  // namespace

int CXapTaskFileSystem::t_GetSizeInfo(unsigned long long* pullTotal, unsigned long long* pullUsed,
                                      unsigned long long* pullFree) {
  char* pszResolved = m_pEnv->RealPath("/tmp");
  if (pszResolved == nullptr) {
    XAP_LOG(0u, "realpath failed. errno[%d]", errno);
    return 0;
  }
  XAP_LOG(4u, "Resovled Path Name[%s]\n", pszResolved);

  int s_percent = 0;
  struct statfs64 fs;
  const MountSearch eFound = FindMount(*m_pEnv, pszResolved, &fs);
  if (eFound == MOUNT_NO_TABLE) {
    XAP_LOG(0u, "Can not get mount info. Please check /proc/mounts");
  } else if (eFound == MOUNT_NO_ENTRY) {
    XAP_LOG(0u, "End of getmntent : Can't get mount entry information.");
  }
  if (eFound == MOUNT_FOUND) {
    unsigned long long ullBlockSize = static_cast<unsigned long long>(fs.f_bsize);
    unsigned long long ullTotal = ullBlockSize * fs.f_blocks;
    unsigned long long ullUsed = ullBlockSize * (fs.f_blocks - fs.f_bfree);
    unsigned long long ullFree = ullBlockSize * fs.f_bavail;
    // Share of the blocks an unprivileged user can have, in hundredths of a
    // percent; blocks reserved for root are left out.
    if (ullTotal != 0 && ullUsed + ullFree != 0) {
      s_percent = static_cast<int>(  // NOLINTNEXTLINE(bugprone-incorrect-roundings): log-only, >= 0
          static_cast<double>(ullUsed * 10000ULL) / static_cast<double>(ullUsed + ullFree) + 0.5);
    }
    if (pullTotal != nullptr) *pullTotal = ullTotal;
    if (pullUsed != nullptr) *pullUsed = ullUsed;
    if (pullFree != nullptr) *pullFree = ullFree;
    XAP_LOG(4u, "%s Total: %lld, Used:%lld, Free:%lld\n", pszResolved,
            static_cast<long long>(ullTotal), static_cast<long long>(ullUsed),
            static_cast<long long>(ullFree));
  } else {
    XAP_LOG(0u, "Can not find Widget Partition path: %s", pszResolved);
  }
  XAP_LOG(0u, "s_percent[%d]", s_percent);
  free(pszResolved);
  return 1;
}

}  // namespace qom
