// The ring area (control 1044): the progress ring drawn step by step into a
// surface that keeps its dots between steps and between repaints.
#pragma once

#include <cstdint>

#include <QImage>
#include <QWidget>

namespace lumavix {

class RingWidget final : public QWidget {
 public:
  explicit RingWidget(QWidget* parent = nullptr);

  // Empties the ring and sets the drawn angle back to 0 (every device-watch
  // pass does, so the next update starts with an empty ring).
  void Reset();

  // Adds the dots from the drawn angle up to `percent` and keeps the new
  // angle. Returns false (angle unchanged) when there is nothing to draw on.
  bool DrawStep(std::int32_t percent);

  [[nodiscard]] std::int32_t lastAngle() const { return lastAngle_; }
  // Dots drawn since the last Reset(), counting overlaps.
  [[nodiscard]] int dotsDrawn() const { return dotsDrawn_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  bool EnsureSurface();

  QImage surface_;  // transparent except for the dots, in device pixels
  std::int32_t lastAngle_ = 0;
  int dotsDrawn_ = 0;
};

}  // namespace lumavix
