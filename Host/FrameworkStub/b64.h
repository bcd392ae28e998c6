// The framework's Base64 routines, as the module may use them (see
// XapBase.h here).
#ifndef XAP_FRAMEWORKSTUB_B64_H_
#define XAP_FRAMEWORKSTUB_B64_H_

void b64_encode(const char* in, int inLen, char* out, int* outLen);
void b64_decode(const char* in, int inLen, char* out, int* outLen);

#endif  // XAP_FRAMEWORKSTUB_B64_H_
