// Reading a folder's names through the Env.
#include "XapFolderReader.h"

#include <fcntl.h>

namespace qom {

FolderReader::FolderReader(Env& env, const char* pszFolder)
    : m_env(env), m_fd(env.Open(pszFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK, 0)) {}

FolderReader::~FolderReader() { Close(); }

const char* FolderReader::NextName() {
  if (m_fd < 0 || m_bFailed) return nullptr;
  if (m_nNext >= m_nRead) {
    ssize_t nRead = m_env.ReadEntries(m_fd, m_buffer, sizeof m_buffer);
    if (nRead <= 0) {
      m_bFailed = nRead < 0;
      return nullptr;
    }
    m_nRead = static_cast<size_t>(nRead);
    m_nNext = 0;
  }
  const struct dirent64* pEntry = reinterpret_cast<const struct dirent64*>(m_buffer + m_nNext);
  m_nNext += pEntry->d_reclen;
  return pEntry->d_name;
}

bool FolderReader::Close() {
  if (m_fd < 0) return false;
  const bool bClosed = m_env.Close(m_fd) == 0;
  m_fd = -1;
  return bClosed && !m_bFailed;
}

}  // namespace qom
