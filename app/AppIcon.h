// The program's own icon, drawn in code: a film frame with a play sign.
#pragma once

#include <QIcon>
#include <QPixmap>

QPixmap AppPixmap(int Size);
QIcon AppIcon();
