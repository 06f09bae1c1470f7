// The emulator transport's framing (little-endian integers):
//   on connect the disk sends one byte: 1 present, anything else absent (the open fails);
//   request: direction (1 byte: 0 read, 1 write), command length (1 byte), the command bytes, the transfer
//            length (4 bytes), then for a write that many data bytes;
//   answer:  status (1 byte: 0 the command went through, else the driver call fails), count (4 bytes,
//            never above the transfer length), then for a read that many data bytes.
// A closed connection is a device that is gone: the command fails.
#include "QuillonEmulator.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

bool WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

} // namespace

TQuillonHandle QuillonEmulatorOpen(const char* socketPath) {
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (std::strlen(socketPath) >= sizeof address.sun_path)
        return kQuillonNoDevice;
    std::strcpy(address.sun_path, socketPath);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return kQuillonNoDevice;
    uint8_t present = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        !ReadAll(fd, &present, 1) || present != 1) {
        QuillonDiagnose("CreateFile failed with error: %d\n", errno);
        close(fd);
        return kQuillonNoDevice;
    }
    return fd;
}

bool QuillonEmulatorSend(TQuillonHandle handle, TQuillonRequest& request, uint32_t& transferred) {
    int fd = static_cast<int>(handle);
    std::vector<uint8_t> frame;
    frame.push_back(request.DataIn ? 0 : 1);
    frame.push_back(request.CdbLength);
    frame.insert(frame.end(), request.Cdb, request.Cdb + request.CdbLength);
    PutU32(frame, request.DataTransferLength);
    if (!request.DataIn)
        frame.insert(frame.end(), request.DataBuffer, request.DataBuffer + request.DataTransferLength);
    uint8_t head[5];
    if (!WriteAll(fd, frame.data(), frame.size()) || !ReadAll(fd, head, sizeof head)) {
        QuillonDiagnose("SendSCSICommandToDevice DeviceIoControl IOCTL_SCSI_PASS_THROUGH_DIRECT ERROR: %d\n",
                        errno);
        return false;
    }
    uint32_t count = static_cast<uint32_t>(head[1]) | static_cast<uint32_t>(head[2]) << 8 |
                     static_cast<uint32_t>(head[3]) << 16 | static_cast<uint32_t>(head[4]) << 24;
    // A disk that claims more than was asked for breaks the framing: treated as gone.
    if (count > request.DataTransferLength)
        return false;
    if (request.DataIn && count > 0 && !ReadAll(fd, request.DataBuffer, count))
        return false;
    if (head[0] != 0)
        return false;
    transferred = count;
    return true;
}
