// The tool's word for a format no installed translator writes.
#ifndef FORMAT_PACKAGES_H
#define FORMAT_PACKAGES_H

#include <string>

namespace fuse {

// "unknown format '<name>' (see --list-formats)". Every format offered is
// written by a library the program is linked with, so a format cannot be
// missing for want of an optional package: an unknown one is a typing
// mistake or a format nobody writes.
std::string UnknownFormatMessage(const char* name);

} // namespace fuse

#endif // FORMAT_PACKAGES_H
