// pellara-depth's stereo pairs: which inputs are pairs (an MPO file, a
// spatial HEIF photo, a picture with both views in it, two files) and their depth, with the
// tool's words for what goes wrong.
#ifndef PAIR_INPUT_H
#define PAIR_INPUT_H

#include <DepthMaps.h>
#include <SupportDefs.h>

#include <cstddef>
#include <string>

namespace depth {

struct PairRequest
{
    std::string name;            // the input as messages name it
    const uint8* data = nullptr; // the input, whole
    size_t size = 0;
    // The right view's file when two are given (second, whole); its name.
    const uint8* second = nullptr;
    size_t secondSize = 0;
    std::string secondName;
    std::string layout; // --pair's value, empty without it
    bool rectify = false;
};

enum class PairOutcome
{
    kNotAPair,        // go on as for any other input
    kHeifWithoutPair, // as kNotAPair: a HEIF file without a stereo pair group
    kRead,     // *map holds the depth
    kFailed,   // *message says why, in one line
};

// The depth of the pair the request names. *note, when not empty, is a
// line for standard error beside a result (a hint to try --rectify).
PairOutcome ReadPair(const PairRequest& request, depth_map* map, std::string* message,
                     std::string* note);

} // namespace depth

#endif // PAIR_INPUT_H
