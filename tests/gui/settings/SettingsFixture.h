#pragma once
#include "EventLoopWait.h"
#include "app/account/UserLoginWindow.h"
#include "app/catalogue/PexXmlParser.h"
#include "app/connection/SystemService.h"
#include "app/shell/AppDelegate.h"
#include "platform/Defaults.h"
#include "platform/qt/AlertPresenter.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

// One AppDelegate per test, its folders and helper paths in a private temporary tree, alerts
// answered by script, termination recorded instead of ending the process.
class SettingsFixture : public ::testing::Test {
protected:
    static QString root() {
        // The preference store reads its path once per process: one tree for every test of it.
        static QTemporaryDir dir;
        return dir.path();
    }

    void SetUp() override {
        ASSERT_FALSE(root().isEmpty());
        if (qEnvironmentVariableIsEmpty("TAVROVPN_BUNDLE")) qputenv("TAVROVPN_BUNDLE", TAVROVPN_TEST_BUNDLE);
        qputenv("XDG_DATA_HOME", (root() + "/data").toUtf8());
        qputenv("XDG_CONFIG_HOME", (root() + "/config").toUtf8());
        qputenv("XDG_CACHE_HOME", (root() + "/cache").toUtf8());
        qputenv("TAVROVPN_HELPER_JOB_FILE", jobFile().toUtf8());
        qputenv("TVAPPHELPER_SOCKET", helperSocket().toUtf8());
        QDir(root() + "/config").removeRecursively();
        QFile::remove(jobFile());
        QFile::remove(helperSocket());
        prefs().reload();
        PexXmlParser::clearCatalogue();
        extThisServiceID.clear();
        removeSystemService(); // nothing known: nothing sent, the connection object dropped
        AlertPresenter::setCurrent(&alerts);
        app = std::make_unique<AppDelegate>();
        setTheApplication(app.get());
        app->terminateNowHook = [this] { ++terminations; };
        app->loginWindow = new UserLoginWindow(app.get());
    }

    void TearDown() override {
        AlertPresenter::setCurrent(nullptr);
        app.reset();
        setTheApplication(nullptr);
    }

    static QString jobFile() { return root() + "/tvapphelper.service"; }
    static QString helperSocket() { return root() + "/helper.sock"; }
    static platform::Defaults& prefs() { return platform::Defaults::standard(); }

    static void setRegions(const std::vector<RegionInfo>& regions) {
        PexXmlParser::clearCatalogue();
        for (const RegionInfo& r : regions)
            PexXmlParser::_regionInfos[std::to_string(r.Row)] = r;
    }

    // Runs the event loop until done() or the time is up.
    static bool processUntil(const std::function<bool()>& done, int ms = 3000) {
        return testsupport::processUntil(done, ms);
    }

    ScriptedAlertPresenter alerts;
    std::unique_ptr<AppDelegate> app;
    int terminations = 0;
};
