// gtest main for widget tests: one QApplication per process, offscreen unless told otherwise.
#include <QApplication>
#include <QStyle>
#include <QStyleFactory>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace {

// Without XDG_RUNTIME_DIR Qt makes /tmp/runtime-<user> and leaves it there: give the process a
// private one that goes with it.
struct RuntimeDir {
    std::string path;
    RuntimeDir() {
        if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) return;
        char tmpl[] = "/tmp/tavro-runtime-XXXXXX";
        if (!mkdtemp(tmpl)) return;
        path = tmpl;
        setenv("XDG_RUNTIME_DIR", tmpl, 1);
    }
    ~RuntimeDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};

} // namespace

int main(int argc, char** argv) {
    const RuntimeDir runtime;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // The application looks for NetworkManager on the system bus: a test reaches only the bus it
    // names itself (a fixture's), never this machine's.
    if (qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS"))
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tavrovpn-test-no-system-bus");
    int rc = 0;
    {
        QApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        ::testing::InitGoogleTest(&argc, argv);
        rc = RUN_ALL_TESTS();
    }
    return rc;
}
