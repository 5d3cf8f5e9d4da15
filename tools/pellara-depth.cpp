// pellara-depth: makes a depth picture from a photo, a picture, a 3D model or
// words, without the window.
#include "DepthJob.h"

int main(int argc, char** argv)
{
    return depth::Main(argc, argv);
}
