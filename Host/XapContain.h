// Contained mode: every tool runs in a mount namespace of its own where only
// the folders its command may change are writable, and nothing else of the
// machine is visible but the program folders the tools need, read-only.
// The kernel then keeps a tool inside those folders whatever links, races or
// archive entries its paths meet on the way.
#ifndef XAP_HOST_XAPCONTAIN_H_
#define XAP_HOST_XAPCONTAIN_H_

#include <memory>
#include <string>

#include "XapBase.h"

namespace qom {
namespace host {

struct Command;

// A prepared namespace and the folders writable in it; shared by the
// threads whose tools run in it, and closed with the last of them.
class ContainScope;
using ScopeRef = std::shared_ptr<ContainScope>;

// Prepares contained mode: the namespaces for the allowed roots and for the
// module files. Before any thread exists. "" when ready, otherwise why
// containment cannot be had here.
std::string StartContainment();

// Picks, on the command thread, the scope of the command about to run: none
// for "UnzipKill" (which changes no file), the module files' folder for
// "SetExecutable", otherwise the roots or the restricted widget's folders.
void EnterCommandScope(const Command& cmd);

// After a command: a "SetWidgetInfo" that stored its information decides
// the folders of the commands that follow.
void LeaveCommandScope(const Command& cmd, bool bOk, XapReplyKind eKind, int nReply);

// The calling thread's scope (null when its tools run as without
// containment), and setting one in a thread the module starts, which keeps
// it alive for as long as the thread runs. A plain pointer per thread: a
// thread-local object with a destructor costs an allocation that a thread
// started short of memory may not get.
ScopeRef ThreadScope();
void SetThreadScope(ContainScope* pScope);

// The namespace a tool of this scope enters: -1 for none; -2 when no tool
// may run at all (its namespace could not be prepared).
int ScopeNamespace(const ContainScope& scope);

// A level-0 line for each path of the command line that leads, as the host
// sees it now, outside the folders the scope lets its tools change; whether
// there was one. Asked before a tool starts, so that a command the kernel
// would stop fails as its tool would, with the reason; and after it failed,
// for a path that changed on the way.
bool ReportPathsOutside(const ContainScope& scope, const char* command);

}  // namespace host
}  // namespace qom

#endif  // XAP_HOST_XAPCONTAIN_H_
