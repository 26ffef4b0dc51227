// The ring area (control 1044): the progress ring drawn step by step into a
// surface that keeps its dots between steps and between repaints.
#pragma once

#include <cstdint>
#include <functional>

#include <QAccessible>
#include <QColor>
#include <QImage>
#include <QWidget>

#include "app/core/ring_geometry.h"

namespace lumavix {

class RingWidget final : public QWidget {
  Q_OBJECT

 public:
  explicit RingWidget(QWidget* parent = nullptr);

  // Empties the ring and sets the drawn angle back to 0 (every device-watch
  // pass does, so the next update starts with an empty ring).
  void Reset();

  // Adds the dots from the drawn angle up to `percent` and keeps the new
  // angle. Returns false (angle unchanged) when there is nothing to draw on.
  bool DrawStep(std::int32_t percent);

  // The next phase of a run: its dots go over the last pass's from the top,
  // in `colour`; what was drawn stays.
  void BeginPass(const RingColour& colour);

  // The percentage the ring stands for, 0..100, for assistive technology
  // (the accessible value interface); announced when it changes.
  // `text` is how the value reads (PercentText); empty: the bare number
  // and a percent sign.
  void SetValue(int percent, const QString& text = {});
  [[nodiscard]] int value() const { return value_; }
  [[nodiscard]] QString valueText() const;

  // The ring's background and the percentage's colour in the widget's
  // palette (the theme's, dark or high-contrast included).
  [[nodiscard]] RingTheme theme() const;

  [[nodiscard]] std::int32_t lastAngle() const { return progress_.lastAngle(); }
  // Dots drawn since the last Reset(), counting overlaps.
  [[nodiscard]] int dotsDrawn() const { return progress_.dotsDrawn(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  bool EnsureSurface();

  QImage surface_;  // transparent except for the dots, in device pixels
  RingProgress progress_;
  int value_ = 0;
  QString valueText_;
};

// Hands an accessibility event to assistive technology (through Qt, which
// passes it on only while a screen reader listens) and to the observer, if
// one is installed; tests observe what would be announced through it.
void Announce(QAccessibleEvent* event);
void SetAnnouncementObserver(std::function<void(QAccessibleEvent*)> observer);

// Makes the ring known to assistive technology as a progress bar with its
// value (0..100). Call once after the application object exists.
void InstallRingAccessibility();

}  // namespace lumavix
