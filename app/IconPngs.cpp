// Build tool: writes the program's icon as PNG files for the desktop
// (vidlomat-icon-pngs FOLDER SIZE...: FOLDER/SIZExSIZE/vidlomat.png).
#include <QDir>
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>

#include "AppIcon.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: vidlomat-icon-pngs FOLDER SIZE...\n");
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    const int size = std::atoi(argv[i]);
    const QString folder = QString("%1/%2x%2").arg(QString::fromLocal8Bit(argv[1])).arg(size);
    if (size <= 0 || !QDir().mkpath(folder) || !AppPixmap(size).save(folder + "/vidlomat.png")) {
      std::fprintf(stderr, "vidlomat-icon-pngs: cannot write the %s px icon\n", argv[i]);
      return 1;
    }
  }
  return 0;
}
