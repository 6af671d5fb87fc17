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
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
    const QString folder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
    auto *translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_") + (traditional ? "zh_TW" : "zh_CN"), folder)) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}
