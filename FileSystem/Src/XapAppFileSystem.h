// The module's application object: names the module for the framework and
// creates the engine on request.
#ifndef XAP_FILESYSTEM_XAPAPPFILESYSTEM_H_
#define XAP_FILESYSTEM_XAPAPPFILESYSTEM_H_

#include "XapBase.h"

namespace qom {

class CXapAppFileSystem : public CXapAppBase {
 public:
  // Sets the name, id and version: "FileSystem", "0001", "1.001".
  CXapAppFileSystem();
  ~CXapAppFileSystem() override;

  // A new CXapEngineFileSystem owned by the caller, or null (logged).
  CXapEngineBase* CreateXapEngine() override;
};

}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPAPPFILESYSTEM_H_
