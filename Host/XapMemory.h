// The host's reserve of address space for the moment memory runs out
// (XapMemory.cpp).
#ifndef XAP_HOST_XAPMEMORY_H_
#define XAP_HOST_XAPMEMORY_H_

namespace qom {
namespace host {

// Takes the reserve again when it was given back and memory allows.
void TakeMemoryReserve();

}  // namespace host
}  // namespace qom

#endif  // XAP_HOST_XAPMEMORY_H_
