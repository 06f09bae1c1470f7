// The three exports: argument checks and the one device handle of the process. The platform backends do
// the device search and the pass-through call.
#include "Quillon.h"
#include "QuillonPlatform.h"

#include <cstring>

namespace {

TQuillonHandle device = kQuillonNoDevice;

} // namespace

extern "C" {

QUILLON_API int32_t QUILLON_STDCALL OpenUsbCard(void) {
    // A second open would otherwise leak the first handle: it is closed before the new search.
    if (device != kQuillonNoDevice) {
        QuillonPlatformClose(device);
        device = kQuillonNoDevice;
    }
    device = QuillonPlatformOpen();
    return device != kQuillonNoDevice ? 1 : 0;
}

QUILLON_API int32_t QUILLON_STDCALL CloseUsbCard(void) {
    if (device == kQuillonNoDevice)
        return -1;
    int32_t result = QuillonPlatformClose(device);
    device = kQuillonNoDevice;
    return result;
}

QUILLON_API int32_t QUILLON_STDCALL SendCmdAndDataToUsbCard(const uint8_t* command, int32_t commandLength,
                                                            uint8_t* buffer, int32_t bufferLength,
                                                            int32_t* transferred, int32_t direction) {
    // The length counts as a signed byte, as the request's field holds it.
    int8_t cdbLength = static_cast<int8_t>(commandLength & 0xFF);
    if (cdbLength <= 0)
        return 0;
    // Longer commands do not fit the request's command field: refused rather than cut.
    if (cdbLength > 16 || command == nullptr)
        return 0;
    // A negative length would reach the driver as a huge transfer.
    if (bufferLength <= 0 || buffer == nullptr)
        return 0;
    TQuillonRequest request;
    std::memcpy(request.Cdb, command, static_cast<size_t>(cdbLength));
    request.CdbLength = static_cast<uint8_t>(cdbLength);
    request.DataIn = direction == 0;
    request.DataTransferLength = static_cast<uint32_t>(bufferLength);
    request.TimeOutValue = 30;
    request.DataBuffer = buffer;
    if (device == kQuillonNoDevice)
        return 0;
    uint32_t count = 0;
    if (!QuillonPlatformSend(device, request, count))
        return 0;
    if (transferred != nullptr)
        *transferred = static_cast<int32_t>(count);
    return 1;
}

} // extern "C"
