#include "app/settings.h"

#include <QSettings>

void writeSetting(
    const QString &path, const QString &group, const QString &key, const QString &value)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(group);
    settings.setValue(key, value);
    settings.endGroup();
    settings.sync();
}

QString readSetting(
    const QString &path, const QString &group, const QString &key, const QString &defaultValue)
{
    QSettings settings(path, QSettings::IniFormat);
    return settings.value(group + QLatin1Char('/') + key, defaultValue).toString();
}

int settingToInt(const QString &value)
{
    return value.toInt(nullptr, 10);
}
