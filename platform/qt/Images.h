#pragma once
#include <QIcon>
#include <QPixmap>
#include <QString>

// Named images of the bundle (B/Contents/Resources/images/<name>.svg or .png), like a named-image
// lookup: a missing resource gives a null pixmap.
namespace images {

QString resourcesPath(); // B + "/Contents/Resources"
QString pathForImage(const QString& name); // empty when missing
QPixmap imageNamed(const QString& name, const QSize& size = QSize());
QIcon iconNamed(const QString& name);

} // namespace images
