#pragma once
#include <QClipboard>
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "serial/ComPort.h"
#include "terminal/TerminalOptions.h"
#include "terminal/TypedSend.h"

class QLabel;
class QTimer;

namespace quennet {

class FindBar;
class FormServices;
class InputHistory;
class InputLine;
class LocalEcho;
class TerminalMemo;

// The controls of what the user types and finds.
struct InputWidgets {
    TerminalMemo* Memo1 = nullptr;
    InputLine* EditInput = nullptr;
    FindBar* FindBar1 = nullptr;
    QLabel* LabelCounters = nullptr;
};

// What the user sends by hand: typed keys, pastes and the input line with
// its history, paced at the line's rate; finding in the display; and the
// byte counters of the status bar.
class TerminalInput : public QObject {
public:
    TerminalInput(ComPort& port, FormServices& services, const InputWidgets& widgets, QObject* parent);
    ~TerminalInput() override;

    void Memo1KeyPress(char32_t ch);
    // Whether the display shows hex: the local echo follows it.
    std::function<bool()> hexShown;
    void Memo1Return();
    void Memo1Paste(QClipboard::Mode mode);
    void EditInputReturn();
    void EditInputHistory(bool older);
    void FindShow();
    void FindClose();
    void FindNext(bool forward);

    void ApplyOptions(const TerminalOptions& options);
    LineEnd CurrentLineEnd() const { return options_.lineEnd; }
    const PacedSender& pacedSender() const { return *paced_; }
    bool Pasting() const;
    // The open port's pace, and the end of a paste when it closes.
    void SetPace(std::uint32_t charsPerSecond) { pacedRate_ = charsPerSecond; }
    void StopPaste();
    // After a pump tick: the paste goes on and the counters follow.
    void AfterTick(std::size_t received);
    // "Clear": the counters start again.
    void ClearCounters();
    void HolderChanged(PortUser holder);

    std::uint64_t ReceivedCount() const { return received_; }
    std::uint64_t SentCount() const;
    // The input line's history file: the settings file's name with
    // ".history" for its extension.
    std::string HistoryPath() const;
    // Keeps the history when it changed.
    void SaveHistory();

private:
    ComPort& port() { return port_; }
    const ComPort& port() const { return port_; }
    bool TerminalHoldsPort() const { return port_.Owner().Holds(PortUser::Terminal); }
    void SendKeys(std::string_view bytes);
    void PacedStep();
    void CountersChanged();
    void ShowCounters();

    ComPort& port_;
    FormServices& services_;
    InputWidgets w_;
    TerminalOptions options_;
    // Shows what is sent, when local echo is on.
    void Echo(std::string_view bytes);
    std::unique_ptr<LocalEcho> echo_;
    std::unique_ptr<PacedSender> paced_;
    std::unique_ptr<InputHistory> history_;
    bool historyChanged_ = false;
    std::uint32_t pacedRate_ = 960;  // characters a second of the open port
    std::uint64_t received_ = 0;
    std::uint64_t sentExcluded_ = 0;  // written by runs and captures, and before "Clear"
    std::uint64_t heldSince_ = 0;     // the write count when a run took the port
    bool held_ = false;
    std::uint64_t countedWritten_ = 0;  // the write count the counters last saw
    QTimer* countersTimer_ = nullptr;
};

}  // namespace quennet
