// The module's one logging helper. Every statement is a pair of PrintLog
// calls at one level: the prefix with the calling function and line, then
// the message. The logger drops a level that is off before formatting, so
// a pair below the current level costs two calls.
#ifndef XAP_FILESYSTEM_XAPFILESYSTEMLOG_H_
#define XAP_FILESYSTEM_XAPFILESYSTEMLOG_H_

#include "QomDebug.h"

// The logger's module number for this module.
#define XAP_LOG_MODULE 2u

// A pair in the name of pszFunction: for a helper that does one step of its
// caller and logs as that caller.
#define XAP_LOG_AS(pszFunction, level, ...)                                              \
  do {                                                                                   \
    ::qom::CQOMDebug::PrintLog(XAP_LOG_MODULE, (level), "[QOM][%s(%d)] ", (pszFunction), \
                               __LINE__);                                                \
    ::qom::CQOMDebug::PrintLog(XAP_LOG_MODULE, (level), __VA_ARGS__);                    \
  } while (0)

#define XAP_LOG(level, ...) XAP_LOG_AS(__FUNCTION__, level, __VA_ARGS__)

// Entry trace.
#define XAP_TRACE_AS(pszFunction)                                                           \
  XAP_LOG_AS(pszFunction, 3u, "FILE=[%s] FUNCTION=[%s] LINE=[%d]", __FILE__, (pszFunction), \
             __LINE__)
#define XAP_TRACE() XAP_TRACE_AS(__FUNCTION__)

// A failure the function detected.
#define XAP_ERROR_AS(pszFunction)                                                          \
  XAP_LOG_AS(pszFunction, 3u, "\033[2;31;42m !!!!ERROR!!!![%s][%s][%d] \033[0m", __FILE__, \
             (pszFunction), __LINE__)
#define XAP_ERROR() XAP_ERROR_AS(__FUNCTION__)

#endif  // XAP_FILESYSTEM_XAPFILESYSTEMLOG_H_
