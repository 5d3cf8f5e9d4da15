// The wall around the model library: its work runs in a child process with
// little memory, little time and no way to open a file, and only a flat
// list of triangles comes back, checked on arrival. Whatever the library
// does, crash, hang or blow up, this process goes on and says so in a line.
#ifndef MODEL_WALL_H
#define MODEL_WALL_H

#include "ModelReader.h"

#include <SupportDefs.h>

#include <functional>
#include <string>
#include <vector>

namespace depth {

struct WallLimits
{
    // The address space (or resident memory, where the address space cannot
    // be limited) the child may add to what it starts with.
    uint64 memoryBytes = uint64(256) << 20;
    double cpuSeconds = 2;
    // Past this the parent kills the child, which may be blocked rather than
    // busy.
    double wallSeconds = 4;
    uint64 maxTriangles = 0;
};

// What runs in the child: the triangles, or a refusal and why.
using WalledWork = std::function<status_t(std::vector<PlacedTriangle>*, std::string*)>;

// work run behind the wall. Its own refusals come back as they were (why
// one line); a child that crashed, ran out of time or of memory, or sent
// back anything but limits.maxTriangles finite triangles or fewer, fails
// with "the model reader failed (...)".
status_t RunWalled(const WallLimits& limits, const WalledWork& work,
                   std::vector<PlacedTriangle>* triangles, std::string* why);

// The test-only switch: this environment variable, set to crash, spin,
// sleep, memory, nan or short, makes the child fail that way instead of
// working. It breaks nothing but the child.
constexpr const char* kWallFaultVariable = "PELLARA_MODEL_READER_FAULT";

} // namespace depth

#endif // MODEL_WALL_H
