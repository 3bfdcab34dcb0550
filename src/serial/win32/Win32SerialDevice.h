#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "serial/SerialDevice.h"

namespace quennet {

namespace win32 {
// The reason CreateFile refused a port with error e, as PortProblem.h words
// it.
std::string OpenErrorProblem(DWORD e);
}  // namespace win32

// A serial device on Windows (\\.\COMn), through the Win32 communications
// calls. Opened exclusively and overlapped: overlapped handles let a wait for
// received bytes (WaitCommEvent) end at a deadline, and let a write that
// stalls be given up. Reads never wait: the read time-outs return at once
// and a read never asks for more than the driver reports waiting. Close puts
// back the line settings and time-outs found at open.
class Win32SerialDevice : public SerialDevice {
public:
    // How long Write waits for the device to take its bytes, on top of the
    // wire time of what it was asked to send.
    static constexpr int kWriteStallMs = 2000;
    // The driver's queue sizes that Open asks for.
    static constexpr DWORD kQueueBytes = 4096;
    // The sleep between two looks at the waiting count when the driver
    // cannot report the arrival of bytes as an event.
    static constexpr DWORD kPollFallbackMs = 1;

    Win32SerialDevice() = default;
    ~Win32SerialDevice() override;
    Win32SerialDevice(const Win32SerialDevice&) = delete;
    Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

    bool Open(const std::string& path) override;
    bool GetSettings(LineSettings& out) override;
    bool SetSettings(const LineSettings& settings) override;
    bool SetDtr(bool asserted) override;
    bool SetRts(bool asserted) override;
    bool SetBreak(bool on) override;
    bool Purge(bool transmit, bool receive) override;
    bool QueryWaiting(std::uint32_t& count) override;
    long Read(std::uint8_t* buffer, std::size_t n) override;
    bool WaitReadable(std::uint64_t timeoutUs) override;
    long Write(const std::uint8_t* data, std::size_t n) override;
    bool Close() override;
    bool Lost() override;
    bool Missing() const override {
        return openError_ == ERROR_FILE_NOT_FOUND || openError_ == ERROR_PATH_NOT_FOUND;
    }

    // The last Win32 error of a failed Open, for a message.
    DWORD OpenError() const { return openError_; }

private:
    bool Waiting(DWORD& count);
    // Ends a WaitCommEvent that is still pending and collects it.
    void EndPendingWait();

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE ioEvent_ = nullptr;    // reads and writes, one at a time
    HANDLE waitEvent_ = nullptr;  // the WaitCommEvent of WaitReadable
    OVERLAPPED waitOv_{};
    DWORD waitMask_ = 0;
    bool waitPending_ = false;
    bool eventsWork_ = true;
    DCB savedDcb_{};
    COMMTIMEOUTS savedTimeouts_{};
    bool savedTimeoutsValid_ = false;
    LineSettings current_;
    bool dtr_ = true;
    bool rts_ = true;
    DWORD openError_ = 0;
};

SerialDeviceFactory Win32SerialDeviceFactory();

}  // namespace quennet
