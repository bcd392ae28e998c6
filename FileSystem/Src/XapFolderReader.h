// A folder's names in directory order, read through the task's Env: what
// the listing and the property's entry count read.
#ifndef XAP_FILESYSTEM_XAPFOLDERREADER_H_
#define XAP_FILESYSTEM_XAPFOLDERREADER_H_

#include <dirent.h>

#include <cstddef>
#include <cstring>

#include "XapEnv.h"

namespace qom {

// Whether a folder entry's name is "." or "..", the two every folder has.
inline bool IsDotEntry(const char* pszName) {
  return strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0;
}

class FolderReader {
 public:
  // Opens pszFolder as a folder (never a device or FIFO put in its place).
  FolderReader(Env& env, const char* pszFolder);
  ~FolderReader();
  FolderReader(const FolderReader&) = delete;
  FolderReader& operator=(const FolderReader&) = delete;

  bool Opened() const { return m_fd >= 0; }
  // The next name, "." and ".." included; null at the end, or once the
  // entries could not be read.
  const char* NextName();
  // Closes the folder: false when its entries could not all be read or it
  // could not be closed.
  bool Close();

 private:
  Env& m_env;
  int m_fd;
  bool m_bFailed = false;
  size_t m_nRead = 0;
  size_t m_nNext = 0;
  alignas(struct dirent64) char m_buffer[8192];
};

}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPFOLDERREADER_H_
