// The framework's shell routine, as the module may use it (see XapBase.h
// here).
#ifndef XAP_FRAMEWORKSTUB_QOMSHELL_H_
#define XAP_FRAMEWORKSTUB_QOMSHELL_H_

namespace qom {

int QomExecShell(const char* command);

}  // namespace qom

#endif  // XAP_FRAMEWORKSTUB_QOMSHELL_H_
