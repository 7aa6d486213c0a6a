// Windows: sleeps end on the system timer's tick, 15.6 ms unless a program asks for 1 ms.
#include "tools/common/sleep_precision.h"

#include <windows.h>

#include <mmsystem.h>

void precise_sleeps() {
    ::timeBeginPeriod(1);
}
