// Counts the threads the module starts, without the module telling the host
// about them. Every program that links the host is linked with
// -Wl,--wrap=pthread_create: the linker sends each pthread_create call of
// the module to __wrap_pthread_create below, which counts the module's
// threads so that the host can wait for their jobs at the end of input.
#include "XapThreads.h"

#include <pthread.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>

#include "XapBase.h"
#include "XapContain.h"
#include "XapOutput.h"

extern "C" int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                                     void* (*start)(void*), void* arg);

namespace qom {
namespace {

std::mutex g_mutex;
std::condition_variable g_allEnded;
long g_nRunning = 0;

void Started() {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_nRunning;
}

void Ended() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (--g_nRunning == 0) g_allEnded.notify_all();
}

// A thread the module starts runs its tools in the scope of the command
// that started it, whatever commands come after.
struct Start {
  void* (*pfnStart)(void*);
  void* pArg;
  host::ScopeRef scope;
};

// Uncounts the thread however its start routine ends, pthread_exit and
// cancellation included (both unwind the stack).
struct EndGuard {
  ~EndGuard() { Ended(); }
};

// A start routine that memory runs out in ends its thread, never the
// process: the host's tools and the commands queued behind survive it.
void* Trampoline(void* pStart) {
  EndGuard guard;  // first made, last ended: after the scope is let go
  Start start = std::move(*static_cast<Start*>(pStart));
  delete static_cast<Start*>(pStart);
  host::SetThreadScope(start.scope.get());
  try {
    return start.pfnStart(start.pArg);
  } catch (const std::bad_alloc&) {
    host::WriteLogText("L0 [host] out of memory: a worker thread ended early\n");
    return nullptr;
  }
}

}  // namespace

void XapWaitForJobs() {
  std::unique_lock<std::mutex> lock(g_mutex);
  g_allEnded.wait(lock, [] { return g_nRunning == 0; });
}

int host::StartHostThread(void* (*pfnStart)(void*), void* pArg) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return EAGAIN;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = __real_pthread_create(&thread, &attr, pfnStart, pArg);
  pthread_attr_destroy(&attr);
  return rc;
}

}  // namespace qom

// Where the linker sends each pthread_create call of the module (see the
// top of this file): the thread is counted until its start routine returns.
extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                                     void* (*start)(void*), void* arg) {
  auto* pStart = new (std::nothrow) qom::Start{start, arg, qom::host::ThreadScope()};
  if (pStart == nullptr) return EAGAIN;
  // Counted before the thread exists, so a wait that begins right after
  // the creation sees it.
  qom::Started();
  int rc = __real_pthread_create(thread, attr, qom::Trampoline, pStart);
  if (rc != 0) {
    delete pStart;
    qom::Ended();
  }
  return rc;
}
