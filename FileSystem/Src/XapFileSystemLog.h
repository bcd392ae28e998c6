// The module's one logging helper. Every statement is a pair of PrintLog
// calls at one level: the prefix with the calling function and line, then
// the message. Arguments are not evaluated when the level is not written.
#ifndef XAP_FILESYSTEM_XAPFILESYSTEMLOG_H_
#define XAP_FILESYSTEM_XAPFILESYSTEMLOG_H_

#include "QomDebug.h"

// The logger's module number for this module.
#define XAP_LOG_MODULE 2u

#define XAP_LOG(level, ...)                                                               \
  do {                                                                                    \
    if (::qom::CQOMDebug::IsEnabled(level)) {                                             \
      ::qom::CQOMDebug::PrintLog(XAP_LOG_MODULE, (level), "[QOM][%s(%d)] ", __FUNCTION__, \
                                 __LINE__);                                               \
      ::qom::CQOMDebug::PrintLog(XAP_LOG_MODULE, (level), __VA_ARGS__);                   \
    }                                                                                     \
  } while (0)

// Entry trace.
#define XAP_TRACE() \
  XAP_LOG(3u, "FILE=[%s] FUNCTION=[%s] LINE=[%d]", __FILE__, __FUNCTION__, __LINE__)

// A failure the function detected.
#define XAP_ERROR() \
  XAP_LOG(3u, "\033[2;31;42m !!!!ERROR!!!![%s][%s][%d] \033[0m", __FILE__, __FUNCTION__, __LINE__)

#endif  // XAP_FILESYSTEM_XAPFILESYSTEMLOG_H_
