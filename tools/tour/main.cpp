// tavrovpn-tour OUTPUT_DIR: the application, driven through the demo without a person. It runs the
// real launch sequence against the service, helper and servers that the environment names (as the
// demo sets them up), saves a picture after every step into OUTPUT_DIR and prints a table of what
// each step should show and what it showed. Exit status 0 only when every step was seen.
#include "Tour.h"
#include "app/shell/AppDelegate.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QStyle>
#include <QStyleFactory>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    // The resources come from the application bundle the build made, not from beside this program.
    setenv("TAVROVPN_BUNDLE", TAVROVPN_TOUR_BUNDLE, 0);
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tavrovpn-tour OUTPUT_DIR\n");
        return 2;
    }
    // Dressed as the application's own entry dresses it.
    QApplication::setApplicationName("TavroVPN");
    QApplication::setApplicationVersion(AppDelegate::shortVersionString());
    QApplication::setDesktopFileName("tavrovpn");
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    QApplication::setPalette(QApplication::style()->standardPalette());
    if (QFontDatabase::families(QFontDatabase::Japanese).isEmpty()) {
        std::fprintf(stderr,
                     "tour: no Japanese font installed (fonts-ipaexfont-gothic); text shows as boxes\n");
    } else {
        QFont f = QApplication::font();
        f.setFamilies({"IPAexGothic", f.family()});
        QApplication::setFont(f);
    }

    bool seen = false;
    {
        AppDelegate delegate;
        setTheApplication(&delegate);
        Tour tour(delegate, QString::fromLocal8Bit(argv[1]));
        QTimer::singleShot(0, &tour, [&tour] { tour.run(); });
        app.exec();
        seen = tour.report();
    }
    return seen ? 0 : 1;
}
