// The framework's interface as the module may use it, and nothing more: the
// module's units are built against these headers and Stub.cpp too (target
// xap_interface_check), so that a call of anything the device's framework
// does not offer fails the build here instead of the link on the device.
#ifndef XAP_FRAMEWORKSTUB_XAPBASE_H_
#define XAP_FRAMEWORKSTUB_XAPBASE_H_

#include <string>
#include <vector>

namespace qom {

typedef std::vector<std::string> ParamList;

struct XapType {
  enum type { XAP_TYPE_NONE = 0 };
};

class CXapEngineBase;

class CXapAppBase {
 public:
  CXapAppBase();
  virtual ~CXapAppBase();
  virtual int Open(const std::string&, const std::string&, const std::string&, const std::string&);
  virtual int Close(const std::string&, XapType::type);
  virtual bool Execute(std::string&, const std::string&, const std::string&, const std::string&,
                       const std::string&, const std::string&, const std::string&);
  virtual bool ExecuteWithParamList(std::string&, const std::string&, const std::string&,
                                    const ParamList&);
  virtual void Destroy();
  virtual int Open(int, const std::string&, const std::string&, const std::string&);
  virtual int Close(int);
  virtual bool Execute(std::string&, int, const std::string&, const std::string&,
                       const std::string&, const std::string&, const std::string&);
  virtual bool ExecuteWithParamList(std::string&, int, const std::string&, const ParamList&);
  virtual CXapEngineBase* CreateXapEngine();
  virtual bool CheckVersion(std::string);
  virtual bool CheckCredential(std::string);

  std::string m_strName;
  std::string m_strId;
  std::string m_strVersion;
};

class CXapEngineBase {
 public:
  CXapEngineBase();
  virtual ~CXapEngineBase();
  virtual bool Execute(std::string&, const std::string&, const std::string&, const std::string&,
                       const std::string&, const std::string&);
  virtual bool ExecuteWithParamList(std::string&, const std::string&, const ParamList&);
  virtual void Destroy();
  virtual void SetAppInfo(int, std::string, std::string, std::string);

  void SetReturnValueInteger(std::string&, int);
  void SetReturnValueASCII(std::string&, const char*);
  void SetReturnValueASCII(std::string&, std::string&);
  void SendEvent(int, std::string, std::string);
};

int XapMain(int argc, char** argv, CXapAppBase* app);

}  // namespace qom

#endif  // XAP_FRAMEWORKSTUB_XAPBASE_H_
