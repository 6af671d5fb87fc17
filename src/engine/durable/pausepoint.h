#pragma once

// A named step at which a test can stop the program and act (kill it, signal it, change
// a file) at a moment of its choosing, without timing. Only test builds have it
// (YIHUAN_PAUSE_POINTS); elsewhere it is nothing at all.
//
// YIHUAN_PAUSE_AT=<step> names the step; YIHUAN_PAUSE_SKIP=<n> passes it n times first.
// With YIHUAN_PAUSE_DIR=<folder> holding two FIFOs, "reached" and "release", the process
// writes the step's name and a line break into "reached", then waits for a line on
// "release". Without it, it writes "paused at <step>" to standard error and waits for a
// line on standard input. A signal that arrives meanwhile is handled and the wait goes on.
#ifdef YIHUAN_PAUSE_POINTS
void pausePoint(const char *step);
#else
inline void pausePoint(const char *) { }
#endif
