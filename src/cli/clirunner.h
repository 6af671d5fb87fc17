#pragma once

#include <QStringList>

// Runs yihuan-cli with arguments (program name first) and returns its exit status:
// 0 every file succeeded, 1 a file failed or was lost, 2 bad usage or an unreadable job.
int runCli(const QStringList &arguments);
