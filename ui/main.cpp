#include "Pellara.h"

#include <cstdio>

// Pictures arrive only by drag and drop; the arguments are not read.
int main(int, char**)
{
    // Trace lines reach a file or a pipe as they are written, not at exit,
    // and are not lost if the program is killed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Pellara application;
    application.Run();
    return 0;
}
