// Jobs: UnzipAsync and DeleteAsync check their paths on the command thread,
// hand a job record to a detached worker thread of its own, and answer once
// the worker has it; the worker runs the tool and sends the job's event.
#include <pthread.h>
#include <sys/prctl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "XapAsyncJob.h"
#include "XapCommandLines.h"
#include "XapFileSystemLog.h"
#include "XapPathPolicy.h"
#include "XapTaskFileSystem.h"

namespace qom {
namespace {

// The worker's stack and name.
const size_t kWorkerStack = 0x100000;
const char kWorkerName[] = "QOM-Xap-AsyncFS";

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
  PTAsyncData* pJob = PTAsyncData::New(ASYNC_CMD_UNZIP, safeSrcPath, &safeDestPath, t_EngineBase(),
                                       *m_pEnv, m_pEngineLife);
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
  PTAsyncData* pJob =
      PTAsyncData::New(ASYNC_CMD_DELETE, safePath, nullptr, t_EngineBase(), *m_pEnv, m_pEngineLife);
  if (pJob == nullptr) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  return t_StartAsyncJob(pJob);
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

  // Answer as soon as the worker has the job.
  if (pJob->WaitStarted()) XAP_TRACE();
  PTAsyncData::Release(pJob);
  return XAP_RESULT_OK;
}

void* CXapTaskFileSystem::t_AsyncThread(void* pData) {
  XAP_TRACE();
  prctl(PR_SET_NAME, kWorkerName, 0, 0, 0);
  if (pData == nullptr) {
    XAP_LOG(3u, "CXapTaskFileSystem t_AsyncThread pData is NULL");
    return nullptr;
  }
  PTAsyncData* pJob = static_cast<PTAsyncData*>(pData);
  // The record's own paths, which it keeps until the worker lets it go:
  // nothing here allocates, so memory running short cannot end the worker.
  const char* pszSrcPath = pJob->pszSrcPath;
  const char* pszDestPath = pJob->pszDestPath != nullptr ? pJob->pszDestPath : "";
  int32_t eAsyncCommand = pJob->eAsyncCommand;
  XAP_LOG(3u, "eAsyncCommand = [%d]", eAsyncCommand);
  XAP_LOG(4u, "strSrcPath = [%s]", pszSrcPath);
  XAP_LOG(4u, "strDestPath = [%s]", pszDestPath);
  pJob->MarkStarted();

  char szCommand[kCommandSize];
  memset(szCommand, 0, sizeof szCommand);
  int nEvent = ASYNC_EVENT_UNKNOWN;
  if (eAsyncCommand == ASYNC_CMD_DELETE) {
    nEvent = ASYNC_EVENT_DELETE;  // NOLINTNEXTLINE(cert-err33-c): path <= 255 characters
    snprintf(szCommand, sizeof szCommand, XAP_CMD_DELETE, pszSrcPath);
  } else if (eAsyncCommand == ASYNC_CMD_UNZIP) {
    nEvent = ASYNC_EVENT_UNZIP;  // NOLINTNEXTLINE(cert-err33-c): paths <= 255 characters
    snprintf(szCommand, sizeof szCommand, XAP_CMD_UNZIP_ASYNC, pszSrcPath, pszDestPath);
  }
  bool bPassed = false;
  if (nEvent != ASYNC_EVENT_UNKNOWN) XAP_SCREEN_COMMAND(szCommand, bPassed);
  if (nEvent == ASYNC_EVENT_UNKNOWN) {
    XAP_ERROR();
    pJob->SendEvent(ASYNC_EVENT_UNKNOWN, "0");
  } else if (!bPassed) {
    pJob->SendEvent(nEvent, "0");
  } else {
    // "1" says the command ran, not that it succeeded.
    pJob->pEnv->RunShell(szCommand);
    pJob->pEnv->RunShell(XAP_CMD_SYNC);
    pJob->SendEvent(nEvent, "1");
  }
  PTAsyncData::Release(pJob);
  return nullptr;
}

}  // namespace qom
