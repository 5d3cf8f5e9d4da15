// The two views of a stereo pair stored in one picture file: a spatial
// HEIF/HEIC photo, whose 'grpl' box holds a 'ster' entity group naming the
// left and right items (ISO/IEC 23008-12). libheif 1.15 has no API for
// entity groups, so the group is read here with the kit's bounded box walk,
// and both items are decoded through libheif, turned as they are shown.
#ifndef _STEREO_VIEWS_H
#define _STEREO_VIEWS_H

#include <SupportDefs.h>

#include <cstddef>

class BBitmap;

// B_OK with *left and *right (B_RGB32, the caller's) when the file is a
// HEIF with a stereo pair group; B_NO_TRANSLATOR for what is no HEIF;
// B_NAME_NOT_FOUND for a HEIF without such a group; B_ILLEGAL_DATA with
// *why (a constant) for a group or views that lie; B_NO_MEMORY for views
// beyond the reading budget (max_picture_pixels()).
status_t read_heif_stereo_views(const void* data, size_t size, BBitmap** left, BBitmap** right,
                                const char** why = nullptr);

namespace BPrivate {

// The 'ster' group's first two entities (left, right), read from the file's
// 'meta' box without libheif. B_NAME_NOT_FOUND without a group,
// B_ILLEGAL_DATA with *why for one that runs past its box or names fewer
// than two entities.
status_t heif_stereo_items(const uint8* data, size_t size, uint32 items[2], const char** why);

} // namespace BPrivate

#endif // _STEREO_VIEWS_H
