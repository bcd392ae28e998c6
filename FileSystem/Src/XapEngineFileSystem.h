// The command dispatcher: maps each command name to an operation of the
// task object and turns its result into the reply.
#ifndef XAP_FILESYSTEM_XAPENGINEFILESYSTEM_H_
#define XAP_FILESYSTEM_XAPENGINEFILESYSTEM_H_

#include <string>

#include "XapBase.h"
#include "XapEnv.h"
#include "XapFileSystemLog.h"

namespace qom {

class CXapTaskFileSystem;

class CXapEngineFileSystem : public CXapEngineBase {
 public:
  CXapEngineFileSystem();
  // An engine whose task calls the operating system through env, which
  // must outlive it and its jobs.
  explicit CXapEngineFileSystem(Env& env);
  ~CXapEngineFileSystem() override;

  CXapEngineFileSystem(const CXapEngineFileSystem&) = delete;
  CXapEngineFileSystem& operator=(const CXapEngineFileSystem&) = delete;

  // Handles one command. The reply goes into strRet through one of the
  // reply setters, or none for an unknown name. False for an unknown name,
  // a missing task object, refused Base64 input or a widget type that is
  // not a whole number.
  bool Execute(std::string& strRet, const std::string& strCmd, const std::string& strParam1,
               const std::string& strParam2, const std::string& strParam3,
               const std::string& strParam4) override;

  // True only for exactly "true" or exactly "1".
  bool ConvertParam(std::string strParam);

 protected:
  // The parameters a row uses, and the site its log lines carry: every row
  // is a step of Execute, and logs as Execute at the line that called it.
  struct Params {
    const std::string& strParam1;
    const std::string& strParam2;
    const std::string& strParam3;
    XapLogSite site;
  };
  // A row's handler: stores the reply and returns what Execute returns.
  typedef bool (CXapEngineFileSystem::*Handler)(std::string& strRet, const Params& params);
  struct Command {
    const char* pszName;
    Handler pfnHandler;
  };
  typedef int (CXapTaskFileSystem::*OnePathOperation)(char*);
  typedef int (CXapTaskFileSystem::*TwoPathOperation)(char*, char*);
  typedef int (CXapTaskFileSystem::*SizeOperation)(unsigned long long*);

  // The handlers, one per kind of row. The templates call the operation
  // they are given with the first (and second) parameter; integer reply.
  template <OnePathOperation pfnOperation>
  bool OnePath(std::string& strRet, const Params& params);
  template <TwoPathOperation pfnOperation>
  bool TwoPaths(std::string& strRet, const Params& params);
  // A text query's reply: its code when negative, else the text.
  template <TwoPathOperation pfnQuery>
  bool TextQuery(std::string& strRet, const Params& params);
  // A partition figure: the decimal text when the query answered 1.
  template <SizeOperation pfnQuery>
  bool SizeFigure(std::string& strRet, const Params& params);
  bool OnGetName(std::string& strRet, const Params& params);
  bool OnUnzipKill(std::string& strRet, const Params& params);
  bool OnGetItemType(std::string& strRet, const Params& params);
  bool OnGetFileSize(std::string& strRet, const Params& params);
  bool OnWriteBase64(std::string& strRet, const Params& params);
  bool OnReadBase64(std::string& strRet, const Params& params);
  bool OnGetFolderSize(std::string& strRet, const Params& params);
  bool OnSetWidgetInfo(std::string& strRet, const Params& params);
  // The common body of the two Base64 commands.
  bool Base64Reply(std::string& strRet, const Params& params, bool bEncode);

  static const Command s_commands[];

  CXapTaskFileSystem* m_pTask;  // owned; null only when it could not be made
};

}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPENGINEFILESYSTEM_H_
