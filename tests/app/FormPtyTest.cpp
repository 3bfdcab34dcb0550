// End to end: the real window with the posix backend on a pseudo-terminal.
// The test holds the master side, as a target would hold the far end.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fcntl.h>
#include <termios.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "PtyPair.h"
#include "app/PortCombo.h"
#include "app/PumpWaker.h"
#include "app/TForm1.h"
#include "app/TerminalMemo.h"
#include "loader/Loader.h"
#include "terminal/FileSend.h"
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
    std::vector<std::string> listed;  // the system's port list
    std::unique_ptr<TForm1> form;

    // Every pseudo-terminal made, the newest last: one made later does not
    // close the earlier ones, which a test may still hold.
    std::vector<std::unique_ptr<testing::PtyPair>> ptys;

    // A new pseudo-terminal: its far end in master, its device at slavePath.
    void OpenMaster() {
        ptys.push_back(std::make_unique<testing::PtyPair>());
        ASSERT_TRUE(ptys.back()->ok());
        master = ptys.back()->master();
        slavePath = ptys.back()->path();
    }
    // The far end goes away.
    void CloseMaster() {
        ptys.back()->CloseMaster();
        master = -1;
    }
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(OpenMaster());
        FormEnvironment env;
        env.settingsPath = dir.filePath("q.INI").toStdString();
        env.port = &port;
        env.listPorts = [this] { return listed; };
        env.messageBox = [this](const std::string&, const std::string& t) { messages.push_back(t); };
        env.errorBox = [this](const std::string& t) { messages.push_back(t); };
        form = std::make_unique<TForm1>(env);
        form->FormCreate();
        form->show();
    }
    void TearDown() override {
        form.reset();
        port.ComClose();
        ptys.clear();
    }

    // Pumps the real event loop (the 2 ms timer runs) until cond or 10 s.
    template <class Cond>
    bool WaitFor(Cond cond) {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < 10000) QTest::qWait(5);
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

// The pump's timer runs only while it has work: asleep with the port
// closed and on a quiet line, awake for an open, a key, bytes that arrive
// and every tick of a file send.
TEST_F(FormPty, ThePumpTimerRunsOnlyWhileItHasWork) {
    const QString sendPath = dir.filePath("send.bin");
    std::ofstream(sendPath.toStdString(), std::ios::binary) << std::string(3000, 'S');
    form->EditBrowseSendFile->setText(sendPath);
    QTimer* timer = form->timer();
    bool sleptDuringSend = false;
    std::size_t sentSeen = 0;
    struct Step {
        const char* what;
        std::function<void()> act;
        std::function<bool()> until;
    };
    const Step steps[] = {
        {"the port closed", [] {}, [&] { return !timer->isActive(); }},
        {"opened", [&] { OpenTypedPath(); }, [&] { return timer->isActive(); }},
        {"a quiet line", [] {}, [&] { return form->pumpWaker().Resting() && !timer->isActive(); }},
        {"a key typed", [&] { QTest::keyClicks(form->Memo1, "k"); }, [&] { return timer->isActive(); }},
        {"quiet again", [] {}, [&] { return !timer->isActive(); }},
        {"bytes arrive", [&] { ASSERT_EQ(write(master, "in\n", 3), 3); },
         [&] { return form->Memo1->toPlainText().contains("in"); }},
        {"quiet again", [] {}, [&] { return !timer->isActive(); }},
        {"a file send", [&] { form->ButtonSendFileClick(); },
         [&] {
             sleptDuringSend = sleptDuringSend || (form->fileSender().Running() && !timer->isActive());
             char buf[512];
             for (pollfd p{master, POLLIN, 0}; poll(&p, 1, 0) > 0 && (p.revents & POLLIN);) {
                 const ssize_t n = read(master, buf, sizeof buf);
                 if (n <= 0) break;
                 sentSeen += static_cast<std::size_t>(n);
             }
             return !form->fileSender().Running() && sentSeen >= 3001;
         }},
        {"quiet after the send", [] {}, [&] { return !timer->isActive(); }},
        {"closed", [&] { form->CheckBox1->setChecked(false); },
         [&] { return !timer->isActive() && !form->pumpWaker().Resting(); }},
    };
    for (const Step& step : steps) {
        step.act();
        ASSERT_TRUE(WaitFor(step.until)) << step.what;
    }
    EXPECT_FALSE(sleptDuringSend);
}

// A flood as fast as the far end can write, with the log on: the log holds
// every byte in order, and the view ends with the last lines.
TEST_F(FormPty, AFloodWithTheLogOnIsLoggedWholeAndTheViewShowsItsEnd) {
    const QString logPath = dir.filePath("flood.log");
    form->EditBrowseLogFile->setText(logPath);
    form->CheckBoxLogFile->setChecked(true);
    ASSERT_TRUE(form->CheckBoxLogFile->isChecked());
    OpenTypedPath();
    std::string sent;
    for (int i = 0; sent.size() < 2'000'000; ++i) {
        char line[96];
        std::snprintf(line, sizeof line, "%07d %070d\r\n", i, i);
        sent += line;
    }
    ASSERT_EQ(fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK), 0);
    for (std::size_t at = 0; at < sent.size();) {
        const ssize_t n = write(master, sent.data() + at, std::min<std::size_t>(4096, sent.size() - at));
        if (n > 0)
            at += static_cast<std::size_t>(n);
        else
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);  // the line is full: let the window read
    }
    const auto logSize = [&] { return QFileInfo(logPath).size(); };
    ASSERT_TRUE(WaitFor([&] { return logSize() >= static_cast<qint64>(sent.size()); })) << logSize();
    std::ifstream log(logPath.toStdString(), std::ios::binary);
    const std::string logged{std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>()};
    EXPECT_TRUE(logged == sent) << logged.size() << " bytes logged of " << sent.size();
    const std::size_t lastLine = sent.rfind('\n', sent.size() - 2) + 1;
    const QString last = QString::fromStdString(sent.substr(lastLine, sent.size() - lastLine - 2));
    ASSERT_TRUE(WaitFor([&] { return form->Memo1->ShowsEnd(); }));
    EXPECT_TRUE(form->Memo1->toPlainText().endsWith(last + "\n")) << last.toStdString();
}

TEST_F(FormPty, FarEndVanishingLeavesTheWindowUsable) {
    OpenTypedPath();
    CloseMaster();
    QTest::qWait(50);  // the pump keeps ticking on a dead device
    QTest::keyClicks(form->Memo1, "x");
    form->CheckBox1->setChecked(false);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(form->ComboComPort->isEnabled());
}

// The port reached through a link (as a board's announcement or a by-id
// path is); the far end is closed and made anew behind it.
class FormPtyLink : public FormPty {
protected:
    std::string link;

    void SetUp() override {
        FormPty::SetUp();
        link = dir.filePath("board-link").toStdString();
        ASSERT_EQ(symlink(slavePath.c_str(), link.c_str()), 0);
    }
    void OpenLink() {
        form->ComboComPort->lineEdit()->setText(QString::fromStdString(link));
        QTest::keyClick(form->ComboComPort->lineEdit(), Qt::Key_Return);
        form->ComboBaud->setEditText("57600");
        form->ComboBits->setCurrentIndex(kFrameE81);
        form->CheckBox1->setChecked(true);
        ASSERT_TRUE(messages.empty()) << messages.front();
        ASSERT_TRUE(port.IsOpen());
    }
    void Unplug() {
        CloseMaster();
        unlink(link.c_str());
    }
    void PlugInAgain() {
        ASSERT_NO_FATAL_FAILURE(OpenMaster());
        ASSERT_EQ(symlink(slavePath.c_str(), link.c_str()), 0);
    }
};

TEST_F(FormPtyLink, AVanishedDeviceClosesTheSessionAndSaysSo) {
    OpenLink();
    Unplug();
    ASSERT_TRUE(WaitFor([&] { return !form->CheckBox1->isChecked(); }));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(form->ComboComPort->isEnabled() && form->ComboBaud->isEnabled());
    EXPECT_TRUE(form->LabelPortState->text().contains("went away")) << form->LabelPortState->text().toStdString();
    EXPECT_TRUE(messages.empty());
    // Without the option nothing is opened again.
    PlugInAgain();
    QTest::qWait(1200);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(form->CheckBox1->isChecked());
}

TEST_F(FormPtyLink, ReopenAutomaticallyOpensTheSamePathWithTheSameSettingsOnceItIsBack) {
    form->CheckBoxReopen->setChecked(true);
    OpenLink();
    Unplug();
    ASSERT_TRUE(WaitFor([&] { return !form->CheckBox1->isChecked(); }));
    EXPECT_TRUE(form->ReopenWaiting());
    QTest::qWait(600);  // a look or two finds nothing
    EXPECT_FALSE(port.IsOpen());
    PlugInAgain();
    ASSERT_TRUE(WaitFor([&] { return port.IsOpen(); }));
    EXPECT_TRUE(form->CheckBox1->isChecked());
    EXPECT_EQ(form->ComboComPort->currentText().toStdString(), link);
    EXPECT_EQ(form->ComboBits->currentIndex(), kFrameE81);
    EXPECT_TRUE(form->LabelPortState->text().contains("back")) << form->LabelPortState->text().toStdString();
    // The new far end is the terminal's, at the settings of before.
    termios t{};
    ASSERT_EQ(tcgetattr(master, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B57600);
    ASSERT_EQ(write(master, "again\n", 6), 6);
    ASSERT_TRUE(WaitFor([&] { return form->Memo1->toPlainText().contains("again"); }));

    // The option is kept in the settings file.
    form->close();
    std::ifstream in(dir.filePath("q.INI").toStdString());
    EXPECT_NE(std::string(std::istreambuf_iterator<char>(in), {}).find("Reopen=1"), std::string::npos);
}

// A device lost while a run has the port is said and reopened as a device
// lost by the terminal is.
TEST_F(FormPtyLink, ADeviceLostDuringARunIsReopenedWhenItIsBack) {
    form->CheckBoxReopen->setChecked(true);
    OpenLink();
    form->Edit1->setText(QUENNET_TEST_DATA "/srec/msp430_blink.s19");
    form->ComboTarget->setCurrentIndex(kTargetMsp430_9600);
    Unplug();
    form->Button1->click();
    EXPECT_FALSE(form->CheckBox1->isChecked());
    EXPECT_TRUE(form->LabelPortState->text().contains("went away")) << form->LabelPortState->text().toStdString();
    PlugInAgain();
    ASSERT_TRUE(WaitFor([&] { return port.IsOpen(); }));
    EXPECT_TRUE(form->CheckBox1->isChecked());
}

TEST_F(FormPtyLink, ClosingTheSessionLeavesNoNotifierOnAClosedDescriptor) {
    static std::vector<std::string> warnings;
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
        warnings.push_back(m.toStdString());
    });
    OpenLink();
    // The pump rests on a quiet line, watching the descriptor.
    ASSERT_TRUE(WaitFor([&] { return form->pumpWaker().Resting(); }));
    form->CheckBox1->setChecked(false);
    QTest::qWait(100);
    OpenLink();
    ASSERT_TRUE(WaitFor([&] { return form->pumpWaker().Resting(); }));
    Unplug();
    ASSERT_TRUE(WaitFor([&] { return !port.IsOpen(); }));
    QTest::qWait(100);
    qInstallMessageHandler(previous);
    for (const std::string& w : warnings) EXPECT_EQ(w.find("QSocketNotifier"), std::string::npos) << w;
}

// Identities from a fake machine: the adapter that went away is known again
// where it comes back, and another one at its path is left alone.
TEST_F(FormPty, ReopenTakesOnlyTheAdapterThatWentAway) {
    std::map<std::string, DeviceIdentity> machine;
    port.SetIdentifySource([&machine](const std::string& path) -> std::optional<DeviceIdentity> {
        const auto it = machine.find(path);
        if (it == machine.end()) return std::nullopt;
        return it->second;
    });
    DeviceIdentity adapter;
    adapter.usbVendor = "0403";
    adapter.usbProduct = "6001";
    adapter.usbSerial = "A1";
    DeviceIdentity other = adapter;
    other.usbSerial = "B2";
    machine[slavePath] = adapter;
    form->CheckBoxReopen->setChecked(true);
    OpenTypedPath();

    // The pty the adapter comes back on is made first, so that it gets
    // another number than the one that goes.
    const std::string first = slavePath;
    testing::PtyPair& firstPty = *ptys.back();
    ASSERT_NO_FATAL_FAILURE(OpenMaster());
    const std::string second = slavePath;
    machine.clear();
    firstPty.CloseMaster();
    ASSERT_TRUE(WaitFor([&] { return !form->CheckBox1->isChecked(); }));
    machine[first] = other;
    ASSERT_TRUE(WaitFor([&] { return form->LabelPortState->text().startsWith("Another device"); }));
    EXPECT_EQ(form->LabelPortState->text().toStdString(),
              "Another device (USB 0403:6001 serial B2) is now at " + first +
                  "; it is left alone, and the device that went away is still waited for.");
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(form->ReopenWaiting());

    machine[second] = adapter;
    listed = {first, second};
    ASSERT_TRUE(WaitFor([&] { return port.IsOpen(); }));
    EXPECT_EQ(form->ComboComPort->currentText().toStdString(), second);
    EXPECT_EQ(form->LabelPortState->text().toStdString(),
              "The device " + first + " is back as " + second + "; the port is open again.");
    ASSERT_EQ(write(master, "B\n", 2), 2);
    ASSERT_TRUE(WaitFor([&] { return form->Memo1->toPlainText().contains("B"); }));
}

// A pseudo-terminal opened by its own path: the next pty with that number
// may be anyone's, so it is not waited for, and the status bar says why.
TEST_F(FormPty, APlainPseudoTerminalIsNotWaitedFor) {
    form->CheckBoxReopen->setChecked(true);
    OpenTypedPath();
    CloseMaster();
    ASSERT_TRUE(WaitFor([&] { return !form->CheckBox1->isChecked(); }));
    EXPECT_FALSE(form->ReopenWaiting());
    EXPECT_TRUE(form->LabelPortState->text().contains("It is not opened again by itself"))
        << form->LabelPortState->text().toStdString();
}

TEST_F(FormPty, SecondOpenOfTheSameDeviceIsRefused) {
    OpenTypedPath();
    ComPort other(PosixSerialDeviceFactory(), SystemClock());
    EXPECT_EQ(other.ComOpen(slavePath, 9600, kFrameN81), kComCannotOpen);
}

}  // namespace
}  // namespace quennet
