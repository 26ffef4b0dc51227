#include "app/ring.h"

#include <QPaintEvent>
#include <QPainter>

#include "app/ring_geometry.h"

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

void RingWidget::Reset() {
  lastAngle_ = 0;
  dotsDrawn_ = 0;
  if (!surface_.isNull()) surface_.fill(Qt::transparent);
  update();
}

bool RingWidget::DrawStep(std::int32_t percent) {
  if (!EnsureSurface()) return false;
  const RingStep step = ComputeRingStep(lastAngle_, percent);
  QPainter p(&surface_);
  if (!p.isActive()) return false;
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(ToColor(kRingDotColour));
  for (const RingDot& d : step.dots) {
    p.drawEllipse(QPointF(d.x, d.y), kRingDotRadius, kRingDotRadius);
  }
  if (!p.end()) return false;
  dotsDrawn_ += static_cast<int>(step.dots.size());
  lastAngle_ = step.lastAngle;
  update();
  return true;
}

void RingWidget::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  p.fillRect(event->rect(), ToColor(kRingBackground));
  if (!surface_.isNull()) p.drawImage(QPointF(0, 0), surface_);
}

void RingWidget::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (!surface_.isNull()) EnsureSurface();
}

}  // namespace lumavix
