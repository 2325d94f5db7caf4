// Build-time tool: renders one SVG to a PNG of the given size.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: flagrender IN.svg OUT.png WIDTH HEIGHT\n");
        return 2;
    }
    QSvgRenderer r(QString::fromLocal8Bit(argv[1]));
    if (!r.isValid()) {
        std::fprintf(stderr, "flagrender: cannot read %s\n", argv[1]);
        return 1;
    }
    QImage img(std::atoi(argv[3]), std::atoi(argv[4]), QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    r.render(&p);
    p.end();
    return img.save(QString::fromLocal8Bit(argv[2]), "PNG") ? 0 : 1;
}
