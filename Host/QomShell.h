// The framework's shell routine.
#ifndef XAP_HOST_QOMSHELL_H_
#define XAP_HOST_QOMSHELL_H_

namespace qom {

// Runs one command line with /bin/sh -c and waits for it. The command runs
// in a session of its own without a controlling terminal, reads /dev/null,
// finds tools by PATH=/usr/sbin:/usr/bin:/sbin:/bin only, and its output
// (stdout and stderr) is read here and logged as "L3 [sh] <text>" lines, so
// it can neither read nor pollute the command stream and never meets a
// broken pipe. Returns 0 only when the command exited with status 0;
// otherwise the exit status, 128 plus the signal number, or -1 when it could
// not be started. Thread-safe.
int QomExecShell(const char* command);

namespace host {

// Ends every shell command still running (SIGKILL to the process group of
// each) and keeps new ones from starting. For the host's last moment.
void KillShellCommands();

}  // namespace host
}  // namespace qom

#endif  // XAP_HOST_QOMSHELL_H_
