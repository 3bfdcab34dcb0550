#pragma once
#include <QObject>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "serial/ComPort.h"
#include "terminal/ReceivePump.h"
#include "terminal/ReceiveView.h"
#include "terminal/TerminalOptions.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

namespace quennet {

class FormServices;
class PortCombo;
class TerminalMemo;

// The controls the terminal session works with.
struct SessionWidgets {
    PortCombo* ComboComPort = nullptr;
    QComboBox* ComboBaud = nullptr;
    QComboBox* ComboBits = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QPushButton* ButtonReset = nullptr;
    QCheckBox* CheckBoxHex = nullptr;
    QCheckBox* CheckBoxLowLatency = nullptr;
    QCheckBox* CheckBoxReopen = nullptr;
    QLabel* LabelPortState = nullptr;
    TerminalMemo* Memo1 = nullptr;
    QPushButton* ButtonBreak = nullptr;
    QPushButton* ButtonDtr = nullptr;  // checkable: the line's state
    QPushButton* ButtonRts = nullptr;
};

// The terminal session: opening and closing the port with the choosers'
// settings, low latency, receiving into the display, Clear and Reset, and a
// device that goes away (with "Reopen automatically", opened again with the
// same settings once it is back).
class TerminalSession : public QObject {
public:
    // What the session tells the rest of the terminal.
    struct Hooks {
        std::function<void(std::uint32_t charsPerSecond)> opened;  // the port is open at that pace
        std::function<void()> closing;                              // the port is about to close
        std::function<void()> lost;                                 // the device went away
        // Each chunk received, as the log gets it; unset costs nothing.
        std::function<void(const std::uint8_t* bytes, std::size_t n)> received;
    };

    TerminalSession(ComPort& port, FormServices& services, const SessionWidgets& widgets, QObject* parent);
    ~TerminalSession() override;

    Hooks hooks;
    QTimer* ReopenTimer = nullptr;

    void CheckBox1Click();
    void ComboComPortDropDown();
    void ComboComPortChange();
    void CheckBoxLowLatencyClick();
    void ButtonResetClick();
    void Clear();
    void CheckBoxHexClick();
    void Memo1Enter();
    // BREAK: the line held in a break for the set length; the window goes
    // on meanwhile and a timer ends it.
    void ButtonBreakClick();
    bool BreakOn() const { return breakOn_; }
    // The modem lines by hand; the toggles show what the lines are.
    void ButtonDtrClick();
    void ButtonRtsClick();
    void ShowLines();
    // The frame an open uses: the chosen entry (or "Custom...") with the flow
    // control; nothing for the plain formats without flow control, which
    // open as they always have.
    std::optional<Frame> OpenFrame(int format) const;

    // Closes the port; the pump lets go of the descriptor first.
    void ClosePort();

    // One turn of the receive pump: what came in goes to the log and the
    // display.
    ReceivePump::TickResult Receive(const ReceivePump::LogFn& log, const ReceivePump::WatchFn& watch = {});
    // Whether the open device is gone.
    bool DeviceLost();
    void PortLost();
    void ReopenTick();
    bool ReopenWaiting() const { return reopenName_.has_value(); }
    void CancelReopen();
    // After a run or a capture: the session follows what the port is now.
    // True when the device went away meanwhile.
    bool FollowPort();
    void HolderChanged(PortUser holder);

    // The display's options.
    void ApplyOptions(const TerminalOptions& options);
    ViewOptions CurrentViewOptions() const;
    std::size_t DisplayLimit() const { return displayLimit_; }

private:
    ComPort& port() { return port_; }
    const ComPort& port() const { return port_; }
    void SetChoosersEnabled(bool enabled);
    // The one way the session opens a port: low latency as ticked, the
    // rate parsed, and on success the choosers locked.
    int OpenSession(const std::string& name, const QString& baud, int format);
    std::string OpenFailureText(const std::string& name, std::uint32_t baud, int result) const;
    void ApplyWrap();
    void ScrollToLineStarts();
    void EndBreak();
    QTimer* breakTimer_ = nullptr;
    bool breakOn_ = false;

    ComPort& port_;
    FormServices& services_;
    SessionWidgets w_;
    std::unique_ptr<ReceiveView> view_;
    TerminalOptions options_;
    std::size_t displayLimit_ = kScrollbackChars[0];
    // The session to reopen when its device comes back.
    struct LostSession {
        std::string name;
        QString baud;
        int format = -1;
        DeviceReturn device{"", {}};  // the device itself, to know it again
    };
    std::optional<LostSession> reopenName_;
};

}  // namespace quennet
