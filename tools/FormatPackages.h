// The tool's words for a format no installed translator writes.
#ifndef FORMAT_PACKAGES_H
#define FORMAT_PACKAGES_H

#include <string>

namespace fuse {

// Every format offered is written by a library the program is linked with,
// so a format cannot be missing for want of an optional package. A format
// the program reads but never writes (HEIC, GIF, AVIF, ...) says so:
// "format 'heic' is read but not written (see --list-formats)"; any other
// name is a typing mistake: "unknown format '<name>' (see --list-formats)".
std::string UnknownFormatMessage(const char* name);

} // namespace fuse

#endif // FORMAT_PACKAGES_H
