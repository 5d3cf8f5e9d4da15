#include "Pellara.h"

#include <cstdio>
#include <cstring>

#ifndef PELLARA_VERSION
#define PELLARA_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "Usage: pellara [--help | --version]\n"
    "\n"
    "Opens the Pellara window, which composes single-image stereograms.\n"
    "Pictures enter only by drag and drop: drop a depth picture on the board\n"
    "and a pattern tile on the \"Motive...\" frame, then choose File > Fusion\n"
    "(Ctrl+F). Light parts of the depth picture come forward.\n"
    "\n"
    "  -h, --help  show this help\n"
    "  --version   show the version\n"
    "\n"
    "pellara-fuse makes the same stereogram from files on the command line.\n";

} // namespace

// Help and version are answered before any window or display is touched.
// Nothing else on the command line is read: pictures arrive only by drag and
// drop, so other arguments get a one-line hint and the window opens as ever.
int main(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("pellara %s\n", PELLARA_VERSION);
            return 0;
        }
    }
    if (argc > 1)
        std::fprintf(stderr,
                     "pellara: arguments are not read; drop pictures on the window "
                     "(see --help)\n");

    // Trace lines reach a file or a pipe as they are written, not at exit,
    // and are not lost if the program is killed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Pellara application;
    application.Run();
    return 0;
}
