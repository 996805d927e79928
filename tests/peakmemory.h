#pragma once

#include <QtGlobal>

// This process's resident memory as Linux reports it in /proc/self, for tests
// that check that some work stays small. The sizes are in KiB, or -1 where
// /proc cannot be read.

// Sets the peak resident size (VmHWM) back to the present one; false where
// /proc/self/clear_refs cannot be written.
bool resetPeakMemory();

// The peak resident size (VmHWM) since the last reset.
qint64 peakMemoryKiB();

// The present resident size (VmRSS).
qint64 residentMemoryKiB();
