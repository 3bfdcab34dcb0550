// File transfers in the real window on a serial port whose far end is a
// board's shell with lrzsz (tests/wine/lrzsz_far_end): on Windows a COM port
// that wine maps onto the Linux pseudo-terminal, on Linux the pty itself.
// tests/wine/wine-tests.sh starts the far end and names
//   QUENNET_TEST_LRZSZ_COM  the port
//   QUENNET_TEST_LRZSZ_DIR  the folder where lrzsz runs, as this program
//                           reaches it (wine's Z: drive)
// Without them the tests are skipped; the script fails on a skip.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "RealPortFixture.h"
#include "app/TerminalTransfer.h"
#include "terminal/transfer/TransferSettings.h"

namespace quennet {
namespace {

std::string Content(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

std::string ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string("(missing)");
}

void WriteAll(const QString& path, const std::string& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

// One transfer: the command typed at the far end's shell, and how the
// window takes part: by the far end's ZMODEM start, or by "Send File" or
// "Receive File" pressed right after the command.
struct Case {
    const char* name;
    TransferProtocol protocol;
    bool send;      // ours sends
    bool byOffer;   // the far end's ZMODEM start
    std::vector<std::size_t> sizes;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const Case kCases[] = {
    {"ZmodemToRz", TransferProtocol::Zmodem, true, true, {70001, 1}},
    {"ZmodemFromSz", TransferProtocol::Zmodem, false, true, {65536, 0}},
    {"YmodemToRb", TransferProtocol::Ymodem, true, false, {30000, 0, 1025}},
    {"YmodemFromSb", TransferProtocol::Ymodem, false, false, {1024, 20001}},
    {"Xmodem1KToRx", TransferProtocol::Xmodem1K, true, false, {20000}},
    {"XmodemFromSx", TransferProtocol::Xmodem, false, false, {129}},
};

// The command that runs lrzsz's side of c on names.
std::string Command(const Case& c, const std::vector<std::string>& names) {
    std::string cmd;
    switch (c.protocol) {
        case TransferProtocol::Zmodem: cmd = c.send ? "rz -b" : "sz -b"; break;
        case TransferProtocol::Ymodem: cmd = c.send ? "rb -b" : "sb -b"; break;
        default: cmd = c.send ? "rx -b -c" : "sx -b"; break;
    }
    if (!c.send || !IsBatchProtocol(c.protocol))
        for (const auto& n : names) cmd += " " + n;
    return cmd;
}

class FormLrzszLine : public testing::RealPortFixture, public ::testing::WithParamInterface<Case> {
protected:
    std::vector<std::string> questions;
    std::optional<std::vector<std::string>> filesAnswer;

    void Customize(FormEnvironment& env) override {
        env.askYesNo = [this](const std::string&, const std::string& t) {
            questions.push_back(t);
            return true;
        };
        env.openFilesDialog = [this](const std::string&, const std::string&) { return filesAnswer; };
    }

    bool Idle() {
        return WaitFor([&] { return !form->transfer().Running() && port.Owner().Holds(PortUser::Terminal); });
    }
    std::string View() const { return form->Memo1->toPlainText().toStdString(); }
    void Type(const std::string& line) {
        form->Memo1->setFocus();
        QTest::keyClicks(form->Memo1, QString::fromStdString(line));
        QTest::keyClick(form->Memo1, Qt::Key_Return);
    }
};

TEST_P(FormLrzszLine, TransferEndsEqualOnBothSides) {
    const char* com = std::getenv("QUENNET_TEST_LRZSZ_COM");
    const char* far = std::getenv("QUENNET_TEST_LRZSZ_DIR");
    if (com == nullptr || far == nullptr)
        GTEST_SKIP() << "QUENNET_TEST_LRZSZ_COM and _DIR name no far end (tests/wine/wine-tests.sh)";
    const Case& c = GetParam();
    const QDir theirs(QString::fromLocal8Bit(far));
    // The far end's shell answers: the line is up.
    OpenTerminal(com, "115200");
    form->findChild<QLineEdit*>("EditReceiveFolder")->setText(dir.path());
    Type("");
    ASSERT_TRUE(Shows("$ ")) << View();

    std::vector<std::string> names, contents, paths;
    std::size_t total = 0;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
        names.push_back(std::string(c.name) + "-" + std::to_string(i) + ".bin");
        contents.push_back(Content(c.sizes[i], static_cast<unsigned>(i + 11)));
        total += c.sizes[i];
        const QString at = c.send ? dir.filePath(QString::fromStdString(names[i]))
                                  : theirs.filePath(QString::fromStdString(names[i]));
        WriteAll(at, contents[i]);
        paths.push_back(at.toStdString());
    }
    const int p = static_cast<int>(c.protocol);
    const QString exitFile = theirs.filePath("last-exit");
    QElapsedTimer took;
    took.start();
    if (c.byOffer) {
        filesAnswer = paths;
        Type(Command(c, names));
    } else if (c.send) {
        Type(Command(c, names));
        form->ComboSendFile->setCurrentIndex(kFirstProtocolSendMode + p);
        form->EditBrowseSendFile->setText(QString::fromStdString(JoinSendFiles(paths)));
        form->ButtonSendFile->click();
    } else {
        saveAnswer = Path("x.bin");
        Type(Command(c, names));
        form->findChild<QComboBox*>("ComboReceiveFile")->setCurrentIndex(p);
        form->findChild<QPushButton*>("ButtonReceiveFile")->click();
    }
    ASSERT_TRUE(WaitFor([&] { return form->transfer().Running(); })) << View();
    ASSERT_TRUE(Idle()) << View();
    const double seconds = static_cast<double>(took.elapsed()) / 1000.0;
    const std::string word = c.send ? ": Sent" : ": Received";
    EXPECT_TRUE(Shows((std::string(kTransferProtocolNames[p]) + word).c_str())) << View();
    // lrzsz's own verdict, as the far end's shell leaves it.
    const std::string program = Command(c, {}).substr(0, 2);
    EXPECT_TRUE(WaitFor([&] { return ReadAll(exitFile) == program + " 0\n"; })) << ReadAll(exitFile);
    std::printf("[   RATE   ] %s: %zu bytes in %.2f s\n", c.name, total, seconds);

    for (std::size_t i = 0; i < names.size(); ++i) {
        const QString name = QString::fromStdString(names[i]);
        std::string got;
        if (!IsBatchProtocol(c.protocol))
            got = ReadAll(c.send ? theirs.filePath(name) : dir.filePath("x.bin"));
        else
            got = ReadAll(c.send ? theirs.filePath(name) : dir.filePath(name));
        if (IsBatchProtocol(c.protocol)) {
            EXPECT_TRUE(got == contents[i]) << names[i] << ": " << got.size() << " bytes";
        } else {
            // XMODEM pads the last block with SUB.
            ASSERT_GE(got.size(), contents[i].size());
            EXPECT_TRUE(got.substr(0, contents[i].size()) == contents[i]);
            EXPECT_EQ(got.find_first_not_of('\x1A', contents[i].size()), std::string::npos);
        }
    }
    EXPECT_EQ(questions.size(), c.byOffer ? 1u : 0u);
    EXPECT_TRUE(messages.empty()) << messages.front();
}

INSTANTIATE_TEST_SUITE_P(Lrzsz, FormLrzszLine, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quennet
