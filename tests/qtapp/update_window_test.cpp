// One update through the real window, end to end on the simulated camera:
// the file taken from the file dialog, Return, OK in the confirmation, the
// worker's notifications drawn on the ring up to the completion text, Esc.
// What the window decides on the way is tested without a window, on a
// virtual clock, in tests/app (window_scripts_test.cpp); this run checks
// that the Qt window carries those decisions out.
#include <filesystem>
#include <fstream>

#include <QApplication>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>

#include "app/qt/confirm_dialog.h"
#include "app/qt/qt_bridge.h"
#include "app/qt/ring.h"
#include "firmware/image.h"
#include "firmware/product_config.h"
#include "window_fixture.h"

namespace lumavix::qtapp_test {
namespace {

namespace fs = std::filesystem;

std::string WriteFile(const fs::path& path) {
  FirmwareBuildOptions o;
  o.firmware_version = 0x0105;
  const std::vector<std::uint8_t> bytes = build_firmware_file(o);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

// Whether the window takes a drag of `path` (it asks the core).
bool DragAccepted(MainWindow& w, const std::string& path) {
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&w, &enter);
  return enter.isAccepted();
}

TEST_F(WindowTest, AnUpdateFromTheChosenFileToItsCompletion) {
  StartWindow(std::string("q,fw=0104,") + kFast);
  if (HasFatalFailure()) return;
  auto* choose = window().findChild<QPushButton*>("chooseFile");
  ASSERT_TRUE(choose != nullptr && choose->isVisible()) << "no file in the folder: choose one";
  const std::string file = WriteFile(root_ / "chosen.bin");
  std::ofstream(root_ / "notes.txt") << "x";
  EXPECT_TRUE(DragAccepted(window(), file)) << "a .bin file expected to be taken when dragged";
  EXPECT_FALSE(DragAccepted(window(), (root_ / "notes.txt").string())) << "a text file refused";

  // The file dialog, filtered to *.bin; its choice is the window's file.
  QStringList filters;
  QTimer::singleShot(0, [&] {
    QFileDialog* dialog = nullptr;
    (void)QTest::qWaitFor([&] {
      dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      return dialog != nullptr;
    }, 3000);
    if (!dialog) return;
    filters = dialog->nameFilters();
    dialog->selectFile(QString::fromStdString(file));
    QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
  });
  QTest::mouseClick(choose, Qt::LeftButton);
  ASSERT_FALSE(filters.isEmpty()) << "the file dialog expected to come up";
  EXPECT_TRUE(filters.join(' ').contains("*.bin")) << "the dialog expected filtered to *.bin";
  ASSERT_TRUE(control(1001)->isVisible() && control(1001)->isEnabled()) << "Update expected";
  EXPECT_FALSE(choose->isVisible()) << "nothing left to choose";

  // Return opens the confirmation; OK starts the run in the progress view.
  ConfirmDialog* dialog = &window().confirmDialog();
  bool sawDialog = false;
  QTimer::singleShot(0, dialog, [&] {
    if (!QTest::qWaitFor([&] { return dialog->isVisible(); }, 2000)) return;
    sawDialog = true;
    if (auto* ok = dialog->findChild<QPushButton*>("button1")) QTest::mouseClick(ok, Qt::LeftButton);
  });
  QTest::keyClick(&window(), Qt::Key_Return);
  ASSERT_TRUE(sawDialog) << "Return expected to open the confirmation";
  EXPECT_FALSE(dialog->isVisible()) << "the dialog expected closed";
  EXPECT_EQ(window().frameGeometry().size(), Scaled(400, 320)) << "the progress view, 400 x 320";
  EXPECT_TRUE(control(1044)->isVisible()) << "ring expected visible";
  EXPECT_FALSE(control(1004)->isVisible()) << "status line expected hidden";

  ASSERT_TRUE(WaitFor([&] { return !window().updateRunning(); }, 20000)) << "the run expected to end";
  const QString full = ToQString(PercentText(UiLanguage::English, 100));
  ASSERT_TRUE(WaitFor([&] { return label(1043)->text() == full; }, 2000))
      << "percentage expected " << full.toStdString() << ", is " << label(1043)->text().toStdString();
  EXPECT_TRUE(boxes_.empty()) << "no message box expected";
  EXPECT_EQ(label(1045)->text(),
            ToQString(CompletionText(UiLanguage::English, 0x0105, kCameraModel)));
  EXPECT_EQ(ring()->lastAngle(), 360) << "the ring expected closed";
  EXPECT_GE(ring()->dotsDrawn(), 200) << "a full ring of dots expected";
  for (int id : {1044, 1043, 1045}) {
    EXPECT_TRUE(control(id)->isVisible()) << "control " << id << " expected visible";
  }
  EXPECT_FALSE(control(1001)->isVisible()) << "Update expected hidden after the run";
  EXPECT_TRUE(control(1001)->isEnabled()) << "action controls expected enabled again";

  QTest::keyClick(&window(), Qt::Key_Escape);
  EXPECT_FALSE(window().isVisible()) << "Esc expected to close the window once the run has ended";
}

}  // namespace
}  // namespace lumavix::qtapp_test
