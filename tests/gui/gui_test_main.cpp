// Test main of the desktop tests: a QApplication on the offscreen platform unless the
// environment chooses another (Xvfb).
#include <gtest/gtest.h>

#include <QApplication>
#include <QLocale>
#include <clocale>
#include <cstdlib>

int main(int argc, char **argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  // As the program does: numbers with a decimal point whatever the desktop's language.
  std::setlocale(LC_NUMERIC, "C");
  QLocale::setDefault(QLocale::c());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
