#include "platform/qt/Images.h"

#include "platform/Paths.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

namespace images {

QString resourcesPath() { return QString::fromStdString(platform::bundlePath()) + "/Contents/Resources"; }

QString pathForImage(const QString& name) {
    if (name.isEmpty() || name.contains('/')) return {};
    for (const char* ext : {".svg", ".png"}) {
        QString p = resourcesPath() + "/images/" + name + ext;
        if (QFile::exists(p)) return p;
    }
    return {};
}

QPixmap imageNamed(const QString& name, const QSize& size) {
    QString p = pathForImage(name);
    if (p.isEmpty()) return {};
    if (p.endsWith(".svg")) {
        QSvgRenderer r(p);
        if (!r.isValid()) return {};
        QSize s = size.isValid() ? size : r.defaultSize();
        // Render at twice the size so the image stays sharp on high-density screens.
        QPixmap pm(s * 2);
        pm.fill(Qt::transparent);
        QPainter painter(&pm);
        r.render(&painter);
        painter.end();
        pm.setDevicePixelRatio(2.0);
        return pm;
    }
    QPixmap pm(p);
    if (!pm.isNull() && size.isValid()) pm = pm.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return pm;
}

QIcon iconNamed(const QString& name) {
    QPixmap pm = imageNamed(name, QSize(16, 16));
    return pm.isNull() ? QIcon() : QIcon(pm);
}

} // namespace images
