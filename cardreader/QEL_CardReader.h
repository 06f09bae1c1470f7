#pragma once
/* The card reader library: one block of the tax IC card protocol per call, as hex text.
   Request: NUL-terminated upper-case hex of the block (NAD PCB LEN data LRC, no blanks).
   Response: a zero-filled caller buffer of QEL_K417_RESPONSE_SIZE bytes; on result 0 it holds the answer
   block as NUL-terminated upper-case hex. Any other result is a transport failure. */
#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define BRINDLE_STDCALL __stdcall
#else
#define BRINDLE_STDCALL
#endif

#if defined(_WIN32)
#ifdef QEL_CARDREADER_BUILD
#define QEL_CARDREADER_API __declspec(dllexport)
#else
#define QEL_CARDREADER_API __declspec(dllimport)
#endif
#else
#define QEL_CARDREADER_API __attribute__((visibility("default")))
#endif

#define QEL_K417_RESPONSE_SIZE 1025

/* Transport results of QEL_K417_UsbOpt other than 0. */
#define QEL_K417_BAD_ARGUMENT 1 /* a null pointer */
#define QEL_K417_BAD_BLOCK 2    /* the request is not a well-formed block */
#define QEL_K417_NOT_OPEN 3     /* QEL_K417_Open did not succeed before */

QEL_CARDREADER_API unsigned char BRINDLE_STDCALL QEL_K417_Open(void);
QEL_CARDREADER_API int BRINDLE_STDCALL QEL_K417_UsbOpt(const char* request, char* response);
QEL_CARDREADER_API int BRINDLE_STDCALL QEL_K417_Close(void);

#ifdef __cplusplus
}
#endif
