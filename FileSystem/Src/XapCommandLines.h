// The command lines the module runs, and the buffer they are formatted
// into.
#ifndef XAP_FILESYSTEM_XAPCOMMANDLINES_H_
#define XAP_FILESYSTEM_XAPCOMMANDLINES_H_

#include <cstddef>

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

}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPCOMMANDLINES_H_
