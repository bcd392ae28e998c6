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

#include "XapBase.h"
#include "XapEngineFileSystem.h"
#include "XapFileSystemLog.h"
#include "XapPathPolicy.h"
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
  int nResult = t_CheckPaths(pszSrcPath, safeSrcPath, pszDestPath, &safeDestPath);
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
  return t_StartAsyncJob(pJob);
}

int CXapTaskFileSystem::DeleteAsync(char* pszPath) {
  XAP_TRACE();
  std::string safePath;
  int nResult = t_CheckPaths(pszPath, safePath, nullptr, nullptr);
  if (nResult != XAP_RESULT_OK) return nResult;
  XAP_LOG(4u, "pszPath = [%s]", safePath.c_str());
  PTAsyncData* pJob = t_NewAsyncJob(ASYNC_CMD_DELETE, safePath, nullptr);
  if (pJob == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  return t_StartAsyncJob(pJob);
}

CXapTaskFileSystem::PTAsyncData* CXapTaskFileSystem::t_NewAsyncJob(
    int32_t eAsyncCommand, const std::string& strSrcPath, const std::string* pstrDestPath) {
  PTAsyncData* pJob = new (std::nothrow) PTAsyncData();
  if (pJob == nullptr) return nullptr;
  pJob->eAsyncCommand = eAsyncCommand;
  pJob->pEngine = m_pEngine;
  pJob->pEnv = m_pEnv;
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

int CXapTaskFileSystem::t_StartAsyncJob(PTAsyncData* pJob) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    XAP_ERROR();
    delete pJob;
    return XAP_RESULT_FAIL;
  }
  pthread_t thread;
  if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0 ||
      pthread_attr_setstacksize(&attr, kWorkerStack) != 0 ||
      pJob->pEnv->StartThread(&thread, &attr, t_AsyncThread, pJob) != 0) {
    XAP_ERROR();
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
  if (bSeen) XAP_TRACE();
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
  std::string strSrcPath = pJob->pszSrcPath != nullptr ? pJob->pszSrcPath : "";
  std::string strDestPath = pJob->pszDestPath != nullptr ? pJob->pszDestPath : "";
  int32_t eAsyncCommand = pJob->eAsyncCommand;
  XAP_LOG(3u, "eAsyncCommand = [%d]", eAsyncCommand);
  XAP_LOG(4u, "strSrcPath = [%s]", strSrcPath.c_str());
  XAP_LOG(4u, "strDestPath = [%s]", strDestPath.c_str());
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
    snprintf(szCommand, sizeof szCommand, XAP_CMD_DELETE, strSrcPath.c_str());
  } else if (eAsyncCommand == ASYNC_CMD_UNZIP) {
    nEvent = ASYNC_EVENT_UNZIP;  // NOLINTNEXTLINE(cert-err33-c): paths <= 255 characters
    snprintf(szCommand, sizeof szCommand, XAP_CMD_UNZIP_ASYNC, strSrcPath.c_str(),
             strDestPath.c_str());
  }
  bool bPassed = false;
  if (nEvent != ASYNC_EVENT_UNKNOWN) XAP_SCREEN_COMMAND(szCommand, bPassed);
  if (nEvent == ASYNC_EVENT_UNKNOWN) {
    XAP_ERROR();
    t_SendJobEvent(pJob, ASYNC_EVENT_UNKNOWN, "0");
  } else if (!bPassed) {
    t_SendJobEvent(pJob, nEvent, "0");
  } else {
    // "1" says the command ran, not that it succeeded.
    pJob->pEnv->RunShell(szCommand);
    pJob->pEnv->RunShell(XAP_CMD_SYNC);
    t_SendJobEvent(pJob, nEvent, "1");
  }
  t_ReleaseAsyncJob(pJob);
  return nullptr;
}

}  // namespace qom
