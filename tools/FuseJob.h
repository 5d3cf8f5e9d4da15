// The work of pellara-fuse, in pieces the benchmark can time one by one:
// read two pictures, make the stereogram as the window does, write it
// through the translation kit without ever leaving a partial file.
#ifndef FUSE_JOB_H
#define FUSE_JOB_H

#include "ToolOutput.h"

#include <SupportDefs.h>

#include <StereogramKinds.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

class BBitmap;
class BMallocIO;

namespace fuse {

// GetFrom(depth), GetMotive(pattern), Fusion(): a new bitmap or null.
BBitmap* MakeStereogram(BBitmap* depth, BBitmap* pattern);
// The same, the depth picture deleted as soon as the engine holds its copy:
// one picture-sized buffer less at the peak.
BBitmap* MakeStereogram(std::unique_ptr<BBitmap> depth, BBitmap* pattern);
// Another kind of stereogram (StereogramKinds.h): GetFrom(depth), the depth
// picture deleted, GetMotive(pattern) unless the dots are random, then
// Synthesise. A new bitmap or null.
BBitmap* MakeStereogram(std::unique_ptr<BBitmap> depth, BBitmap* pattern,
                        const StereogramOptions& options);
// The whole tool: exit status 0, 1 when the run fails, 2 for a usage error.
int Main(int argc, char** argv);

// Every option the tool takes, each under its longest name ("--format"),
// in the order --help lists them.
std::vector<std::string> OptionNames();

} // namespace fuse

#endif // FUSE_JOB_H
