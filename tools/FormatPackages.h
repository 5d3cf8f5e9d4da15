// Which Debian package brings the codec for a format the tool may be asked
// for, so that a missing codec reads as such rather than as a typing mistake.
#ifndef FORMAT_PACKAGES_H
#define FORMAT_PACKAGES_H

#include <string>

namespace fuse {

struct FormatPackage
{
    const char* name;    // as --format or an extension gives it, any case
    const char* label;   // as the message shows it
    const char* package; // what to install for a writer
};

// The table's entry for a short name or type code (quoted or not), or null.
const FormatPackage* PackageForFormat(const char* name);

// The message for a format no installed translator writes: the package to
// install when one is known, otherwise "unknown format '<name>' ...".
std::string UnknownFormatMessage(const char* name);

} // namespace fuse

#endif // FORMAT_PACKAGES_H
