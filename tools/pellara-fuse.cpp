// pellara-fuse: makes a stereogram from two picture files, without the window.
#include "FuseJob.h"

#include <cstdio>

int main(int argc, char** argv)
{
    // Trace lines go out as they are written, whatever standard output is.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return fuse::Main(argc, argv);
}
