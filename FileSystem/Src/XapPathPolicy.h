// The screens of the path policy as pure functions of text, and the one
// log statement of a screen's verdict, which expands where the screening
// function stands so that its lines name that function and line.
#ifndef XAP_FILESYSTEM_XAPPATHPOLICY_H_
#define XAP_FILESYSTEM_XAPPATHPOLICY_H_

#include <cstddef>

#include "XapFileSystemLog.h"

namespace qom {
namespace policy {

enum ScreenVerdict { SCREEN_SAFE, SCREEN_TOO_LONG, SCREEN_UNSAFE };

// A path: at most 255 characters, each a letter, a digit, "_", "-", "/"
// or ".". *pnLength gets the text's length.
ScreenVerdict ScreenPath(const char* pszPath, size_t* pnLength);
// A command line: the same, blank and "+" also allowed.
ScreenVerdict ScreenCommandLine(const char* pszCommand, size_t* pnLength);

}  // namespace policy
}  // namespace qom

// Logs a screen's verdict in the name of the function that screened.
#define XAP_LOG_SCREEN(verdict, length)                                       \
  do {                                                                        \
    if ((verdict) == ::qom::policy::SCREEN_TOO_LONG) {                        \
      XAP_LOG(0u, "overflow pszString size = [%d] ( 255 char size limited )", \
              static_cast<int>(length));                                      \
    } else if ((verdict) == ::qom::policy::SCREEN_UNSAFE) {                   \
      XAP_LOG(3u, "The path specified is unsafe, NOT OK to proceed!!!!");     \
    } else {                                                                  \
      XAP_LOG(3u, "The path specified is safe, OK to proceed");               \
    }                                                                         \
  } while (0)

// The screen of a command line, a step of the function that runs it: sets
// bPassed, and logs the verdict and a refusal (also of null) there.
#define XAP_SCREEN_COMMAND(pszCommand, bPassed)                                 \
  do {                                                                          \
    size_t nScreened_ = 0;                                                      \
    ::qom::policy::ScreenVerdict eScreened_ = ::qom::policy::SCREEN_UNSAFE;     \
    if ((pszCommand) != nullptr) {                                              \
      eScreened_ = ::qom::policy::ScreenCommandLine((pszCommand), &nScreened_); \
      XAP_LOG_SCREEN(eScreened_, nScreened_);                                   \
    }                                                                           \
    (bPassed) = eScreened_ == ::qom::policy::SCREEN_SAFE;                       \
    if (!(bPassed)) XAP_ERROR();                                                \
  } while (0)

#endif  // XAP_FILESYSTEM_XAPPATHPOLICY_H_
