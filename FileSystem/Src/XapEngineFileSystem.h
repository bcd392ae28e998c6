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
  // A row of the command table: stores the reply and returns what Execute
  // returns.
  typedef bool (*Handler)(CXapEngineFileSystem& engine, std::string& strRet,
                          const std::string& strParam1, const std::string& strParam2,
                          const std::string& strParam3);
  struct Command {
    const char* pszName;
    Handler pfnHandler;
  };

  // An integer reply; true.
  bool IntegerReply(std::string& strRet, int nValue);
  // A text query's reply: its code when negative, else the text.
  bool TextReply(std::string& strRet, const std::string& strParam1,
                 int (CXapTaskFileSystem::*pfnQuery)(char*, char*));
  // A size figure's reply: the decimal text when the query answered 1.
  bool SizeReply(std::string& strRet, int (CXapTaskFileSystem::*pfnQuery)(unsigned long long*));
  bool FolderSizeReply(std::string& strRet, const std::string& strParam1,
                       const std::string& strParam2, const std::string& strParam3);
  bool OnSetWidgetInfo(std::string& strRet, const std::string& strParam1,
                       const std::string& strParam2);
  // The common body of the two Base64 commands.
  bool Base64Reply(std::string& strRet, const std::string& strParam1, const std::string& strParam2,
                   bool bEncode);

  static const Command s_commands[];

  CXapTaskFileSystem* m_pTask;  // owned; null only when it could not be made
};

}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPENGINEFILESYSTEM_H_
