// The framework interface that an extension module is written against: the
// application and engine base classes and the entry routine. The real
// framework is not available here; this host implements the same interface
// and serves commands over stdin/stdout (see XapMain).
#ifndef XAP_HOST_XAPBASE_H_
#define XAP_HOST_XAPBASE_H_

#include <string>
#include <vector>

namespace qom {

typedef std::vector<std::string> ParamList;

struct XapType {
  enum type { XAP_TYPE_NONE = 0, XAP_TYPE_APP = 1, XAP_TYPE_WIDGET = 2 };
};

class CXapEngineBase;

// The module's application object. The derived constructor sets the three
// texts; the host reads them for --version. The module overrides only the
// destructor and CreateXapEngine; the slot order is part of the interface.
class CXapAppBase {
 public:
  CXapAppBase();
  virtual ~CXapAppBase();

  virtual int Open(const std::string& strName, const std::string& strParam1,
                   const std::string& strParam2, const std::string& strParam3);
  virtual int Close(const std::string& strName, XapType::type eType);
  virtual bool Execute(std::string& strRet, const std::string& strName, const std::string& strCmd,
                       const std::string& strParam1, const std::string& strParam2,
                       const std::string& strParam3, const std::string& strParam4);
  virtual bool ExecuteWithParamList(std::string& strRet, const std::string& strName,
                                    const std::string& strCmd, const ParamList& params);
  virtual void Destroy();
  virtual int Open(int nHandle, const std::string& strParam1, const std::string& strParam2,
                   const std::string& strParam3);
  virtual int Close(int nHandle);
  virtual bool Execute(std::string& strRet, int nHandle, const std::string& strCmd,
                       const std::string& strParam1, const std::string& strParam2,
                       const std::string& strParam3, const std::string& strParam4);
  virtual bool ExecuteWithParamList(std::string& strRet, int nHandle, const std::string& strCmd,
                                    const ParamList& params);
  // Returns a new engine owned by the caller, or null.
  virtual CXapEngineBase* CreateXapEngine();
  virtual bool CheckVersion(std::string strVersion);
  virtual bool CheckCredential(std::string strCredential);

  // Name, id and version of the module, set by the derived constructor.
  std::string m_strName;
  std::string m_strId;
  std::string m_strVersion;
};

// What the last Execute stored through the reply setters.
enum XapReplyKind { XAP_REPLY_NONE = 0, XAP_REPLY_INTEGER = 1, XAP_REPLY_ASCII = 2 };

// Receives every event sent through any engine. Replaceable for tests.
typedef void (*XapEventSink)(int nEventId, const std::string& strData1,
                             const std::string& strData2);

// The module's command engine. Execute is called once per command on the
// command thread; SendEvent may be called from any thread at any time.
class CXapEngineBase {
 public:
  CXapEngineBase();
  virtual ~CXapEngineBase();

  virtual bool Execute(std::string& strRet, const std::string& strCmd, const std::string& strParam1,
                       const std::string& strParam2, const std::string& strParam3,
                       const std::string& strParam4);
  virtual bool ExecuteWithParamList(std::string& strRet, const std::string& strCmd,
                                    const ParamList& params);
  virtual void Destroy();
  virtual void SetAppInfo(int nType, std::string strName, std::string strId,
                          std::string strVersion);

  // Reply setters: store the reply of the current command in strRet.
  void SetReturnValueInteger(std::string& strRet, int nValue);
  void SetReturnValueASCII(std::string& strRet, const char* pszValue);
  void SetReturnValueASCII(std::string& strRet, std::string& strValue);

  // Delivers an event to the host's sink. Safe from any thread while the
  // engine lives.
  void SendEvent(int nEventId, std::string strData1, std::string strData2);

  // Host side: reset before Execute, read after it.
  void ResetReply();
  XapReplyKind ReplyKind() const { return m_eReplyKind; }
  int ReplyInteger() const { return m_nReplyInteger; }

  // Replaces the event sink for every engine; null restores the default,
  // which writes the event line to standard output.
  static void SetEventSink(XapEventSink pfnSink);

 private:
  XapReplyKind m_eReplyKind;
  int m_nReplyInteger;
};

// Waits until every thread that the module started has ended. Each is
// counted from its creation until its start routine returns: the host's
// programs are linked with pthread_create wrapped (XapThreads.cpp), so the
// module needs nothing but the thread calls of the system. At end of input
// the host waits here before it destroys the engine, so that every job's
// event is written.
void XapWaitForJobs();

// Runs the process: answers --help/--version, creates the engine through
// the application object and serves the line protocol on stdin/stdout until
// end of input. Returns the exit status. Never deletes the application.
int XapMain(int argc, char** argv, CXapAppBase* app);

}  // namespace qom

#endif  // XAP_HOST_XAPBASE_H_
