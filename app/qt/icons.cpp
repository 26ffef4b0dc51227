#include "app/qt/icons.h"

#include <QPainter>
#include <QPainterPath>

namespace lumavix {
namespace {

QPixmap MakeCanvas(int size, qreal dpr) {
  QPixmap pm(static_cast<int>(size * dpr), static_cast<int>(size * dpr));
  pm.setDevicePixelRatio(dpr);
  pm.fill(Qt::transparent);
  return pm;
}

}  // namespace

QPixmap CameraIconPixmap(int size, qreal dpr) {
  QPixmap pm = MakeCanvas(size, dpr);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  // Drawn on a 64-unit grid.
  p.scale(size / 64.0, size / 64.0);

  const QColor body(0x2E, 0x4A, 0x6B);
  const QColor light(0x5B, 0x86, 0xB5);
  // Base plate.
  p.setPen(Qt::NoPen);
  p.setBrush(body);
  p.drawRoundedRect(QRectF(8, 52, 48, 8), 3, 3);
  // Arm: a vertical post and a head that leans forward.
  QPen arm(body, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(arm);
  p.setBrush(Qt::NoBrush);
  QPainterPath path;
  path.moveTo(18, 52);
  path.lineTo(18, 16);
  path.lineTo(38, 12);
  p.drawPath(path);
  // Camera head with its lens looking down.
  p.setPen(Qt::NoPen);
  p.setBrush(light);
  p.drawRoundedRect(QRectF(30, 6, 26, 14), 4, 4);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(47, 20), 5, 5);
  p.setBrush(body);
  p.drawEllipse(QPointF(47, 20), 3, 3);
  // The document under the camera.
  p.setBrush(QColor(0xF4, 0xF4, 0xF4));
  p.setPen(QPen(body, 1.5));
  p.drawRect(QRectF(34, 40, 20, 11));
  p.setPen(QPen(light, 1.2));
  for (int i = 0; i < 3; ++i) p.drawLine(QPointF(37, 43.5 + 2.7 * i), QPointF(51, 43.5 + 2.7 * i));
  p.end();
  return pm;
}

QIcon CameraIcon() {
  QIcon icon;
  for (int s : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(CameraIconPixmap(s));
  return icon;
}

QPixmap UpdateWarningPixmap(int size, qreal dpr) {
  QPixmap pm = MakeCanvas(size, dpr);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 96.0, size / 96.0);

  // Warning triangle with rounded corners.
  QPainterPath tri;
  tri.moveTo(44, 6);
  tri.lineTo(84, 76);
  tri.lineTo(4, 76);
  tri.closeSubpath();
  p.setPen(QPen(QColor(0xC8, 0x8A, 0x00), 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(QColor(0xFF, 0xC8, 0x1E));
  p.drawPath(tri);
  // Exclamation mark.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x20, 0x20, 0x20));
  QPainterPath bar;
  bar.moveTo(39, 28);
  bar.lineTo(49, 28);
  bar.lineTo(47, 56);
  bar.lineTo(41, 56);
  bar.closeSubpath();
  p.drawPath(bar);
  p.drawEllipse(QPointF(44, 65), 4.5, 4.5);

  // Update badge: a blue disc with a circular arrow, bottom right.
  const QPointF c(72, 72);
  p.setBrush(QColor(0x1E, 0x78, 0xD7));
  p.setPen(QPen(Qt::white, 3));
  p.drawEllipse(c, 20, 20);
  QPen arrow(Qt::white, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(arrow);
  p.setBrush(Qt::NoBrush);
  const QRectF arc(c.x() - 10, c.y() - 10, 20, 20);
  p.drawArc(arc, 100 * 16, 250 * 16);
  // Arrow head at the start of the arc (top), pointing clockwise.
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  QPainterPath head;
  head.moveTo(c.x() - 3, c.y() - 16.5);
  head.lineTo(c.x() + 5, c.y() - 10);
  head.lineTo(c.x() - 3, c.y() - 3.5);
  head.closeSubpath();
  p.drawPath(head);
  p.end();
  return pm;
}

}  // namespace lumavix
