// The roster of translators, in the order they are asked: built from the
// table of formats, so that no list of its own can drift from it.
#include "CodecSupport.h"

#include <Bitmap.h>
#include <ImageTranslator.h>
#include <PictureFormats.h>
#include <QtTranslator.h>

#include <algorithm>

namespace BPrivate {

std::vector<WriteFormat> ImageTranslator::OutputFormats() const
{
    if (fWrites == 0)
        return {};
    return {write_format_of(*format_of_type(fWrites))};
}

status_t ImageTranslator::Write(const BBitmap& bitmap, uint32 type, BPositionIO* destination) const
{
    if (fWrites == 0)
        return B_NO_TRANSLATOR;
    return WriteWith(bitmap, type, destination, WriteSettings());
}

status_t ImageTranslator::WriteWith(const BBitmap& bitmap, uint32 type, BPositionIO* destination,
                                    const WriteSettings& settings) const
{
    if (fWrites == 0)
        return Write(bitmap, type, destination);
    if (type != fWrites || !Takes(bitmap))
        return B_NO_TRANSLATOR;
    if (destination == nullptr)
        return B_BAD_VALUE;
    return Encode(bitmap, destination, settings);
}

bool ImageTranslator::Takes(const BBitmap& bitmap) const
{
    return encodable(bitmap);
}

const std::vector<const ImageTranslator*>& image_translators()
{
    static const std::vector<const ImageTranslator*> all = [] {
        std::vector<const ImageTranslator*> list;
        auto add = [&list](TranslatorFactory factory) {
            if (factory == nullptr)
                return;
            const ImageTranslator* translator = factory();
            if (translator != nullptr &&
                std::find(list.begin(), list.end(), translator) == list.end())
                list.push_back(translator);
        };
        for (const PictureFormat& format : picture_formats()) {
            add(format.decoder);
            add(format.writer);
        }
        // Last: Qt's plugins take what none of ours does.
        add(qt_translator);
        return list;
    }();
    return all;
}

} // namespace BPrivate
