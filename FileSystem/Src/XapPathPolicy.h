// The path policy as pure functions of text: the limits, the allowed and
// shared roots, and the screens of paths and command lines. They read no
// file and log nothing, so they can be tested and fuzzed alone; the task's
// policy members (XapPathPolicy.cpp) add the lookups and the log lines.
#ifndef XAP_FILESYSTEM_XAPPATHPOLICY_H_
#define XAP_FILESYSTEM_XAPPATHPOLICY_H_

#include <cstddef>

namespace qom {
namespace policy {

// Longest path the policy looks at, and longest text a screen passes.
const size_t kMaxPathLength = 300;
const size_t kMaxSafeLength = 255;

// Roots that a restricted widget may reach besides its own folder.
extern const char* const kSharedRoots[3];

enum ScreenVerdict { SCREEN_SAFE, SCREEN_TOO_LONG, SCREEN_UNSAFE };

// A path: at most 255 characters, each a letter, a digit, "_", "-", "/"
// or ".". *pnLength gets the text's length.
ScreenVerdict ScreenPath(const char* pszPath, size_t* pnLength);
// A command line: the same, blank and "+" also allowed.
ScreenVerdict ScreenCommandLine(const char* pszCommand, size_t* pnLength);

// Whether pszText begins with pszPrefix, byte for byte.
bool StartsWith(const char* pszText, const char* pszPrefix);
// Whether the path begins with "/opt/down", "/tmp" or "/opt/usr/apps"
// (compared over the root's own length, so "/tmpx" passes too).
bool UnderAllowedRoot(const char* pszPath);

}  // namespace policy
}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPPATHPOLICY_H_
