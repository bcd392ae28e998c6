// The framework's logger. Each log statement of the module is a pair of
// calls: the prefix "[QOM][%s(%d)] " and then the message. The pair becomes
// one line on stderr: "L<level> <prefix><message>".
#ifndef XAP_HOST_QOMDEBUG_H_
#define XAP_HOST_QOMDEBUG_H_

namespace qom {

class CQOMDebug {
 public:
  // printf-style; thread-safe. Levels above the current level are dropped
  // before any formatting.
  static void PrintLog(unsigned module, unsigned level, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  // True when a line of this level would be written.
  static bool IsEnabled(unsigned level);

  // Highest level written (0 to 4); 0 at start.
  static void SetLevel(unsigned level);
};

}  // namespace qom

#endif  // XAP_HOST_QOMDEBUG_H_
