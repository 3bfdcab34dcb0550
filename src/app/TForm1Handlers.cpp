// The window's handlers that hand their work to the part that owns it,
// and the receive pump's tick, which passes through three of them.
#include <QPushButton>

#include "app/LcdPage.h"
#include "app/LoaderPage.h"
#include "app/PumpWaker.h"
#include "app/TForm1.h"
#include "app/TerminalInput.h"
#include "app/TerminalMemo.h"
#include "app/TerminalSession.h"
#include "app/TerminalTools.h"
#include "app/TerminalTransfer.h"

namespace quennet {

// ------------------------------------------------------------ the pump

void TForm1::PumpTick() {
    Guarded([this] { Timer1Timer(); });
    pumpWaker_->AfterTick(lastTickBytes_);
}

void TForm1::Timer1Timer() {
    lastTickBytes_ = 0;
    if (!TerminalHoldsPort()) return;
    // A ZMODEM start of the far end is the transfer's, not the display's.
    const ReceivePump::TickResult tick =
        session_->Receive([this](const std::uint8_t* b, std::size_t n) { tools_->LogChunk(b, n); },
                          [this](const std::uint8_t* b, std::size_t n) { return transfer_->Watch(b, n); });
    transfer_->AfterPumpTick();
    lastTickBytes_ = tick.bytes;
    tools_->FlushLog();
    if (tick.bytes == 0 && session_->DeviceLost()) {
        PortLost();
        return;
    }
    input_->AfterTick(tick.bytes);
    // Receiving has precedence: a full chunk holds the file send back.
    if (!tick.fullChunk) tools_->FileSendStep();
}

// ---------------------------------------------------- handlers of the parts

void TForm1::CheckBox1Click() { session_->CheckBox1Click(); }
void TForm1::ComboComPortDropDown() { session_->ComboComPortDropDown(); }
void TForm1::ComboComPortChange() { session_->ComboComPortChange(); }
void TForm1::Memo1KeyPress(char32_t ch) { input_->Memo1KeyPress(ch); }
void TForm1::Memo1KeyDown(int key, Qt::KeyboardModifiers) {
    if (key >= Qt::Key_F1 && key <= Qt::Key_F8) (this->*kButtonStrClicks[key - Qt::Key_F1])();
    if (key == Qt::Key_Pause) ButtonBreakClick();
}
void TForm1::ButtonBreakClick() { session_->ButtonBreakClick(); }
void TForm1::ButtonDtrClick() { session_->ButtonDtrClick(); }
void TForm1::ButtonRtsClick() { session_->ButtonRtsClick(); }
void TForm1::Memo1Enter() { session_->Memo1Enter(); }
void TForm1::ButtonResetClick() { session_->ButtonResetClick(); }
void TForm1::Button4Click() {
    session_->Clear();
    input_->ClearCounters();
    Memo1->setFocus();
}
void TForm1::CheckBoxHexClick() { session_->CheckBoxHexClick(); }
void TForm1::CheckBoxLowLatencyClick() { session_->CheckBoxLowLatencyClick(); }
void TForm1::PortLost() { session_->PortLost(); }
void TForm1::ReopenTick() { session_->ReopenTick(); }
bool TForm1::ReopenWaiting() const { return session_->ReopenWaiting(); }
ViewOptions TForm1::CurrentViewOptions() const { return session_->CurrentViewOptions(); }
std::size_t TForm1::DisplayLimit() const { return session_->DisplayLimit(); }

void TForm1::TerminalOptionsChanged() {
    const TerminalOptions options = ShownTerminalOptions();
    session_->ApplyOptions(options);
    input_->ApplyOptions(options);
    tools_->ShowKeys(options.fkeys);
}
void TForm1::Memo1Return() { input_->Memo1Return(); }
void TForm1::Memo1Paste(QClipboard::Mode mode) { input_->Memo1Paste(mode); }
void TForm1::EditInputReturn() { input_->EditInputReturn(); }
void TForm1::EditInputHistory(bool older) { input_->EditInputHistory(older); }
void TForm1::FindShow() { input_->FindShow(); }
void TForm1::FindClose() { input_->FindClose(); }
void TForm1::FindNext(bool forward) { input_->FindNext(forward); }
LineEnd TForm1::CurrentLineEnd() const { return input_->CurrentLineEnd(); }
const PacedSender& TForm1::pacedSender() const { return input_->pacedSender(); }
std::uint64_t TForm1::ReceivedCount() const { return input_->ReceivedCount(); }
std::uint64_t TForm1::SentCount() const { return input_->SentCount(); }
std::string TForm1::HistoryPath() const { return input_->HistoryPath(); }

void TForm1::ButtonStrClick(int n) { tools_->ButtonStrClick(n); }
void TForm1::Button3Click() { tools_->Button3Click(); }
void TForm1::CheckBoxFHexClick() { tools_->CheckBoxFHexClick(); }
void TForm1::CheckBoxCRCNMEAClick() { tools_->CheckBoxCRCNMEAClick(); }
void TForm1::EditBCChange(int n) { tools_->EditBCChange(n); }
void TForm1::ButtonLoad1Click() { tools_->ButtonLoad1Click(); }
void TForm1::ButtonSave1Click() { tools_->ButtonSave1Click(); }
void TForm1::ButtonBrowseSendFileClick() { tools_->ButtonBrowseSendFileClick(); }
void TForm1::ButtonSendFileClick() { tools_->ButtonSendFileClick(); }
void TForm1::CheckBoxLogFileClick() { tools_->CheckBoxLogFileClick(); }
void TForm1::ButtonBrowseLogFileClick() { tools_->ButtonBrowseLogFileClick(); }
FileSender& TForm1::fileSender() { return tools_->fileSender(); }

void TForm1::Button1Click() { loaderPage_->Button1Click(); }
void TForm1::Button2Click() { loaderPage_->Button2Click(); }
void TForm1::Button5Click() { loaderPage_->Button5Click(); }
void TForm1::Button7Click() { loaderPage_->Button7Click(); }
void TForm1::CheckBoxResetClick() { loaderPage_->CheckBoxResetClick(); }
void TForm1::ShowLines() { session_->ShowLines(); }
Loader& TForm1::loader() { return loaderPage_->loader(); }

void TForm1::Button6Click() { lcdPage_->Button6Click(); }
void TForm1::ButtonSaveImageClick() { lcdPage_->ButtonSaveImageClick(); }
void TForm1::CheckZoomClick() { lcdPage_->TabSheetLCDShow(); }
void TForm1::CheckBoxInvertClick() { lcdPage_->TabSheetLCDShow(); }
void TForm1::TabSheetLCDShow() { lcdPage_->TabSheetLCDShow(); }
void TForm1::DrawLcdPicture(int w, int h, int z) { lcdPage_->DrawLcdPicture(w, h, z); }
LcdState& TForm1::lcd() { return lcdPage_->lcd(); }

}  // namespace quennet
