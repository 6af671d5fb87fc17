#pragma once

#include <QString>

// Status-bar message for an operation state code; unknown codes get a fallback with the code.
QString stateMessage(int stateCode);
