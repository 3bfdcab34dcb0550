#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "terminal/plot/PlotFeed.h"
#include "terminal/plot/PlotOptions.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QWidget;

namespace quennet {

class FormServices;
class PlotView;

// The "Plot" tab: numbers read from the lines the terminal receives, drawn
// live. Its own tab, so the plot has the window's whole width and costs
// no drawing while the terminal is looked at. The page builds its
// controls; the frame connects the bytes the session receives to Feed
// while "Plot received numbers" is ticked, and not at all otherwise.
class PlotPage : public QObject {
public:
    PlotPage(FormServices& services, QObject* parent);
    ~PlotPage() override;

    QWidget* Tab() const { return tab_; }
    // Bytes as the terminal received them.
    void Feed(const std::uint8_t* bytes, std::size_t n);
    bool Enabled() const;
    // Run when the plot is turned on or off.
    std::function<void(bool on)> enabledChanged;

    plot::PlotOptions Options() const;
    void ApplyOptions(const plot::PlotOptions& options);

    void Clear();
    void ButtonPlotPauseClick();
    void ButtonPlotSavePngClick();
    void ButtonPlotSaveCsvClick();

    const plot::PlotFeed& feed() const { return feed_; }
    // The receive time of Feed, in seconds; tests set their own.
    std::function<double()> now;

    QCheckBox* CheckBoxPlot = nullptr;
    QPushButton* ButtonPlotPause = nullptr;
    QPushButton* ButtonPlotClear = nullptr;
    QComboBox* ComboPlotWindow = nullptr;
    QComboBox* ComboPlotX = nullptr;
    QCheckBox* CheckBoxPlotAutoY = nullptr;
    QLineEdit* EditPlotYMin = nullptr;
    QLineEdit* EditPlotYMax = nullptr;
    QPushButton* ButtonPlotSavePng = nullptr;
    QPushButton* ButtonPlotSaveCsv = nullptr;
    QCheckBox* CheckBoxPlotComma = nullptr;
    QCheckBox* CheckBoxPlotSemicolon = nullptr;
    QCheckBox* CheckBoxPlotSpace = nullptr;
    QCheckBox* CheckBoxPlotTab = nullptr;
    PlotView* PlotView1 = nullptr;

private:
    void Build();
    void ShownOptionsChanged();
    void ChooseColor(std::size_t series);
    std::optional<std::string> AskSavePath(const char* filter, const char* extension);

    FormServices& services_;
    QPointer<QWidget> tab_;  // the window's tab widget may hold it
    plot::PlotFeed feed_;
    plot::PlotOptions options_;
    QElapsedTimer clock_;
    bool applying_ = false;
};

}  // namespace quennet
