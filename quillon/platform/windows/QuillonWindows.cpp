// Windows backend: SetupAPI device search over the disk interfaces, CreateFileA, and the
// IOCTL_SCSI_PASS_THROUGH_DIRECT call with the 64-byte request (the structure, padding, then 16 bytes of
// sense data).
#include "../../src/QuillonPlatform.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <devguid.h>
#include <initguid.h>
#include <new>
#include <ntddscsi.h>
#include <setupapi.h>
#include <vector>

namespace {

// {4D36E967-E325-11CE-BFC1-08002BE10318}: disk drives.
const GUID kDiskDriveClass = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
// {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}: disk device interfaces.
const GUID kDiskInterfaceClass = {
    0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

struct TPassThroughRequest {
    SCSI_PASS_THROUGH_DIRECT Sptd;
    ULONG Filler;
    UCHAR Sense[16];
};
#if !defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "the pass-through structure is 44 bytes");
static_assert(offsetof(TPassThroughRequest, Sense) == 48, "sense data at offset 48");
static_assert(sizeof(TPassThroughRequest) == 64, "the request is 64 bytes");
#endif

bool HasMarkers(const char* path) {
    char lowered[MAX_PATH];
    lstrcpynA(lowered, path, MAX_PATH);
    CharLowerA(lowered); // multibyte-aware
    return std::strstr(lowered, "lumbrane") != nullptr && std::strstr(lowered, "shuikong") != nullptr;
}

} // namespace

TQuillonHandle QuillonPlatformOpen() {
    HDEVINFO drives = SetupDiGetClassDevsA(&kDiskDriveClass, nullptr, nullptr, DIGCF_PRESENT);
    if (drives == INVALID_HANDLE_VALUE) {
        QuillonDiagnose("SetupDiGetClassDevs failed with error: %d\n", static_cast<int>(GetLastError()));
        return kQuillonNoDevice;
    }
    SetupDiDestroyDeviceInfoList(drives);
    HDEVINFO interfaces =
        SetupDiGetClassDevsA(&kDiskInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (interfaces == INVALID_HANDLE_VALUE) {
        QuillonDiagnose("SetupDiGetClassDevs failed with error: %d\n", static_cast<int>(GetLastError()));
        return kQuillonNoDevice;
    }
    TQuillonHandle result = kQuillonNoDevice;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data;
        std::memset(&data, 0, sizeof data);
        data.cbSize = sizeof data; // 28 on 32-bit Windows
        if (!SetupDiEnumDeviceInterfaces(interfaces, nullptr, &kDiskInterfaceClass, index, &data)) {
            DWORD error = GetLastError();
            if (error == ERROR_NO_MORE_ITEMS)
                QuillonDiagnose("No more interfaces\n");
            else
                QuillonDiagnose("SetupDiEnumDeviceInterfaces failed with error: %d\n",
                                static_cast<int>(error));
            break;
        }
        DWORD size = 0;
        if (!SetupDiGetDeviceInterfaceDetailA(interfaces, &data, nullptr, 0, &size, nullptr) &&
            GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            QuillonDiagnose("SetupDiGetDeviceInterfaceDetail failed with error: %d\n",
                            static_cast<int>(GetLastError()));
            break;
        }
        std::vector<unsigned char> buffer;
        try {
            buffer.resize(size + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
        } catch (const std::bad_alloc&) {
            QuillonDiagnose("Unable to allocate memory to get the interface detail data.\n");
            break;
        }
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A); // 5 on 32-bit Windows
        if (!SetupDiGetDeviceInterfaceDetailA(interfaces, &data, detail, size, nullptr, nullptr)) {
            QuillonDiagnose("Error in SetupDiGetDeviceInterfaceDetail failed with error: %d\n",
                            static_cast<int>(GetLastError()));
            break;
        }
        QuillonDiagnose("Interface: %s\n", detail->DevicePath);
        // Paths that do not fit MAX_PATH are passed over.
        if (std::strlen(detail->DevicePath) >= MAX_PATH || !HasMarkers(detail->DevicePath))
            continue;
        HANDLE handle = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            result = reinterpret_cast<TQuillonHandle>(handle);
        else
            QuillonDiagnose("CreateFile failed with error: %d\n", static_cast<int>(GetLastError()));
        break;
    }
    SetupDiDestroyDeviceInfoList(interfaces);
    return result;
}

int32_t QuillonPlatformClose(TQuillonHandle handle) {
    return CloseHandle(reinterpret_cast<HANDLE>(handle)) ? 1 : 0;
}

bool QuillonPlatformSend(TQuillonHandle handle, TQuillonRequest& request, uint32_t& transferred) {
    TPassThroughRequest block;
    std::memset(&block, 0, sizeof block);
    block.Sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    block.Sptd.ScsiStatus = 0;
    block.Sptd.PathId = 0;
    block.Sptd.TargetId = 1;
    block.Sptd.Lun = 0;
    block.Sptd.CdbLength = request.CdbLength;
    block.Sptd.SenseInfoLength = sizeof block.Sense;
    block.Sptd.DataIn = request.DataIn ? 1 : 0; // SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT
    block.Sptd.DataTransferLength = request.DataTransferLength;
    block.Sptd.TimeOutValue = request.TimeOutValue;
    block.Sptd.DataBuffer = request.DataBuffer;
    block.Sptd.SenseInfoOffset = offsetof(TPassThroughRequest, Sense);
    std::memcpy(block.Sptd.Cdb, request.Cdb, request.CdbLength);
    DWORD returned = 0;
    if (!DeviceIoControl(reinterpret_cast<HANDLE>(handle), IOCTL_SCSI_PASS_THROUGH_DIRECT, &block,
                         sizeof block, &block, sizeof block, &returned, nullptr)) {
        QuillonDiagnose("SendSCSICommandToDevice DeviceIoControl IOCTL_SCSI_PASS_THROUGH_DIRECT ERROR: %d\n",
                        static_cast<int>(GetLastError()));
        return false;
    }
    std::memcpy(request.Sense, block.Sense, sizeof block.Sense);
    transferred = block.Sptd.DataTransferLength;
    return true;
}
