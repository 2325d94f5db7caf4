#pragma once
#include "EventLoopWait.h"
#include "LocalService.h"
#include "XdgScratchHome.h"
#include "app/catalogue/PexXmlParser.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/UpdateXmlParser.h"
#include "platform/Defaults.h"
#include "platform/qt/AlertPresenter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>

// A fresh home (XDG data, config and cache folders) and a fresh delegate per test.
class ShellFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tavro-shell-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home = tmpl;
        testsupport::pointXdgAt(home); // one config folder per process, emptied per test
        setenv("TAVROVPN_HELPER_JOB_FILE", (home + "/no-job-file").c_str(), 1);
        setenv("TAVROVPN_PKEXEC", "/nonexistent/pkexec", 1);
        std::error_code ec;
        std::filesystem::remove(platform::Defaults::standard().filePath(), ec);
        platform::Defaults::standard().reload();
        PexXmlParser::clearCatalogue();
        UpdateXmlParser::traceOutput = false;
        PexXmlParser::traceOutput = false;
        extUpdateXmlParser = UpdateXmlParser();
        AlertPresenter::setCurrent(&alerts);
    }

    void TearDown() override {
        delegate.reset();
        AlertPresenter::setCurrent(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
    }

    AppDelegate& makeDelegate() {
        delegate = std::make_unique<AppDelegate>();
        setTheApplication(delegate.get());
        delegate->terminateNowHook = [this] { ++terminations; };
        return *delegate;
    }

    static void settle(int ms) { testsupport::settle(ms); }

    std::string root() const { return home + "/data/norvell/tavrovpn"; }

    std::string home;
    ScriptedAlertPresenter alerts;
    std::unique_ptr<AppDelegate> delegate;
    int terminations = 0;
};
