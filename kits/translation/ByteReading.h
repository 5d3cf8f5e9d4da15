// Whole numbers read out of a file's bytes, in either order. The caller has
// checked that the bytes are there. Private to the translation kit.
#ifndef _BYTE_READING_H
#define _BYTE_READING_H

#include <SupportDefs.h>

namespace BPrivate {

inline uint16 big16(const uint8* at)
{
    return uint16((uint32(at[0]) << 8) | at[1]);
}

inline uint32 big32(const uint8* at)
{
    return (uint32(at[0]) << 24) | (uint32(at[1]) << 16) | (uint32(at[2]) << 8) | at[3];
}

inline uint16 little16(const uint8* at)
{
    return uint16(at[0] | (uint32(at[1]) << 8));
}

inline uint32 little32(const uint8* at)
{
    return uint32(at[0]) | (uint32(at[1]) << 8) | (uint32(at[2]) << 16) | (uint32(at[3]) << 24);
}

} // namespace BPrivate

#endif // _BYTE_READING_H
