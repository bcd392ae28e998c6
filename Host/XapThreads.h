// The host's own threads, which the count of the module's threads leaves
// out (see XapThreads.cpp).
#ifndef XAP_HOST_XAPTHREADS_H_
#define XAP_HOST_XAPTHREADS_H_

namespace qom {
namespace host {

// Starts a detached thread that XapWaitForJobs does not wait for. 0, or the
// error of pthread_create.
int StartHostThread(void* (*pfnStart)(void*), void* pArg);

}  // namespace host
}  // namespace qom

#endif  // XAP_HOST_XAPTHREADS_H_
