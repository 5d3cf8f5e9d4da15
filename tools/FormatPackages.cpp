#include "FormatPackages.h"

namespace fuse {

std::string UnknownFormatMessage(const char* name)
{
    return std::string("unknown format '") + (name != nullptr ? name : "") +
           "' (see --list-formats)";
}

} // namespace fuse
