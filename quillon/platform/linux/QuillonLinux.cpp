// Linux backend: the tax disk is the block device whose /dev/disk/by-id name holds both marker words;
// commands go through the SG_IO ioctl. QUILLON_EMULATOR_SOCKET switches to the emulator transport (a
// UNIX socket, see QuillonEmulator.cpp); QUILLON_BYID_DIR replaces the by-id folder for tests.
#include "../../src/QuillonPlatform.h"
#include "QuillonEmulator.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/limits.h>
#include <scsi/sg.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

// The handle of the open device belongs to the emulator transport.
bool emulatorHandle = false;

const char* EnvOrNull(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

bool HasMarkers(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name.find("lumbrane") != std::string::npos && name.find("shuikong") != std::string::npos;
}

TQuillonHandle OpenByIdDevice() {
    const char* folder = EnvOrNull("QUILLON_BYID_DIR");
    std::string dir = folder != nullptr ? folder : "/dev/disk/by-id";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        QuillonDiagnose("SetupDiGetClassDevs failed with error: %d\n", errno);
        return kQuillonNoDevice;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(d);
    // Directory order is arbitrary; sorted, the whole disk comes before its "-partN" entries.
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        std::string path = dir + "/" + name;
        QuillonDiagnose("Interface: %s\n", path.c_str());
        // Paths too long for the system's path buffer are passed over.
        if (path.size() >= PATH_MAX || !HasMarkers(name))
            continue;
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        // The first matching device decides: a failed open ends the search.
        if (fd < 0)
            QuillonDiagnose("CreateFile failed with error: %d\n", errno);
        return fd >= 0 ? fd : kQuillonNoDevice;
    }
    QuillonDiagnose("No more interfaces\n");
    return kQuillonNoDevice;
}

} // namespace

TQuillonHandle QuillonPlatformOpen() {
    if (const char* socketPath = EnvOrNull("QUILLON_EMULATOR_SOCKET")) {
        TQuillonHandle handle = QuillonEmulatorOpen(socketPath);
        emulatorHandle = handle != kQuillonNoDevice;
        return handle;
    }
    emulatorHandle = false;
    return OpenByIdDevice();
}

int32_t QuillonPlatformClose(TQuillonHandle handle) {
    emulatorHandle = false;
    return close(static_cast<int>(handle)) == 0 ? 1 : 0;
}

bool QuillonPlatformSend(TQuillonHandle handle, TQuillonRequest& request, uint32_t& transferred) {
    if (emulatorHandle)
        return QuillonEmulatorSend(handle, request, transferred);
    sg_io_hdr_t io;
    std::memset(&io, 0, sizeof io);
    io.interface_id = 'S';
    io.dxfer_direction = request.DataIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    io.cmd_len = request.CdbLength;
    io.mx_sb_len = sizeof request.Sense;
    io.dxfer_len = request.DataTransferLength;
    io.dxferp = request.DataBuffer;
    io.cmdp = request.Cdb;
    io.sbp = request.Sense;
    io.timeout = request.TimeOutValue * 1000; // milliseconds
    int rc;
    do {
        rc = ioctl(static_cast<int>(handle), SG_IO, &io);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        QuillonDiagnose("SendSCSICommandToDevice DeviceIoControl IOCTL_SCSI_PASS_THROUGH_DIRECT ERROR: %d\n",
                        errno);
        return false;
    }
    // As with the pass-through call, a check condition from the device still counts as done; only the
    // count tells how much moved.
    int moved = static_cast<int>(io.dxfer_len) - io.resid;
    transferred = moved > 0 ? static_cast<uint32_t>(moved) : 0;
    return true;
}
