// The status presentations as the window lays them out in each of the six
// languages: the status line's place, grown only as far as its text needs,
// the Update button and the link below it, which widgets are visible and
// enabled, the window's size. The frames' texts and places themselves are
// the core's (tests/app/window_scripts_test.cpp).
#include <algorithm>
#include <filesystem>
#include <tuple>

#include <QDir>
#include <QLabel>
#include <QPushButton>

#include "app/core/device_watch.h"
#include "app/qt/qt_bridge.h"
#include "firmware/product_config.h"
#include "tests/app/presentation_places.h"
#include "window_fixture.h"

namespace lumavix::qtapp_test {
namespace {

using test::kPresentations;
using test::kUpdateButtonPlace;
using test::NotThisProductLink;
using test::PresentationCase;
using test::StatusPlace;

const PresentationCase& CaseOf(Presentation p) {
  for (const PresentationCase& c : kPresentations) {
    if (c.presentation == p) return c;
  }
  return kPresentations[0];
}

using Param = std::tuple<Presentation, UiLanguage>;

}  // namespace
}  // namespace lumavix::qtapp_test

namespace lumavix {
inline void PrintTo(Presentation p, std::ostream* os) { *os << PresentationName(p); }
}  // namespace lumavix

namespace lumavix::qtapp_test {
namespace {

class PresentationTest : public WindowTest, public ::testing::WithParamInterface<Param> {};

TEST_P(PresentationTest, LaysOutTheOutcome) {
  const auto [p, lang] = GetParam();
  const PresentationCase& c = CaseOf(p);
  WriteFirmware(0x0105, ProductIdQA);
  StartWindow(std::string(c.profile) + "," + kFast, lang);
  if (HasFatalFailure()) return;
  const std::string what = std::string(PresentationName(p)) + " in " + LanguageName(lang);

  // Layout: the places of the outcome, unless its text needs more room
  // than they leave (a font wider than the one they were made for): then
  // the status line, what follows it and the window grow by as much, and no
  // more than the text needs.
  const PixelRect s = StatusPlace(p, lang);
  const QRect place = Scaled(s.x, s.y, s.width, s.height);
  const QRect status = control(1004)->geometry();
  const int grow = status.height() - place.height();
  EXPECT_EQ(status.topLeft(), place.topLeft()) << what << ": status place";
  EXPECT_EQ(status.width(), place.width()) << what << ": status width";
  EXPECT_GE(grow, 0) << what << ": the status line expected at least its height";
  EXPECT_EQ(window().frameGeometry().size(), Scaled(460, 170) + QSize(0, grow))
      << what << ": window expected 460 x 170, grown only with its text";
  const int textHeight = label(1004)->heightForWidth(status.width());
  EXPECT_LE(textHeight, status.height()) << what << ": the status text expected whole";
  if (grow > 0) {
    // The text had room down to the control that follows it.
    int room = s.height;
    if (p == Presentation::UpdateAvailable) room = std::min(room, kUpdateButtonPlace.y - s.y);
    if (p == Presentation::NotThisProduct) room = std::min(room, NotThisProductLink(lang).y - s.y);
    EXPECT_GT(textHeight, Scaled(0, 0, 0, room).height())
        << what << ": grown although the text fitted";
  }

  // Visibility: status line always; Update only when an update is offered;
  // the link only for another product; nothing of the progress view.
  const bool offer = p == Presentation::UpdateAvailable;
  const bool other = p == Presentation::NotThisProduct;
  EXPECT_TRUE(control(1004)->isVisible()) << what << ": status line expected visible";
  EXPECT_EQ(control(1001)->isVisible(), offer) << what << ": Update button visibility";
  EXPECT_EQ(control(1060)->isVisible(), other) << what << ": link visibility";
  for (int id : {1044, 1043, 1045, 1000, 1019}) {
    EXPECT_FALSE(control(id)->isVisible()) << what << ": control " << id << " expected hidden";
  }
  if (offer) {
    const PixelRect u = kUpdateButtonPlace;
    EXPECT_EQ(control(1001)->geometry(), Scaled(u.x, u.y, u.width, u.height).translated(0, grow))
        << what << ": Update button place";
  }
  if (other) {
    const PixelRect l = NotThisProductLink(lang);
    EXPECT_EQ(control(1060)->geometry(), Scaled(l.x, l.y, l.width, l.height).translated(0, grow))
        << what << ": link place";
    const QString url = QString::fromUtf8(DownloadUrl);
    EXPECT_EQ(label(1060)->text(), "<a href=\"" + url + "\">" + url + "</a>")
        << what << ": link expected one anchor to the download page";
  }

  // Enabled: the action controls follow the presentation (enabled when a
  // camera of this product was compared with the file).
  const bool enabled = offer || p == Presentation::UpToDate;
  for (int id : kActionControls) {
    EXPECT_EQ(control(id)->isEnabled(), enabled)
        << what << ": control " << id << (enabled ? " expected enabled" : " expected disabled");
  }

#ifdef LUMAVIX_SCREENSHOT_DIR
  QDir().mkpath(LUMAVIX_SCREENSHOT_DIR);
  window().grab().save(QString("%1/%2-%3.png")
                           .arg(LUMAVIX_SCREENSHOT_DIR, PresentationName(p), LanguageName(lang)),
                       "PNG");
#endif
}

INSTANTIATE_TEST_SUITE_P(
    AllLanguages, PresentationTest,
    ::testing::Combine(::testing::Values(Presentation::NoCamera, Presentation::NotThisProduct,
                                         Presentation::UpdateAvailable, Presentation::UpToDate,
                                         Presentation::Unreadable),
                       ::testing::ValuesIn(kAllLanguages)),
    [](const ::testing::TestParamInfo<Param>& tp) {
      std::string name = PresentationName(std::get<0>(tp.param));
      for (char& ch : name) {
        if (ch == '-') ch = '_';
      }
      return name + "_" + LanguageName(std::get<1>(tp.param));
    });

// No firmware file beside a camera of this product: the status line holds
// the folder's text whole, and the choose-file button shows its text whole.
class MissingFileTest : public WindowTest, public ::testing::WithParamInterface<UiLanguage> {};

TEST_P(MissingFileTest, TheFolderAndTheChoiceShowWhole) {
  const UiLanguage lang = GetParam();
  const std::string what = LanguageName(lang);
  StartWindow(std::string("q,fw=0104,") + kFast, lang);
  if (HasFatalFailure()) return;
  EXPECT_EQ(statusText(), ToQString(NoFirmwareFileText(lang, work_.u16string())))
      << what << ": the folder's text expected in the status line";
  auto* choose = window().findChild<QPushButton*>("chooseFile");
  ASSERT_NE(choose, nullptr);
  EXPECT_TRUE(choose->isVisible() && choose->isEnabled()) << what << ": choose-file expected";
  EXPECT_EQ(choose->text(), ToQString(ChooseFileButtonText(lang)));
  EXPECT_GE(choose->width(), choose->sizeHint().width()) << what << ": button text clipped";
  auto* status = label(1004);
  EXPECT_LE(status->heightForWidth(status->width()), status->height())
      << what << ": the status text expected to fit, unclipped";
  EXPECT_TRUE(choose->hasFocus())
      << what << ": the keyboard expected on the choose-file button";
}

INSTANTIATE_TEST_SUITE_P(Languages, MissingFileTest, ::testing::ValuesIn(kAllLanguages),
                         [](const ::testing::TestParamInfo<UiLanguage>& tp) {
                           return std::string(LanguageName(tp.param));
                         });

}  // namespace
}  // namespace lumavix::qtapp_test
