#pragma once

// A named step where a test can hold the process, to change a file or to kill it right
// there instead of racing it. Only test builds have them (YIHUAN_PAUSE_POINTS): when
// YIHUAN_PAUSE_AT names the step, the process writes "paused at STEP" to standard error
// and waits for a line on standard input. Elsewhere a pause point is nothing at all.
void pausePoint(const char *step);
