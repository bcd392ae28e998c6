// Jobs: UnzipAsync and DeleteAsync check their paths on the command thread,
// hand a job record to a detached worker thread of its own, and answer once
// the worker has it; the worker runs the tool and sends the job's event.
#include <pthread.h>
#include <sys/prctl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "QomShell.h"
#include "XapBase.h"
#include "XapEngineFileSystem.h"
#include "XapFileSystemLog.h"
#include "XapTaskFileSystem.h"
#include "XapTaskShared.h"

namespace qom {
namespace {

// A job's path buffer: 1025 bytes, zero-filled, at most 1023 characters.
const size_t kJobPathSize = 1025;

// How the starter waits for the worker to take the job.
const int kStartWaits = 100;
const std::chrono::milliseconds kStartWait(100);  // NOLINT(cert-err58-cpp): cannot throw

// The worker's stack and name.
const size_t kWorkerStack = 0x100000;
const char kWorkerName[] = "QOM-Xap-AsyncFS";
// NOLINTBEGIN(cert-err33-c): a path of at most 255 characters fits the 1024
char* NewJobPath(const std::string& strPath) {
  char* pszPath = static_cast<char*>(calloc(1, kJobPathSize));
  if (pszPath != nullptr) snprintf(pszPath, kJobPathSize - 1, "%s", strPath.c_str());
  return pszPath;
}  // NOLINTEND(cert-err33-c)

}  // namespace

int CXapTaskFileSystem::UnzipAsync(char* pszSrcPath, char* pszDestPath) {
  XAP_TRACE();
  std::string safeSrcPath;
  std::string safeDestPath;
  int nResult = t_CheckPaths(XAP_HERE, pszSrcPath, safeSrcPath, pszDestPath, &safeDestPath);
  if (nResult != XAP_RESULT_OK) return nResult;
  XAP_LOG(4u, "safeSrcPath = [%s]", safeSrcPath.c_str());
  XAP_LOG(4u, "safeDestPath = [%s]", safeDestPath.c_str());
  XAP_LOG(4u, "pszSrcPath = [%s]", safeSrcPath.c_str());
  XAP_LOG(4u, "pszDestPath = [%s]", safeDestPath.c_str());
  PTAsyncData* pJob = t_NewAsyncJob(ASYNC_CMD_UNZIP, safeSrcPath, &safeDestPath);
  if (pJob == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  return t_StartAsyncJob(XAP_HERE, pJob);
}

int CXapTaskFileSystem::DeleteAsync(char* pszPath) {
  XAP_TRACE();
  std::string safePath;
  int nResult = t_CheckPaths(XAP_HERE, pszPath, safePath, nullptr, nullptr);
  if (nResult != XAP_RESULT_OK) return nResult;
  XAP_LOG(4u, "pszPath = [%s]", safePath.c_str());
  PTAsyncData* pJob = t_NewAsyncJob(ASYNC_CMD_DELETE, safePath, nullptr);
  if (pJob == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  return t_StartAsyncJob(XAP_HERE, pJob);
}

CXapTaskFileSystem::PTAsyncData* CXapTaskFileSystem::t_NewAsyncJob(
    int32_t eAsyncCommand, const std::string& strSrcPath, const std::string* pstrDestPath) {
  PTAsyncData* pJob = new (std::nothrow) PTAsyncData();
  if (pJob == nullptr) return nullptr;
  pJob->eAsyncCommand = eAsyncCommand;
  pJob->pEngine = m_pEngine;
  pJob->pEngineLife = m_pEngineLife;
  pJob->pszSrcPath = NewJobPath(strSrcPath);
  if (pstrDestPath != nullptr) pJob->pszDestPath = NewJobPath(*pstrDestPath);
  if (pJob->pszSrcPath == nullptr || (pstrDestPath != nullptr && pJob->pszDestPath == nullptr)) {
    delete pJob;
    return nullptr;
  }
  return pJob;
}

void CXapTaskFileSystem::t_ReleaseAsyncJob(PTAsyncData* pJob) {
  if (pJob->nReferences.fetch_sub(1) == 1) delete pJob;
}

int CXapTaskFileSystem::t_StartAsyncJob(const XapLogSite& site, PTAsyncData* pJob) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    XAP_ERROR_AT(XAP_LINE_IN(site));
    delete pJob;
    return XAP_RESULT_FAIL;
  }
  // A plain pthread_create: the host is linked with --wrap=pthread_create,
  // so the linker hands this call to the host, which counts the thread and
  // waits for it before the process exits.
  pthread_t thread;
  if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0 ||
      pthread_attr_setstacksize(&attr, kWorkerStack) != 0 ||
      pthread_create(&thread, &attr, t_AsyncThread, pJob) != 0) {
    XAP_ERROR_AT(XAP_LINE_IN(site));
    pthread_attr_destroy(&attr);
    delete pJob;
    return XAP_RESULT_FAIL;
  }
  pthread_attr_destroy(&attr);

  // Answer as soon as the worker has the job: it signals rather than being
  // polled, so the reply does not wait out a sleep.
  bool bSeen = false;
  {
    std::unique_lock<std::mutex> lock(pJob->mutex);
    for (int nWait = kStartWaits; nWait > 0 && !bSeen; --nWait) {
      bSeen = pJob->started.wait_for(lock, kStartWait, [pJob] { return pJob->bStarted; });
    }
  }
  if (bSeen) XAP_TRACE_AT(site);
  t_ReleaseAsyncJob(pJob);
  return XAP_RESULT_OK;
}

void CXapTaskFileSystem::t_SendJobEvent(PTAsyncData* pJob, int nEvent, const char* pszResult) {
  std::lock_guard<std::mutex> lock(pJob->pEngineLife->mutex);
  if (pJob->pEngineLife->bAlive) pJob->pEngine->SendEvent(nEvent, pszResult, " ");
}

void* CXapTaskFileSystem::t_AsyncThread(void* pData) {
  XAP_TRACE();
  prctl(PR_SET_NAME, kWorkerName, 0, 0, 0);
  if (pData == nullptr) {
    XAP_LOG(3u, "CXapTaskFileSystem t_AsyncThread pData is NULL");
    return nullptr;
  }
  PTAsyncData* pJob = static_cast<PTAsyncData*>(pData);
  // Read in place, not copied: nothing on the worker's way allocates, so
  // memory that runs out cannot end it before its event (the logger, the
  // shell runner and SendEvent fall back to fixed texts).
  const char* pszSrc = pJob->pszSrcPath != nullptr ? pJob->pszSrcPath : "";
  const char* pszDest = pJob->pszDestPath != nullptr ? pJob->pszDestPath : "";
  int32_t eAsyncCommand = pJob->eAsyncCommand;
  XAP_LOG(3u, "eAsyncCommand = [%d]", eAsyncCommand);
  XAP_LOG(4u, "strSrcPath = [%s]", pszSrc);
  XAP_LOG(4u, "strDestPath = [%s]", pszDest);
  {
    std::lock_guard<std::mutex> lock(pJob->mutex);
    pJob->bStarted = true;
    pJob->started.notify_one();
  }

  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);
  int nEvent = ASYNC_EVENT_UNKNOWN;
  if (eAsyncCommand == ASYNC_CMD_DELETE) {
    nEvent = ASYNC_EVENT_DELETE;  // NOLINTNEXTLINE(cert-err33-c): path <= 255 characters
    snprintf(szCommand, sizeof szCommand, XAP_CMD_DELETE, pszSrc);
  } else if (eAsyncCommand == ASYNC_CMD_UNZIP) {
    nEvent = ASYNC_EVENT_UNZIP;  // NOLINTNEXTLINE(cert-err33-c): paths <= 255 characters
    snprintf(szCommand, sizeof szCommand, XAP_CMD_UNZIP_ASYNC, pszSrc, pszDest);
  }
  if (nEvent == ASYNC_EVENT_UNKNOWN) {
    XAP_ERROR();
    t_SendJobEvent(pJob, ASYNC_EVENT_UNKNOWN, "0");
  } else if (t_IsSafeCommandLine(XAP_HERE, szCommand) == 0) {
    t_SendJobEvent(pJob, nEvent, "0");
  } else {
    // "1" says the command ran, not that it succeeded.
    QomExecShell(szCommand);
    QomExecShell(XAP_CMD_SYNC);
    t_SendJobEvent(pJob, nEvent, "1");
  }
  t_ReleaseAsyncJob(pJob);
  return nullptr;
}

}  // namespace qom
