// The roster of translators, in the order they are asked.
#include <ImageTranslator.h>
#include <PngTranslator.h>
#include <QtTranslator.h>

#include <GifTranslator.h>
#include <MagickTranslator.h>

namespace BPrivate {

const std::vector<const ImageTranslator*>& image_translators()
{
    static const std::vector<const ImageTranslator*> all = {
        png_translator(),
        gif_translator(),
        magick_translator(),
        qt_translator(), // last: it takes what none of ours does
    };
    return all;
}

} // namespace BPrivate
