// The job record's life, its hand-over to the worker and its event.
#include "XapAsyncJob.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "XapBase.h"

namespace qom {
namespace {

// A job's path buffer: 1025 bytes, zero-filled, at most 1023 characters.
const size_t kJobPathSize = 1025;

// How the starter waits for the worker to take the job.
const int kStartWaits = 100;
const std::chrono::milliseconds kStartWait(100);  // NOLINT(cert-err58-cpp): cannot throw

// NOLINTBEGIN(cert-err33-c): a path of at most 255 characters fits the 1024
char* NewJobPath(const std::string& strPath) {
  char* pszPath = static_cast<char*>(calloc(1, kJobPathSize));
  if (pszPath != nullptr) snprintf(pszPath, kJobPathSize - 1, "%s", strPath.c_str());
  return pszPath;
}  // NOLINTEND(cert-err33-c)

}  // namespace

AsyncJob* AsyncJob::New(int32_t eAsyncCommand, const std::string& strSrcPath,
                        const std::string* pstrDestPath, CXapEngineBase* pEngine, Env& env,
                        const std::shared_ptr<EngineLife>& pEngineLife) {
  AsyncJob* pJob = new (std::nothrow) AsyncJob();
  if (pJob == nullptr) return nullptr;
  pJob->eAsyncCommand = eAsyncCommand;
  pJob->pEngine = pEngine;
  pJob->pEnv = &env;
  pJob->pEngineLife = pEngineLife;
  pJob->pszSrcPath = NewJobPath(strSrcPath);
  if (pstrDestPath != nullptr) pJob->pszDestPath = NewJobPath(*pstrDestPath);
  if (pJob->pszSrcPath == nullptr || (pstrDestPath != nullptr && pJob->pszDestPath == nullptr)) {
    delete pJob;
    return nullptr;
  }
  return pJob;
}

AsyncJob::~AsyncJob() {
  free(pszDestPath);
  free(pszSrcPath);
}

void AsyncJob::Release(AsyncJob* pJob) {
  if (pJob->nReferences.fetch_sub(1) == 1) delete pJob;
}

void AsyncJob::MarkStarted() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bStarted = true;
  m_started.notify_one();
}

bool AsyncJob::WaitStarted() {
  // Signalled rather than polled, so the reply does not wait out a sleep.
  std::unique_lock<std::mutex> lock(m_mutex);
  for (int nWait = kStartWaits; nWait > 0; --nWait) {
    if (m_started.wait_for(lock, kStartWait, [this] { return m_bStarted; })) return true;
  }
  return false;
}

void AsyncJob::SendEvent(int nEvent, const char* pszResult) {
  std::lock_guard<std::mutex> lock(pEngineLife->mutex);
  if (pEngineLife->bAlive) pEngine->SendEvent(nEvent, pszResult, " ");
}

}  // namespace qom
