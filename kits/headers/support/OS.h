// Kernel-kit odds and ends the other kits need.
#ifndef _OS_H
#define _OS_H

#include <SupportDefs.h>

#include <chrono>

// Microseconds since an arbitrary, fixed origin (the platform's boot time).
inline bigtime_t system_time()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

#endif // _OS_H
