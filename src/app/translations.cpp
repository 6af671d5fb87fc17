#include "app/translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

bool installQtTranslations(QCoreApplication &app, const QLocale &locale)
{
    const bool traditional = locale.language() == QLocale::Chinese
        && (locale.script() == QLocale::TraditionalChineseScript
            || locale.country() == QLocale::Taiwan || locale.country() == QLocale::HongKong
            || locale.country() == QLocale::Macau);
    auto *translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_") + (traditional ? "zh_TW" : "zh_CN"),
            QLibraryInfo::location(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}
