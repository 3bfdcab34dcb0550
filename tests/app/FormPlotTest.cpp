// The plot tab of a real window: the picture of a known signal, pause,
// zoom, the cursor, saving, and its settings.
#include <QTest>

#include "FormFixture.h"
#include "app/PlotPage.h"
#include "app/PlotView.h"

namespace quennet::testing {
namespace {

class FormPlot : public FormFixture {
protected:
    std::vector<std::string> savePaths;  // what the save dialog answers, in turn

    FormEnvironment Env() override {
        FormEnvironment env = FormFixture::Env();
        env.saveFileDialog = [this](const std::string&, const std::string&) -> std::optional<std::string> {
            if (savePaths.empty()) return std::nullopt;
            std::string path = savePaths.front();
            savePaths.erase(savePaths.begin());
            return path;
        };
        return env;
    }
    // A window with the plot on, sample numbers along x, y fixed to 0..100.
    TForm1& MakePlotForm() {
        WriteSettings("[Plot]\r\nEnabled=1\r\nXAxis=1\r\nAutoY=0\r\nYMin=0\r\nYMax=100\r\n");
        TForm1& f = MakeOpenForm();
        f.resize(1000, 600);
        f.show();
        f.PageControl1->setCurrentWidget(f.TabPlot);
        return f;
    }
    void Receive(const std::string& text) {
        line.SendToPort(std::vector<std::uint8_t>(text.begin(), text.end()));
        clock.Advance(line.WireTimeUs(text.size()) + 1000);
        form->Timer1Timer();
    }
    PlotPage& page() { return form->plotPage(); }
    PlotView& view() { return *page().PlotView1; }
    // Whether the colour is within a pixel of p in the picture.
    static bool Near(const QImage& image, QPointF p, QRgb colour) {
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy) {
                const QPoint at(static_cast<int>(std::lround(p.x())) + dx, static_cast<int>(std::lround(p.y())) + dy);
                if (image.rect().contains(at) && (image.pixel(at) & 0xFFFFFF) == (colour & 0xFFFFFF)) return true;
            }
        return false;
    }
};

TEST_F(FormPlot, DrawsAKnownSignalWhereItsValuesAre) {
    TForm1& f = MakePlotForm();
    EXPECT_TRUE(page().CheckBoxPlot->isChecked());
    EXPECT_EQ(page().ComboPlotX->currentIndex(), 1);
    EXPECT_FALSE(page().CheckBoxPlotAutoY->isChecked());
    // A sawtooth and a flat line.
    std::string text;
    for (int i = 0; i < 200; ++i) text += std::to_string(i % 100) + ",25\r\n";
    Receive(text);
    ASSERT_EQ(page().feed().store().Size(), 200u);
    (void)f;

    const QImage picture = view().grab().toImage();
    EXPECT_EQ(view().Shown().x0, 0.0);
    EXPECT_EQ(view().Shown().x1, 199.0);
    const QRgb ramp = plot::kDefaultColors[0], flat = plot::kDefaultColors[1];
    for (const int i : {5, 30, 60, 95, 110, 150, 190}) {
        EXPECT_TRUE(Near(picture, view().ToPixel(i, i % 100), ramp)) << i;
        EXPECT_TRUE(Near(picture, view().ToPixel(i, 25), flat)) << i;
        // Nothing of either curve far from both.
        EXPECT_FALSE(Near(picture, view().ToPixel(i, i % 100 > 50 ? 10 : 90), ramp)) << i;
        EXPECT_FALSE(Near(picture, view().ToPixel(i, 75), flat)) << i;
    }
    // A click on its legend entry hides the flat line.
    QTest::mouseClick(&view(), Qt::LeftButton, {}, view().LegendEntry(1).center());
    EXPECT_TRUE(view().Hidden(1));
    const QImage hidden = view().grab().toImage();
    EXPECT_FALSE(Near(hidden, view().ToPixel(60, 25), flat));
    EXPECT_TRUE(Near(hidden, view().ToPixel(60, 60), ramp));

    // The cursor reads the shown series at the nearest sample.
    const QPointF at = view().ToPixel(42.3, 50);
    EXPECT_EQ(view().Reading(at.toPoint()), (QStringList{"# 42", "col1: 42"}));
}

// More rows than pixels: each pixel column shows the smallest and largest
// value of its rows, so a single spike among 20000 rows is not lost.
TEST_F(FormPlot, ManyRowsKeepEverySpikeInTheirPixelColumn) {
    MakePlotForm();
    std::string text;
    for (int i = 0; i < 20000; ++i) text += i == 12345 ? "90\n" : "20\n";
    Receive(text);
    const QImage picture = view().grab().toImage();
    const QRgb colour = plot::kDefaultColors[0];
    EXPECT_TRUE(Near(picture, view().ToPixel(12345, 89), colour));
    EXPECT_TRUE(Near(picture, view().ToPixel(5000, 20), colour));
    EXPECT_FALSE(Near(picture, view().ToPixel(5000, 50), colour));
    EXPECT_FALSE(Near(picture, view().ToPixel(15000, 50), colour));
}

TEST_F(FormPlot, PauseHoldsThePictureZoomFollowsTheDragAndClearForgets) {
    MakePlotForm();
    std::string text;
    for (int i = 0; i < 100; ++i) text += std::to_string(i) + "\n";
    Receive(text);
    view().grab();
    EXPECT_EQ(view().Shown().x1, 99.0);

    QTest::mouseClick(page().ButtonPlotPause, Qt::LeftButton);
    ASSERT_TRUE(view().Paused());
    Receive(text);
    EXPECT_EQ(page().feed().store().Size(), 200u);  // still kept
    view().grab();
    EXPECT_EQ(view().Shown().x1, 99.0);
    QTest::mouseClick(page().ButtonPlotPause, Qt::LeftButton);
    view().grab();
    EXPECT_EQ(view().Shown().x1, 199.0);

    // Drag a rectangle from x 40, y 80 to x 120, y 20.
    const QPoint from = view().ToPixel(40, 80).toPoint(), to = view().ToPixel(120, 20).toPoint();
    QTest::mousePress(&view(), Qt::LeftButton, {}, from);
    QTest::mouseMove(&view(), to);
    QTest::mouseRelease(&view(), Qt::LeftButton, {}, to);
    ASSERT_TRUE(view().Zoomed());
    view().grab();
    EXPECT_NEAR(view().Shown().x0, 40, 1);
    EXPECT_NEAR(view().Shown().x1, 120, 1);
    EXPECT_NEAR(view().Shown().y0, 20, 1);
    EXPECT_NEAR(view().Shown().y1, 80, 1);
    QTest::mouseDClick(&view(), Qt::LeftButton, {}, view().ToPixel(80, 50).toPoint());
    EXPECT_FALSE(view().Zoomed());

    QTest::mouseClick(page().ButtonPlotClear, Qt::LeftButton);
    EXPECT_EQ(page().feed().store().Size(), 0u);
    EXPECT_EQ(page().feed().SeriesCount(), 0u);
}

TEST_F(FormPlot, SavesThePictureAndEverySampleAndKeepsItsSettings) {
    MakePlotForm();
    Receive("a=1.5 b=2\nb=-3e-2\n");
    const std::string csv = dir.filePath("samples").toStdString();
    const std::string png = dir.filePath("plot.png").toStdString();
    savePaths = {csv, png};
    QTest::mouseClick(page().ButtonPlotSaveCsv, Qt::LeftButton);
    QTest::mouseClick(page().ButtonPlotSavePng, Qt::LeftButton);
    ASSERT_TRUE(errors.empty()) << errors.front();

    std::ifstream in(csv + ".csv");
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "time_s,a,b");
    EXPECT_EQ(lines[1].substr(lines[1].find(',')), ",1.5,2");
    EXPECT_EQ(lines[2].substr(lines[2].find(',')), ",,-0.0299999993");
    const QImage saved(QString::fromStdString(png));
    EXPECT_EQ(saved.size(), view().size() * view().devicePixelRatio());

    page().ComboPlotWindow->setCurrentIndex(3);  // 5 min
    page().CheckBoxPlotSemicolon->setChecked(false);
    CloseForm();
    const std::string written = ReadSettings();
    for (const char* key : {"[Plot]", "Enabled=1", "Window=300", "Semicolon=0", "XAxis=1", "AutoY=0"})
        EXPECT_NE(written.find(key), std::string::npos) << key << "\n" << written;
}

}  // namespace
}  // namespace quennet::testing
