/* The tax data transfer library: reads the USB tax disk into VTD XML files, runs the pending rows of a VTD
 * XML text, runs single raw commands and reads the taxpayer identifier and the disk number. C linkage;
 * __stdcall with undecorated export names on 32-bit Windows. Text arguments are NUL-terminated ANSI
 * strings (UTF-8 on Linux); results are return codes only (see README.md). */
#ifndef MARROWGATE_H
#define MARROWGATE_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define MARROWGATE_STDCALL __stdcall
#else
#define MARROWGATE_STDCALL
#endif

#if defined(_WIN32)
#if defined(MARROWGATE_BUILDING)
#define MARROWGATE_API __declspec(dllexport)
#else
#define MARROWGATE_API __declspec(dllimport)
#endif
#else
#define MARROWGATE_API __attribute__((visibility("default")))
#endif

/* Result code shared by the runs that need the verification value or the clear-card block: the
 * configuration file (Marrowgate.ini beside the library, or MARROWGATE_CONFIG) does not supply it. */
#define MARROWGATE_NOT_CONFIGURED (-7)

#ifdef __cplusplus
extern "C" {
#endif

/* Stores the data type of the clear-card runs (10 or 20 add their clear-card block); returns it. */
MARROWGATE_API int32_t MARROWGATE_STDCALL SetUsbCardDataType(int32_t dataType);
/* Declaration data into a VTD XML file: 1, 0 null path, -1 no disk, -2 file, -4 transfer, -5 stopped,
 * -6 count FFFFFFFF, -7 not configured. No file is left on any result but 1. */
MARROWGATE_API int32_t MARROWGATE_STDCALL BSUsbDataToVtdXmlFile(const char* fileName);
/* Clear-card data into a VTD XML file; results as BSUsbDataToVtdXmlFile (without -6). */
MARROWGATE_API int32_t MARROWGATE_STDCALL QKUsbDataToVtdXmlFile(const char* fileName);
/* Ends the run under way (from any thread) after its current command. */
MARROWGATE_API void MARROWGATE_STDCALL StopReadUsbData(void);
/* Writes the clear-card block (a7): 1, -1 no disk, -4 short transfer, -5 stopped, -7 not configured. */
MARROWGATE_API int32_t MARROWGATE_STDCALL RunExternQkUsbOrder(void);
/* Runs the pending rows of a VTD XML text (UTF-8): 1, -1 no disk, 0 nothing usable, -2 a row failed,
 * -4 the status command aa answered nonzero. */
MARROWGATE_API int32_t MARROWGATE_STDCALL RunExternQkUsbStrOrder(const char* xmlText);
/* Low byte 1 opens the disk for RunExternUsbOrder (1 / 0); any other value closes it (1). */
MARROWGATE_API int32_t MARROWGATE_STDCALL OperateUsbDevice(int32_t flag);
/* One raw command: -1 device not opened by OperateUsbDevice, 0 no or unusable hex text, 1 done, -2 null
 * read buffer, -3 transfer failed, -4 short read. */
MARROWGATE_API int32_t MARROWGATE_STDCALL RunExternUsbOrder(const char* commandHex, const char* dataHex,
                                                            uint8_t* buffer, int32_t length, int32_t write);
/* 15 hex digits and NUL (buffer of 16 bytes or more): 1, 0 null buffer, -1 no disk, -2 failed, -7. */
MARROWGATE_API int32_t MARROWGATE_STDCALL GetTaxpayerID(char* buffer);
/* The disk number, 9 characters and NUL (10 bytes or more); results as GetTaxpayerID. */
MARROWGATE_API int32_t MARROWGATE_STDCALL GetCardID(char* buffer);

#ifdef __cplusplus
}
#endif

#endif
