#include "XapEngineFileSystem.h"

#include <boost/lexical_cast.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "XapFileSystemLog.h"
#include "XapTaskFileSystem.h"

namespace qom {
namespace {

// Base64 limits: the input the commands take, the output they answer, and
// the buffers that hold them.
const size_t kBase64MaxInput = 2048;
const int kBase64MaxOutput = 2000;
const size_t kBase64BufferSize = 2048;

// Reply buffers of the size figures.
const size_t kSizeReplySize = 512;
const size_t kFolderSizeReplySize = 20;

// The task operations take char* and only read through it: they are handed
// the parameters' own characters with the const cast away.
char* CastAwayConst(const std::string& str) { return const_cast<char*>(str.c_str()); }

// Characters the encoder writes for nInput bytes: four for every three
// bytes or part of three.
int EncodedLength(int nInput) { return (nInput + 2) / 3 * 4; }

}  // namespace

using Engine = CXapEngineFileSystem;
using Task = CXapTaskFileSystem;

// Compared in this order; the first equal name is handled.
// clang-format off
const Engine::Command Engine::s_commands[] = {
    {"GetName",       &Engine::OnGetName},
    {"UnzipKill",     &Engine::OnUnzipKill},
    {"Unzip",         &Engine::TwoPaths<&Task::Unzip>},
    {"Copy",          &Engine::TwoPaths<&Task::Copy>},
    {"Move",          &Engine::TwoPaths<&Task::Move>},
    {"Delete",        &Engine::OnePath<&Task::Delete>},
    {"UnzipAsync",    &Engine::TwoPaths<&Task::UnzipAsync>},
    {"DeleteAsync",   &Engine::OnePath<&Task::DeleteAsync>},
    {"IsExistedPath", &Engine::OnePath<&Task::IsExistedPath>},
    {"GetItemType",   &Engine::OnGetItemType},
    {"GetFileSize",   &Engine::OnGetFileSize},
    {"GetProperty",   &Engine::TextQuery<&Task::GetProperty>},
    {"GetListFiles",  &Engine::TextQuery<&Task::GetListFiles>},
    {"WriteBase64",   &Engine::OnWriteBase64},
    {"ReadBase64",    &Engine::OnReadBase64},
    {"GetTotalSize",  &Engine::SizeFigure<&Task::GetTotalSize>},
    {"GetUsedSize",   &Engine::SizeFigure<&Task::GetUsedSize>},
    {"GetFreeSize",   &Engine::SizeFigure<&Task::GetFreeSize>},
    {"GetFolderSize", &Engine::OnGetFolderSize},
    {"SetExecutable", &Engine::OnePath<&Task::SetXapFileExecutable>},
    {"SetWidgetInfo", &Engine::OnSetWidgetInfo},
};
// clang-format on

CXapEngineFileSystem::CXapEngineFileSystem() : CXapEngineFileSystem(Env::Posix()) {}

CXapEngineFileSystem::CXapEngineFileSystem(Env& env) : m_pTask(nullptr) {
  XAP_TRACE();
  m_pTask = new (std::nothrow) CXapTaskFileSystem(env);
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
    if (strCmd != command.pszName) continue;
    const Params params = {strParam1, strParam2, strParam3, XAP_HERE};
    return (this->*command.pfnHandler)(strRet, params);
  }
  XAP_LOG(0u, "Unknow Cmd = [%s]", strCmd.c_str());
  return false;
}
// NOLINTNEXTLINE(performance-unnecessary-value-param): as the header declares it
bool CXapEngineFileSystem::ConvertParam(std::string strParam) {
  return strParam == "true" || strParam == "1";
}

template <Engine::OnePathOperation pfnOperation>
bool CXapEngineFileSystem::OnePath(std::string& strRet, const Params& params) {
  SetReturnValueInteger(strRet, (m_pTask->*pfnOperation)(CastAwayConst(params.strParam1)));
  return true;
}

template <Engine::TwoPathOperation pfnOperation>
bool CXapEngineFileSystem::TwoPaths(std::string& strRet, const Params& params) {
  SetReturnValueInteger(strRet, (m_pTask->*pfnOperation)(CastAwayConst(params.strParam1),
                                                         CastAwayConst(params.strParam2)));
  return true;
}

template <Engine::TwoPathOperation pfnQuery>
bool CXapEngineFileSystem::TextQuery(std::string& strRet, const Params& params) {
  char szBuffer[CXapTaskFileSystem::kTextReplySize];
  memset(szBuffer, 0, sizeof szBuffer);
  int nResult = (m_pTask->*pfnQuery)(CastAwayConst(params.strParam1), szBuffer);
  if (nResult < 0) {
    SetReturnValueInteger(strRet, nResult);
  } else {
    SetReturnValueASCII(strRet, szBuffer);
  }
  return true;
}

template <Engine::SizeOperation pfnQuery>
bool CXapEngineFileSystem::SizeFigure(std::string& strRet, const Params&) {
  unsigned long long ullValue = 0;
  int nResult = (m_pTask->*pfnQuery)(&ullValue);
  if (nResult != XAP_RESULT_OK) {
    SetReturnValueInteger(strRet, nResult);
    return true;
  }
  char szBuffer[kSizeReplySize];
  memset(szBuffer, 0, sizeof szBuffer);  // NOLINTNEXTLINE(cert-err33-c): 20 digits at most
  snprintf(szBuffer, kSizeReplySize - 1, "%lld", static_cast<long long>(ullValue));
  std::string strValue(szBuffer);
  SetReturnValueASCII(strRet, strValue);
  return true;
}

bool CXapEngineFileSystem::OnGetName(std::string& strRet, const Params&) {
  std::string strName("FileSystem");
  SetReturnValueASCII(strRet, strName);
  return true;
}

bool CXapEngineFileSystem::OnUnzipKill(std::string& strRet, const Params&) {
  SetReturnValueInteger(strRet, m_pTask->UnzipKill());
  return true;
}

bool CXapEngineFileSystem::OnGetItemType(std::string& strRet, const Params& params) {
  _PL_FS_ITEM_TYPE eType = static_cast<_PL_FS_ITEM_TYPE>(0);
  m_pTask->GetItemType(CastAwayConst(params.strParam1), &eType);
  SetReturnValueInteger(strRet, eType);
  return true;
}

bool CXapEngineFileSystem::OnGetFileSize(std::string& strRet, const Params& params) {
  int nSize = 0;
  int nResult = m_pTask->GetFileSize(CastAwayConst(params.strParam1), &nSize);
  SetReturnValueInteger(strRet, nResult == XAP_RESULT_OK ? nSize : nResult);
  return true;
}

bool CXapEngineFileSystem::OnWriteBase64(std::string& strRet, const Params& params) {
  return Base64Reply(strRet, params, true);
}

bool CXapEngineFileSystem::OnReadBase64(std::string& strRet, const Params& params) {
  return Base64Reply(strRet, params, false);
}

bool CXapEngineFileSystem::OnGetFolderSize(std::string& strRet, const Params& params) {
  double lfSize = 0.0;
  int nResult =
      m_pTask->GetFolderSize(&lfSize, CastAwayConst(params.strParam1),
                             ConvertParam(params.strParam2), ConvertParam(params.strParam3));
  if (nResult != XAP_RESULT_OK) {
    SetReturnValueInteger(strRet, nResult);
    return true;
  }
  // A whole number without a decimal point, at most 19 characters.
  char szBuffer[kFolderSizeReplySize];
  memset(szBuffer, 0, sizeof szBuffer);  // NOLINTNEXTLINE(cert-err33-c): no walk sums 1e19 bytes
  snprintf(szBuffer, kFolderSizeReplySize, "%.0lf", lfSize);
  std::string strValue(szBuffer);
  SetReturnValueASCII(strRet, strValue);
  return true;
}

bool CXapEngineFileSystem::OnSetWidgetInfo(std::string& strRet, const Params& params) {
  XAP_LOG_AT(params.site, 4u, "WidgetType[%s] WidgetPath[%s]", params.strParam1.c_str(),
             params.strParam2.c_str());
  int nWidgetType = 0;
  try {
    nWidgetType = boost::lexical_cast<int>(params.strParam1);
  } catch (const boost::bad_lexical_cast&) {
    // Not a whole decimal number within int: the widget information stays
    // as it was.
    XAP_LOG_AT(params.site, 0u, "WidgetType is not a whole number: [%s]", params.strParam1.c_str());
    SetReturnValueInteger(strRet, 0);
    return false;
  }
  SetReturnValueInteger(strRet,
                        m_pTask->SetWidgetInfo(nWidgetType, CastAwayConst(params.strParam2)));
  return true;
}

bool CXapEngineFileSystem::Base64Reply(std::string& strRet, const Params& params, bool bEncode) {
  char szOutput[kBase64BufferSize];
  char szReply[kBase64BufferSize];
  memset(szOutput, 0, sizeof szOutput);
  memset(szReply, 0, sizeof szReply);
  int nOutputSize = 0;
  long lDeclaredSize = strtol(params.strParam2.c_str(), nullptr, 10);

  size_t nLength = params.strParam1.size();
  if (nLength > kBase64MaxInput) {
    XAP_LOG_AT(params.site, 0u, "overflow strParam  size = [%d]", static_cast<int>(nLength));
    SetReturnValueInteger(strRet, 0);
    return false;
  }
  if (static_cast<long>(nLength) != lDeclaredSize) {
    XAP_LOG_AT(params.site, 0u, "parameter wrong size size = [%d]", static_cast<int>(nLength));
    SetReturnValueInteger(strRet, 0);
    return false;
  }

  int nInputSize = static_cast<int>(nLength);
  if (bEncode && EncodedLength(nInputSize) > kBase64MaxOutput) {
    // Would not fit the output buffer and is refused anyway: measured, not
    // encoded.
    nOutputSize = EncodedLength(nInputSize);
  } else if (bEncode) {
    m_pTask->WriteBase64(CastAwayConst(params.strParam1), &nInputSize, szOutput, &nOutputSize);
  } else {
    // Decoding shrinks: 2048 characters give at most 1536 bytes.
    m_pTask->ReadBase64(CastAwayConst(params.strParam1), &nInputSize, szOutput, &nOutputSize);
  }

  if (nOutputSize > kBase64MaxOutput) {
    XAP_LOG_AT(params.site, 0u, "output size . overflow strParam\tsize = [%d]", nOutputSize);
    SetReturnValueInteger(strRet, 0);
    return false;
  }
  snprintf(szReply, kBase64BufferSize - 1,  // NOLINT(cert-err33-c): at most 2033 characters
           bEncode ? "{\"b64_encode\": \"%s\", \"size\": %d }"
                   : "{\"b64_decode\": \"%s\", \"size\": %d }",
           szOutput, nOutputSize);
  std::string strReply(szReply);
  SetReturnValueASCII(strRet, strReply);
  return true;
}

}  // namespace qom
