// The task object: carries out every file-system operation of the module.
// Operations take plain text pointers and out-parameters and answer an
// integer result code; nothing is reported by exceptions.
#ifndef XAP_FILESYSTEM_XAPTASKFILESYSTEM_H_
#define XAP_FILESYSTEM_XAPTASKFILESYSTEM_H_

#include <cstdint>

namespace qom {

class CXapEngineFileSystem;

// Result codes of the task operations.
enum {
  XAP_RESULT_OK = 1,
  XAP_RESULT_FAIL = 0,
  XAP_RESULT_NULL_ARGUMENT = -3,
  XAP_RESULT_NO_WIDGET = -4,
  XAP_RESULT_NOT_FOUND = -5,
  XAP_RESULT_REFUSED = -7,
};

class CXapTaskFileSystem {
 public:
  CXapTaskFileSystem();
  virtual ~CXapTaskFileSystem();

  CXapTaskFileSystem(const CXapTaskFileSystem&) = delete;
  CXapTaskFileSystem& operator=(const CXapTaskFileSystem&) = delete;

  // Encodes *pnInputSize bytes of pszInput into pszOutput and stores the
  // character count in *pnOutputSize. pszOutput must hold the whole
  // encoding; the caller checks that before. Returns 1.
  int WriteBase64(char* pszInput, int* pnInputSize, char* pszOutput, int* pnOutputSize);
  // Decodes like WriteBase64 encodes; the output is at most 3/4 of the input.
  int ReadBase64(char* pszInput, int* pnInputSize, char* pszOutput, int* pnOutputSize);

 protected:
  friend class CXapEngineFileSystem;

  // Copies pszSrc without its leading and trailing blanks (0x20 only) into
  // pszDest, which holds at least strlen(pszSrc) + 1 bytes. 1, or 0 when
  // either pointer is null (nothing written).
  int t_Trim(char* pszSrc, char* pszDest);

  // Whether pszPath opens in nMode (0 read, 1 write, 2 read-write) with the
  // extra open flags; with bReadableFile and mode 0 it must also be a
  // regular file with the owner-read bit. Retries a missing path up to six
  // opens in all. Records the outcome in m_nFd and m_nAuthMode. 1 or 0.
  int t_CheckAuth(const char* pszPath, int nMode, int nFlags, bool bReadableFile);

  // 1 when pszPath opens as a directory stream, else 0 (also for null).
  int t_IsDirExist(const char* pszPath);

  int32_t m_nFd;                    // descriptor number of the last t_CheckAuth open
  int32_t m_nAuthMode;              // mode of the last successful t_CheckAuth
  CXapEngineFileSystem* m_pEngine;  // the owning engine, for the workers' events
  char m_szWidgetPath[200];         // widget folder, at most 199 characters
  int32_t m_nWidgetType;            // 0 none, 1 unrestricted, other restricted
};

}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPTASKFILESYSTEM_H_
