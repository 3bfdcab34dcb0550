#pragma once
#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/LoaderPageActions.h"
#include "loader/Loader.h"
#include "loader/LoaderActions.h"
#include "serial/ComPort.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;

namespace quennet {

class FormServices;
class Memo2Log;

// The controls of the loader tab, "Quick Program", the run's progress in
// the status bar, and the terminal's choosers a run reads.
struct LoaderWidgets {
    QTabWidget* PageControl1 = nullptr;
    QComboBox* ComboTarget = nullptr;
    QLineEdit* Edit1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button5 = nullptr;
    QPushButton* Button7 = nullptr;
    QPushButton* ButtonStop = nullptr;
    QCheckBox* CheckBoxVerify = nullptr;
    QCheckBox* CheckBoxReset = nullptr;
    QCheckBox* CheckBoxToggleTCK = nullptr;
    QPlainTextEdit* Memo2 = nullptr;
    QProgressBar* ProgressBarRun = nullptr;
    QLabel* LabelTimeLeft = nullptr;
    QComboBox* ComboComPort = nullptr;
    QComboBox* ComboBaud = nullptr;
    QComboBox* ComboBits = nullptr;
    LoaderActionWidgets actions;
};

// The Serial Flash Loader tab and "Quick Program": the window's side of a
// programming run. The run itself, its log lines and the port hand-over are
// the loader core's.
class LoaderPage : public QObject {
public:
    LoaderPage(ComPort& port, FormServices& services, const LoaderWidgets& widgets, QObject* parent);
    ~LoaderPage() override;

    // Run after every run or query the page started, however it ended.
    std::function<void()> finished;

    void Button1Click();
    void Button2Click();
    void Button5Click();
    void Button7Click();
    void CheckBoxResetClick();
    // "Read Flash", "Erase", the protection menu's actions and the password
    // file's "Browse" (LoaderPageActions.cpp).
    void ButtonReadFlashClick();
    void ButtonEraseClick();
    void ProtectionClick(LoaderAction action);
    void ButtonBrowsePasswordClick();
    // The run that holds the port ends at its next block.
    void RequestStop();
    // The buttons and options follow the target and the port's holder.
    void UpdateControls();
    void ShowRunProgress(const RunProgress& progress);
    void HolderChanged(PortUser holder);
    Loader& loader() { return *loader_; }
    // "Verify Data" as the user left it: a target without read-back shows
    // the box unticked and keeps this value for the targets that have it.
    bool VerifyWanted() const { return verifyWanted_; }
    void SetVerifyWanted(bool on);
    // Said in the status bar when a run from "Quick Program" ends well.
    std::function<void(const std::string&)> note;
    // The firmware filter the user chose last in "Browse File" (kept in the
    // settings file); empty for the first one.
    std::string firmwareFilter;
    // The terminal's frame for a given Bits entry, when it is not a plain one.
    std::function<std::optional<Frame>(int format)> terminalFrame;

private:
    bool TerminalHoldsPort() const { return port_.Owner().Holds(PortUser::Terminal); }
    LoaderInputs LoaderSnapshot() const;
    // For a raw binary (a name ending in .bin) to be programmed: asks for
    // its load address. False when the user cancelled: no run then.
    bool AskBinaryAddress(LoaderInputs& inputs);
    void BeginLoaderClick();
    void FinishLoaderClick();
    void ConnectActions();
    void UpdateActionControls(bool free, const LoaderTarget* target);
    // Says what a wrong password does on the MSP430 and asks; true for Yes.
    bool AskPasswordRisk(const LoaderInputs& inputs);
    void RunPageAction(LoaderInputs inputs, LoaderAction action);
    std::string PasswordPath() const;

    ComPort& port_;
    FormServices& services_;
    LoaderWidgets w_;
    std::unique_ptr<Memo2Log> memo2Log_;
    std::unique_ptr<Loader> loader_;
    bool verifyWanted_ = false;
    bool stopAsked_ = false;  // the user stopped the run now ending
    std::string lastSectors_;  // the sector list last given to Write Protect
    std::string lastReadPath_;  // the file Read Flash wrote last
};

}  // namespace quennet
