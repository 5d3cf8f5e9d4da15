// pellara-fuse: makes a stereogram from two picture files, without the window.
#include "FuseJob.h"

int main(int argc, char** argv)
{
    return fuse::Main(argc, argv);
}
