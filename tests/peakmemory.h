#pragma once

#include <QtGlobal>

// This process's resident memory (its working set, on Windows), for tests
// that check that some work stays small: the growth of the peak over the
// resident size before the work. The sizes are in KiB, or -1 where they
// cannot be read.

// Sets the peak back to the present resident size where the system allows
// it (Linux). Elsewhere the peak stays the largest since the process started,
// which can only make the growth look larger, never smaller.
void resetPeakMemory();

// The peak resident size since the last reset.
qint64 peakMemoryKiB();

// The present resident size.
qint64 residentMemoryKiB();
