// The framework's Base64 routines: standard alphabet, "=" padding, no line
// breaks.
#ifndef XAP_HOST_B64_H_
#define XAP_HOST_B64_H_

// Number of characters b64_encode writes for inLen bytes.
int b64_encoded_length(int inLen);

// Encodes inLen bytes of in into out and stores the character count in
// *outLen. out must hold b64_encoded_length(inLen) bytes; no terminator is
// written. A negative inLen counts as 0.
void b64_encode(const char* in, int inLen, char* out, int* outLen);

// Decodes in (inLen characters) into out and stores the byte count in
// *outLen. Decoding stops at the first "=" or at the first character outside
// the alphabet; a trailing group of 2 or 3 characters yields 1 or 2 bytes.
// Never reads past inLen and never writes more than the decoded count, which
// is at most inLen * 3 / 4; no terminator is written.
void b64_decode(const char* in, int inLen, char* out, int* outLen);

#endif  // XAP_HOST_B64_H_
