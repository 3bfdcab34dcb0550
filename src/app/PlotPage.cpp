// The plot tab: its controls, the options they show, and saving the
// picture and the samples.
#include "app/PlotPage.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>
#include <fstream>
#include <stdexcept>

#include "app/FormServices.h"
#include "app/PlotView.h"

namespace quennet {

namespace {

constexpr const char* kWindowNames[] = {"10 s", "30 s", "1 min", "5 min", "10 min", "30 min", "1 h"};
static_assert(std::size(kWindowNames) == std::size(plot::kWindowSeconds));

QCheckBox* Box(const char* name, const char* caption, const char* tip, QHBoxLayout* row) {
    auto* box = new QCheckBox(caption);
    box->setObjectName(name);
    box->setToolTip(tip);
    row->addWidget(box);
    return box;
}

QPushButton* Button(const char* name, const char* caption, const char* tip, QHBoxLayout* row) {
    auto* button = new QPushButton(caption);
    button->setObjectName(name);
    button->setToolTip(tip);
    row->addWidget(button);
    return button;
}

std::string WithExtension(std::string path, const char* extension) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) path += extension;
    return path;
}

}  // namespace

PlotPage::PlotPage(FormServices& services, QObject* parent) : QObject(parent), services_(services) {
    clock_.start();
    now = [this] { return static_cast<double>(clock_.nsecsElapsed()) / 1e9; };
    Build();
    ApplyOptions(options_);
}

PlotPage::~PlotPage() {
    // The view reads the feed: it goes first.
    delete tab_;
}

void PlotPage::Build() {
    tab_ = new QWidget;
    tab_->setObjectName("TabSheetPlot");
    auto* column = new QVBoxLayout(tab_);
    column->setContentsMargins(2, 2, 2, 2);
    column->setSpacing(3);

    auto* row1 = new QHBoxLayout;
    CheckBoxPlot = Box("CheckBoxPlot", "Plot received numbers",
                       "Read numbers from the lines the terminal receives and plot them", row1);
    ButtonPlotPause = Button("ButtonPlotPause", "Pause", "Hold the picture; received numbers are still kept", row1);
    ButtonPlotPause->setCheckable(true);
    ButtonPlotClear = Button("ButtonPlotClear", "Clear", "Forget the samples and series", row1);
    row1->addWidget(new QLabel("Window:"));
    ComboPlotWindow = new QComboBox;
    ComboPlotWindow->setObjectName("ComboPlotWindow");
    for (const char* name : kWindowNames) ComboPlotWindow->addItem(name);
    ComboPlotWindow->setToolTip("How much time the live plot shows");
    row1->addWidget(ComboPlotWindow);
    row1->addWidget(new QLabel("X:"));
    ComboPlotX = new QComboBox;
    ComboPlotX->setObjectName("ComboPlotX");
    ComboPlotX->addItems({"Seconds", "Sample index"});
    ComboPlotX->setToolTip("Seconds since the first sample, or the number of the line");
    row1->addWidget(ComboPlotX);
    CheckBoxPlotAutoY = Box("CheckBoxPlotAutoY", "Auto Y", "Fit the y axis to the values shown", row1);
    EditPlotYMin = new QLineEdit;
    EditPlotYMin->setObjectName("EditPlotYMin");
    EditPlotYMax = new QLineEdit;
    EditPlotYMax->setObjectName("EditPlotYMax");
    for (QLineEdit* edit : {EditPlotYMin, EditPlotYMax}) {
        edit->setMaximumWidth(80);
        edit->setToolTip("The fixed y range, used while Auto Y is cleared");
    }
    row1->addWidget(EditPlotYMin);
    row1->addWidget(new QLabel("to"));
    row1->addWidget(EditPlotYMax);
    row1->addStretch(1);
    ButtonPlotSavePng = Button("ButtonPlotSavePng", "Save PNG", "Save the picture as it is shown", row1);
    ButtonPlotSaveCsv = Button("ButtonPlotSaveCsv", "Save CSV", "Save every sample kept, with its time", row1);
    column->addLayout(row1);

    auto* row2 = new QHBoxLayout;
    row2->addWidget(new QLabel("Separators:"));
    CheckBoxPlotComma = Box("CheckBoxPlotComma", "Comma", "A comma separates numbers", row2);
    CheckBoxPlotSemicolon = Box("CheckBoxPlotSemicolon", "Semicolon", "A semicolon separates numbers", row2);
    CheckBoxPlotSpace = Box("CheckBoxPlotSpace", "Space", "Blanks separate numbers", row2);
    CheckBoxPlotTab = Box("CheckBoxPlotTab", "Tab", "Tabs separate numbers", row2);
    auto* hint = new QLabel("Lines of numbers (one series per column) or name=value, name:value pairs. "
                            "Drag to zoom, double-click to go back; click a legend entry to hide it.");
    hint->setObjectName("LabelPlotHint");
    hint->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);  // cut, never widening the window
    row2->addWidget(hint, 1);
    column->addLayout(row2);

    PlotView1 = new PlotView(feed_);
    PlotView1->setObjectName("PlotView1");
    column->addWidget(PlotView1, 1);

    const auto guarded = [this](void (PlotPage::*handler)()) {
        return [this, handler] { services_.Guarded([this, handler] { (this->*handler)(); }); };
    };
    connect(ButtonPlotPause, &QPushButton::clicked, this, guarded(&PlotPage::ButtonPlotPauseClick));
    connect(ButtonPlotClear, &QPushButton::clicked, this, guarded(&PlotPage::Clear));
    connect(ButtonPlotSavePng, &QPushButton::clicked, this, guarded(&PlotPage::ButtonPlotSavePngClick));
    connect(ButtonPlotSaveCsv, &QPushButton::clicked, this, guarded(&PlotPage::ButtonPlotSaveCsvClick));
    for (QCheckBox* box : {CheckBoxPlot, CheckBoxPlotAutoY, CheckBoxPlotComma, CheckBoxPlotSemicolon,
                           CheckBoxPlotSpace, CheckBoxPlotTab})
        connect(box, &QCheckBox::toggled, this, guarded(&PlotPage::ShownOptionsChanged));
    for (QComboBox* combo : {ComboPlotWindow, ComboPlotX})
        connect(combo, &QComboBox::currentIndexChanged, this, guarded(&PlotPage::ShownOptionsChanged));
    for (QLineEdit* edit : {EditPlotYMin, EditPlotYMax})
        connect(edit, &QLineEdit::editingFinished, this, guarded(&PlotPage::ShownOptionsChanged));
    PlotView1->chooseColor = [this](std::size_t s) { services_.Guarded([this, s] { ChooseColor(s); }); };
    PlotView1->stateChanged = [this] {
        const QSignalBlocker quiet(ButtonPlotPause);
        ButtonPlotPause->setChecked(PlotView1->Paused());
    };
}

bool PlotPage::Enabled() const { return options_.enabled; }

void PlotPage::Feed(const std::uint8_t* bytes, std::size_t n) {
    const std::uint64_t before = feed_.Generation();
    feed_.Feed(bytes, n, now());
    if (feed_.Generation() != before) PlotView1->DataChanged();
}

plot::PlotOptions PlotPage::Options() const { return options_; }

void PlotPage::ApplyOptions(const plot::PlotOptions& options) {
    const bool wasEnabled = options_.enabled;
    options_ = options;
    {
        // The controls show the options without each change coming back.
        applying_ = true;
        CheckBoxPlot->setChecked(options.enabled);
        CheckBoxPlotComma->setChecked(options.separators.comma);
        CheckBoxPlotSemicolon->setChecked(options.separators.semicolon);
        CheckBoxPlotSpace->setChecked(options.separators.space);
        CheckBoxPlotTab->setChecked(options.separators.tab);
        int window = 0;
        for (std::size_t i = 0; i < std::size(plot::kWindowSeconds); ++i)
            if (plot::kWindowSeconds[i] == options.windowSeconds) window = static_cast<int>(i);
        ComboPlotWindow->setCurrentIndex(window);
        ComboPlotX->setCurrentIndex(options.xAxis == plot::XAxis::Index ? 1 : 0);
        CheckBoxPlotAutoY->setChecked(options.autoY);
        EditPlotYMin->setText(QString::number(options.yMin, 'g', 10));
        EditPlotYMax->setText(QString::number(options.yMax, 'g', 10));
        applying_ = false;
    }
    EditPlotYMin->setEnabled(!options.autoY);
    EditPlotYMax->setEnabled(!options.autoY);
    feed_.SetSeparators(options.separators);
    PlotView1->SetAxis(options.xAxis);
    PlotView1->SetWindow(options.windowSeconds);
    PlotView1->SetYRange(options.autoY, options.yMin, options.yMax);
    PlotView1->SetColors(options.colors);
    if (options.enabled != wasEnabled && enabledChanged) enabledChanged(options.enabled);
}

void PlotPage::ShownOptionsChanged() {
    if (applying_) return;
    plot::PlotOptions o = options_;
    o.enabled = CheckBoxPlot->isChecked();
    o.separators = {CheckBoxPlotComma->isChecked(), CheckBoxPlotSemicolon->isChecked(),
                    CheckBoxPlotSpace->isChecked(), CheckBoxPlotTab->isChecked()};
    o.windowSeconds = plot::kWindowSeconds[std::max(ComboPlotWindow->currentIndex(), 0)];
    o.xAxis = ComboPlotX->currentIndex() == 1 ? plot::XAxis::Index : plot::XAxis::Seconds;
    o.autoY = CheckBoxPlotAutoY->isChecked();
    // A fixed range needs two numbers, the first below the second;
    // anything else leaves the range as it was.
    double lo = 0, hi = 0;
    if (plot::ParseNumber(EditPlotYMin->text().trimmed().toStdString(), lo) &&
        plot::ParseNumber(EditPlotYMax->text().trimmed().toStdString(), hi) && lo < hi) {
        o.yMin = lo;
        o.yMax = hi;
    }
    ApplyOptions(o);
}

void PlotPage::Clear() {
    feed_.Clear();
    // The series that come next are numbered afresh: none starts hidden.
    for (std::size_t s = 0; s < plot::kMaxSeries; ++s) PlotView1->SetHidden(s, false);
    PlotView1->Unzoom();
    PlotView1->update();
}

void PlotPage::ButtonPlotPauseClick() {
    PlotView1->SetPaused(ButtonPlotPause->isChecked());
}

void PlotPage::ChooseColor(std::size_t series) {
    const FormEnvironment& env = services_.env();
    if (!env.chooseColor) return;
    const std::optional<QColor> chosen = env.chooseColor(QColor::fromRgb(options_.colors[series]));
    if (!chosen) return;
    plot::PlotOptions o = options_;
    o.colors[series] = chosen->rgb() & 0xFFFFFFu;
    ApplyOptions(o);
}

std::optional<std::string> PlotPage::AskSavePath(const char* filter, const char* extension) {
    services_.SaveDialog1.filter = filter;
    const auto chosen = services_.RunSaveDialog(services_.SaveDialog1.fileName);
    if (!chosen) return std::nullopt;
    const std::string path = WithExtension(*chosen, extension);
    if (!services_.ConfirmOverwrite(path)) return std::nullopt;
    return path;
}

void PlotPage::ButtonPlotSavePngClick() {
    const auto path = AskSavePath("PNG pictures (*.png)|*.png", ".png");
    if (!path) return;
    if (!PlotView1->grab().save(QString::fromStdString(*path), "PNG"))
        throw std::runtime_error("Cannot create file " + *path);
}

void PlotPage::ButtonPlotSaveCsvClick() {
    const auto path = AskSavePath("CSV files (*.csv)|*.csv", ".csv");
    if (!path) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    std::ofstream out(*path, std::ios::binary | std::ios::trunc);
    if (out) plot::WritePlotCsv(out, feed_);
    out.close();
    QApplication::restoreOverrideCursor();
    if (!out) throw std::runtime_error("Cannot create file " + *path);
}

}  // namespace quennet
