// The port error that tells a user without access how to get it, and the
// About box that says where the settings file is. (The installed window
// and its settings folder are checked by tests/packaging.)
#include <QCoreApplication>
#include <QDir>

#include "FormFixture.h"
#include "app/TAboutBox.h"

namespace quennet::testing {
namespace {

class FormInstall : public FormFixture {};

TEST_F(FormInstall, RefusedOpenAddsTheAccessHintOnlyWhenThereIsOne) {
    std::vector<std::string> asked;
    FormEnvironment env = Env();
    env.portAccessHint = [&asked](const std::string& port) {
        asked.push_back(port);
        return port == "/dev/ttyUSB0" ? std::string("Permission denied: join dialout") : std::string();
    };
    TForm1& f = MakeFormWith(env);
    line.busy = true;  // every open is refused

    f.ComboComPort->setCurrentIndex(1);  // /dev/ttyUSB0
    f.ComboBaud->setEditText("9600");
    f.CheckBox1->setChecked(true);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, "Quennet Error");
    EXPECT_EQ(messages[0].second, "Error opening /dev/ttyUSB0\nPermission denied: join dialout");
    EXPECT_FALSE(f.CheckBox1->isChecked());

    // A port refused for another reason says that reason instead.
    f.ComboComPort->setCurrentIndex(0);  // /dev/ttyS0
    f.CheckBox1->setChecked(true);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].second, "Error opening /dev/ttyS0\nThe port is busy: another program has it open.");
    EXPECT_EQ(asked, (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyS0"}));

    // A port that opens asks nothing.
    line.busy = false;
    f.CheckBox1->setChecked(true);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_EQ(messages.size(), 2u);
}

TEST(AboutBoxSettings, SaysWhereTheSettingsFileIs) {
    TAboutBox box([](const QString&) { return true; });
    // Paths are shown as the system writes them (backslashes on Windows).
    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath("quennet.INI");
    box.ShowSettingsFile(beside);
    EXPECT_TRUE(box.SettingsFile->text().startsWith("Settings file (beside the program):\n"));
    EXPECT_TRUE(box.SettingsFile->text().endsWith(QDir::toNativeSeparators(beside)))
        << box.SettingsFile->text().toStdString();
    EXPECT_EQ(box.SettingsFile->toolTip(), QDir::toNativeSeparators(beside));

    // A long path in the configuration folder is shortened in the middle to
    // fit the box; the hint keeps it whole.
    const QString config = QDir::rootPath() + "home/" + QString(120, 'u') + "/.config/quennet/quennet.INI";
    box.ShowSettingsFile(config);
    const QStringList lines = box.SettingsFile->text().split('\n');
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], "Settings file (in your configuration folder):");
    EXPECT_TRUE(lines[1].startsWith(QDir::toNativeSeparators(QDir::rootPath() + "home/u")));
    EXPECT_TRUE(lines[1].endsWith("quennet.INI"));
    EXPECT_LE(box.SettingsFile->fontMetrics().horizontalAdvance(lines[1]), box.width());
    EXPECT_EQ(box.SettingsFile->toolTip(), QDir::toNativeSeparators(config));
    EXPECT_EQ(box.size(), QSize(410, 370));
}

}  // namespace
}  // namespace quennet::testing
