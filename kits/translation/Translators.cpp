// The roster of translators, in the order they are asked: built from the
// table of formats, so that no list of its own can drift from it.
#include <ImageTranslator.h>
#include <PictureFormats.h>
#include <QtTranslator.h>

#include <algorithm>

namespace BPrivate {

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
