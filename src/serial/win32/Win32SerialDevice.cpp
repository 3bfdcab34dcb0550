#include "serial/win32/Win32SerialDevice.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "serial/PortProblem.h"
#include "serial/win32/Win32Dcb.h"

namespace quennet {

namespace {

// Reads return at once with what has arrived; writes carry no time-out of
// the driver's own, since Write bounds its wait itself.
COMMTIMEOUTS ImmediateReads() {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 0;
    return t;
}

DWORD ClampMs(long long ms) {
    return static_cast<DWORD>(std::clamp<long long>(ms, 0, 0x7FFFFFFF));
}

}  // namespace

Win32SerialDevice::~Win32SerialDevice() {
    if (handle_ != INVALID_HANDLE_VALUE) Close();
}

bool Win32SerialDevice::Open(const std::string& path) {
    if (handle_ != INVALID_HANDLE_VALUE) {
        openProblem_ = kPortCannotOpen;
        return false;
    }
    openProblem_.clear();
    if (path.empty()) {
        openProblem_ = kPortNotFound;
        return false;
    }
    openError_ = 0;
    // No sharing: a second opener gets ERROR_ACCESS_DENIED while we hold it.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        openError_ = GetLastError();
        openProblem_ = win32::OpenErrorProblem(openError_);
        return false;
    }
    HANDLE io = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE wait = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Past the open, a refusal means the device is no serial line we can
    // set up (a handle without line settings is no serial device at all).
    auto fail = [&](const char* why = kPortNotSetUp) {
        openError_ = GetLastError();
        openProblem_ = why;
        if (io) CloseHandle(io);
        if (wait) CloseHandle(wait);
        CloseHandle(h);
        return false;
    };
    if (!io || !wait) return fail();

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // A handle that has no line settings is no serial device (a file, say).
    if (!GetCommState(h, &dcb)) return fail(kPortNotSerial);
    savedDcb_ = dcb;
    savedTimeoutsValid_ = GetCommTimeouts(h, &savedTimeouts_) != 0;
    // Larger queues are a request the driver may ignore; not fatal.
    SetupComm(h, kQueueBytes, kQueueBytes);
    COMMTIMEOUTS immediate = ImmediateReads();
    if (!SetCommTimeouts(h, &immediate)) return fail();
    if (!SetCommMask(h, EV_RXCHAR)) {
        const DWORD error = GetLastError();
        if (savedTimeoutsValid_) SetCommTimeouts(h, &savedTimeouts_);
        SetLastError(error);
        return fail();
    }

    handle_ = h;
    ioEvent_ = io;
    waitEvent_ = wait;
    waitPending_ = false;
    eventsWork_ = true;
    // The lines keep the levels they have until SetDtr/SetRts move them.
    dtr_ = dcb.fDtrControl != DTR_CONTROL_DISABLE;
    rts_ = dcb.fRtsControl != RTS_CONTROL_DISABLE;
    current_ = win32::LineSettingsFromDcb(dcb);
    return true;
}

bool Win32SerialDevice::GetSettings(LineSettings& out) {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) return false;
    current_ = win32::LineSettingsFromDcb(dcb);
    out = current_;
    return true;
}

bool Win32SerialDevice::SetSettings(const LineSettings& settings) {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) return false;
    if (!win32::ApplyLineSettings(dcb, settings, dtr_, rts_)) return false;
    const bool ok = SetCommState(handle_, &dcb) != 0;
    LineSettings now;
    GetSettings(now);
    return ok;
}

bool Win32SerialDevice::SetDtr(bool asserted) {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    if (!EscapeCommFunction(handle_, asserted ? SETDTR : CLRDTR)) return false;
    dtr_ = asserted;
    return true;
}

bool Win32SerialDevice::SetRts(bool asserted) {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    if (!EscapeCommFunction(handle_, asserted ? SETRTS : CLRRTS)) return false;
    rts_ = asserted;
    return true;
}

bool Win32SerialDevice::SetBreak(bool on) {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    return (on ? SetCommBreak(handle_) : ClearCommBreak(handle_)) != FALSE;
}

bool Win32SerialDevice::Purge(bool transmit, bool receive) {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    if (transmit && !PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR)) ok = false;
    if (receive && !PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR)) ok = false;
    return ok;
}

bool Win32SerialDevice::Waiting(DWORD& count) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(handle_, &errors, &stat)) return false;
    count = stat.cbInQue;
    return true;
}

bool Win32SerialDevice::QueryWaiting(std::uint32_t& count) {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    DWORD waiting = 0;
    if (!Waiting(waiting)) return false;
    count = waiting;
    return true;
}

bool Win32SerialDevice::Lost() {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    // A removed USB adapter fails every call on its handle with one of these.
    DWORD errors = 0;
    COMSTAT stat{};
    if (ClearCommError(handle_, &errors, &stat)) return false;
    const DWORD e = GetLastError();
    return e == ERROR_BAD_COMMAND || e == ERROR_ACCESS_DENIED || e == ERROR_OPERATION_ABORTED ||
           e == ERROR_DEVICE_NOT_CONNECTED;
}

long Win32SerialDevice::Read(std::uint8_t* buffer, std::size_t n) {
    if (handle_ == INVALID_HANDLE_VALUE) return -1;
    if (!buffer || n == 0) return 0;
    // Asking only for what waits keeps the read from waiting even on a
    // driver that does not honour the immediate-return time-outs.
    DWORD waiting = 0;
    if (!Waiting(waiting)) return -1;
    if (waiting == 0) return 0;
    const DWORD want = static_cast<DWORD>(
        std::min<std::size_t>({n, waiting, static_cast<std::size_t>(std::numeric_limits<long>::max())}));
    OVERLAPPED ov{};
    ov.hEvent = ioEvent_;
    ResetEvent(ioEvent_);
    if (!ReadFile(handle_, buffer, want, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
        return -1;
    DWORD got = 0;
    if (!GetOverlappedResult(handle_, &ov, &got, TRUE)) return -1;
    return static_cast<long>(got);
}

void Win32SerialDevice::EndPendingWait() {
    if (!waitPending_) return;
    waitPending_ = false;
    // A new mask completes a pending WaitCommEvent at once; cancelling is
    // the fallback for a driver that does not. The wait for the completion
    // is bounded, so that a driver doing neither cannot hang the caller.
    SetCommMask(handle_, EV_RXCHAR);
    if (WaitForSingleObject(waitEvent_, 0) != WAIT_OBJECT_0) {
        CancelIoEx(handle_, &waitOv_);
        WaitForSingleObject(waitEvent_, 1000);
    }
    DWORD ignored = 0;
    GetOverlappedResult(handle_, &waitOv_, &ignored, FALSE);
}

bool Win32SerialDevice::WaitReadable(std::uint64_t timeoutUs) {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::microseconds(timeoutUs);
    for (;;) {
        DWORD waiting = 0;
        if (!Waiting(waiting)) {
            EndPendingWait();
            return false;  // the device has gone
        }
        if (waiting > 0) {
            EndPendingWait();
            return true;
        }
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            EndPendingWait();
            return false;
        }
        // Rounded up, so that a short wait is not a busy loop.
        const DWORD ms = ClampMs(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        if (!eventsWork_) {
            // A driver whose event wait fails (wine on a pseudo-terminal,
            // which has no modem status) is watched in short sleeps instead.
            Sleep(std::min<DWORD>(ms, kPollFallbackMs));
            continue;
        }
        if (!waitPending_) {
            waitOv_ = OVERLAPPED{};
            waitOv_.hEvent = waitEvent_;
            ResetEvent(waitEvent_);
            waitMask_ = 0;
            // Done at once: an event is already there, so count again.
            if (WaitCommEvent(handle_, &waitMask_, &waitOv_)) continue;
            if (GetLastError() != ERROR_IO_PENDING) {
                eventsWork_ = false;
                continue;
            }
            waitPending_ = true;
            // A byte that came between the count above and the start of the
            // wait raises no event: count once more before sleeping.
            continue;
        }
        const DWORD r = WaitForSingleObject(waitEvent_, ms);
        if (r == WAIT_OBJECT_0) {
            waitPending_ = false;
            DWORD ignored = 0;
            // Nobody but EndPendingWait ends the wait early, so a wait that
            // did not succeed means the driver cannot report events.
            if (!GetOverlappedResult(handle_, &waitOv_, &ignored, FALSE)) eventsWork_ = false;
            continue;  // the count decides; an event alone is no data
        }
        if (r != WAIT_TIMEOUT) {
            EndPendingWait();
            eventsWork_ = false;
        }
    }
}

long Win32SerialDevice::Write(const std::uint8_t* data, std::size_t n) {
    if (handle_ == INVALID_HANDLE_VALUE) return -1;
    if (!data || n == 0) return 0;
    std::size_t taken = 0;
    bool failed = false;
    while (taken < n) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(n - taken, 1u << 20));
        OVERLAPPED ov{};
        ov.hEvent = ioEvent_;
        ResetEvent(ioEvent_);
        if (!WriteFile(handle_, data + taken, chunk, nullptr, &ov) &&
            GetLastError() != ERROR_IO_PENDING) {
            failed = true;
            break;
        }
        // A device that stops taking bytes (flow-controlled, wedged) must
        // not hold the caller for ever: give up well after the wire time.
        const long long limit = kWriteStallMs + win32::WireTimeMs(current_, chunk);
        bool stalled = false;
        if (WaitForSingleObject(ioEvent_, ClampMs(limit)) != WAIT_OBJECT_0) {
            CancelIoEx(handle_, &ov);
            stalled = true;
        }
        DWORD done = 0;
        const bool ok = GetOverlappedResult(handle_, &ov, &done, TRUE) != 0;
        taken += done;
        if (!ok && !stalled) failed = true;
        if (!ok || stalled || done == 0) break;
    }
    if (taken == 0 && failed) return -1;
    return static_cast<long>(taken);
}

bool Win32SerialDevice::Close() {
    if (handle_ == INVALID_HANDLE_VALUE) return true;
    EndPendingWait();
    SetCommMask(handle_, 0);
    // Put back what the device had, so that other programs find it as it
    // was. A device that has gone may refuse; that does not keep it open.
    SetCommState(handle_, &savedDcb_);
    if (savedTimeoutsValid_) SetCommTimeouts(handle_, &savedTimeouts_);
    const HANDLE h = handle_;
    // Forget the handle first: it must never be closed twice.
    handle_ = INVALID_HANDLE_VALUE;
    CloseHandle(ioEvent_);
    CloseHandle(waitEvent_);
    ioEvent_ = waitEvent_ = nullptr;
    savedTimeoutsValid_ = false;
    return CloseHandle(h) != 0;
}

SerialDeviceFactory Win32SerialDeviceFactory() {
    return []() -> std::unique_ptr<SerialDevice> { return std::make_unique<Win32SerialDevice>(); };
}

SerialDeviceFactory DefaultSerialDeviceFactory() { return Win32SerialDeviceFactory(); }

}  // namespace quennet
