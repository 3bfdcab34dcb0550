// The plot fed through the window's real receive path: a TForm1 with its
// own pump on a pseudo-terminal, lines written by the far end.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "PtyPair.h"
#include "app/PlotPage.h"
#include "app/PortCombo.h"
#include "app/TForm1.h"
#include "app/TerminalMemo.h"
#include "serial/ComPort.h"
#include "serial/posix/PosixSerialDevice.h"

namespace quennet {
namespace {

class FormPlotPty : public ::testing::Test {
protected:
    testing::PtyPair pty;
    QTemporaryDir dir;
    ComPort port{PosixSerialDeviceFactory(), SystemClock()};
    std::vector<std::string> messages;
    std::unique_ptr<TForm1> form;

    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        FormEnvironment env;
        env.settingsPath = dir.filePath("q.INI").toStdString();
        env.port = &port;
        env.listPorts = [] { return std::vector<std::string>{}; };
        env.messageBox = [this](const std::string&, const std::string& t) { messages.push_back(t); };
        env.errorBox = [this](const std::string& t) { messages.push_back(t); };
        form = std::make_unique<TForm1>(env);
        form->FormCreate();
        form->show();
        form->ComboComPort->lineEdit()->setText(QString::fromStdString(pty.path()));
        QTest::keyClick(form->ComboComPort->lineEdit(), Qt::Key_Return);
        form->ComboBaud->setEditText("921600");
        form->CheckBox1->setChecked(true);
        ASSERT_TRUE(messages.empty()) << messages.front();
        ASSERT_TRUE(port.IsOpen());
    }
    void TearDown() override {
        form.reset();
        port.ComClose();
    }
    void Write(const std::string& text) {
        ASSERT_EQ(write(pty.master(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    template <class Cond>
    bool WaitFor(Cond cond) {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < 10000) QTest::qWait(5);
        return cond();
    }
    const plot::PlotFeed& feed() { return form->plotPage().feed(); }
};

TEST_F(FormPlotPty, LinesReceivedByTheTerminalBecomeSeriesWhileTheDisplayAndLogStayTheSame) {
    // Off: the terminal shows the line, the plot keeps nothing.
    Write("7,8\n");
    ASSERT_TRUE(WaitFor([&] { return form->Memo1->toPlainText().contains("7,8"); }));
    EXPECT_EQ(feed().store().Size(), 0u);

    const QString logPath = dir.filePath("rx.log");
    form->EditBrowseLogFile->setText(logPath);
    form->CheckBoxLogFile->setChecked(true);
    form->plotPage().CheckBoxPlot->setChecked(true);
    form->Memo1->ClearText();
    // A table with a line of names, then pairs; split anywhere by the line.
    std::string text = "t,volts,amps\r\n";
    for (int i = 0; i < 200; ++i)
        text += std::to_string(i) + "," + std::to_string(i * 0.5) + "," + std::to_string(-i) + "\r\n";
    text += "rpm=1500 temp:21.5\n";
    for (std::size_t at = 0; at < text.size(); at += 333) Write(text.substr(at, 333));
    ASSERT_TRUE(WaitFor([&] { return feed().store().Size() == 201; })) << feed().store().Size();

    ASSERT_EQ(feed().SeriesCount(), 5u);
    EXPECT_EQ(feed().SeriesName(1), "volts");
    EXPECT_EQ(feed().SeriesName(3), "rpm");
    for (int i = 0; i < 200; i += 37) {
        EXPECT_EQ(feed().store().Value(0, static_cast<std::size_t>(i)), static_cast<float>(i));
        EXPECT_EQ(feed().store().Value(1, static_cast<std::size_t>(i)), static_cast<float>(i * 0.5));
        EXPECT_EQ(feed().store().Value(2, static_cast<std::size_t>(i)), static_cast<float>(-i));
    }
    EXPECT_EQ(feed().store().Value(4, 200), 21.5f);
    EXPECT_TRUE(std::isnan(feed().store().Value(0, 200)));

    // The display and the log got every byte as before.
    ASSERT_TRUE(WaitFor([&] { return form->Memo1->toPlainText().endsWith("temp:21.5\n"); }));
    EXPECT_EQ(form->Memo1->toPlainText().count('\n'), 202);
    form->CheckBoxLogFile->setChecked(false);
    std::ifstream log(logPath.toStdString(), std::ios::binary);
    std::stringstream logged;
    logged << log.rdbuf();
    EXPECT_EQ(logged.str(), text);

    // Off again: nothing more reaches the plot.
    form->plotPage().CheckBoxPlot->setChecked(false);
    Write("1,2,3\nend\n");
    ASSERT_TRUE(WaitFor([&] { return form->Memo1->toPlainText().endsWith("end\n"); }));
    EXPECT_EQ(feed().store().Size(), 201u);
}

}  // namespace
}  // namespace quennet
