// Words as a depth picture: a flat plane standing on the far background, in
// a bold face of the installed fonts, as large as the picture holds.
#ifndef TEXT_DEPTH_H
#define TEXT_DEPTH_H

#include <DepthMaps.h>
#include <SupportDefs.h>

#include <string>
#include <vector>

namespace depth {

// The lines of the words: a newline, or the two characters \ and n, ends
// one. Lines with nothing to draw are kept as gaps.
std::vector<std::string> TextLines(const std::string& words);

// The words drawn into *map at width x height: 1 where the letters are, 0
// around them. family, when not null or empty, names an installed font
// family, whose bold style is used (or a bold rendering of it); otherwise
// the desktop's default family. B_OK; B_NAME_NOT_FOUND for a family that
// is not installed; B_BAD_VALUE for words with nothing to draw; B_ERROR
// when no font can be used. *why says why on failure.
status_t RenderText(const std::string& words, const char* family, int32 width, int32 height,
                    depth_map* map, std::string* why);

} // namespace depth

#endif // TEXT_DEPTH_H
