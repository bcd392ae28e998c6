// The framework's shell routine.
#ifndef XAP_HOST_QOMSHELL_H_
#define XAP_HOST_QOMSHELL_H_

namespace qom {

// Runs one command line with /bin/sh -c and waits for it. The command reads
// /dev/null and writes both its outputs to the host's stderr, so it can
// neither read nor pollute the command stream. Returns 0 only when the
// command exited with status 0; otherwise the exit status, 128 plus the
// signal number, or -1 when it could not be started. Thread-safe.
int QomExecShell(const char* command);

}  // namespace qom

#endif  // XAP_HOST_QOMSHELL_H_
