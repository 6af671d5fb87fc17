#pragma once

#include <QString>
#include <QUrl>

// The installed user guide, or the one in the source tree when running from a build.
QUrl helpPageUrl();

QString authorContact();
