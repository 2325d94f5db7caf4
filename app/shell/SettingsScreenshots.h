#pragma once
#include <QString>

class AppDelegate;

// Renders the settings window, the version window, the region selection list and the settings
// pop-up menu into dir as PNG files; returns how many files were written.
int renderSettingsScreenshots(AppDelegate* app, const QString& dir);
