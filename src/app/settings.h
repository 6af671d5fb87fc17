#pragma once

#include <QString>

// Every access opens the INI file anew, so no settings object outlives one call.
void writeSetting(
    const QString &path, const QString &group, const QString &key, const QString &value);
QString readSetting(
    const QString &path, const QString &group, const QString &key, const QString &defaultValue);

// Numeric settings are stored as decimal text; anything else reads as 0.
int settingToInt(const QString &value);
