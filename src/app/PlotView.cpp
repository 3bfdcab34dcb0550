#include "app/PlotView.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPolygonF>
#include <QTimer>
#include <algorithm>
#include <cmath>

namespace quennet {

namespace {

constexpr int kFrameMs = 16;  // one picture per display frame at most
// New data is drawn once the live curve has moved a pixel, at most 30 and
// at least 10 times a second; what the user does (cursor, zoom, options)
// is drawn at the next display frame.
constexpr int kFastestDataFrameMs = 33;
constexpr int kSlowestFrameMs = 100;
constexpr int kLeftMargin = 70;
constexpr int kSwatch = 12;
// Pixel positions stay far inside what the painter handles, however far
// outside a fixed y range a value lies.
constexpr double kFarPixels = 1e6;

double NiceStep(double range, int ticks) {
    if (!(range > 0) || !std::isfinite(range)) return 1;
    const double raw = range / ticks;
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0, 10.0})
        if (m * mag >= raw) return m * mag;
    return 10 * mag;
}

QString Number(double v) {
    if (std::abs(v) < 1e-12) v = 0;
    return QString::number(v, 'g', 7);
}

}  // namespace

PlotView::PlotView(const plot::PlotFeed& feed, QWidget* parent) : QWidget(parent), feed_(feed) {
    colors_ = plot::kDefaultColors;
    setMouseTracking(true);
    setMinimumSize(300, 200);
    setAttribute(Qt::WA_OpaquePaintEvent);
    frame_ = new QTimer(this);
    frame_->setSingleShot(true);
    connect(frame_, &QTimer::timeout, this, [this] { update(); });
}

void PlotView::SetAxis(plot::XAxis axis) {
    if (axis == axis_) return;
    axis_ = axis;
    zoom_.reset();
    frozen_.reset();
    if (paused_) frozen_ = LiveX();
    RequestFrame(kFrameMs);
}

void PlotView::SetWindow(int seconds) {
    windowSeconds_ = std::max(seconds, 1);
    RequestFrame(kFrameMs);
}

void PlotView::SetYRange(bool autoY, double lo, double hi) {
    autoY_ = autoY;
    if (lo < hi) yLo_ = lo, yHi_ = hi;
    RequestFrame(kFrameMs);
}

void PlotView::SetColors(const std::array<std::uint32_t, plot::kMaxSeries>& colors) {
    colors_ = colors;
    update();
}

void PlotView::SetHidden(std::size_t series, bool hidden) {
    hidden_[series] = hidden;
    update();
}

void PlotView::SetPaused(bool paused) {
    paused_ = paused;
    frozen_.reset();
    if (paused) frozen_ = LiveX();
    if (stateChanged) stateChanged();
    update();
}

void PlotView::Unzoom() {
    zoom_.reset();
    if (stateChanged) stateChanged();
    update();
}

void PlotView::DataChanged() {
    if (paused_ || !isVisible()) return;
    const int msPerPixel = windowSeconds_ * 1000 / std::max(PlotArea().width(), 1);
    RequestFrame(std::clamp(msPerPixel, kFastestDataFrameMs, kSlowestFrameMs));
}

void PlotView::RequestFrame(int ms) {
    if (!isVisible()) return;
    // A change the user made comes before a pending picture of data.
    if (frame_->isActive() && frame_->remainingTime() <= ms) return;
    frame_->start(ms);
}

void PlotView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    update();  // whatever came while hidden
}

int PlotView::LegendWidth() const {
    if (legendWidth_ > 0) return legendWidth_;
    const QFontMetrics fm(font());
    int width = fm.horizontalAdvance("-0.000000e-00") + kSwatch + 16;
    for (std::size_t s = 0; s < feed_.SeriesCount(); ++s)
        width = std::max(width, fm.horizontalAdvance(QString::fromStdString(feed_.SeriesName(s))) + kSwatch + 16);
    return std::min(width, 240);
}

QRect PlotView::PlotArea() const {
    const QFontMetrics fm(font());
    const int top = fm.height() + 6;
    const int bottom = fm.height() + 8;
    return QRect(kLeftMargin, top, std::max(width() - kLeftMargin - LegendWidth() - 8, 10),
                 std::max(height() - top - bottom, 10));
}

// Live: the newest x at the right edge, the window's time to its left.
PlotView::Range PlotView::LiveX() const {
    const plot::PlotStore& store = feed_.store();
    Range r;
    if (store.Size() == 0) {
        r.x0 = 0;
        r.x1 = axis_ == plot::XAxis::Seconds ? windowSeconds_ : 100;
        return r;
    }
    const double lastTime = store.Time(store.Size() - 1);
    const double startTime = std::max(0.0, lastTime - windowSeconds_);
    if (axis_ == plot::XAxis::Seconds) {
        r.x0 = startTime;
        r.x1 = std::max(lastTime, startTime + windowSeconds_);
    } else {
        r.x0 = plot::RowX(store, axis_, store.LowerBoundTime(startTime));
        r.x1 = std::max(plot::RowX(store, axis_, store.Size() - 1), r.x0 + 1);
    }
    return r;
}

void PlotView::FitY(Range& range, const std::vector<std::size_t>& bounds) const {
    plot::PlotStore::Span all;
    for (std::size_t s = 0; s < feed_.SeriesCount(); ++s) {
        if (hidden_[s]) continue;
        const plot::PlotStore::Span span = feed_.store().Range(s, bounds.front(), bounds.back());
        if (!span.any) continue;
        all.lo = all.any ? std::min(all.lo, span.lo) : span.lo;
        all.hi = all.any ? std::max(all.hi, span.hi) : span.hi;
        all.any = true;
    }
    if (!all.any) {
        range.y0 = 0, range.y1 = 1;
        return;
    }
    double lo = all.lo, hi = all.hi;
    const double margin = hi > lo ? (hi - lo) * 0.05 : std::max(std::abs(hi) * 0.1, 1.0);
    range.y0 = lo - margin;
    range.y1 = hi + margin;
}

QPointF PlotView::ToPixel(double x, double y) const {
    const QRect& a = shownArea_;
    const double px = a.left() + (x - shown_.x0) / (shown_.x1 - shown_.x0) * (a.width() - 1);
    const double py = a.bottom() - (y - shown_.y0) / (shown_.y1 - shown_.y0) * (a.height() - 1);
    return {std::clamp(px, -kFarPixels, kFarPixels), std::clamp(py, -kFarPixels, kFarPixels)};
}

double PlotView::XAt(double px) const {
    return shown_.x0 + (px - shownArea_.left()) / std::max(shownArea_.width() - 1, 1) * (shown_.x1 - shown_.x0);
}

double PlotView::YAt(double py) const {
    return shown_.y0 + (shownArea_.bottom() - py) / std::max(shownArea_.height() - 1, 1) * (shown_.y1 - shown_.y0);
}

void PlotView::paintEvent(QPaintEvent*) {
    ++pictures_;
    // Measured once a picture: the names do not change while it is drawn.
    legendWidth_ = 0;
    legendWidth_ = LegendWidth();
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    const QRect area = PlotArea();
    Range range = zoom_ ? *zoom_ : frozen_ ? *frozen_ : LiveX();
    if (!(range.x1 > range.x0)) range.x1 = range.x0 + 1;
    std::vector<std::size_t> bounds;
    plot::ColumnBounds(feed_.store(), axis_, range.x0, range.x1, area.width(), bounds);
    if (!zoom_) {
        if (autoY_)
            FitY(range, bounds);
        else
            range.y0 = yLo_, range.y1 = yHi_;
    }
    shown_ = range;
    shownArea_ = area;

    DrawAxes(p, area);
    p.save();
    p.setClipRect(area);
    for (std::size_t s = 0; s < feed_.SeriesCount(); ++s)
        if (!hidden_[s]) DrawSeries(p, area, s, bounds);
    p.restore();
    DrawLegend(p);
    DrawStatus(p, area);
    DrawCursor(p, area);
    if (dragFrom_) {
        p.setPen(QPen(Qt::darkGray, 1, Qt::DashLine));
        p.setBrush(QColor(0, 0, 255, 30));
        p.drawRect(QRect(*dragFrom_, dragTo_).normalized());
    }
}

void PlotView::DrawAxes(QPainter& p, const QRect& area) const {
    const QFontMetrics fm(font());
    p.setPen(QColor(0xe0, 0xe0, 0xe0));
    const double xStep = NiceStep(shown_.x1 - shown_.x0, std::max(area.width() / 90, 2));
    const double yStep = NiceStep(shown_.y1 - shown_.y0, std::max(area.height() / 40, 2));
    std::vector<std::pair<int, QString>> xTicks, yTicks;
    for (double x = std::ceil(shown_.x0 / xStep) * xStep; x <= shown_.x1 && xTicks.size() < 50; x += xStep) {
        const int px = static_cast<int>(std::lround(ToPixel(x, 0).x()));
        p.drawLine(px, area.top(), px, area.bottom());
        xTicks.emplace_back(px, Number(x) + (axis_ == plot::XAxis::Seconds ? " s" : ""));
    }
    for (double y = std::ceil(shown_.y0 / yStep) * yStep; y <= shown_.y1 && yTicks.size() < 50; y += yStep) {
        const int py = static_cast<int>(std::lround(ToPixel(0, y).y()));
        p.drawLine(area.left(), py, area.right(), py);
        yTicks.emplace_back(py, Number(y));
    }
    p.setPen(Qt::black);
    p.setBrush(Qt::NoBrush);
    p.drawRect(area.adjusted(0, 0, -1, -1));
    for (const auto& [px, text] : xTicks)
        p.drawText(QRect(px - 50, area.bottom() + 3, 100, fm.height()), Qt::AlignHCenter | Qt::AlignTop, text);
    for (const auto& [py, text] : yTicks)
        p.drawText(QRect(0, py - fm.height() / 2, area.left() - 4, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
                   text);
}

// Few rows: a line through every sample. Many: each pixel column a stroke
// from its smallest to its largest value, joined to the column before.
void PlotView::DrawSeries(QPainter& p, const QRect& area, std::size_t s,
                          const std::vector<std::size_t>& bounds) const {
    const plot::PlotStore& store = feed_.store();
    p.setPen(QPen(QColor::fromRgb(colors_[s]), 1));
    const std::size_t begin = bounds.front(), end = bounds.back();
    if (end - begin <= 2 * static_cast<std::size_t>(area.width())) {
        // One row either side as well, so the line runs to the edges.
        QPolygonF line;
        const std::size_t from = begin > 0 ? begin - 1 : 0;
        const std::size_t to = std::min(end + 1, store.Size());
        for (std::size_t i = from; i < to; ++i) {
            const float v = store.Value(s, i);
            if (!std::isnan(v)) line << ToPixel(plot::RowX(store, axis_, i), v);
        }
        if (line.size() == 1) p.drawPoint(line.front());
        p.drawPolyline(line);
        return;
    }
    // Whole pixels: the painter's fastest line path.
    std::vector<QLine> strokes;
    strokes.reserve(static_cast<std::size_t>(area.width()) + 8);
    const auto py = [this](float v) { return static_cast<int>(std::lround(ToPixel(0, v).y())); };
    std::optional<std::pair<int, int>> before;  // the last column's top and bottom
    int beforeX = 0;
    for (int c = 0; c < area.width(); ++c) {
        const plot::PlotStore::Span span = store.Range(s, bounds[static_cast<std::size_t>(c)],
                                                       bounds[static_cast<std::size_t>(c) + 1]);
        if (!span.any) continue;
        const int x = area.left() + c;
        const int rawTop = py(span.hi), rawBottom = py(span.lo);
        int top = rawTop, bottom = rawBottom;
        if (before && beforeX == x - 1) {
            top = std::min(top, before->second);
            bottom = std::max(bottom, before->first);
        } else if (before) {
            strokes.emplace_back(beforeX, (before->first + before->second) / 2, x, (top + bottom) / 2);
        }
        strokes.emplace_back(x, top, x, bottom);
        before = std::make_pair(rawTop, rawBottom);
        beforeX = x;
    }
    p.drawLines(strokes.data(), static_cast<int>(strokes.size()));
}

void PlotView::DrawLegend(QPainter& p) {
    legendRects_.clear();
    const QFontMetrics fm(font());
    const int entryWidth = LegendWidth();
    const int left = width() - entryWidth - 2;
    int y = PlotArea().top();
    const plot::PlotStore& store = feed_.store();
    for (std::size_t s = 0; s < feed_.SeriesCount(); ++s) {
        const QRect entry(left, y, entryWidth, 2 * fm.height() + 2);
        legendRects_.emplace_back(entry, s);
        const QColor colour = QColor::fromRgb(colors_[s]);
        const QRect swatch(left + 2, y + (fm.height() - kSwatch) / 2, kSwatch, kSwatch);
        p.setPen(colour);
        p.setBrush(hidden_[s] ? QBrush(Qt::NoBrush) : QBrush(colour));
        p.drawRect(swatch);
        p.setPen(hidden_[s] ? Qt::gray : Qt::black);
        const int textLeft = swatch.right() + 6;
        p.drawText(QRect(textLeft, y, entry.right() - textLeft, fm.height()), Qt::AlignLeft | Qt::AlignVCenter,
                   fm.elidedText(QString::fromStdString(feed_.SeriesName(s)), Qt::ElideRight, entry.right() - textLeft));
        const float last = store.LastValue(s);
        p.drawText(QRect(textLeft, y + fm.height(), entry.right() - textLeft, fm.height()),
                   Qt::AlignLeft | Qt::AlignVCenter, std::isnan(last) ? QString("-") : Number(last));
        y += entry.height() + 2;
    }
}

void PlotView::DrawStatus(QPainter& p, const QRect& area) const {
    QStringList notes;
    if (paused_) notes << "Paused";
    if (zoom_) notes << "Zoomed (double-click to go back)";
    const plot::PlotStore& store = feed_.store();
    if (store.DroppedRows() > 0)
        notes << QString("%1 older samples dropped (%2 lines)").arg(store.DroppedSamples()).arg(store.DroppedRows());
    if (feed_.LongLines() > 0) notes << QString("%1 lines too long").arg(feed_.LongLines());
    if (feed_.OverfullLines() > 0) notes << QString("values beyond %1 series left out").arg(plot::kMaxSeries);
    if (store.Size() == 0) notes << "No numbers received yet";
    p.setPen(Qt::darkGray);
    p.drawText(QRect(area.left(), 2, width() - area.left(), area.top() - 4), Qt::AlignLeft | Qt::AlignVCenter,
               notes.join("   "));
}

QStringList PlotView::Reading(QPoint at) const {
    QStringList lines;
    const plot::PlotStore& store = feed_.store();
    const double x = XAt(at.x());
    lines << (axis_ == plot::XAxis::Seconds ? QString("t = %1 s").arg(Number(x)) : QString("# %1").arg(Number(std::round(x))));
    if (store.Size() == 0) return lines;
    // The nearest row to x.
    std::size_t i = plot::RowAt(store, axis_, x);
    if (i == store.Size() || (i > 0 && x - plot::RowX(store, axis_, i - 1) < plot::RowX(store, axis_, i) - x)) --i;
    for (std::size_t s = 0; s < feed_.SeriesCount(); ++s) {
        if (hidden_[s]) continue;
        const float v = store.Value(s, i);
        lines << QString("%1: %2").arg(QString::fromStdString(feed_.SeriesName(s)), std::isnan(v) ? "-" : Number(v));
    }
    return lines;
}

void PlotView::DrawCursor(QPainter& p, const QRect& area) const {
    if (!cursor_ || !area.contains(*cursor_) || dragFrom_) return;
    p.setPen(QPen(Qt::darkGray, 1, Qt::DotLine));
    p.drawLine(cursor_->x(), area.top(), cursor_->x(), area.bottom());
    const QStringList lines = Reading(*cursor_);
    const QFontMetrics fm(font());
    int w = 0;
    for (const QString& l : lines) w = std::max(w, fm.horizontalAdvance(l));
    QRect box(cursor_->x() + 8, area.top() + 4, w + 8, static_cast<int>(lines.size()) * fm.height() + 6);
    if (box.right() > area.right()) box.moveRight(cursor_->x() - 8);
    p.setPen(Qt::darkGray);
    p.setBrush(QColor(255, 255, 240, 230));
    p.drawRect(box);
    p.setPen(Qt::black);
    for (int k = 0; k < lines.size(); ++k)
        p.drawText(box.left() + 4, box.top() + 3 + fm.ascent() + k * fm.height(), lines[k]);
}

QRect PlotView::LegendEntry(std::size_t series) const {
    for (const auto& [r, s] : legendRects_)
        if (s == series) return r;
    return {};
}

std::optional<std::size_t> PlotView::LegendAt(QPoint at) const {
    for (const auto& [r, s] : legendRects_)
        if (r.contains(at)) return s;
    return std::nullopt;
}

void PlotView::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    if (event->button() == Qt::RightButton) {
        Unzoom();
    } else if (event->button() == Qt::LeftButton) {
        if (const auto s = LegendAt(at)) {
            SetHidden(*s, !hidden_[*s]);
        } else if (PlotArea().contains(at)) {
            dragFrom_ = at;
            dragTo_ = at;
        }
    }
}

void PlotView::mouseMoveEvent(QMouseEvent* event) {
    cursor_ = event->position().toPoint();
    if (dragFrom_) {
        // A drag past the plot's edge zooms up to the edge.
        const QRect area = PlotArea();
        dragTo_ = QPoint(std::clamp(cursor_->x(), area.left(), area.right()),
                         std::clamp(cursor_->y(), area.top(), area.bottom()));
    }
    update();
}

void PlotView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !dragFrom_) return;
    const QRect band = QRect(*dragFrom_, dragTo_).normalized();
    dragFrom_.reset();
    if (band.width() > 4 && band.height() > 4) {
        zoom_ = Range{XAt(band.left()), XAt(band.right()), YAt(band.bottom()), YAt(band.top())};
        if (stateChanged) stateChanged();
    }
    update();
}

void PlotView::mouseDoubleClickEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    if (const auto s = LegendAt(at)) {
        // The press before this one hid it: put it back, then ask for a colour.
        SetHidden(*s, !hidden_[*s]);
        if (chooseColor) chooseColor(*s);
        return;
    }
    Unzoom();
}

void PlotView::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    cursor_.reset();
    update();
}

}  // namespace quennet
