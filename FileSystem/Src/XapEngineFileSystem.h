// The command dispatcher: maps each command name to an operation of the
// task object and turns its result into the reply.
#ifndef XAP_FILESYSTEM_XAPENGINEFILESYSTEM_H_
#define XAP_FILESYSTEM_XAPENGINEFILESYSTEM_H_

#include <string>

#include "XapBase.h"

namespace qom {

class CXapTaskFileSystem;

class CXapEngineFileSystem : public CXapEngineBase {
 public:
  CXapEngineFileSystem();
  ~CXapEngineFileSystem() override;

  CXapEngineFileSystem(const CXapEngineFileSystem&) = delete;
  CXapEngineFileSystem& operator=(const CXapEngineFileSystem&) = delete;

  // Handles one command. The reply goes into strRet through one of the
  // reply setters, or none for an unknown name. False for an unknown name,
  // a missing task object or refused Base64 input.
  bool Execute(std::string& strRet, const std::string& strCmd, const std::string& strParam1,
               const std::string& strParam2, const std::string& strParam3,
               const std::string& strParam4) override;

  // True only for exactly "true" or exactly "1".
  bool ConvertParam(std::string strParam);

 protected:
  typedef bool (CXapEngineFileSystem::*Handler)(std::string& strRet, const std::string& strParam1,
                                                const std::string& strParam2,
                                                const std::string& strParam3);
  struct Command {
    const char* pszName;
    Handler pfnHandler;
  };

  bool OnGetName(std::string& strRet, const std::string& strParam1, const std::string& strParam2,
                 const std::string& strParam3);
  bool OnUnzipKill(std::string& strRet, const std::string& strParam1, const std::string& strParam2,
                   const std::string& strParam3);
  bool OnUnzip(std::string& strRet, const std::string& strParam1, const std::string& strParam2,
               const std::string& strParam3);
  bool OnCopy(std::string& strRet, const std::string& strParam1, const std::string& strParam2,
              const std::string& strParam3);
  bool OnMove(std::string& strRet, const std::string& strParam1, const std::string& strParam2,
              const std::string& strParam3);
  bool OnDelete(std::string& strRet, const std::string& strParam1, const std::string& strParam2,
                const std::string& strParam3);
  bool OnUnzipAsync(std::string& strRet, const std::string& strParam1, const std::string& strParam2,
                    const std::string& strParam3);
  bool OnDeleteAsync(std::string& strRet, const std::string& strParam1,
                     const std::string& strParam2, const std::string& strParam3);
  bool OnIsExistedPath(std::string& strRet, const std::string& strParam1,
                       const std::string& strParam2, const std::string& strParam3);
  bool OnGetItemType(std::string& strRet, const std::string& strParam1,
                     const std::string& strParam2, const std::string& strParam3);
  bool OnGetFileSize(std::string& strRet, const std::string& strParam1,
                     const std::string& strParam2, const std::string& strParam3);
  bool OnGetProperty(std::string& strRet, const std::string& strParam1,
                     const std::string& strParam2, const std::string& strParam3);
  bool OnGetListFiles(std::string& strRet, const std::string& strParam1,
                      const std::string& strParam2, const std::string& strParam3);
  bool OnGetTotalSize(std::string& strRet, const std::string& strParam1,
                      const std::string& strParam2, const std::string& strParam3);
  bool OnGetUsedSize(std::string& strRet, const std::string& strParam1,
                     const std::string& strParam2, const std::string& strParam3);
  bool OnGetFreeSize(std::string& strRet, const std::string& strParam1,
                     const std::string& strParam2, const std::string& strParam3);
  bool OnGetFolderSize(std::string& strRet, const std::string& strParam1,
                       const std::string& strParam2, const std::string& strParam3);
  // A text query's reply: its code when negative, else the text.
  bool TextReply(std::string& strRet, const std::string& strParam1,
                 int (CXapTaskFileSystem::*pfnQuery)(char*, char*));
  // A size figure's reply: the decimal text when the query answered 1.
  bool SizeReply(std::string& strRet, int (CXapTaskFileSystem::*pfnQuery)(unsigned long long*));
  bool OnSetExecutable(std::string& strRet, const std::string& strParam1,
                       const std::string& strParam2, const std::string& strParam3);
  bool OnSetWidgetInfo(std::string& strRet, const std::string& strParam1,
                       const std::string& strParam2, const std::string& strParam3);
  bool OnWriteBase64(std::string& strRet, const std::string& strParam1,
                     const std::string& strParam2, const std::string& strParam3);
  bool OnReadBase64(std::string& strRet, const std::string& strParam1, const std::string& strParam2,
                    const std::string& strParam3);
  // The common body of the two Base64 commands.
  bool Base64Reply(std::string& strRet, const std::string& strParam1, const std::string& strParam2,
                   bool bEncode);

  static const Command s_commands[];

  CXapTaskFileSystem* m_pTask;  // owned; null only when it could not be made
};

}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPENGINEFILESYSTEM_H_
