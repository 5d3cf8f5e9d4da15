#include "PdfPages.h"

#include <Bitmap.h>
#include <DataIO.h>

#include <cairo-pdf.h>
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace fuse {

namespace {

constexpr double kMillimetresAnInch = 25.4;
constexpr double kPointsAnInch = 72;
constexpr double kMarginMillimetres = 10;
constexpr double kOverlapMillimetres = 10;
// Trim marks: short lines in the margin, beside the corners of each share.
constexpr double kMarkMillimetres = 6;
constexpr double kMarkGapMillimetres = 1.5;

struct Sheet
{
    double width, height; // millimetres, portrait
};

Sheet sheet_of(Paper paper)
{
    switch (paper) {
    case Paper::kA4:
        return {210, 297};
    case Paper::kLetter:
        return {215.9, 279.4};
    case Paper::kA3:
        return {297, 420};
    case Paper::kNone:
        break;
    }
    return {0, 0};
}

double points(double millimetres)
{
    return millimetres / kMillimetresAnInch * kPointsAnInch;
}

// Shares of length pixels, each at most room long, neighbours overlapping
// by overlap.
std::vector<std::pair<int32, int32>> shares(int32 length, int32 room, int32 overlap)
{
    std::vector<std::pair<int32, int32>> out;
    const int32 step = std::max(1, room - overlap);
    for (int32 at = 0;; at += step) {
        const int32 size = std::min(room, length - at);
        out.emplace_back(at, size);
        if (at + size >= length)
            break;
    }
    return out;
}

cairo_status_t append(void* closure, const unsigned char* data, unsigned int length)
{
    BMallocIO* out = static_cast<BMallocIO*>(closure);
    return out->Write(data, length) == ssize_t(length) ? CAIRO_STATUS_SUCCESS
                                                       : CAIRO_STATUS_WRITE_ERROR;
}

struct SurfaceDeleter
{
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter
{
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using Context = std::unique_ptr<cairo_t, ContextDeleter>;

void trim_marks(cairo_t* cr, double left, double top, double width, double height)
{
    const double gap = points(kMarkGapMillimetres), mark = points(kMarkMillimetres);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 0.25);
    for (double x : {left, left + width}) {
        cairo_move_to(cr, x, top - gap);
        cairo_line_to(cr, x, top - gap - mark);
        cairo_move_to(cr, x, top + height + gap);
        cairo_line_to(cr, x, top + height + gap + mark);
    }
    for (double y : {top, top + height}) {
        cairo_move_to(cr, left - gap, y);
        cairo_line_to(cr, left - gap - mark, y);
        cairo_move_to(cr, left + width + gap, y);
        cairo_line_to(cr, left + width + gap + mark, y);
    }
    cairo_stroke(cr);
}

} // namespace

bool PaperFromName(const std::string& name, Paper* paper)
{
    static const struct
    {
        const char* name;
        Paper paper;
    } kPapers[] = {{"a4", Paper::kA4}, {"letter", Paper::kLetter}, {"a3", Paper::kA3}};
    for (const auto& entry : kPapers) {
        if (name == entry.name) {
            *paper = entry.paper;
            return true;
        }
    }
    return false;
}

PageLayout LayOutPages(int32 width, int32 height, double dpi, Paper paper)
{
    PageLayout layout;
    if (dpi <= 0)
        dpi = kPointsAnInch;
    if (paper == Paper::kNone) {
        layout.widthPoints = width / dpi * kPointsAnInch;
        layout.heightPoints = height / dpi * kPointsAnInch;
        layout.tiles.push_back({0, 0, width, height});
        return layout;
    }
    const Sheet sheet = sheet_of(paper);
    const auto pixels = [dpi](double millimetres) {
        return int32(std::floor(millimetres / kMillimetresAnInch * dpi));
    };
    const int32 overlap = int32(std::ceil(kOverlapMillimetres / kMillimetresAnInch * dpi));
    auto tiles_for = [&](double across, double down) {
        const int32 roomX = std::max(overlap + 1, pixels(across - 2 * kMarginMillimetres));
        const int32 roomY = std::max(overlap + 1, pixels(down - 2 * kMarginMillimetres));
        std::vector<PageTile> tiles;
        for (const auto& [top, h] : shares(height, roomY, overlap))
            for (const auto& [left, w] : shares(width, roomX, overlap))
                tiles.push_back({left, top, w, h});
        return tiles;
    };
    std::vector<PageTile> portrait = tiles_for(sheet.width, sheet.height);
    std::vector<PageTile> landscape = tiles_for(sheet.height, sheet.width);
    const bool turned = landscape.size() < portrait.size();
    layout.tiles = turned ? landscape : portrait;
    layout.widthPoints = points(turned ? sheet.height : sheet.width);
    layout.heightPoints = points(turned ? sheet.width : sheet.height);
    return layout;
}

status_t EncodePdf(const BBitmap* picture, double dpi, Paper paper, BMallocIO* out,
                   std::string* why)
{
    if (dpi <= 0)
        dpi = kPointsAnInch;
    const color_space space = picture->ColorSpace();
    if (space != B_RGB32 && space != B_RGBA32) {
        *why = "only 8-bit colour pictures are written as PDF";
        return B_BAD_VALUE;
    }
    const int32 width = picture->PixelWidth(), height = picture->PixelHeight();
    const PageLayout layout = LayOutPages(width, height, dpi, paper);
    Surface pdf(cairo_pdf_surface_create_for_stream(append, out, layout.widthPoints,
                                                    layout.heightPoints));
    Context cr(cairo_create(pdf.get()));
    const double scale = kPointsAnInch / dpi;
    const int32 stride = picture->BytesPerRow();
    uint8* bits = static_cast<uint8*>(const_cast<void*>(static_cast<const void*>(picture->Bits())));
    for (const PageTile& tile : layout.tiles) {
        // The bitmap's words are cairo's: blue in the low byte. A
        // stereogram is opaque, so alpha is left out of the file.
        Surface share(cairo_image_surface_create_for_data(
            bits + size_t(tile.top) * stride + size_t(tile.left) * 4, CAIRO_FORMAT_RGB24,
            tile.width, tile.height, stride));
        const double left = paper == Paper::kNone ? 0 : points(kMarginMillimetres);
        const double top = left;
        cairo_save(cr.get());
        cairo_translate(cr.get(), left, top);
        cairo_scale(cr.get(), scale, scale);
        cairo_set_source_surface(cr.get(), share.get(), 0, 0);
        // Dots stay dots: no smoothing when a viewer enlarges the page.
        cairo_pattern_set_filter(cairo_get_source(cr.get()), CAIRO_FILTER_NEAREST);
        cairo_rectangle(cr.get(), 0, 0, tile.width, tile.height);
        cairo_fill(cr.get());
        cairo_restore(cr.get());
        if (paper != Paper::kNone)
            trim_marks(cr.get(), left, top, tile.width * scale, tile.height * scale);
        cairo_show_page(cr.get());
    }
    cr.reset();
    cairo_surface_finish(pdf.get());
    const cairo_status_t status = cairo_surface_status(pdf.get());
    if (status != CAIRO_STATUS_SUCCESS) {
        *why = status == CAIRO_STATUS_NO_MEMORY ? "out of memory" : cairo_status_to_string(status);
        return status == CAIRO_STATUS_NO_MEMORY ? B_NO_MEMORY : B_ERROR;
    }
    return B_OK;
}

} // namespace fuse
