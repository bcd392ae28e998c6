#include "XapAppFileSystem.h"

#include <new>

#include "XapEngineFileSystem.h"
#include "XapFileSystemLog.h"

namespace qom {

CXapAppFileSystem::CXapAppFileSystem() {
  m_strName = "FileSystem";
  m_strId = "0001";
  m_strVersion = "1.001";
}

CXapAppFileSystem::~CXapAppFileSystem() = default;

CXapEngineBase* CXapAppFileSystem::CreateXapEngine() {
  CXapEngineFileSystem* pEngine = new (std::nothrow) CXapEngineFileSystem();
  if (pEngine == nullptr) {
    XAP_ERROR();
    return nullptr;
  }
  return pEngine;
}

}  // namespace qom
