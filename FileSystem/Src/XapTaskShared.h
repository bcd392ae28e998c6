// What the task's units share: the command lines the module runs and the
// buffer they are formatted into, the test for "." and "..", and the size
// as the replies carry it.
#ifndef XAP_FILESYSTEM_XAPTASKSHARED_H_
#define XAP_FILESYSTEM_XAPTASKSHARED_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

// Command lines of the module. Tools that change files run at the lowest
// priority and are named by their absolute paths.
#define XAP_CMD_MKDIR "/usr/bin/nice -n 19 /bin/mkdir -p %s"
#define XAP_CMD_COPY "/usr/bin/nice -n 19 /bin/cp -rf %s %s"
#define XAP_CMD_MOVE "/usr/bin/nice -n 19 /bin/mv %s %s"
#define XAP_CMD_DELETE "/usr/bin/nice -n 19 /bin/rm -rf %s"
#define XAP_CMD_UNZIP "/usr/bin/nice -n 19 /usr/bin/unzip -q -o %s -d %s"
#define XAP_CMD_UNZIP_ASYNC "/usr/bin/nice -n 19 /usr/bin/unzip -o %s -d %s"
#define XAP_CMD_CHMOD_EXEC "/usr/bin/nice -n 19 /bin/chmod +x %s"
#define XAP_CMD_KILL_UNZIP "killall unzip"
#define XAP_CMD_SYNC "/bin/sync"

namespace qom {

// Command lines are formatted into zero-filled buffers of this size.
const size_t kCommandSize = 1024;

// Whether a folder entry's name is "." or "..", the two every folder has.
inline bool IsDotEntry(const char* pszName) {
  return strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0;
}

// A size as the replies carry it: its low 32 bits, as a signed int.
inline int Low32(int64_t nSize) {
  return static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(nSize)));
}

}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPTASKSHARED_H_
