#include "FormatPackages.h"

#include <BitmapReading.h>

namespace fuse {

std::string UnknownFormatMessage(const char* name)
{
    const std::string text = name != nullptr ? name : "";
    // Asked only for a name no writer took, so a name the reading table
    // knows is one of a format read and not written.
    if (is_read_format_name(text.c_str()))
        return "format '" + text + "' is read but not written (see --list-formats)";
    return "unknown format '" + text + "' (see --list-formats)";
}

} // namespace fuse
