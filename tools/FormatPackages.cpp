#include "FormatPackages.h"

#include <string>
#include <strings.h>

namespace fuse {

namespace {

// Only formats whose codec is an optional package: PNG, JPEG, BMP and the
// portable maps come with Qt itself.
const FormatPackage kFormatPackages[] = {
    {"webp", "WebP", "qt6-image-formats-plugins"},
    {"tiff", "TIFF", "qt6-image-formats-plugins"},
    {"tif", "TIFF", "qt6-image-formats-plugins"},
};

} // namespace

const FormatPackage* PackageForFormat(const char* name)
{
    if (name == nullptr)
        return nullptr;
    std::string key = name;
    // A type code may come quoted ('TIFF') and padded ('XYZ ').
    if (key.size() >= 2 && key.front() == '\'' && key.back() == '\'')
        key = key.substr(1, key.size() - 2);
    while (!key.empty() && key.back() == ' ')
        key.pop_back();
    for (const FormatPackage& entry : kFormatPackages) {
        if (strcasecmp(entry.name, key.c_str()) == 0)
            return &entry;
    }
    return nullptr;
}

std::string UnknownFormatMessage(const char* name)
{
    if (const FormatPackage* entry = PackageForFormat(name))
        return std::string("no ") + entry->label + " writer installed (install " +
               entry->package + ")";
    return std::string("unknown format '") + (name != nullptr ? name : "") +
           "' (see --list-formats)";
}

} // namespace fuse
