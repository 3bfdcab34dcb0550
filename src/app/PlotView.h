#pragma once
#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "terminal/plot/PlotFeed.h"
#include "terminal/plot/PlotOptions.h"

class QTimer;

namespace quennet {

// The plot: the series of a PlotFeed drawn with QPainter, a legend with
// names, colours and last values on the right (a click hides or shows a
// series, a double click asks for its colour), axes with ticks, a cursor
// that reads the values under the mouse, and zoom by dragging a rectangle
// (a double or right click goes back). Draws at most one picture per
// display frame, and none while hidden or paused; new data waits until the
// live curve has moved a pixel (33 to 100 ms).
class PlotView : public QWidget {
public:
    explicit PlotView(const plot::PlotFeed& feed, QWidget* parent = nullptr);

    void SetAxis(plot::XAxis axis);
    void SetWindow(int seconds);
    void SetYRange(bool autoY, double lo, double hi);
    void SetColors(const std::array<std::uint32_t, plot::kMaxSeries>& colors);
    const std::array<std::uint32_t, plot::kMaxSeries>& Colors() const { return colors_; }
    void SetHidden(std::size_t series, bool hidden);
    bool Hidden(std::size_t series) const { return hidden_[series]; }
    // Paused: the picture stays as it is while the feed goes on.
    void SetPaused(bool paused);
    bool Paused() const { return paused_; }
    void Unzoom();
    bool Zoomed() const { return zoom_.has_value(); }

    // The feed has news: a picture at the next frame, if one is shown.
    void DataChanged();

    // What the last picture showed: its plot area and the data range on it.
    struct Range {
        double x0 = 0, x1 = 1, y0 = 0, y1 = 1;
    };
    QRect PlotArea() const;
    const Range& Shown() const { return shown_; }
    QPointF ToPixel(double x, double y) const;
    // The cursor's lines for a point of the plot area: x, then each shown
    // series' value at the nearest row ("name: value").
    QStringList Reading(QPoint at) const;
    int Pictures() const { return pictures_; }
    // Where the last picture put a series' legend entry.
    QRect LegendEntry(std::size_t series) const;

    // Set by the page: a series' colour asked for; pause or zoom changed.
    std::function<void(std::size_t series)> chooseColor;
    std::function<void()> stateChanged;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void RequestFrame(int ms);
    Range LiveX() const;
    void FitY(Range& range, const std::vector<std::size_t>& bounds) const;
    void DrawAxes(class QPainter& p, const QRect& area) const;
    void DrawSeries(QPainter& p, const QRect& area, std::size_t s, const std::vector<std::size_t>& bounds) const;
    void DrawLegend(QPainter& p);
    void DrawStatus(QPainter& p, const QRect& area) const;
    void DrawCursor(QPainter& p, const QRect& area) const;
    std::optional<std::size_t> LegendAt(QPoint at) const;
    double XAt(double px) const;
    double YAt(double py) const;
    int LegendWidth() const;

    const plot::PlotFeed& feed_;
    QTimer* frame_ = nullptr;
    plot::XAxis axis_ = plot::XAxis::Seconds;
    int windowSeconds_ = 60;
    bool autoY_ = true;
    double yLo_ = 0, yHi_ = 100;
    std::array<std::uint32_t, plot::kMaxSeries> colors_{};
    std::array<bool, plot::kMaxSeries> hidden_{};
    bool paused_ = false;
    std::optional<Range> frozen_;  // the x range held while paused
    std::optional<Range> zoom_;
    Range shown_;
    QRect shownArea_;
    std::optional<QPoint> cursor_;
    std::optional<QPoint> dragFrom_;
    QPoint dragTo_;
    std::vector<std::pair<QRect, std::size_t>> legendRects_;
    int pictures_ = 0;
    int legendWidth_ = 0;  // of the picture being drawn
};

}  // namespace quennet
