// A mount namespace for contained tools, made by a child of the host: a
// small tmpfs as its root, sealed read-only, holding the program folders
// read-only and the writable folders read-write (without device nodes);
// nothing else of the machine, no /proc and no /dev.
#ifndef XAP_HOST_XAPNAMESPACE_H_
#define XAP_HOST_XAPNAMESPACE_H_

#include <string>
#include <vector>

namespace qom {
namespace host {

// A folder a namespace makes writable: root, and a path below it that is
// resolved beneath root only (a link in it cannot lead out of root).
struct Folder {
  std::string root;
  std::string rel;
  std::string Path() const { return rel.empty() ? root : root + "/" + rel; }
};

// Whether the folder is one beneath its root now.
bool IsFolderBeneath(const Folder& folder);

// Makes a namespace in which the folders of writable that are folders
// beneath their roots now are writable; the others go to *pMissing. Its
// descriptor, or -1 with *why.
int MakeNamespace(const std::vector<Folder>& writable, std::vector<Folder>* pMissing,
                  std::string* why);

}  // namespace host
}  // namespace qom

#endif  // XAP_HOST_XAPNAMESPACE_H_
