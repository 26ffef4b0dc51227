// One QApplication for every window test, on the offscreen platform so that
// the tests need no display.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // ctest sets the platform; a direct run gets the same.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
