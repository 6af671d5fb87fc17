#pragma once

#include <QString>

// Names of the files a run writes before it renames them into place: hidden, so that
// folder scans pass them over, and recognisable, so that a drop or a later run can
// tell one left behind by a killed run from a user's file.
//
//     .<original name>.yihuan-<six letters or digits>.tmp
QString tempFileName(const QString &originalName, const QString &unique);

bool isTempFileName(const QString &fileName);
