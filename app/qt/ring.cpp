#include "app/qt/ring.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

#include "app/core/ring_geometry.h"

namespace lumavix {
namespace {

QColor ToColor(const RingColour& c) { return QColor::fromRgbF(c.r, c.g, c.b, 1.0f); }

}  // namespace

RingWidget::RingWidget(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

bool RingWidget::EnsureSurface() {
  const qreal dpr = devicePixelRatioF();
  const QSize px(static_cast<int>(width() * dpr), static_cast<int>(height() * dpr));
  if (px.isEmpty()) return false;
  if (surface_.size() != px || surface_.devicePixelRatio() != dpr) {
    // A new size or screen keeps what was drawn, rescaled, rather than
    // losing the dots of the steps already taken.
    QImage next(px, QImage::Format_ARGB32_Premultiplied);
    next.setDevicePixelRatio(dpr);
    next.fill(Qt::transparent);
    if (!surface_.isNull()) {
      QPainter p(&next);
      p.drawImage(QRectF(0, 0, width(), height()), surface_);
    }
    surface_ = std::move(next);
  }
  return true;
}

void RingWidget::BeginPass(const RingColour& colour) { progress_.BeginPass(colour); }

QString RingWidget::valueText() const {
  return valueText_.isEmpty() ? QStringLiteral("%1%").arg(value_) : valueText_;
}

void RingWidget::SetValue(int percent, const QString& text) {
  percent = std::clamp(percent, 0, 100);
  valueText_ = text;
  if (percent == value_) return;
  value_ = percent;
  QAccessibleValueChangeEvent event(this, value_);
  Announce(&event);
}

void RingWidget::Reset() {
  progress_.Reset();
  SetValue(0);
  if (!surface_.isNull()) surface_.fill(Qt::transparent);
  update();
}

bool RingWidget::DrawStep(std::int32_t percent) {
  if (!EnsureSurface()) return false;
  const RingStep step = progress_.Next(percent);
  QPainter p(&surface_);
  if (!p.isActive()) return false;
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(ToColor(progress_.colour()));
  for (const RingDot& d : step.dots) {
    p.drawEllipse(QPointF(d.x, d.y), kRingDotRadius, kRingDotRadius);
  }
  if (!p.end()) return false;
  progress_.Commit(step);
  update();
  return true;
}

RingTheme RingWidget::theme() const {
  auto colour = [](const QColor& c) {
    return RingColour{static_cast<float>(c.redF()), static_cast<float>(c.greenF()),
                      static_cast<float>(c.blueF())};
  };
  return RingThemeFor(colour(palette().color(QPalette::Window)),
                      colour(palette().color(QPalette::WindowText)));
}

void RingWidget::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  p.fillRect(event->rect(), ToColor(theme().background));
  if (!surface_.isNull()) p.drawImage(QPointF(0, 0), surface_);
}

void RingWidget::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // A theme switched while the window shows: the background follows.
  if (event->type() == QEvent::PaletteChange) update();
}

void RingWidget::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (!surface_.isNull()) EnsureSurface();
}

namespace {

// The ring as a progress bar: its value is the percentage shown in its
// middle, from 0 to 100.
class RingAccessible final : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit RingAccessible(RingWidget* ring) : QAccessibleWidget(ring, QAccessible::ProgressBar) {}

  void* interface_cast(QAccessible::InterfaceType t) override {
    if (t == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(t);
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) return ring()->valueText();
    return QAccessibleWidget::text(t);
  }
  QVariant currentValue() const override { return ring()->value(); }
  void setCurrentValue(const QVariant&) override {}  // shown, not set
  QVariant maximumValue() const override { return 100; }
  QVariant minimumValue() const override { return 0; }
  QVariant minimumStepSize() const override { return 1; }

 private:
  [[nodiscard]] RingWidget* ring() const { return static_cast<RingWidget*>(widget()); }
};

QAccessibleInterface* RingFactory(const QString&, QObject* object) {
  if (auto* ring = qobject_cast<RingWidget*>(object)) return new RingAccessible(ring);
  return nullptr;
}

}  // namespace

namespace {
std::function<void(QAccessibleEvent*)>& Observer() {
  static std::function<void(QAccessibleEvent*)> observer;
  return observer;
}
}  // namespace

void Announce(QAccessibleEvent* event) {
  if (Observer()) Observer()(event);
  QAccessible::updateAccessibility(event);
}

void SetAnnouncementObserver(std::function<void(QAccessibleEvent*)> observer) {
  Observer() = std::move(observer);
}

void InstallRingAccessibility() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  QAccessible::installFactory(&RingFactory);
}

}  // namespace lumavix
