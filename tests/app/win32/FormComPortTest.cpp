// The real window on Windows (under wine) with the Win32 serial backend, on
// COM ports that wine maps onto Linux pseudo-terminals. tests/wine/wine-tests.sh
// starts the far ends and names their ports:
//   QUENNET_TEST_COM         tests/wine/pty_far_end (answers one-byte commands),
//                            also listed in the registry's SERIALCOMM key
//   QUENNET_TEST_STM32_COM   quennet-board --chip stm32
//   QUENNET_TEST_MSP430_COM  quennet-board --chip msp430
// A test whose port is not named is skipped; the script fails on a skip.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>

#include <cstdlib>
#include <string>

#include "../RealPortFixture.h"

namespace quennet {
namespace {

class FormComPort : public testing::RealPortFixture {
protected:
    // The COM name in variable, or empty when the script did not set it.
    static std::string PortOf(const char* variable) {
        const char* name = std::getenv(variable);
        return name != nullptr ? name : "";
    }
};

#define QUENNET_NEED_PORT(var, name)                                                \
    const std::string name = PortOf(var);                                            \
    if (name.empty()) GTEST_SKIP() << var << " names no COM port (tests/wine/wine-tests.sh)"

TEST_F(FormComPort, TypedKeysGoOutAndEveryByteValueComesBack) {
    QUENNET_NEED_PORT("QUENNET_TEST_COM", com);
    // The port is picked from the system's list, as the registry has it.
    TForm1& f = MakeForm();
    const int listed = f.ComboComPort->findText(QString::fromStdString(com));
    ASSERT_NE(listed, -1) << com << " is not in the port list";
    f.ComboComPort->setCurrentIndex(listed);
    f.ComboBaud->setEditText("115200");
    f.ComboBits->setCurrentIndex(kFrameN81);
    f.CheckBox1->setChecked(true);
    ASSERT_TRUE(messages.empty()) << messages.front();
    f.CheckBoxHex->setChecked(true);
    // 'A' asks the far end for the 256 byte values in order.
    f.Memo1->setFocus();
    QTest::keyClicks(f.Memo1, "A");
    ASSERT_TRUE(WaitFor([&] { return f.Memo1->toPlainText().size() >= 768; }))
        << f.Memo1->toPlainText().toStdString();
    QString all;
    for (int b = 0; b < 256; ++b) all += QString::asprintf("%02X ", b);
    EXPECT_EQ(f.Memo1->toPlainText().remove('\n'), all);

    f.CheckBox1->setChecked(false);
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(FormComPort, TerminalSessionWithTheBoard) {
    QUENNET_NEED_PORT("QUENNET_TEST_STM32_COM", com);
    OpenTerminal(com);
    ASSERT_TRUE(Shows("ready."));  // the board's firmware greets a new session
    TalkToTheBoard();
}

TEST_F(FormComPort, Stm32RunWithVerify) {
    QUENNET_NEED_PORT("QUENNET_TEST_STM32_COM", com);
    OpenTerminal(com);
    ASSERT_TRUE(Shows("ready."));
    ProgramStm32WithVerify();
}

TEST_F(FormComPort, LcdCaptureIsSavedAsABitmap) {
    QUENNET_NEED_PORT("QUENNET_TEST_STM32_COM", com);
    OpenTerminal(com, "230400");
    ASSERT_TRUE(Shows("ready."));
    CaptureShowsTheTestPattern();
}

TEST_F(FormComPort, Msp430Run) {
    QUENNET_NEED_PORT("QUENNET_TEST_MSP430_COM", com);
    TForm1& f = OpenTerminal(com);
    ASSERT_TRUE(Shows("ready."));
    const std::string firmware = QUENNET_TEST_DATA "/srec/msp430_blink.s19";
    ASSERT_EQ(Program(kTargetMsp430_19200, firmware, false), 0) << f.Memo2->toPlainText().toStdString();
    EXPECT_TRUE(LogLines().last().startsWith("PROGRAM OK in "));
}

}  // namespace
}  // namespace quennet
