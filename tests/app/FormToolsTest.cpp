// The terminal's tools in a real window over the simulated line: function
// buttons and keys, "Send Hex", button-set files, file send and the log.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <filesystem>

#include "FormFixture.h"
#include "app/PortCombo.h"
#include "app/TerminalMemo.h"

namespace quennet::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

constexpr const char* kButFilter = "BUT files (*.but)|*.but";
constexpr const char* kLogFilter = "Log files (*.log)|*.log|All files (*.*)|*.*";

class FormTools : public FormFixture {
protected:
    struct DialogCall {
        std::string filter;
        std::string proposed;
    };
    std::vector<DialogCall> openCalls, saveCalls;
    std::optional<std::string> openAnswer, saveAnswer;  // nothing: Cancel

    FormEnvironment Env() override {
        FormEnvironment env = FormFixture::Env();
        env.openFileDialog = [this](const std::string& filter, const std::string& proposed) {
            openCalls.push_back({filter, proposed});
            return openAnswer;
        };
        env.saveFileDialog = [this](const std::string& filter, const std::string& proposed) {
            saveCalls.push_back({filter, proposed});
            return saveAnswer;
        };
        return env;
    }
    TForm1& OpenSession() {
        TForm1& f = MakeForm();
        f.ComboComPort->setCurrentIndex(1);
        f.ComboBaud->setEditText("115200");
        f.CheckBox1->setChecked(true);
        EXPECT_TRUE(port.IsOpen());
        return f;
    }
    void Receive(const Bytes& bytes) {
        line.SendToPort(bytes);
        clock.Advance(line.WireTimeUs(bytes.size()) + 1000);
        form->Timer1Timer();
    }
    void Tick() {
        clock.Advance(2000);
        form->Timer1Timer();
    }
    QString Shown() const { return form->Memo1->toPlainText(); }
    std::string Path(const char* name) const { return dir.filePath(name).toStdString(); }
    static void WriteFile(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void LoadButtons(const std::string& chosen) {
        openAnswer = chosen;
        form->ButtonLoad1->trigger();
    }
    void SaveButtons(const std::string& chosen) {
        saveAnswer = chosen;
        form->ButtonSave1->trigger();
    }
    std::vector<std::size_t> WriteSizes() const {
        std::vector<std::size_t> sizes;
        for (const SimEvent& e : line.EventsOf(SimEvent::Kind::Write)) sizes.push_back(e.bytes.size());
        return sizes;
    }
    // A file whose bytes differ from block to block, control codes included.
    std::string MakeSendFile(const char* name, std::size_t size) {
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
        WriteFile(Path(name), data);
        form->EditBrowseSendFile->setText(QString::fromStdString(Path(name)));
        return data;
    }
};

// ------------------------------------------------------- function buttons

TEST_F(FormTools, ButtonsAndFunctionKeysSendTheirValues) {
    TForm1& f = OpenSession();
    f.show();
    f.EditBV[0]->setText(R"(a\nb\r\\c\tZ)");
    f.EditBV[1]->setText(QString(QChar(0xE9)) + QChar(0x20AC));
    f.EditBV[2]->setText(R"(x\)");
    for (int i = 3; i < 8; ++i) f.EditBV[i]->setText(QString("v%1").arg(i + 1));
    const Bytes expected = {'a', 0x0A, 'b', 0x0D, 0x5C, 'c', 'Z', 0xE9, 0x80, 'x', 'v', '4', 'v', '5',
                            'v', '6', 'v', '7', 'v', '8'};
    for (int i = 0; i < 8; ++i) {
        f.Edit2->setFocus();
        ASSERT_EQ(f.focusWidget(), f.Edit2);
        f.ButtonStr[i]->click();
        EXPECT_EQ(f.focusWidget(), f.Memo1) << "button " << i + 1;
    }
    EXPECT_EQ(line.WrittenBytes(), expected);

    line.ClearWriteLog();
    const Qt::KeyboardModifiers mods[] = {Qt::NoModifier, Qt::ShiftModifier, Qt::ControlModifier,
                                          Qt::AltModifier};
    for (int i = 0; i < 8; ++i)
        QTest::keyClick(f.Memo1, static_cast<Qt::Key>(Qt::Key_F1 + i), mods[i % 4]);
    QTest::keyClick(f.Memo1, Qt::Key_F9);  // no ninth button
    EXPECT_EQ(line.WrittenBytes(), expected);
    EXPECT_EQ(Shown(), "");

    // The option boxes reach the keys as they reach the buttons.
    line.ClearWriteLog();
    f.CheckBoxFHex->setChecked(true);
    f.EditBV[0]->setText("41 4a,7");
    f.ButtonStr[0]->click();
    QTest::keyClick(f.Memo1, Qt::Key_F1, Qt::ShiftModifier);
    EXPECT_EQ(line.WrittenBytes(), (Bytes{0x41, 0x4A, 0x41, 0x4A}));
}

TEST_F(FormTools, SendHexIgnoresTheButtonOptionsAndEchoesOnItsOwnLine) {
    TForm1& f = OpenSession();
    Receive(B("abc"));
    f.Edit2->setText("0A1B");
    f.Button3->click();
    EXPECT_EQ(line.WrittenBytes(), (Bytes{0x0A, 0x1B}));
    EXPECT_EQ(Shown(), "abc");  // no echo without "Show Hex"
    EXPECT_EQ(f.focusWidget(), f.Memo1);

    // Still hex with the NMEA option ticked: "$" is a separator, C is dropped.
    line.ClearWriteLog();
    f.CheckBoxCRCNMEA->setChecked(true);
    f.Edit2->setText("$ABC");
    f.Button3->click();
    EXPECT_EQ(line.WrittenBytes(), (Bytes{0xAB}));
    f.CheckBoxCRCNMEA->setChecked(false);

    line.ClearWriteLog();
    f.CheckBoxHex->setChecked(true);
    f.Edit2->setFocus();
    f.Edit2->setText("0A1B");
    f.Button3->click();
    EXPECT_EQ(line.WrittenBytes(), (Bytes{0x0A, 0x1B}));
    EXPECT_EQ(Shown(), "abc\n< 0A 1B > \n");
    EXPECT_EQ(f.focusWidget(), f.Memo1);
    Receive({0x6F, 0x6B});  // the answer starts on a new line
    EXPECT_EQ(Shown(), "abc\n< 0A 1B > \n6F 6B ");

    f.Button4->click();
    f.Edit2->setText("ff");
    f.Button3->click();
    EXPECT_EQ(Shown(), "\n< FF > \n");
    f.Edit2->setText("1 2");  // no whole pair: nothing sent, nothing shown
    f.Button3->click();
    EXPECT_EQ(Shown(), "\n< FF > \n");
    EXPECT_EQ(line.WrittenBytes(), (Bytes{0x0A, 0x1B, 0xFF}));

    // With the port closed the echo still shows; after a line break it
    // starts below an empty line.
    clock.Advance(10000);  // let the FF leave before the close purges
    f.CheckBox1->setChecked(false);
    f.Edit2->setText("41");
    f.Button3->click();
    EXPECT_EQ(Shown(), "\n< FF > \n\n< 41 > \n");
    EXPECT_EQ(line.WrittenBytes(), (Bytes{0x0A, 0x1B, 0xFF}));
}

TEST_F(FormTools, NmeaOptionAppendsChecksumAndWinsOverHex) {
    TForm1& f = OpenSession();
    f.CheckBoxHex->setChecked(true);
    f.CheckBoxCRCNMEA->setChecked(true);
    f.EditBV[0]->setText("$ABC");
    f.EditBV[1]->setText("ABC");  // no leading "$": nothing goes out
    f.ButtonStr[0]->click();
    f.ButtonStr[1]->click();
    EXPECT_EQ(line.WrittenBytes(), B("$ABC*40\r\n"));
    EXPECT_EQ(Shown(), "");  // sentences are not echoed
    EXPECT_EQ(f.focusWidget(), f.Memo1);

    // Both options set, which only a file can do: the sentence is sent.
    WriteFile(Path("both.but"), "[Button]\r\nHex=1\r\nNMEA=1\r\nBV1=$GPX,12\r\n");
    LoadButtons(Path("both.but"));
    line.ClearWriteLog();
    QTest::keyClick(f.Memo1, Qt::Key_F1);
    EXPECT_EQ(line.WrittenBytes(), B("$GPX,12*60\r\n"));
}

TEST_F(FormTools, OptionBoxesExcludeEachOther) {
    TForm1& f = MakeForm();
    EXPECT_TRUE(f.CheckBoxFHex->isEnabled());
    EXPECT_TRUE(f.CheckBoxCRCNMEA->isEnabled());
    f.CheckBoxFHex->click();
    EXPECT_TRUE(f.CheckBoxFHex->isChecked());
    EXPECT_FALSE(f.CheckBoxCRCNMEA->isEnabled());
    EXPECT_FALSE(f.CheckBoxCRCNMEA->isChecked());
    f.CheckBoxFHex->click();
    EXPECT_TRUE(f.CheckBoxCRCNMEA->isEnabled());
    f.CheckBoxCRCNMEA->click();
    EXPECT_FALSE(f.CheckBoxFHex->isEnabled());
    EXPECT_FALSE(f.CheckBoxFHex->isChecked());
    f.CheckBoxCRCNMEA->click();
    EXPECT_TRUE(f.CheckBoxFHex->isEnabled());

    WriteFile(Path("both.but"), "[Button]\r\nHex=1\r\nNMEA=1\r\n");
    WriteFile(Path("hex.but"), "[Button]\r\nHex=1\r\nNMEA=0\r\n");
    LoadButtons(Path("both.but"));
    EXPECT_TRUE(f.CheckBoxFHex->isChecked() && f.CheckBoxCRCNMEA->isChecked());
    EXPECT_FALSE(f.CheckBoxFHex->isEnabled());
    EXPECT_FALSE(f.CheckBoxCRCNMEA->isEnabled());
    LoadButtons(Path("hex.but"));  // only the box that changes runs its handler
    EXPECT_TRUE(f.CheckBoxFHex->isChecked());
    EXPECT_TRUE(f.CheckBoxFHex->isEnabled());
    EXPECT_FALSE(f.CheckBoxCRCNMEA->isChecked());
    EXPECT_FALSE(f.CheckBoxCRCNMEA->isEnabled());
    LoadButtons(Path("none.but"));
    EXPECT_FALSE(f.CheckBoxFHex->isChecked() || f.CheckBoxCRCNMEA->isChecked());
    EXPECT_TRUE(f.CheckBoxFHex->isEnabled() && f.CheckBoxCRCNMEA->isEnabled());
}

TEST_F(FormTools, ButtonCaptionsFollowTheirFields) {
    TForm1& f = MakeForm();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(f.ButtonStr[i]->text(), "");
    QTest::keyClicks(f.EditBC[2], "Reset board");
    EXPECT_EQ(f.ButtonStr[2]->text(), "Reset board");
    QTest::keyClicks(f.EditBC[0], "ABCDEFGHIJKLMNOPQRST");  // typing stops at 16
    EXPECT_EQ(f.EditBC[0]->text(), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(f.ButtonStr[0]->text(), "ABCDEFGHIJKLMNOP");

    WriteFile(Path("long.but"), "[Button]\r\nBC1=Short\r\nBC2=A caption longer than sixteen\r\nBC8=last\r\n");
    LoadButtons(Path("long.but"));
    EXPECT_EQ(f.EditBC[1]->text(), "A caption longer than sixteen");
    EXPECT_EQ(f.ButtonStr[1]->text(), "A caption longer than sixteen");
    EXPECT_EQ(f.ButtonStr[0]->text(), "Short");
    EXPECT_EQ(f.ButtonStr[2]->text(), "");
    EXPECT_EQ(f.ButtonStr[7]->text(), "last");
}

// ------------------------------------------------------------ button sets

TEST_F(FormTools, SaveAndLoadRoundTripThroughRealFiles) {
    TForm1& f = MakeForm();
    const QString captions[8] = {"Reset", "Status", "a=b;c", "[sect]", QString("caf") + QChar(0xE9),
                                 "", "seven", "8"};
    const QString values[8] = {R"(AT\r\n)", "0A 1B ff", "x=y=z", "; not a comment", "",
                               R"(\\)", QString(200, 'w'), "#8"};
    for (int i = 0; i < 8; ++i) {
        f.EditBC[i]->setText(captions[i]);
        f.EditBV[i]->setText(values[i]);
    }
    f.CheckBoxFHex->setChecked(true);
    SaveButtons(Path("set.but"));
    ASSERT_EQ(saveCalls.size(), 1u);
    EXPECT_EQ(saveCalls[0].filter, kButFilter);
    std::string expected = "[Button]\r\nHex=1\r\nNMEA=0\r\n";
    for (int i = 0; i < 8; ++i) expected += "BC" + std::to_string(i + 1) + "=" + ToEightBit(captions[i]) + "\r\n";
    for (int i = 0; i < 8; ++i) expected += "BV" + std::to_string(i + 1) + "=" + ToEightBit(values[i]) + "\r\n";
    EXPECT_EQ(ReadFile(Path("set.but")), expected);
    EXPECT_NE(expected.find("BC5=caf\xE9\r\n"), std::string::npos);

    LoadButtons(Path("absent.but"));  // clears everything first
    for (int i = 0; i < 8; ++i) ASSERT_EQ(f.EditBV[i]->text(), "");
    LoadButtons(Path("set.but"));
    ASSERT_EQ(openCalls.back().filter, kButFilter);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(f.EditBC[i]->text(), captions[i]) << i;
        EXPECT_EQ(f.ButtonStr[i]->text(), captions[i]) << i;
        EXPECT_EQ(f.EditBV[i]->text(), values[i]) << i;
    }
    EXPECT_TRUE(f.CheckBoxFHex->isChecked());
    EXPECT_FALSE(f.CheckBoxCRCNMEA->isChecked());
    EXPECT_FALSE(f.CheckBoxCRCNMEA->isEnabled());
    EXPECT_TRUE(errors.empty());
}

TEST_F(FormTools, FileNamesMissingFilesAndCancel) {
    TForm1& f = MakeForm();
    f.EditBC[0]->setText("one");
    f.EditBV[7]->setText("eight");
    SaveButtons(Path("a.txt"));
    EXPECT_TRUE(std::filesystem::exists(Path("a.but")));
    EXPECT_FALSE(std::filesystem::exists(Path("a.txt")));
    SaveButtons(Path("noext"));
    EXPECT_TRUE(std::filesystem::exists(Path("noext.but")));

    f.EditBC[0]->setText("changed");
    LoadButtons(Path("a.txt"));  // reads a.but
    EXPECT_EQ(f.EditBC[0]->text(), "one");
    EXPECT_EQ(f.EditBV[7]->text(), "eight");

    // Cancel: nothing read, nothing written.
    const auto entries = [this] {
        return std::distance(std::filesystem::directory_iterator(dir.path().toStdString()),
                             std::filesystem::directory_iterator());
    };
    const auto before = entries();
    openAnswer.reset();
    f.ButtonLoad1->trigger();
    saveAnswer.reset();
    f.ButtonSave1->trigger();
    EXPECT_EQ(entries(), before);
    EXPECT_EQ(f.EditBC[0]->text(), "one");

    WriteFile(Path("both.but"), "[Button]\r\nHex=1\r\nNMEA=1\r\nBC3=c\r\nBV3=v\r\n");
    LoadButtons(Path("both.but"));
    LoadButtons(Path("gone.txt"));  // neither gone.txt nor gone.but exists
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(f.EditBC[i]->text(), "") << i;
        EXPECT_EQ(f.EditBV[i]->text(), "") << i;
        EXPECT_EQ(f.ButtonStr[i]->text(), "") << i;
    }
    EXPECT_FALSE(f.CheckBoxFHex->isChecked() || f.CheckBoxCRCNMEA->isChecked());
    EXPECT_TRUE(f.CheckBoxFHex->isEnabled() && f.CheckBoxCRCNMEA->isEnabled());
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(errors.empty());
}

TEST_F(FormTools, BlanksAndQuotesAreLostOnTheRoundTrip) {
    TForm1& f = MakeForm();
    f.EditBC[0]->setText("  pad  ");
    f.EditBV[0]->setText("\"quoted\"");
    f.EditBV[1]->setText("'single'");
    f.EditBV[2]->setText(" \"both\" ");
    f.EditBV[3]->setText("a\"b\"");  // not enclosed: kept
    f.EditBV[4]->setText("\tx y\t");
    SaveButtons(Path("q.but"));
    LoadButtons(Path("q.but"));
    EXPECT_EQ(f.EditBC[0]->text(), "pad");
    EXPECT_EQ(f.ButtonStr[0]->text(), "pad");
    EXPECT_EQ(f.EditBV[0]->text(), "quoted");
    EXPECT_EQ(f.EditBV[1]->text(), "single");
    EXPECT_EQ(f.EditBV[2]->text(), "both");
    EXPECT_EQ(f.EditBV[3]->text(), "a\"b\"");
    EXPECT_EQ(f.EditBV[4]->text(), "x y");
}

TEST_F(FormTools, UnwritableButtonFileGoesToTheErrorBox) {
    TForm1& f = MakeForm();
    f.EditBC[0]->setText("kept");
    SaveButtons(Path("missing/x.txt"));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Unable to write to " + Path("missing/x.but"));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(f.EditBC[0]->text(), "kept");
    EXPECT_FALSE(std::filesystem::exists(Path("missing")));
}

TEST_F(FormTools, SharedDialogsKeepNameAndFilter) {
    TForm1& f = MakeForm();
    WriteFile(Path("s.but"), "[Button]\r\nBC1=from s\r\n");
    LoadButtons(Path("s.but"));
    LoadButtons(Path("s.but"));
    ASSERT_EQ(openCalls.size(), 2u);
    EXPECT_EQ(openCalls[1].proposed, Path("s.but"));

    f.EditBrowseSendFile->setText("/srv/old.bin");
    openAnswer = Path("payload.bin");
    f.ButtonBrowseSendFile->click();
    ASSERT_EQ(openCalls.size(), 3u);
    EXPECT_EQ(openCalls[2].filter, "All files (*.*)|*.*");
    EXPECT_EQ(openCalls[2].proposed, "/srv/old.bin");
    EXPECT_EQ(f.EditBrowseSendFile->text().toStdString(), Path("payload.bin"));
    EXPECT_EQ(f.focusWidget(), f.EditBrowseSendFile);
    openAnswer.reset();
    f.ButtonLoad1->trigger();  // proposes the name chosen for sending
    ASSERT_EQ(openCalls.size(), 4u);
    EXPECT_EQ(openCalls[3].filter, kButFilter);
    EXPECT_EQ(openCalls[3].proposed, Path("payload.bin"));
    EXPECT_EQ(f.EditBC[0]->text(), "from s");  // Cancel changed nothing

    SaveButtons(Path("first.but"));
    SaveButtons(Path("first.but"));
    ASSERT_EQ(saveCalls.size(), 2u);
    EXPECT_EQ(saveCalls[1].filter, kButFilter);
    EXPECT_EQ(saveCalls[1].proposed, Path("first.but"));
    f.EditBrowseLogFile->setText("/var/old.log");
    saveAnswer = Path("session.log");
    f.ButtonBrowseLogFile->click();
    ASSERT_EQ(saveCalls.size(), 3u);
    EXPECT_EQ(saveCalls[2].filter, kLogFilter);
    EXPECT_EQ(saveCalls[2].proposed, "/var/old.log");
    EXPECT_EQ(f.EditBrowseLogFile->text().toStdString(), Path("session.log"));
    EXPECT_EQ(f.focusWidget(), f.EditBrowseLogFile);
    SaveButtons(Path("session.log"));  // the log's filter stays; a .but is written
    ASSERT_EQ(saveCalls.size(), 4u);
    EXPECT_EQ(saveCalls[3].filter, kLogFilter);
    EXPECT_EQ(saveCalls[3].proposed, Path("session.log"));
    EXPECT_NE(ReadFile(Path("session.but")).find("BC1=from s\r\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(Path("session.log")));
}

// -------------------------------------------------------------- file send

TEST_F(FormTools, SendFileRefusesWithoutPortOrFile) {
    TForm1& f = MakeForm();
    MakeSendFile("small.bin", 10);
    f.ButtonSendFile->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], std::make_pair(std::string("Quennet Error"), std::string("Communication Port is not Open!")));
    EXPECT_EQ(f.ButtonSendFile->text(), "Send File");

    f.ComboComPort->setCurrentIndex(0);
    f.ComboBaud->setEditText("9600");
    f.CheckBox1->setChecked(true);
    f.EditBrowseSendFile->setText(QString::fromStdString(Path("nothere.bin")));
    f.ButtonSendFile->click();
    f.EditBrowseSendFile->setText("");
    f.ButtonSendFile->click();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1], std::make_pair(std::string("Quennet Error"), std::string("Can't Open the File!")));
    EXPECT_EQ(messages[2].second, "Can't Open the File!");
    EXPECT_EQ(f.ButtonSendFile->text(), "Send File");
    Tick();
    EXPECT_TRUE(line.WrittenBytes().empty());
}

TEST_F(FormTools, RawSendGoesOutOnTheTicksInWholeBlocks) {
    TForm1& f = OpenSession();
    std::string data = MakeSendFile("33.bin", 33);
    f.Edit2->setFocus();
    f.ButtonSendFile->click();
    EXPECT_EQ(f.ButtonSendFile->text(), "STOP Send");
    EXPECT_EQ(f.focusWidget(), f.Memo1);
    EXPECT_TRUE(line.WrittenBytes().empty());  // the click sends nothing
    Tick();
    EXPECT_EQ(line.WrittenBytes(), B(data));
    EXPECT_EQ(WriteSizes(), (std::vector<std::size_t>{32, 1}));
    EXPECT_EQ(f.ButtonSendFile->text(), "Send File");

    MakeSendFile("empty.bin", 0);
    f.ButtonSendFile->click();
    Tick();
    EXPECT_EQ(f.ButtonSendFile->text(), "Send File");
    EXPECT_EQ(line.WrittenBytes().size(), 33u);

    line.ClearWriteLog();
    line.ClearEvents();
    data = MakeSendFile("5000.bin", 5000);
    f.ButtonSendFile->click();
    Tick();
    EXPECT_EQ(line.WrittenBytes(), B(data.substr(0, 3200)));
    EXPECT_EQ(f.ButtonSendFile->text(), "STOP Send");
    Tick();
    EXPECT_EQ(line.WrittenBytes(), B(data));
    EXPECT_EQ(f.ButtonSendFile->text(), "Send File");
    const std::vector<std::size_t> sizes = WriteSizes();
    ASSERT_EQ(sizes.size(), 157u);
    EXPECT_EQ(sizes.back(), 8u);
    EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 32u), 156);
    EXPECT_TRUE(messages.empty());

    // "STOP Send" between two steps; a new start begins at the file's start.
    line.ClearWriteLog();
    f.ButtonSendFile->click();
    Tick();
    f.Edit2->setFocus();
    f.ButtonSendFile->click();
    EXPECT_EQ(f.ButtonSendFile->text(), "Send File");
    EXPECT_EQ(f.focusWidget(), f.Memo1);
    Tick();
    Tick();
    EXPECT_EQ(line.WrittenBytes(), B(data.substr(0, 3200)));
    line.ClearWriteLog();
    f.ButtonSendFile->click();
    Tick();
    EXPECT_EQ(line.WrittenBytes(), B(data.substr(0, 3200)));
}

TEST_F(FormTools, FullReceiveChunkHoldsTheSendBack) {
    TForm1& f = OpenSession();
    const std::string data = MakeSendFile("33.bin", 33);
    f.ButtonSendFile->click();
    Receive(Bytes(200, 'r'));
    EXPECT_EQ(Shown(), QString(200, 'r'));
    EXPECT_TRUE(line.WrittenBytes().empty());
    EXPECT_EQ(f.ButtonSendFile->text(), "STOP Send");
    Tick();
    EXPECT_EQ(line.WrittenBytes(), B(data));

    line.ClearWriteLog();
    f.ButtonSendFile->click();
    Receive(Bytes(199, 's'));  // not a full chunk: the step runs in this tick
    EXPECT_EQ(line.WrittenBytes(), B(data));
    EXPECT_EQ(f.ButtonSendFile->text(), "Send File");
}

TEST_F(FormTools, CompactSrecEndsWithTbdAndSendsNothing) {
    TForm1& f = OpenSession();
    MakeSendFile("img.bin", 100);
    f.ComboSendFile->setCurrentIndex(1);
    f.ButtonSendFile->click();
    EXPECT_EQ(f.ButtonSendFile->text(), "STOP Send");
    EXPECT_TRUE(messages.empty());
    Tick();
    EXPECT_EQ(f.ButtonSendFile->text(), "Send File");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], std::make_pair(std::string("Quennet Error"), std::string("TBD")));
    Tick();
    EXPECT_TRUE(line.WrittenBytes().empty());

    // The mode is taken at the start: changing the list later does not matter.
    f.ComboSendFile->setCurrentIndex(0);
    f.ButtonSendFile->click();
    f.ComboSendFile->setCurrentIndex(1);
    Tick();
    EXPECT_EQ(line.WrittenBytes().size(), 100u);
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(FormTools, ClosingThePortEndsARunningTransfer) {
    TForm1& f = OpenSession();
    const std::string data = MakeSendFile("5000.bin", 5000);
    f.ButtonSendFile->click();
    Tick();
    ASSERT_EQ(line.WrittenBytes().size(), 3200u);
    clock.Advance(line.WireTimeUs(3200));  // closing purges what has not left yet
    f.CheckBox1->setChecked(false);
    ASSERT_FALSE(port.IsOpen());
    for (int i = 0; i < 3 && f.ButtonSendFile->text() != "Send File"; ++i) Tick();
    EXPECT_EQ(f.ButtonSendFile->text(), "Send File");
    EXPECT_EQ(line.WrittenBytes(), B(data.substr(0, 3200)));

    // The next start works from the beginning again.
    f.CheckBox1->setChecked(true);
    line.ClearWriteLog();
    f.ButtonSendFile->click();
    Tick();
    Tick();
    EXPECT_EQ(line.WrittenBytes(), B(data));
}

// --------------------------------------------------------------- log file

TEST_F(FormTools, LogWithoutPathIsRefused) {
    TForm1& f = MakeForm();
    f.CheckBoxLogFile->setChecked(true);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], std::make_pair(std::string("Quennet Error"), std::string("Can't Open the Log File!\nChoose a file under Log first.")));
    EXPECT_FALSE(f.CheckBoxLogFile->isChecked());
    f.EditBrowseLogFile->setText(QString::fromStdString(Path("nodir/x.log")));
    f.CheckBoxLogFile->setChecked(true);
    EXPECT_EQ(messages.size(), 2u);
    EXPECT_FALSE(f.CheckBoxLogFile->isChecked());
}

TEST_F(FormTools, LogHoldsExactlyTheReceivedBytes) {
    TForm1& f = OpenSession();
    f.show();
    const std::string log = Path("rx.log");
    WriteFile(log, "old|");
    f.EditBrowseLogFile->setText(QString::fromStdString(log));
    f.CheckBoxLogFile->setChecked(true);
    ASSERT_TRUE(messages.empty());
    const Bytes rx = {'A', 0x00, 'B', 0x0A};
    Receive(rx);
    EXPECT_EQ(Shown(), "A\n");
    // What goes out is not logged: typing, buttons, "Send Hex", a file.
    QTest::keyClicks(f.Memo1, "xy");
    f.EditBV[0]->setText("zz");
    f.ButtonStr[0]->click();
    f.Edit2->setText("5A");
    f.Button3->click();
    MakeSendFile("tx.bin", 40);
    f.ButtonSendFile->click();
    Tick();
    EXPECT_EQ(line.WrittenBytes().size(), 5u + 40u);
    f.CheckBoxLogFile->setChecked(false);
    EXPECT_EQ(ReadFile(log), std::string("old|A\0B\n", 8));

    f.Button4->click();
    f.CheckBoxHex->setChecked(true);
    f.CheckBoxLogFile->setChecked(true);  // appends to what is there
    Receive(rx);
    EXPECT_EQ(Shown(), "41 00 42 0A ");
    f.CheckBoxLogFile->setChecked(false);
    Receive(B("unlogged"));
    EXPECT_EQ(ReadFile(log), std::string("old|A\0B\nA\0B\n", 12));
}

TEST_F(FormTools, TheLogReachesItsFileAtEveryTickThatLogged) {
    TForm1& f = OpenSession();
    const std::string log = Path("follow.log");
    f.EditBrowseLogFile->setText(QString::fromStdString(log));
    f.CheckBoxLogFile->setChecked(true);
    Receive(B("boot ok\n"));
    EXPECT_EQ(ReadFile(log), "boot ok\n");  // a reader following the file sees it now
    Receive(B("> "));
    EXPECT_EQ(ReadFile(log), "boot ok\n> ");
}

TEST_F(FormTools, SavingButtonsOverAFileAsksFirst) {
    TForm1& f = MakeForm();
    f.EditBC[0]->setText("New");
    const std::string file = Path("set.but");
    SaveButtons(file);
    EXPECT_TRUE(overwriteQuestions.empty());  // a new file is not asked about
    const std::string first = ReadFile(file);
    f.EditBC[0]->setText("Newer");
    overwrite = false;
    SaveButtons(file);
    EXPECT_EQ(overwriteQuestions, std::vector<std::string>{file});
    EXPECT_EQ(ReadFile(file), first);
    overwrite = true;
    SaveButtons(file);
    EXPECT_NE(ReadFile(file).find("Newer"), std::string::npos);
}

// Save Buttons writes its keys into an existing file and keeps the rest:
// the window asks that question, not whether to replace the file.
TEST_F(FormTools, SavingButtonsIntoAFileAsksTheMergeQuestion) {
    std::vector<std::string> mergeQuestions;
    bool mergeAnswer = false;
    FormEnvironment env = Env();
    env.confirmWriteInto = [&](const std::string& path) {
        mergeQuestions.push_back(path);
        return mergeAnswer;
    };
    TForm1& f = MakeFormWith(std::move(env));
    const std::string file = Path("merge.but");
    const std::string before = "[Other]\nKey=kept\n";
    WriteFile(file, before);
    f.EditBC[0]->setText("Mine");
    SaveButtons(file);
    EXPECT_EQ(mergeQuestions, std::vector<std::string>{file});
    EXPECT_TRUE(overwriteQuestions.empty());
    EXPECT_EQ(ReadFile(file), before);
    mergeAnswer = true;
    SaveButtons(file);
    EXPECT_NE(ReadFile(file).find("Key=kept"), std::string::npos);
    EXPECT_NE(ReadFile(file).find("Mine"), std::string::npos);
}

TEST_F(FormTools, ChoosingAnotherLogFileStopsLogging) {
    TForm1& f = OpenSession();
    const std::string first = Path("first.log"), second = Path("second.log");
    f.EditBrowseLogFile->setText(QString::fromStdString(first));
    f.CheckBoxLogFile->setChecked(true);
    Receive(B("one"));
    saveAnswer = second;
    f.ButtonBrowseLogFile->click();
    EXPECT_FALSE(f.CheckBoxLogFile->isChecked());
    EXPECT_EQ(f.EditBrowseLogFile->text().toStdString(), second);
    EXPECT_EQ(ReadFile(first), "one");
    Receive(B("two"));
    EXPECT_EQ(ReadFile(first), "one");
    EXPECT_FALSE(std::filesystem::exists(second));

    f.CheckBoxLogFile->setChecked(true);
    saveAnswer.reset();
    f.ButtonBrowseLogFile->click();  // Cancel: logging goes on
    EXPECT_TRUE(f.CheckBoxLogFile->isChecked());
    Receive(B("three"));
    f.CheckBoxLogFile->setChecked(false);
    EXPECT_EQ(ReadFile(second), "three");
    EXPECT_EQ(ReadFile(first), "one");
    EXPECT_EQ(Shown(), "onetwothree");
    EXPECT_TRUE(messages.empty());
}

TEST_F(FormTools, FailingLogDoesNotDisturbTheDisplay) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    TForm1& f = OpenSession();
    f.EditBrowseLogFile->setText("/dev/full");
    f.CheckBoxLogFile->setChecked(true);
    ASSERT_TRUE(f.CheckBoxLogFile->isChecked());
    for (int i = 0; i < 4; ++i) Receive(Bytes(150, static_cast<std::uint8_t>('a' + i)));
    Receive(B("\nend"));
    f.CheckBoxLogFile->setChecked(false);
    Receive(B("!"));
    EXPECT_EQ(Shown(), QString(150, 'a') + QString(150, 'b') + QString(150, 'c') + QString(150, 'd') + "\nend!");
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(errors.empty());
}

TEST_F(FormTools, ClosingTheWindowWritesOutTheLog) {
    TForm1& f = OpenSession();
    const std::string log = Path("close.log");
    f.EditBrowseLogFile->setText(QString::fromStdString(log));
    f.CheckBoxLogFile->setChecked(true);
    Receive(B("tail\r\n"));
    f.close();
    EXPECT_EQ(ReadFile(log), "tail\r\n");
    form.reset();
    EXPECT_EQ(ReadFile(log), "tail\r\n");
}

}  // namespace
}  // namespace quennet::testing
