#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtWidgets>
#include <QTemporaryDir>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "SimSerialDevice.h"
#include "VirtualClock.h"
#include "app/PortCombo.h"
#include "app/TForm1.h"
#include "serial/ComPort.h"

namespace quennet::testing {

// A real main window over a simulated serial line and a virtual clock, with
// every dialog and message box replaced by a recorder.
class FormFixture : public ::testing::Test {
protected:
    QTemporaryDir dir;
    VirtualClock clock;
    SimLine line{clock};
    ComPort port{[this] { return std::unique_ptr<SerialDevice>(new SimSerialDevice(line)); }, clock};
    std::vector<std::pair<std::string, std::string>> messages;  // caption, text
    std::vector<std::string> errors;
    std::optional<std::vector<std::string>> ports = std::vector<std::string>{"/dev/ttyS0", "/dev/ttyUSB0"};
    std::unique_ptr<TForm1> form;
    // The window's questions, and the answers the tests give.
    std::vector<std::string> questions;  // Yes or No
    bool answerYes = true;
    std::vector<std::string> overwriteQuestions;
    bool overwrite = true;
    std::vector<std::pair<std::string, std::uint32_t>> addressRequests;  // file, proposed
    std::optional<std::uint32_t> addressAnswer;

    std::string SettingsPath() const { return dir.filePath("quennet.INI").toStdString(); }

    virtual FormEnvironment Env() {
        FormEnvironment env;
        env.settingsPath = SettingsPath();
        env.port = &port;
        env.listPorts = [this] { return ports; };
        env.messageBox = [this](const std::string& c, const std::string& t) { messages.emplace_back(c, t); };
        env.errorBox = [this](const std::string& t) { errors.push_back(t); };
        env.trayAvailable = [] { return true; };
        env.openDocument = [](const QString&) { return true; };
        env.askYesNo = [this](const std::string&, const std::string& text) {
            questions.push_back(text);
            return answerYes;
        };
        env.confirmOverwrite = [this](const std::string& path) {
            overwriteQuestions.push_back(path);
            return overwrite;
        };
        env.askFlashAddress = [this](const std::string& file, std::uint32_t proposed) {
            addressRequests.emplace_back(file, proposed);
            return addressAnswer;
        };
        return env;
    }

    TForm1& MakeForm() { return MakeFormWith(Env()); }
    TForm1& MakeFormWith(FormEnvironment env) {
        form = std::make_unique<TForm1>(std::move(env));
        form->timer()->stop();  // ticks are driven by the tests
        form->FormCreate();
        return *form;
    }

    // A window whose terminal holds the first listed port open at 9600 N-8-1.
    TForm1& MakeOpenForm() {
        TForm1& f = MakeForm();
        f.ComboComPort->setCurrentIndex(0);
        f.ComboBaud->setEditText("9600");
        f.ComboBits->setCurrentIndex(kFrameN81);
        f.CheckBox1->setChecked(true);
        EXPECT_TRUE(port.IsOpen());
        return f;
    }

    // Closes the window as the close box does (settings written).
    void CloseForm() {
        form->close();
        form.reset();
    }

    void WriteSettings(const std::string& text) {
        std::ofstream(SettingsPath(), std::ios::binary) << text;
    }
    std::string ReadSettings() const {
        std::ifstream in(SettingsPath(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

}  // namespace quennet::testing
