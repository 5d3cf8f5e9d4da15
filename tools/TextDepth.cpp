#include "TextDepth.h"

#include <Bitmap.h>
#include <BitmapReading.h>
#include <Font.h>
#include <View.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace depth {

namespace {

// What the picture keeps free on each side, as for models.
constexpr double kMargin = 0.05;
// The size drawn first; the rest is scaled from it.
constexpr float kTrialSize = 100.0f;
// Fits tried before the text is called too large for the picture.
constexpr int kMostFits = 8;

struct Ink
{
    std::unique_ptr<BBitmap> bitmap;                // the lines drawn, 255 on 0
    int32 left = 0, top = 0, width = 0, height = 0; // where the letters are
};

// The lines drawn at size, each centred on the widest, into a bitmap with
// room around them for letters that reach past their advance.
status_t draw_lines(BFont font, float size, const std::vector<std::string>& lines, Ink* ink)
{
    font.SetSize(size);
    font_height metrics;
    font.GetHeight(&metrics);
    const float lineHeight = metrics.ascent + metrics.descent + metrics.leading;
    float widest = 0;
    for (const std::string& line : lines)
        widest = std::max(widest, font.StringWidth(line.c_str()));
    if (!(widest > 0) || !(lineHeight > 0))
        return B_ERROR;
    const float pad = size / 4 + 4;
    const double width = std::ceil(widest + 2 * pad);
    const double height = std::ceil(lineHeight * float(lines.size()) + 2 * pad);
    if (width * height > double(kMostPicturePixels))
        return B_NO_MEMORY;
    ink->bitmap =
        std::make_unique<BBitmap>(BRect(0, 0, float(width - 1), float(height - 1)), B_GRAY8, true);
    BBitmap& bitmap = *ink->bitmap;
    if (!bitmap.IsValid())
        return B_NO_MEMORY;
    std::memset(bitmap.Bits(), 0, size_t(bitmap.BitsLength()));
    BView* view = new BView(bitmap.Bounds(), "text", B_FOLLOW_NONE, B_WILL_DRAW);
    bitmap.AddChild(view);
    bitmap.Lock();
    view->SetFont(&font);
    view->SetHighColor(255, 255, 255);
    for (size_t i = 0; i < lines.size(); i++) {
        const float advance = font.StringWidth(lines[i].c_str());
        view->DrawString(lines[i].c_str(), BPoint(pad + (widest - advance) / 2,
                                                  pad + metrics.ascent + float(i) * lineHeight));
    }
    view->Sync();
    bitmap.Unlock();

    int32 left = bitmap.PixelWidth(), right = -1, top = bitmap.PixelHeight(), bottom = -1;
    for (int32 y = 0; y < bitmap.PixelHeight(); y++) {
        const uint8* row =
            static_cast<const uint8*>(bitmap.Bits()) + size_t(y) * bitmap.BytesPerRow();
        for (int32 x = 0; x < bitmap.PixelWidth(); x++) {
            if (row[x] >= 128) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    if (right < 0)
        return B_ERROR; // nothing drawn: no font has these letters
    ink->left = left;
    ink->top = top;
    ink->width = right - left + 1;
    ink->height = bottom - top + 1;
    return B_OK;
}

bool has_ink(const std::string& line)
{
    return line.find_first_not_of(" \t\r") != std::string::npos;
}

} // namespace

std::vector<std::string> TextLines(const std::string& words)
{
    std::vector<std::string> lines(1);
    for (size_t i = 0; i < words.size(); i++) {
        if (words[i] == '\n' || (words[i] == '\\' && i + 1 < words.size() && words[i + 1] == 'n')) {
            if (words[i] == '\\')
                i++;
            lines.emplace_back();
            continue;
        }
        lines.back() += words[i];
    }
    return lines;
}

status_t RenderText(const std::string& words, const char* family, int32 width, int32 height,
                    depth_map* map, std::string* why)
{
    *map = depth_map();
    const std::vector<std::string> lines = TextLines(words);
    if (std::none_of(lines.begin(), lines.end(), has_ink)) {
        *why = "the text has nothing to draw";
        return B_BAD_VALUE;
    }
    BFont font(be_bold_font);
    if (family != nullptr && family[0] != '\0') {
        font_family name;
        std::strncpy(name, family, B_FONT_FAMILY_LENGTH);
        name[B_FONT_FAMILY_LENGTH] = '\0';
        // The family's own bold style when it has one, else a bold
        // rendering of its regular one.
        status_t status = font.SetFamilyAndStyle(name, "Bold");
        if (status == B_NAME_NOT_FOUND)
            status = font.SetFamilyAndFace(name, B_BOLD_FACE);
        if (status == B_NAME_NOT_FOUND) {
            *why = std::string("no font family '") + family + "' is installed (fc-list : family)";
            return B_NAME_NOT_FOUND;
        }
        if (status != B_OK) {
            *why = "fonts cannot be used in this process";
            return B_ERROR;
        }
    }
    // Two levels only: the letters' plane and the background.
    font.SetFlags(B_DISABLE_ANTIALIASING);

    // The letters' own outline is fitted, not the font's line box: drawn
    // once at a trial size, measured, drawn again at the size that fills
    // the picture, and set in its middle. The font's advances say first,
    // without drawing, about what that size is: a long text is never drawn
    // large only to be shrunk, and one that cannot fit is refused at once.
    const int32 usableW = std::max(1, int32(width * (1 - 2 * kMargin)));
    const int32 usableH = std::max(1, int32(height * (1 - 2 * kMargin)));
    font.SetSize(kTrialSize);
    font_height metrics;
    font.GetHeight(&metrics);
    float widest = 0;
    for (const std::string& line : lines)
        widest = std::max(widest, font.StringWidth(line.c_str()));
    const float lineBox =
        (metrics.ascent + metrics.descent + metrics.leading) * float(lines.size());
    if (!(widest > 0) || !(lineBox > 0)) {
        *why = "no installed font draws this text";
        return B_ERROR;
    }
    const float estimate = kTrialSize * std::min(float(usableW) / widest, float(usableH) / lineBox);
    // Letters stand inside their advances and line box, bar a little
    // overhang: at twice the estimate they would still overflow.
    if (2 * estimate < 1.0f) {
        *why = "the picture is too small for the text";
        return B_BAD_VALUE;
    }
    float size = std::min(kTrialSize, 2 * estimate);
    Ink ink;
    status_t status = draw_lines(font, size, lines, &ink);
    if (status != B_OK) {
        *why = status == B_NO_MEMORY ? "out of memory" : "no installed font draws this text";
        return status;
    }
    size *= std::min(float(usableW) / float(ink.width), float(usableH) / float(ink.height));
    // Hinting does not scale exactly: shrink until it fits, by what the
    // last try overflowed, and give up after a few.
    for (int tries = 0;; tries++) {
        if (size < 1.0f || tries == kMostFits) {
            *why = "the picture is too small for the text";
            return B_BAD_VALUE;
        }
        status = draw_lines(font, size, lines, &ink);
        if (status == B_NO_MEMORY) {
            *why = "out of memory";
            return status;
        }
        if (status == B_OK && ink.width <= usableW && ink.height <= usableH)
            break;
        float shrink = 0.97f;
        if (status == B_OK)
            shrink = std::min(shrink, std::min(float(usableW) / float(ink.width),
                                               float(usableH) / float(ink.height)));
        size *= shrink;
    }

    try {
        // Two levels: a byte a pixel holds them.
        map->samples8.assign(size_t(width) * size_t(height), 0);
    } catch (const std::bad_alloc&) {
        *why = "out of memory";
        return B_NO_MEMORY;
    }
    map->width = map->photoWidth = width;
    map->height = map->photoHeight = height;
    const int32 left = (width - ink.width) / 2, top = (height - ink.height) / 2;
    const BBitmap& drawn = *ink.bitmap;
    for (int32 y = 0; y < ink.height; y++) {
        const uint8* row = static_cast<const uint8*>(drawn.Bits()) +
                           size_t(ink.top + y) * size_t(drawn.BytesPerRow()) + ink.left;
        uint8* out = map->samples8.data() + size_t(top + y) * width + left;
        for (int32 x = 0; x < ink.width; x++)
            out[x] = row[x] >= 128 ? 255 : 0;
    }
    return B_OK;
}
} // namespace depth
