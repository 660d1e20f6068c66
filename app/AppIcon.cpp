#include "AppIcon.h"

#include <QPainter>
#include <QPainterPath>

QPixmap AppPixmap(int Size) {
  QPixmap pixmap(Size, Size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(Size / 32.0, Size / 32.0);
  // The frame: a dark rounded square with sprocket holes at top and bottom.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x23, 0x3a, 0x5e));
  p.drawRoundedRect(QRectF(1, 1, 30, 30), 5, 5);
  p.setBrush(QColor(0xe8, 0xee, 0xf6));
  for (int i = 0; i < 5; ++i) {
    p.drawRect(QRectF(4 + i * 5.4, 3, 3, 2.5));
    p.drawRect(QRectF(4 + i * 5.4, 26.5, 3, 2.5));
  }
  // The play sign, in the accent colour.
  QPainterPath play;
  play.moveTo(12, 9.5);
  play.lineTo(23, 16);
  play.lineTo(12, 22.5);
  play.closeSubpath();
  p.setBrush(QColor(0xf5, 0x9e, 0x0b));
  p.drawPath(play);
  return pixmap;
}

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64}) icon.addPixmap(AppPixmap(size));
  return icon;
}
