// Contained mode: the scope each command's tools run in, the namespaces
// behind the scopes (XapNamespace.cpp), and the host's look at the paths of
// a contained tool's command line. The host's own view of the machine stays
// as it was.
#include "XapContain.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "XapNamespace.h"
#include "XapOutput.h"
#include "XapProtocol.h"

namespace qom {
namespace host {
namespace {

// The longest widget folder text the module keeps.
const size_t kWidgetPathMax = 199;

const char kTmp[] = "/tmp";
const char kApps[] = "/opt/usr/apps";
const char kDown[] = "/opt/down";

std::vector<Folder> Roots() { return {{kTmp, ""}, {kDown, ""}, {kApps, ""}}; }

}  // namespace

class ContainScope : public std::enable_shared_from_this<ContainScope> {
 public:
  ContainScope() = default;
  ContainScope(const ContainScope&) = delete;
  ContainScope& operator=(const ContainScope&) = delete;
  ~ContainScope() {
    if (nsFd >= 0) close(nsFd);
  }
  int nsFd = -1;                     // -1: could not be prepared, no tool runs
  std::vector<Folder> wanted;        // what it was prepared for
  std::vector<std::string> folders;  // the writable ones, as the host resolves them
  std::vector<Folder> missing;       // wanted but absent when prepared
};

namespace {

bool g_bContained = false;
ScopeRef g_roots;   // the allowed roots
ScopeRef g_xaps;    // the module files' folder
ScopeRef g_widget;  // what ordinary commands get now
std::string g_strWidgetPath;
thread_local ContainScope* t_scope = nullptr;

// A scope for these folders; one whose namespace could not be prepared
// runs no tool, and *why says why.
ScopeRef Prepare(const std::vector<Folder>& wanted, std::string* why) {
  auto scope = std::make_shared<ContainScope>();
  scope->wanted = wanted;
  scope->nsFd = MakeNamespace(wanted, &scope->missing, why);
  for (const Folder& folder : wanted) {
    auto same = [&](const Folder& missing) { return missing.Path() == folder.Path(); };
    if (std::any_of(scope->missing.begin(), scope->missing.end(), same)) continue;
    char* resolved = realpath(folder.Path().c_str(), nullptr);
    scope->folders.emplace_back(resolved != nullptr ? resolved : folder.Path());
    free(resolved);
  }
  return scope;
}

void LogLine(const std::string& text) { WriteLogLine("L0 [contain] " + text + "\n"); }

// Prepares the scope again when a folder it lacked has come since.
void Refresh(ScopeRef& scope) {
  for (const Folder& folder : scope->missing) {
    if (!IsFolderBeneath(folder)) continue;
    std::string why;
    ScopeRef fresh = Prepare(scope->wanted, &why);
    if (fresh->nsFd < 0) LogLine(why);
    scope = fresh;
    return;
  }
}

bool Within(const char* path, const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    if (strncmp(path, folder.c_str(), folder.size()) == 0 &&
        (path[folder.size()] == '\0' || path[folder.size()] == '/' || folder == "/")) {
      return true;
    }
  }
  return false;
}

// The widget folder and the shared roots. A folder text that names no folder
// of its own below /opt/down (empty, relative, with "..", or inside a shared
// root) adds nothing.
std::vector<Folder> WidgetFolders(std::string text) {
  text.resize(std::min(text.size(), kWidgetPathMax));
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  if (text == kDown) return Roots();
  std::vector<Folder> folders{{kTmp, ""}, {kApps, ""}, {kDown, "common"}};
  const std::string down = kDown + std::string("/");
  if (text.compare(0, down.size(), down) == 0 && text.find("..") == std::string::npos &&
      !Within(text.c_str(), {down + "common"})) {
    size_t start = text.find_first_not_of('/', down.size());
    if (start != std::string::npos) folders.push_back({kDown, text.substr(start)});
  }
  return folders;
}

// The resolved form of the path of n bytes as the host sees it, into out:
// its longest part that exists resolved, the rest as given. False when it
// does not fit. No allocation: every tool start of a contained command
// comes here.
bool Resolve(const char* path, size_t n, char (&out)[PATH_MAX]) {
  char head[PATH_MAX];
  while (n > 1 && path[n - 1] == '/') --n;  // "z/" is the folder z
  if (n >= sizeof head) return false;
  memcpy(head, path, n);
  head[n] = '\0';
  size_t rest = n;  // where the part not resolved begins
  while (realpath(head, out) == nullptr) {
    char* slash = strrchr(head, '/');
    if (slash == nullptr || slash[1] == '\0') return false;
    rest = static_cast<size_t>(slash - head);
    slash[slash == head ? 1 : 0] = '\0';
  }
  size_t used = strcmp(out, "/") == 0 && rest < n ? 0 : strlen(out);
  if (used + (n - rest) >= PATH_MAX) return false;
  memcpy(out + used, path + rest, n - rest);
  out[used + n - rest] = '\0';
  return true;
}

// A level-0 line when the path of n bytes, with suffix added, leads
// outside the scope's folders; whether it does.
bool ReportOutside(const ContainScope& scope, const char* word, size_t n, const char* suffix) {
  char path[PATH_MAX];
  char resolved[PATH_MAX];
  int nPath = snprintf(path, sizeof path, "%.*s%s", static_cast<int>(n), word, suffix);
  if (nPath > 0 && static_cast<size_t>(nPath) < sizeof path &&
      Resolve(path, static_cast<size_t>(nPath), resolved) && Within(resolved, scope.folders)) {
    return false;
  }
  LogLine(std::string(path) + ": outside the allowed roots");
  return true;
}

}  // namespace

std::string StartContainment() {
  // Its children are waited for: a host started with SIGCHLD ignored would
  // see none of them end.
  signal(SIGCHLD, SIG_DFL);  // NOLINT(cert-err33-c): cannot fail for SIGCHLD
  std::string why;
  g_roots = Prepare(Roots(), &why);
  if (g_roots->nsFd >= 0) g_xaps = Prepare({{kDown, "xaps"}}, &why);
  if (g_roots->nsFd < 0 || g_xaps->nsFd < 0) {
    return why + " (contained mode needs root, mount namespaces and Linux 5.12 or later)";
  }
  g_widget = g_roots;
  g_bContained = true;
  return "";
}

void EnterCommandScope(const Command& cmd) {
  if (!g_bContained) return;
  if (cmd.strCmd == "UnzipKill") {
    t_scope = nullptr;
    return;
  }
  ScopeRef& scope = cmd.strCmd == "SetExecutable" ? g_xaps : g_widget;
  Refresh(scope);
  t_scope = scope.get();
}

void LeaveCommandScope(const Command& cmd, bool bOk, XapReplyKind eKind, int nReply) {
  t_scope = nullptr;
  if (!g_bContained || cmd.strCmd != "SetWidgetInfo" || !bOk || eKind != XAP_REPLY_INTEGER ||
      nReply != 1) {
    return;
  }
  // The module took the type as a whole decimal number: so does this.
  long nType = strtol(cmd.strParams[0].c_str(), nullptr, 10);
  if (nType == 0 || nType == 1) {
    g_widget = g_roots;
    g_strWidgetPath.clear();
    return;
  }
  if (g_widget != g_roots && g_widget->nsFd >= 0 && cmd.strParams[1] == g_strWidgetPath) return;
  std::string why;
  g_widget = Prepare(WidgetFolders(cmd.strParams[1]), &why);
  g_strWidgetPath = cmd.strParams[1];
  if (g_widget->nsFd < 0) LogLine(why + ": the widget's commands run no tool");
}

ScopeRef ThreadScope() { return t_scope != nullptr ? t_scope->shared_from_this() : nullptr; }

void SetThreadScope(ContainScope* pScope) { t_scope = pScope; }

int ScopeNamespace(const ContainScope& scope) { return scope.nsFd >= 0 ? scope.nsFd : -2; }

bool ReportPathsOutside(const ContainScope& scope, const char* command) {
  const char* tool = nullptr;
  bool bOutside = false;
  for (const char* p = command; *p != '\0';) {
    const char* word = p;
    size_t n = strcspn(p, " ");
    p += n + (p[n] != '\0' ? 1 : 0);
    if (n == 0) continue;
    // The tool is the first word that is neither "nice" nor its options;
    // the paths follow it.
    if (tool == nullptr) {
      bool bNice = memmem(word, n, "nice", 4) != nullptr || word[0] == '-' ||
                   isdigit(static_cast<unsigned char>(word[0])) != 0;
      tool = bNice ? nullptr : word;
      continue;
    }
    if (word[0] != '/') continue;
    bOutside |= ReportOutside(scope, word, n, "");
    // unzip opens the archive's name with ".zip" or ".ZIP" added when the
    // name itself is missing or a folder.
    if (strncmp(tool, "/usr/bin/unzip ", 15) == 0 && word == tool + 15 + strcspn(tool + 15, "/")) {
      for (const char* suffix : {".zip", ".ZIP"}) bOutside |= ReportOutside(scope, word, n, suffix);
    }
  }
  return bOutside;
}

}  // namespace host
}  // namespace qom
