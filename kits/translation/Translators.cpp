// The roster of translators, in the order they are asked.
#include <ExrTranslator.h>
#include <HeifTranslator.h>
#include <ImageTranslator.h>
#include <Jpeg2000Translator.h>
#include <JpegTranslator.h>
#include <JxlTranslator.h>
#include <PfmTranslator.h>
#include <PngTranslator.h>
#include <QtTranslator.h>
#include <TiffTranslator.h>
#include <WebpTranslator.h>

#include <GifTranslator.h>
#include <MagickTranslator.h>

namespace BPrivate {

const std::vector<const ImageTranslator*>& image_translators()
{
    static const std::vector<const ImageTranslator*> all = {
        png_translator(),
        jpeg_translator(),
        tiff_translator(),
        webp_translator(),
        heif_translator(),
        jxl_translator(),
        jpeg2000_translator(),
        exr_translator(),
        pfm_translator(),
        gif_translator(),
        magick_translator(),
        qt_translator(), // last: it takes what none of ours does
    };
    return all;
}

} // namespace BPrivate
