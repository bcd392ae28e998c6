// The framework's logger, as the module may use it (see XapBase.h here).
#ifndef XAP_FRAMEWORKSTUB_QOMDEBUG_H_
#define XAP_FRAMEWORKSTUB_QOMDEBUG_H_

namespace qom {

class CQOMDebug {
 public:
  static void PrintLog(unsigned module, unsigned level, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
};

}  // namespace qom

#endif  // XAP_FRAMEWORKSTUB_QOMDEBUG_H_
