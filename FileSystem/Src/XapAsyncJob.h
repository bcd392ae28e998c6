// One asynchronous job as the command thread hands it to its worker: the
// record, its shared life, the wait for the worker to take it, and its
// completion event. The engine is reached through the framework's base.
#ifndef XAP_FILESYSTEM_XAPASYNCJOB_H_
#define XAP_FILESYSTEM_XAPASYNCJOB_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "XapEnv.h"

namespace qom {

class CXapEngineBase;

// Whether the engine that owns the task still lives, shared with the
// running jobs: the task's destructor clears it under the lock, so a job
// that ends later sends nothing, and an event being sent holds the
// engine's destruction until it is out.
struct EngineLife {
  std::mutex mutex;
  bool bAlive = true;
};

// The starting operation and the worker share the record: each holds a
// reference and the last to let go frees it, so the starter can wait for
// the worker even when it has already finished. The path buffers go with
// the record.
struct AsyncJob {
  // A job with zero-filled 1025-byte copies of its paths (pstrDestPath
  // null for a delete job), or null when memory ran out.
  static AsyncJob* New(int32_t eAsyncCommand, const std::string& strSrcPath,
                       const std::string* pstrDestPath, CXapEngineBase* pEngine, Env& env,
                       const std::shared_ptr<EngineLife>& pEngineLife);
  // Drops one reference; the last frees the record.
  static void Release(AsyncJob* pJob);
  ~AsyncJob();

  // The worker has the job.
  void MarkStarted();
  // Waits up to 100 x 100 ms for the worker to take it; whether it did.
  bool WaitStarted();
  // Sends the completion event, unless the engine is gone.
  void SendEvent(int nEvent, const char* pszResult);

  int32_t eAsyncCommand = 0;                // a _PL_FS_ASYNC_COMMAND
  char* pszSrcPath = nullptr;               // archive, or item to delete
  char* pszDestPath = nullptr;              // or null for a delete job
  CXapEngineBase* pEngine = nullptr;        // where the completion event goes
  Env* pEnv = nullptr;                      // starts the worker, runs the tool
  std::shared_ptr<EngineLife> pEngineLife;  // whether pEngine may be used
  std::atomic<int> nReferences{2};          // the starter's and the worker's

 private:
  AsyncJob() = default;
  bool m_bStarted = false;            // set by the worker once it has the job
  std::mutex m_mutex;                 // guards m_bStarted
  std::condition_variable m_started;  // signalled when m_bStarted is set
};

}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPASYNCJOB_H_
