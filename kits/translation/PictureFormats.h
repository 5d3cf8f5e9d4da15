// The one table of picture formats the kit knows: how each is recognised
// (its sniff, from the first bytes), whose header stage checks it, who
// decodes it (ours, then Qt's plugin of that name when ours declines), and,
// for the formats offered for saving, the type code, extensions, MIME type,
// name and place in the Save As menu. The roster, the save menu, Qt's
// fallback and the reading pipeline all read it; a format missing here is
// read by no one.
#ifndef _PICTURE_FORMATS_H
#define _PICTURE_FORMATS_H

#include <ImageTranslator.h>

#include <memory>
#include <vector>

class RowReader;

namespace BPrivate {

typedef identify_result (*SniffStage)(const ImageSource& source);
typedef status_t (*HeaderStage)(const ImageSource& source, const ReadBudget& budget,
                                PictureHeader* header);
typedef const ImageTranslator* (*TranslatorFactory)();
typedef std::unique_ptr<RowReader> (*RowReaderFactory)();

struct PictureFormat
{
    const char* shortName;  // "png": also the usual extension
    const char* extensions; // space separated, short name first
    const char* mime;
    const char* name;       // "PNG image"; Qt's writers take the MIME database's
    uint32 type;            // the type code; 0 for a format only read
    // Place in the Save As menu, from 0; -1 for a format never written.
    int32 menuOrder;
    bool lossless;
    float quality;
    float capability;

    SniffStage sniff;
    HeaderStage header;
    TranslatorFactory decoder; // ours; null when only Qt's plugin reads it
    TranslatorFactory writer;  // null when not written
    const char* qtName;        // Qt's plugin for the format, or null
    // Its reader of a row at a time (a poster's depth), or null: read whole.
    RowReaderFactory rowReader = nullptr;
};

// Every format, in the order the sniffs are asked.
const std::vector<PictureFormat>& picture_formats();

// The formats offered for saving, in menu order.
std::vector<const PictureFormat*> written_formats();

// The entry of a type code, or null.
const PictureFormat* format_of_type(uint32 type);

// The entry's write format, as writers report it.
WriteFormat write_format_of(const PictureFormat& format);

// The formats whose sniff recognises the source (which may hold only the
// file's first bytes), surest first (a magic number found before a
// plausible header), the table's order on a tie.
std::vector<const PictureFormat*> sniff_formats(const ImageSource& source);

// The bytes the sniff looks at before a file is read whole.
constexpr size_t kSniffBytes = 64 * 1024;

} // namespace BPrivate

#endif // _PICTURE_FORMATS_H
