// The window tests' entry: an offscreen application object for every test.
#include <gtest/gtest.h>

#include <QApplication>

#include "ErrorHandler.h"
#include "MainForm.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Listing the tests (at build time) needs no window system.
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication app(argc, argv);
  QApplication::setApplicationName(kAppTitle);
  QApplication::setApplicationDisplayName(kAppTitle);
  return RUN_ALL_TESTS();
}
