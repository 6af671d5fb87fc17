#pragma once

// A named step at which a test can stop the program and act (kill it, signal it) at a
// moment of its choosing, without timing. Only test builds have it (YIHUAN_PAUSE_POINTS);
// elsewhere it is nothing at all.
//
// With YIHUAN_PAUSE_AT=<step> and YIHUAN_PAUSE_DIR=<folder> holding two FIFOs, "reached"
// and "release", the first time the process comes to that step it writes the step's name
// and a line break into "reached", then waits for a line on "release" before it goes on.
// YIHUAN_PAUSE_SKIP=<n> passes the step n times first.
// A signal that arrives meanwhile is handled and the wait goes on.
#ifdef YIHUAN_PAUSE_POINTS
void pausePoint(const char *step);
#else
inline void pausePoint(const char *) { }
#endif
