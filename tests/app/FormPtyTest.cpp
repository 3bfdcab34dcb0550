// End to end: the real window with the posix backend on a pseudo-terminal.
// The test holds the master side, as a target would hold the far end.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/PortCombo.h"
#include "app/TForm1.h"
#include "app/TerminalMemo.h"
#include "serial/ComPort.h"
#include "serial/posix/PosixSerialDevice.h"

namespace quennet {
namespace {

class FormPty : public ::testing::Test {
protected:
    int master = -1;
    std::string slavePath;
    QTemporaryDir dir;
    ComPort port{PosixSerialDeviceFactory(), SystemClock()};
    std::vector<std::string> messages;
    std::unique_ptr<TForm1> form;

    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slavePath = ptsname(master);
        FormEnvironment env;
        env.settingsPath = dir.filePath("q.INI").toStdString();
        env.port = &port;
        env.listPorts = [] { return std::vector<std::string>{}; };
        env.messageBox = [this](const std::string&, const std::string& t) { messages.push_back(t); };
        env.errorBox = [this](const std::string& t) { messages.push_back(t); };
        form = std::make_unique<TForm1>(env);
        form->FormCreate();
        form->show();
    }
    void TearDown() override {
        form.reset();
        port.ComClose();
        if (master >= 0) close(master);
    }

    // Pumps the real event loop (the 2 ms timer runs) until cond or 3 s.
    template <class Cond>
    bool WaitFor(Cond cond) {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < 3000) QTest::qWait(5);
        return cond();
    }

    std::string ReadMaster(std::size_t want) {
        std::string got;
        QElapsedTimer t;
        t.start();
        while (got.size() < want && t.elapsed() < 3000) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                char buf[256];
                const ssize_t n = read(master, buf, sizeof buf);
                if (n > 0) got.append(buf, static_cast<std::size_t>(n));
            }
        }
        return got;
    }

    void OpenTypedPath() {
        form->ComboComPort->lineEdit()->setText(QString::fromStdString(slavePath));
        QTest::keyClick(form->ComboComPort->lineEdit(), Qt::Key_Return);
        form->ComboBaud->setEditText("115200");
        form->CheckBox1->setChecked(true);
        ASSERT_TRUE(messages.empty()) << messages.front();
        ASSERT_TRUE(port.IsOpen());
    }
};

TEST_F(FormPty, TalkThroughAPseudoTerminal) {
    OpenTypedPath();
    const std::string incoming = std::string("hello\r\nworld\x08") + '\0' + "hidden\nend";
    ASSERT_EQ(write(master, incoming.data(), incoming.size()), static_cast<ssize_t>(incoming.size()));
    ASSERT_TRUE(WaitFor([&] { return form->Memo1->toPlainText().endsWith("end"); }))
        << form->Memo1->toPlainText().toStdString();
    EXPECT_EQ(form->Memo1->toPlainText(), "hello\nworl\nend");

    form->Memo1->setFocus();
    QTest::keyClicks(form->Memo1, "AT");
    QTest::keyClick(form->Memo1, Qt::Key_Return);
    QTest::keyClick(form->Memo1, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(ReadMaster(4), std::string("AT\r\x1A"));

    // Every byte value passes unchanged in both directions.
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    form->CheckBoxHex->setChecked(true);
    form->Memo1->clear();
    ASSERT_EQ(write(master, all.data(), all.size()), 256);
    ASSERT_TRUE(WaitFor([&] { return form->Memo1->toPlainText().size() >= 768; }));
    EXPECT_TRUE(form->Memo1->toPlainText().startsWith("00 01 02 03 "));
    EXPECT_TRUE(form->Memo1->toPlainText().endsWith("FD FE FF "));
}

TEST_F(FormPty, FarEndVanishingLeavesTheWindowUsable) {
    OpenTypedPath();
    close(master);
    master = -1;
    QTest::qWait(50);  // the pump keeps ticking on a dead device
    QTest::keyClicks(form->Memo1, "x");
    form->CheckBox1->setChecked(false);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(form->ComboComPort->isEnabled());
}

TEST_F(FormPty, SecondOpenOfTheSameDeviceIsRefused) {
    OpenTypedPath();
    ComPort other(PosixSerialDeviceFactory(), SystemClock());
    EXPECT_EQ(other.ComOpen(slavePath, 9600, kFrameN81), kComCannotOpen);
}

}  // namespace
}  // namespace quennet
