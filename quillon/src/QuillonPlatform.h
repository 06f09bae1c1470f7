#pragma once
// What each platform backend supplies to the common part of the library.
#include <cstdint>

// A device handle as the backend knows it; kQuillonNoDevice when none is open.
using TQuillonHandle = intptr_t;
constexpr TQuillonHandle kQuillonNoDevice = -1;

// The pass-through request, independent of the system's structure that carries it.
struct TQuillonRequest {
    uint8_t Cdb[16] = {};
    uint8_t CdbLength = 0;
    bool DataIn = false;             // true: data from the device
    uint32_t DataTransferLength = 0; // the caller's buffer length
    uint32_t TimeOutValue = 30;      // seconds
    uint8_t* DataBuffer = nullptr;
    uint8_t Sense[16] = {};
};

// Searches and opens the tax disk; kQuillonNoDevice when there is none or it cannot be opened.
TQuillonHandle QuillonPlatformOpen();
// Nonzero on success.
int32_t QuillonPlatformClose(TQuillonHandle handle);
// True when the request went through the driver; transferred is the count the driver reports.
bool QuillonPlatformSend(TQuillonHandle handle, TQuillonRequest& request, uint32_t& transferred);

// The device layer's diagnostic lines (printf format, one Windows or errno error number or text). No sink
// is installed by default, so Quillon stays silent; the tax data transfer library installs one.
using TQuillonDiagnosticSink = void (*)(const char* line);
void QuillonSetDiagnosticSink(TQuillonDiagnosticSink sink);
void QuillonDiagnose(const char* format, ...) __attribute__((format(printf, 1, 2)));
