// File transfers in the real window, against lrzsz on the far end of a
// pseudo-terminal: every protocol both ways, Stop and Esc, the far end's
// ZMODEM start, and the settings of the transfers.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "TempDir.h"
#include "app/PortCombo.h"
#include "app/TForm1.h"
#include "app/TerminalMemo.h"
#include "app/TerminalTransfer.h"
#include "serial/ComPort.h"
#include "terminal/transfer/posix/LrzszPeer.h"

namespace quennet {
namespace {

using testing::LrzszPeer;
using testing::Slurp;
using testing::TempDir;

std::string Content(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

// XMODEM pads the last block with SUB.
void ExpectPadded(const std::string& got, const std::string& want) {
    ASSERT_GE(got.size(), want.size());
    EXPECT_LT(got.size() - want.size(), 1024u);
    EXPECT_TRUE(got.substr(0, want.size()) == want);
    EXPECT_EQ(got.find_first_not_of('\x1A', want.size()), std::string::npos);
}

class FormTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* p : {"sx", "sb", "sz", "rx", "rb", "rz"})
            if (!LrzszPeer::Installed(p)) GTEST_SKIP() << "lrzsz (" << p << ") is not installed";
        ASSERT_TRUE(peer.ok());
    }
    void TearDown() override {
        form.reset();
        port.ComClose();
    }

    // The window with its terminal open on the line to lrzsz; the line's
    // pace (what the transfer writes ahead) follows the rate.
    TForm1& Open(const char* baud = "921600") {
        FormEnvironment env;
        env.settingsPath = ours.File("q.INI");
        env.port = &port;
        env.listPorts = [] { return std::vector<std::string>{"lrzsz"}; };
        env.messageBox = [this](const std::string&, const std::string& t) { messages.push_back(t); };
        env.errorBox = [this](const std::string& t) { messages.push_back(t); };
        env.askYesNo = [this](const std::string&, const std::string& t) {
            questions.push_back(t);
            return answerYes;
        };
        env.saveFileDialog = [this](const std::string&, const std::string&) { return saveAnswer; };
        env.openFilesDialog = [this](const std::string&, const std::string&) { return filesAnswer; };
        env.askChoice = [this](const std::string&, const std::string& t, const std::vector<std::string>&) {
            questions.push_back(t);
            return choice;
        };
        form = std::make_unique<TForm1>(env);
        form->FormCreate();
        form->show();
        form->ComboComPort->setCurrentIndex(0);
        form->ComboBaud->setEditText(baud);
        form->CheckBox1->setChecked(true);
        EXPECT_TRUE(port.IsOpen());
        form->findChild<QLineEdit*>("EditReceiveFolder")->setText(QString::fromStdString(ours.path().string()));
        return *form;
    }

    template <class Cond>
    bool WaitFor(Cond cond) {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < 60000) QTest::qWait(5);
        return cond();
    }
    std::string View() const { return form->Memo1->toPlainText().toStdString(); }
    bool Shows(const std::string& text) {
        return WaitFor([&] { return View().find(text) != std::string::npos; });
    }
    bool Idle() {
        return WaitFor([&] { return !form->transfer().Running() && port.Owner().Holds(PortUser::Terminal); });
    }
    QPushButton* Button(const char* name) const { return form->findChild<QPushButton*>(name); }
    void Send(int protocol, const std::vector<std::string>& files) {
        form->ComboSendFile->setCurrentIndex(kFirstProtocolSendMode + protocol);
        form->EditBrowseSendFile->setText(QString::fromStdString(JoinSendFiles(files)));
        form->ButtonSendFile->click();
    }
    void Receive(int protocol) {
        form->findChild<QComboBox*>("ComboReceiveFile")->setCurrentIndex(protocol);
        Button("ButtonReceiveFile")->click();
    }

    TempDir ours, theirs;
    LrzszPeer peer;
    ComPort port{peer.Factory(), SystemClock()};
    std::unique_ptr<TForm1> form;
    std::vector<std::string> messages, questions;
    bool answerYes = true;
    std::optional<std::string> saveAnswer;
    std::optional<std::vector<std::string>> filesAnswer;
    int choice = 1;  // "Keep Both"
};

struct Case {
    TransferProtocol protocol;
    std::vector<std::string> receiver;  // lrzsz's, names appended for XMODEM
    std::vector<std::string> sender;
};
// ctest names the case by its protocol, not by its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << kTransferProtocolNames[static_cast<int>(c.protocol)]; }

const Case kCases[] = {
    {TransferProtocol::Xmodem, {"rx", "-b", "-c"}, {"sx", "-b"}},
    {TransferProtocol::Xmodem1K, {"rx", "-b", "-c"}, {"sx", "-b", "-k"}},
    {TransferProtocol::Ymodem, {"rb", "-b"}, {"sb", "-b"}},
    {TransferProtocol::Zmodem, {"rz", "-b"}, {"sz", "-b"}},
};

class FormTransferEach : public FormTransfer, public ::testing::WithParamInterface<Case> {};

TEST_P(FormTransferEach, SendsToLrzszAndReceivesFromIt) {
    const Case& c = GetParam();
    const bool batch = IsBatchProtocol(c.protocol);
    const std::vector<std::string> names = batch ? std::vector<std::string>{"a.bin", "empty.bin", "b.bin"}
                                                 : std::vector<std::string>{"a.bin"};
    std::vector<std::string> contents, paths;
    for (std::size_t i = 0; i < names.size(); ++i) {
        contents.push_back(names[i] == "empty.bin" ? "" : Content(20000 + 1025 * i, static_cast<unsigned>(i + 7)));
        paths.push_back(ours.Write(names[i], contents[i]));
    }
    Open();
    const int p = static_cast<int>(c.protocol);

    // Ours sends.
    auto argv = c.receiver;
    if (!batch) argv.push_back("in.bin");
    Send(p, paths);  // the receiver's first request is the transfer's, not the display's
    ASSERT_TRUE(peer.Start(argv, theirs.path().string()));
    ASSERT_TRUE(Idle());
    EXPECT_EQ(peer.Finish(), 0);
    EXPECT_TRUE(Shows(std::string(kTransferProtocolNames[p]) + ": Sent")) << View();
    EXPECT_EQ(form->ButtonSendFile->text(), "Send File");
    if (batch) {
        for (std::size_t i = 0; i < names.size(); ++i) EXPECT_TRUE(Slurp(theirs.File(names[i])) == contents[i]);
    } else {
        ExpectPadded(Slurp(theirs.File("in.bin")), contents[0]);
    }

    // Ours receives: XMODEM into the file named, the others into the
    // folder, where a file of the same name is kept beside the new one.
    const std::string before = "already here";
    ours.Write("b-a.bin", before);
    saveAnswer = ours.File("x.bin");
    for (std::size_t i = 0; i < names.size(); ++i) theirs.Write("b-" + names[i], contents[i]);
    Receive(p);
    argv = c.sender;
    for (std::size_t i = 0; i < names.size(); ++i) argv.push_back("b-" + names[i]);
    ASSERT_TRUE(peer.Start(argv, theirs.path().string()));
    ASSERT_TRUE(Idle());
    EXPECT_EQ(peer.Finish(), 0);
    EXPECT_TRUE(Shows(std::string(kTransferProtocolNames[p]) + ": Received")) << View();
    if (batch) {
        EXPECT_EQ(Slurp(ours.File("b-a.bin")), before);
        EXPECT_TRUE(Slurp(ours.File("b-a (1).bin")) == contents[0]);
        for (std::size_t i = 1; i < names.size(); ++i) EXPECT_TRUE(Slurp(ours.File("b-" + names[i])) == contents[i]);
        EXPECT_EQ(questions.size(), 1u);
    } else {
        ExpectPadded(Slurp(ours.File("x.bin")), contents[0]);
    }
    EXPECT_TRUE(messages.empty()) << messages.front();
}

INSTANTIATE_TEST_SUITE_P(Lrzsz, FormTransferEach, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(kTransferProtocolNames[static_cast<int>(
                                                    info.param.protocol)]) == "XMODEM-1K"
                                                           ? std::string("XMODEM1K")
                                                           : std::string(kTransferProtocolNames[static_cast<int>(
                                                                 info.param.protocol)]); });

// Stop cancels by the protocol: the far end is told and exits, the terminal
// has its port back.
TEST_F(FormTransfer, StopSendCancelsAndTheFarEndExits) {
    const std::string big = Content(200000, 3);
    const std::string path = ours.Write("big.bin", big);
    Open("9600");  // slow enough to be stopped half-way
    Send(static_cast<int>(TransferProtocol::Zmodem), {path});
    ASSERT_TRUE(peer.Start({"rz", "-b"}, theirs.path().string()));
    ASSERT_TRUE(WaitFor([&] { return form->findChild<QLabel*>("LabelTransfer")->text().contains("/s"); }));
    EXPECT_EQ(form->ButtonSendFile->text(), "STOP Send");
    form->ButtonSendFile->click();
    ASSERT_TRUE(Idle());
    EXPECT_NE(peer.Finish(), -1);  // it ended on its own
    EXPECT_TRUE(Shows("ZMODEM: Cancelled: big.bin after ")) << View();
    EXPECT_TRUE(form->CheckBox1->isChecked());
}

TEST_F(FormTransfer, EscCancelsAReceiveAndLeavesNoHalfFile) {
    Open("9600");
    theirs.Write("out.bin", Content(1 << 20, 4));
    saveAnswer = ours.File("x.bin");
    Receive(static_cast<int>(TransferProtocol::Xmodem1K));
    ASSERT_TRUE(peer.Start({"sx", "-b", "-k", "out.bin"}, theirs.path().string()));
    ASSERT_TRUE(WaitFor([&] { return form->findChild<QLabel*>("LabelTransfer")->text().contains("/s"); }));
    QApplication::setActiveWindow(form.get());
    QTest::keyClick(form->Memo1, Qt::Key_Escape);
    ASSERT_TRUE(Idle());
    EXPECT_NE(peer.Finish(), -1);
    EXPECT_TRUE(Shows("XMODEM-1K: Cancelled")) << View();
    EXPECT_FALSE(std::filesystem::exists(ours.File("x.bin")));  // no half file under the name
    EXPECT_TRUE(form->CheckBox1->isChecked());
}

// The far end starts ZMODEM: the window offers, and on Yes the transfer
// runs; none of its bytes are shown.
TEST_F(FormTransfer, FarEndStartOffersTheTransferAndShowsNoneOfItsBytes) {
    const std::string content = Content(30000, 5);
    theirs.Write("from-board.bin", content);
    const std::string toBoard = ours.Write("to-board.bin", Content(4000, 6));
    Open();
    form->EditBrowseLogFile->setText(QString::fromStdString(ours.File("terminal.log")));
    form->CheckBoxLogFile->setChecked(true);
    ASSERT_TRUE(peer.Start({"sz", "-b", "from-board.bin"}, theirs.path().string()));
    ASSERT_TRUE(Shows("ZMODEM: Received 1 file")) << View();
    ASSERT_TRUE(Idle());
    EXPECT_EQ(peer.Finish(), 0);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_NE(questions[0].find("sends files by ZMODEM"), std::string::npos);
    EXPECT_TRUE(Slurp(ours.File("from-board.bin")) == content);
    // What the target prints next keeps its first 'O': only a goodbye is taken.
    ASSERT_TRUE(peer.Start({"printf", "OK-after\\n"}, theirs.path().string()));
    EXPECT_EQ(peer.Finish(), 0);
    ASSERT_TRUE(Shows("OK-after")) << View();

    filesAnswer = std::vector<std::string>{toBoard};
    ASSERT_TRUE(peer.Start({"rz", "-b"}, theirs.path().string()));
    ASSERT_TRUE(Shows("ZMODEM: Sent 1 file")) << View();
    ASSERT_TRUE(Idle());
    EXPECT_EQ(peer.Finish(), 0);
    EXPECT_TRUE(Slurp(theirs.File("to-board.bin")) == Slurp(toBoard));
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_NE(questions[1].find("waits for files"), std::string::npos);

    // No header, no goodbye, no file byte in the view: only lrzsz's own
    // words and the end lines.
    const std::string view = View();
    form->CheckBoxLogFile->setChecked(false);
    const std::string log = Slurp(ours.File("terminal.log"));
    EXPECT_NE(log.find("rz\r"), std::string::npos);  // sz's own word stays in the log
    for (const char* protocolBytes : {"**", "B00000000", "B0100", "OO"}) {
        EXPECT_EQ(view.find(protocolBytes), std::string::npos) << protocolBytes << " in\n" << view;
        EXPECT_EQ(log.find(protocolBytes), std::string::npos) << protocolBytes << " in the log";
    }
}

// A sender that brings more than the limit set is cancelled, and nothing of
// its file stays.
TEST_F(FormTransfer, TheByteLimitStopsASenderThatGoesPastIt) {
    Open();
    form->findChild<QSpinBox*>("SpinByteLimit")->setValue(1);
    theirs.Write("huge.bin", Content((1 << 20) + 5000, 8));
    Receive(static_cast<int>(TransferProtocol::Zmodem));
    ASSERT_TRUE(peer.Start({"sz", "-b", "huge.bin"}, theirs.path().string()));
    ASSERT_TRUE(Idle());
    EXPECT_NE(peer.Finish(), -1);
    EXPECT_TRUE(Shows("size limit of 1048576 bytes reached")) << View();
    EXPECT_TRUE(std::filesystem::is_empty(ours.path() / "")) << "nothing left behind";
}

TEST_F(FormTransfer, WithAutoStartOffTheTerminalStaysPlain) {
    Open();
    form->findChild<QCheckBox*>("CheckBoxAutoStart")->setChecked(false);
    theirs.Write("f.bin", "x");
    ASSERT_TRUE(peer.Start({"sz", "-b", "f.bin"}, theirs.path().string()));
    ASSERT_TRUE(Shows("B00000000"));  // the header as text, as a plain terminal shows it
    EXPECT_TRUE(questions.empty());
    EXPECT_FALSE(form->transfer().Running());
}

}  // namespace
}  // namespace quennet
