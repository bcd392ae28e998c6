// The process entry: hand the application object to the framework, which
// runs the process from here on and never gives the object back.
#include "XapAppFileSystem.h"

namespace {
// Never deleted: the framework may use it until the process ends.
qom::CXapAppFileSystem* g_pApp = nullptr;
}  // namespace

int main(int argc, char** argv) {
  g_pApp = new qom::CXapAppFileSystem();
  return qom::XapMain(argc, argv, g_pApp);
}
