#include "XapEngineFileSystem.h"

#include <boost/lexical_cast.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "XapFileSystemLog.h"
#include "XapTaskFileSystem.h"
#include "b64.h"

namespace qom {
namespace {

// Base64 limits: the input the commands take, the output they answer, and
// the buffers that hold them.
const size_t kBase64MaxInput = 2048;
const int kBase64MaxOutput = 2000;
const size_t kBase64BufferSize = 2048;

// Reply buffers of the text queries and of the size figures.
const size_t kTextReplySize = 2048;
const size_t kSizeReplySize = 512;
const size_t kFolderSizeReplySize = 20;

// The task operations take the parameters' own character data.
char* Data(const std::string& str) { return const_cast<char*>(str.c_str()); }

}  // namespace

using Str = std::string;
using Engine = CXapEngineFileSystem;

// Compared in this order; the first equal name is handled.
const CXapEngineFileSystem::
    Command
        CXapEngineFileSystem::
            s_commands
                [] =
                    {
                        {"GetName",
                         [](Engine& e, Str& r, const Str&, const Str&, const Str&) {
                           std::string strName("FileSystem");
                           e.SetReturnValueASCII(r, strName);
                           return true;
                         }},
                        {"UnzipKill",
                         [](Engine& e, Str& r, const Str&, const Str&, const Str&) {
                           return e.IntegerReply(r, e.m_pTask->UnzipKill());
                         }},
                        {"Unzip",
                         [](Engine& e, Str& r, const Str& p1, const Str& p2, const Str&) {
                           return e.IntegerReply(r, e.m_pTask->Unzip(Data(p1), Data(p2)));
                         }},
                        {"Copy",
                         [](Engine& e, Str& r, const Str& p1, const Str& p2, const Str&) {
                           return e.IntegerReply(r, e.m_pTask->Copy(Data(p1), Data(p2)));
                         }},
                        {"Move",
                         [](Engine& e, Str& r, const Str& p1, const Str& p2, const Str&) {
                           return e.IntegerReply(r, e.m_pTask->Move(Data(p1), Data(p2)));
                         }},
                        {"Delete",
                         [](Engine& e, Str& r, const Str& p1, const Str&, const Str&) {
                           return e.IntegerReply(r, e.m_pTask->Delete(Data(p1)));
                         }},
                        {"UnzipAsync",
                         [](Engine& e, Str& r, const Str& p1, const Str& p2, const Str&) {
                           return e.IntegerReply(r, e.m_pTask->UnzipAsync(Data(p1), Data(p2)));
                         }},
                        {"DeleteAsync",
                         [](Engine& e, Str& r, const Str& p1, const Str&, const Str&) {
                           return e.IntegerReply(r, e.m_pTask->DeleteAsync(Data(p1)));
                         }},
                        {"IsExistedPath",
                         [](Engine& e, Str& r, const Str& p1, const Str&, const Str&) {
                           return e.IntegerReply(r, e.m_pTask->IsExistedPath(Data(p1)));
                         }},
                        {"GetItemType",
                         [](Engine& e, Str& r, const Str& p1, const Str&, const Str&) {
                           _PL_FS_ITEM_TYPE eType = static_cast<_PL_FS_ITEM_TYPE>(0);
                           e.m_pTask->GetItemType(Data(p1), &eType);
                           return e.IntegerReply(r, eType);
                         }},
                        {"GetFileSize",
                         [](Engine& e, Str& r, const Str& p1, const Str&, const Str&) {
                           int nSize = 0;
                           int nResult = e.m_pTask->GetFileSize(Data(p1), &nSize);
                           return e.IntegerReply(r, nResult == 1 ? nSize : nResult);
                         }},
                        {"GetProperty",
                         [](Engine& e, Str& r, const Str& p1, const Str&, const Str&) {
                           return e.TextReply(r, p1, &CXapTaskFileSystem::GetProperty);
                         }},
                        {"GetListFiles",
                         [](Engine& e, Str& r, const Str& p1, const Str&, const Str&) {
                           return e.TextReply(r, p1, &CXapTaskFileSystem::GetListFiles);
                         }},
                        {"WriteBase64", [](Engine& e, Str& r, const Str& p1, const Str& p2,
                                           const Str&) { return e.Base64Reply(r, p1, p2, true); }},
                        {"ReadBase64", [](Engine& e, Str& r, const Str& p1, const Str& p2,
                                          const Str&) { return e.Base64Reply(r, p1, p2, false); }},
                        {"GetTotalSize",
                         [](Engine& e, Str& r, const Str&, const Str&,
                            const Str&) { return e.SizeReply(r, &CXapTaskFileSystem::GetTotalSize); }},
                        {"GetUsedSize",
                         [](Engine& e, Str& r, const Str&, const Str&,
                            const Str&) { return e.SizeReply(r, &CXapTaskFileSystem::GetUsedSize); }},
                        {"GetFreeSize",
                         [](Engine& e, Str& r, const Str&, const Str&,
                            const Str&) { return e.SizeReply(r, &CXapTaskFileSystem::GetFreeSize); }},
                        {"GetFolderSize",
                         [](Engine& e, Str& r, const Str& p1, const Str& p2, const Str& p3) {
                           return e.FolderSizeReply(r, p1, p2, p3);
                         }},
                        {"SetExecutable",
                         [](Engine& e, Str& r, const Str& p1, const Str&, const Str&) {
                           return e.IntegerReply(r, e.m_pTask->SetXapFileExecutable(Data(p1)));
                         }},
                        {"SetWidgetInfo", [](Engine& e, Str& r, const Str& p1, const Str& p2,
                                             const Str&) { return e.OnSetWidgetInfo(r, p1, p2); }},
};

CXapEngineFileSystem::CXapEngineFileSystem() : m_pTask(nullptr) {
  XAP_TRACE();
  m_pTask = new (std::nothrow) CXapTaskFileSystem();
  if (m_pTask == nullptr) {
    XAP_ERROR();
    return;
  }
  m_pTask->m_pEngine = this;
}

CXapEngineFileSystem::~CXapEngineFileSystem() {
  XAP_TRACE();
  if (m_pTask != nullptr) {
    delete m_pTask;
    m_pTask = nullptr;
  }
}

bool CXapEngineFileSystem::Execute(std::string& strRet, const std::string& strCmd,
                                   const std::string& strParam1, const std::string& strParam2,
                                   const std::string& strParam3, const std::string& strParam4) {
  XAP_LOG(3u, "check::::::: %s([%s][%s][%s][%s])\n", strCmd.c_str(), strParam1.c_str(),
          strParam2.c_str(), strParam3.c_str(), strParam4.c_str());
  if (m_pTask == nullptr) {
    XAP_ERROR();
    return false;
  }
  for (const Command& command : s_commands) {
    if (strCmd == command.pszName) {
      return command.pfnHandler(*this, strRet, strParam1, strParam2, strParam3);
    }
  }
  XAP_LOG(0u, "Unknow Cmd = [%s]", strCmd.c_str());
  return false;
}

bool CXapEngineFileSystem::ConvertParam(std::string strParam) {
  return strParam == "true" || strParam == "1";
}

bool CXapEngineFileSystem::IntegerReply(std::string& strRet, int nValue) {
  SetReturnValueInteger(strRet, nValue);
  return true;
}

bool CXapEngineFileSystem::TextReply(std::string& strRet, const std::string& strParam1,
                                     int (CXapTaskFileSystem::*pfnQuery)(char*, char*)) {
  char szBuffer[kTextReplySize];
  memset(szBuffer, 0, sizeof szBuffer);
  int nResult = (m_pTask->*pfnQuery)(Data(strParam1), szBuffer);
  if (nResult < 0) {
    SetReturnValueInteger(strRet, nResult);
  } else {
    SetReturnValueASCII(strRet, szBuffer);
  }
  return true;
}

bool CXapEngineFileSystem::SizeReply(std::string& strRet,
                                     int (CXapTaskFileSystem::*pfnQuery)(unsigned long long*)) {
  unsigned long long ullValue = 0;
  int nResult = (m_pTask->*pfnQuery)(&ullValue);
  if (nResult != 1) {
    SetReturnValueInteger(strRet, nResult);
    return true;
  }
  char szBuffer[kSizeReplySize];
  memset(szBuffer, 0, sizeof szBuffer);
  snprintf(szBuffer, kSizeReplySize - 1, "%lld", static_cast<long long>(ullValue));
  std::string strValue(szBuffer);
  SetReturnValueASCII(strRet, strValue);
  return true;
}

bool CXapEngineFileSystem::FolderSizeReply(std::string& strRet, const std::string& strParam1,
                                           const std::string& strParam2,
                                           const std::string& strParam3) {
  double lfSize = 0.0;
  int nResult = m_pTask->GetFolderSize(&lfSize, Data(strParam1), ConvertParam(strParam2),
                                       ConvertParam(strParam3));
  if (nResult != 1) {
    SetReturnValueInteger(strRet, nResult);
    return true;
  }
  // A whole number without a decimal point, at most 19 characters.
  char szBuffer[kFolderSizeReplySize];
  memset(szBuffer, 0, sizeof szBuffer);
  snprintf(szBuffer, kFolderSizeReplySize, "%.0lf", lfSize);
  std::string strValue(szBuffer);
  SetReturnValueASCII(strRet, strValue);
  return true;
}

bool CXapEngineFileSystem::OnSetWidgetInfo(std::string& strRet, const std::string& strParam1,
                                           const std::string& strParam2) {
  XAP_LOG(4u, "WidgetType[%s] WidgetPath[%s]", strParam1.c_str(), strParam2.c_str());
  int nWidgetType = 0;
  try {
    nWidgetType = boost::lexical_cast<int>(strParam1);
  } catch (const boost::bad_lexical_cast&) {
    // Not a whole decimal number within int: the widget information stays
    // as it was.
    XAP_LOG(0u, "WidgetType is not a whole number: [%s]", strParam1.c_str());
    SetReturnValueInteger(strRet, 0);
    return false;
  }
  SetReturnValueInteger(strRet, m_pTask->SetWidgetInfo(nWidgetType, Data(strParam2)));
  return true;
}

bool CXapEngineFileSystem::Base64Reply(std::string& strRet, const std::string& strParam1,
                                       const std::string& strParam2, bool bEncode) {
  char szOutput[kBase64BufferSize];
  char szReply[kBase64BufferSize];
  memset(szOutput, 0, sizeof szOutput);
  memset(szReply, 0, sizeof szReply);
  int nOutputSize = 0;
  long lDeclaredSize = strtol(strParam2.c_str(), nullptr, 10);

  size_t nLength = strParam1.size();
  if (nLength > kBase64MaxInput) {
    XAP_LOG(0u, "overflow strParam  size = [%d]", static_cast<int>(nLength));
    SetReturnValueInteger(strRet, 0);
    return false;
  }
  if (static_cast<long>(nLength) != lDeclaredSize) {
    XAP_LOG(0u, "parameter wrong size size = [%d]", static_cast<int>(nLength));
    SetReturnValueInteger(strRet, 0);
    return false;
  }

  int nInputSize = static_cast<int>(nLength);
  if (bEncode) {
    // The encoding of up to 2048 bytes would not fit the output buffer: an
    // input whose encoding is refused anyway is measured, not encoded.
    int nEncodedSize = b64_encoded_length(nInputSize);
    if (nEncodedSize > kBase64MaxOutput) {
      nOutputSize = nEncodedSize;
    } else {
      m_pTask->WriteBase64(Data(strParam1), &nInputSize, szOutput, &nOutputSize);
    }
  } else {
    m_pTask->ReadBase64(Data(strParam1), &nInputSize, szOutput, &nOutputSize);
  }

  if (nOutputSize > kBase64MaxOutput) {
    XAP_LOG(0u, "output size . overflow strParam\tsize = [%d]", nOutputSize);
    SetReturnValueInteger(strRet, 0);
    return false;
  }
  snprintf(szReply, kBase64BufferSize - 1,
           bEncode ? "{\"b64_encode\": \"%s\", \"size\": %d }"
                   : "{\"b64_decode\": \"%s\", \"size\": %d }",
           szOutput, nOutputSize);
  std::string strReply(szReply);
  SetReturnValueASCII(strRet, strReply);
  return true;
}

}  // namespace qom
