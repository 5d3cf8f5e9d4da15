// The installed fonts, as a view draws with them. A BFont is a description
// (family, style, size, face, flags) resolved to an installed font when it
// is measured or drawn; an empty family is the desktop's default one.
//
// Fonts work without a display: a process that has no application object
// when it first measures or draws gets the font engine of a display-less
// one, so a command-line tool can draw text into a bitmap over ssh.
#ifndef _FONT_H
#define _FONT_H

#include <SupportDefs.h>

#define B_FONT_FAMILY_LENGTH 63
#define B_FONT_STYLE_LENGTH 63
typedef char font_family[B_FONT_FAMILY_LENGTH + 1];
typedef char font_style[B_FONT_STYLE_LENGTH + 1];

// Faces.
enum
{
    B_ITALIC_FACE = 0x0001,
    B_UNDERSCORE_FACE = 0x0002,
    B_NEGATIVE_FACE = 0x0004,
    B_OUTLINED_FACE = 0x0008,
    B_STRIKEOUT_FACE = 0x0010,
    B_BOLD_FACE = 0x0020,
    B_REGULAR_FACE = 0x0040,
};

// Flags.
enum
{
    B_DISABLE_ANTIALIASING = 0x00000001,
    B_FORCE_ANTIALIASING = 0x00000002,
};

// What BView::SetFont takes from a font.
enum
{
    B_FONT_FAMILY_AND_STYLE = 0x00000001,
    B_FONT_SIZE = 0x00000002,
    B_FONT_SHEAR = 0x00000004,
    B_FONT_ROTATION = 0x00000008,
    B_FONT_SPACING = 0x00000010,
    B_FONT_ENCODING = 0x00000020,
    B_FONT_FACE = 0x00000040,
    B_FONT_FLAGS = 0x00000080,
    B_FONT_ALL = 0x000000FF,
};

struct font_height
{
    float ascent;
    float descent;
    float leading;
};

class BFont
{
public:
    BFont();
    BFont(const BFont& font);
    BFont(const BFont* font);
    BFont& operator=(const BFont& font);

    // B_NAME_NOT_FOUND, the font unchanged, when no installed family has
    // that name (or no style of it that name).
    status_t SetFamilyAndStyle(const font_family family, const font_style style);
    status_t SetFamilyAndFace(const font_family family, uint16 face);
    // The family's name as installed (the default one's real name for the
    // default), and the style's ("Bold", ...).
    void GetFamilyAndStyle(font_family* family, font_style* style) const;

    // In pixels: the platform draws a point as one pixel.
    void SetSize(float size);
    float Size() const;
    void SetFace(uint16 face);
    uint16 Face() const;
    void SetFlags(uint32 flags);
    uint32 Flags() const;

    // The advance of the string (UTF-8), in pixels.
    float StringWidth(const char* string) const;
    float StringWidth(const char* string, int32 length) const;
    void GetHeight(font_height* height) const;

    bool operator==(const BFont& font) const;
    bool operator!=(const BFont& font) const;

private:
    friend struct FontAccess;

    // Empty: the desktop's default family.
    char fFamily[B_FONT_FAMILY_LENGTH + 1];
    char fStyle[B_FONT_STYLE_LENGTH + 1];
    float fSize;
    uint16 fFace;
    uint32 fFlags;
};

extern const BFont* be_plain_font;
extern const BFont* be_bold_font;
extern const BFont* be_fixed_font;

int32 count_font_families();
status_t get_font_family(int32 index, font_family* name, uint32* flags = nullptr);

#endif // _FONT_H
