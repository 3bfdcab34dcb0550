// A file transfer in the window over the simulated line, where the virtual
// clock makes the protocol's long waits instant.
#include <QTest>

#include "FormFixture.h"
#include "app/TerminalMemo.h"
#include "app/TerminalTransfer.h"
#include "terminal/transfer/TransferSettings.h"

namespace quennet::testing {
namespace {

class FormTransferSim : public FormFixture {};

TEST_F(FormTransferSim, NobodyAnsweringEndsWithTheFileNamedAndThePortBack) {
    TForm1& f = MakeOpenForm();
    const std::string file = dir.filePath("f.bin").toStdString();
    std::ofstream(file, std::ios::binary) << "payload";
    f.ComboSendFile->setCurrentIndex(kFirstProtocolSendMode + static_cast<int>(TransferProtocol::Xmodem));
    f.EditBrowseSendFile->setText(QString::fromStdString(file));
    f.ButtonSendFile->click();
    ASSERT_TRUE(f.transfer().Running());
    EXPECT_TRUE(port.Owner().Holds(PortUser::FileTransfer));
    EXPECT_EQ(f.ButtonSendFile->text(), "STOP Send");
    clock.Advance(61'000'000);  // past the minute an XMODEM sender waits for its receiver
    EXPECT_TRUE(QTest::qWaitFor([&] { return !f.transfer().Running(); }, 30000));
    EXPECT_TRUE(f.Memo1->toPlainText().contains("XMODEM: No receiver: f.bin after 0 bytes."))
        << f.Memo1->toPlainText().toStdString();
    EXPECT_TRUE(port.Owner().Holds(PortUser::Terminal));
    EXPECT_EQ(f.ButtonSendFile->text(), "Send File");
    EXPECT_TRUE(line.WrittenBytes().empty());  // an XMODEM sender speaks only when asked
}

}  // namespace
}  // namespace quennet::testing
