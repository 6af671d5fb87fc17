#pragma once

class QCoreApplication;
class QLocale;

// Makes Qt's own dialogs and buttons speak the program's language: Chinese, in the
// traditional script for a Taiwan, Hong Kong or Macau locale, simplified otherwise.
// False when Qt's translations are not installed (Debian's qttranslations5-l10n).
bool installQtTranslations(QCoreApplication &app, const QLocale &locale);
