/* The USB card I/O library: finds the USB tax disk, opens it and sends it SCSI command blocks through the
 * system's SCSI pass-through interface. One device handle per process; every failure is reported by the
 * return value alone. */
#ifndef QUILLON_H
#define QUILLON_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define QUILLON_STDCALL __stdcall
#else
#define QUILLON_STDCALL
#endif

#if defined(_WIN32)
#if defined(QUILLON_BUILDING)
#define QUILLON_API __declspec(dllexport)
#else
#define QUILLON_API __declspec(dllimport)
#endif
#else
#define QUILLON_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when a tax disk is open afterwards, 0 otherwise. */
QUILLON_API int32_t QUILLON_STDCALL OpenUsbCard(void);
/* -1 when no device is open; otherwise the close call's result (nonzero on success). */
QUILLON_API int32_t QUILLON_STDCALL CloseUsbCard(void);
/* Sends one command block. direction 0 reads up to bufferLength bytes into buffer, any other value writes
 * bufferLength bytes from it. 1 when the command went through the driver (transferred then holds the
 * number of bytes moved), 0 otherwise (transferred untouched). */
QUILLON_API int32_t QUILLON_STDCALL SendCmdAndDataToUsbCard(const uint8_t* command, int32_t commandLength,
                                                            uint8_t* buffer, int32_t bufferLength,
                                                            int32_t* transferred, int32_t direction);

#ifdef __cplusplus
}
#endif

#endif
