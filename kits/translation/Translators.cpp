// The roster of translators, in the order they are asked.
#include <ExrTranslator.h>
#include <HeifTranslator.h>
#include <ImageTranslator.h>
#include <Jpeg2000Translator.h>
#include <JpegTranslator.h>
#include <JxlTranslator.h>
#include <PfmTranslator.h>
#include <TiffTranslator.h>
#include <WebpTranslator.h>

namespace BPrivate {

const std::vector<const ImageTranslator*>& image_translators()
{
    static const std::vector<const ImageTranslator*> all = {
        jpeg_translator(),
        tiff_translator(),
        webp_translator(),
        heif_translator(),
        jxl_translator(),
        jpeg2000_translator(),
        exr_translator(),
        pfm_translator(),
    };
    return all;
}

} // namespace BPrivate
