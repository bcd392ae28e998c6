// What describes items: the properties of one item and the listing of a
// folder, as the texts of the replies (XapReplyText.h).
#include <cstring>
#include <string>

#include "XapFileSystemLog.h"
#include "XapFolderReader.h"
#include "XapReplyText.h"
#include "XapTaskFileSystem.h"

namespace qom {
namespace {

const size_t kCurrentDirSize = 1024;  // the working folder that GetProperty shows

const char* Bool(bool b) { return b ? "true" : "false"; }

// Counts a folder's entries other than "." and ".."; -1 when it cannot be
// opened or closed.
int CountEntries(Env& env, const char* pszFolder) {
  FolderReader folder(env, pszFolder);
  if (!folder.Opened()) return -1;
  int nCount = 0;
  while (const char* pszName = folder.NextName()) {
    if (!IsDotEntry(pszName)) ++nCount;
  }
  return folder.Close() ? nCount : -1;
}

}  // namespace

void CXapTaskFileSystem::t_PropertyText(ReplyText& text, const PTStat& st,
                                        const char* pszCurrentDir, const char* pszName,
                                        int nCount) {
  bool bReadOnly = (st.st_mode & 0400) != 0 && (st.st_mode & 0700) != 0700;
  bool bIsFile = (st.st_mode & 0100000) != 0;
  bool bIsDirectory = !bIsFile && (st.st_mode & 040000) != 0;
  text.Add("{ \"readOnly\": %s, ", Bool(bReadOnly));
  text.Add("\"isFile\": %s, ", Bool(bIsFile));
  text.Add("\"isDirectory\": %s, ", Bool(bIsDirectory));
  text.Add("\"created\": %d, ", st.st_atime);
  text.Add("\"modified\": %d, ", st.st_mtime);
  text.Add("\"path\": %s, ", pszCurrentDir);
  if (pszName != nullptr) {
    text.Add("\"name\": %s, ", pszName);
    text.Add("\"fullPath\": %s/%s, ", pszCurrentDir, pszName);
  } else {
    text.Add("\"name\": NULL, ");
    text.Add("\"fullPath\": %s, ", pszCurrentDir);
  }
  text.Add("\"fileSize\": %d, ", Low32(st.st_size));
  text.Add("\"length\": %d }", nCount);
}

int CXapTaskFileSystem::GetProperty(char* pszPath, char* pszOutput) {
  std::string strSafePath;
  int nResult = t_MakeSafePath(pszPath, strSafePath);
  if (nResult != XAP_RESULT_OK) return nResult;
  PTStat st;
  if (t_Stat(strSafePath.c_str(), &st) != 0) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }

  // The folder to describe: the one that holds a file, or the folder itself.
  bool bIsFile = (st.st_mode & 0100000) != 0;
  std::string strFolder = strSafePath;
  std::string strName;
  if (bIsFile) {
    size_t nCut = strSafePath.find_last_of("/\\");
    strFolder = nCut == std::string::npos ? std::string() : strSafePath.substr(0, nCut);
    strName = nCut == std::string::npos ? strSafePath : strSafePath.substr(nCut + 1);
  }
  char szCurrentDir[kCurrentDirSize];
  memset(szCurrentDir, 0, sizeof szCurrentDir);
  int nChangeDir = m_pEnv->ChangeDir(strFolder.c_str());
  bool bReadDir = m_pEnv->CurrentDir(szCurrentDir, sizeof szCurrentDir) != nullptr;
  if (!bReadDir) szCurrentDir[0] = '\0';
  XAP_LOG(3u, "change dir: %d, current dir: %s\n", nChangeDir, szCurrentDir);
  if (!bReadDir) {
    // A folder whose resolved path does not fit the buffer cannot be shown.
    XAP_LOG(0u, "current directory unreadable after change to [%s]", strFolder.c_str());
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  int nCount = CountEntries(*m_pEnv, strFolder.c_str());
  if (nCount < 0) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }

  ReplyText text;
  t_PropertyText(text, st, szCurrentDir, bIsFile ? strName.c_str() : nullptr, nCount);
  if (text.Overflowed()) {
    XAP_LOG(0u, "property text longer than %d characters: [%s]",
            static_cast<int>(ReplyText::kSize - 1), strSafePath.c_str());
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  text.CopyTo(pszOutput);
  return XAP_RESULT_OK;
}

int CXapTaskFileSystem::GetListFiles(char* pszPath, char* pszOutput) {
  std::string strSafePath;
  int nResult = t_MakeSafePath(pszPath, strSafePath);
  if (nResult != XAP_RESULT_OK) return nResult;

  FolderReader folder(*m_pEnv, strSafePath.c_str());
  if (!folder.Opened()) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  ReplyText text;
  OpenListing(text);
  int nListed = 0;
  while (const char* pszEntry = folder.NextName()) {
    if (IsDotEntry(pszEntry)) continue;
    if (!AddToListing(text, pszEntry)) {
      XAP_LOG(0u, "listing of [%s] cut after %d entries: the reply holds %d characters",
              strSafePath.c_str(), nListed, static_cast<int>(ReplyText::kSize - 1));
      break;
    }
    ++nListed;
  }
  // A listing that misses entries it could not read is not given.
  if (!folder.Close()) {
    XAP_ERROR();
    return XAP_RESULT_FAIL;
  }
  CloseListing(text);
  text.CopyTo(pszOutput);
  return XAP_RESULT_OK;
}

}  // namespace qom
