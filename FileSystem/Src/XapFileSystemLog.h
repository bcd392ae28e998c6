// The module's one logging helper. Every statement is a pair of PrintLog
// calls at one level: the prefix with the calling function and line, then
// the message. The logger drops a pair whose level is above the current
// one before formatting anything: such a pair costs two calls.
//
// The FILE text of a trace or an error is the unit's path within the
// project, not the build machine's: the build maps the source folder away
// (-fmacro-prefix-map in CMakeLists.txt).
#ifndef XAP_FILESYSTEM_XAPFILESYSTEMLOG_H_
#define XAP_FILESYSTEM_XAPFILESYSTEMLOG_H_

#include "QomDebug.h"

namespace qom {

// Where a statement stands: a function and a line of it. The dispatcher's
// rows are steps of Execute and log at the line of Execute that called
// them (XAP_HERE there).
struct XapLogSite {
  const char* pszFunction;
  int nLine;
};

}  // namespace qom

#define XAP_HERE (::qom::XapLogSite{__FUNCTION__, __LINE__})

// The logger's module number for this module.
#define XAP_LOG_MODULE 2u

#define XAP_LOG_AT(site, level, ...)                                                          \
  do {                                                                                        \
    ::qom::CQOMDebug::PrintLog(XAP_LOG_MODULE, (level), "[QOM][%s(%d)] ", (site).pszFunction, \
                               (site).nLine);                                                 \
    ::qom::CQOMDebug::PrintLog(XAP_LOG_MODULE, (level), __VA_ARGS__);                         \
  } while (0)
#define XAP_LOG(level, ...) XAP_LOG_AT(XAP_HERE, level, __VA_ARGS__)

// Entry trace.
#define XAP_TRACE() \
  XAP_LOG(3u, "FILE=[%s] FUNCTION=[%s] LINE=[%d]", __FILE__, __FUNCTION__, __LINE__)

// A failure the function detected; always at level 3.
#define XAP_ERROR() \
  XAP_LOG(3u, "\033[2;31;42m !!!!ERROR!!!![%s][%s][%d] \033[0m", __FILE__, __FUNCTION__, __LINE__)

#endif  // XAP_FILESYSTEM_XAPFILESYSTEMLOG_H_
