#include <Bitmap.h>
#include <LayerFormats.h>
#include <BitmapStream.h>
#include <ImageTranslator.h>
#include <Message.h>
#include <PictureFormats.h>
#include <TranslatorRoster.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

namespace {

using BPrivate::ImageTranslator;
using BPrivate::WriteFormat;

struct Translator
{
    translator_id id;
    const ImageTranslator* translator;
    WriteFormat format;
    std::string name;
    std::string info;
    std::vector<std::string> extensions;
    translation_format input;
    translation_format output;
};

void copy_text(char* to, const std::string& from)
{
    std::strncpy(to, from.c_str(), B_MIME_STRING_LENGTH - 1);
    to[B_MIME_STRING_LENGTH - 1] = '\0';
}

} // namespace

struct BTranslatorRoster::Private
{
    std::vector<Translator> translators;

    const Translator* Find(translator_id id) const
    {
        if (id < 1 || size_t(id) > translators.size())
            return nullptr;
        return &translators[size_t(id - 1)];
    }

    status_t Formats(translator_id id, bool output, const translation_format** formats,
                     int32* count) const
    {
        if (formats == nullptr || count == nullptr)
            return B_BAD_VALUE;
        const Translator* t = Find(id);
        if (t == nullptr)
            return B_NO_TRANSLATOR;
        *formats = output ? &t->output : &t->input;
        *count = 1;
        return B_OK;
    }
};

BTranslatorRoster::BTranslatorRoster() : fPrivate(std::make_unique<Private>())
{
    // The table's written formats in menu order, each offered when its
    // writer can write it here (Qt's plugins are tried once).
    std::vector<std::pair<const ImageTranslator*, WriteFormat>> offered;
    for (const BPrivate::PictureFormat* format : BPrivate::written_formats()) {
        const ImageTranslator* writer = format->writer();
        for (const WriteFormat& written : writer->OutputFormats()) {
            if (written.type == format->type) {
                offered.emplace_back(writer, written);
                break;
            }
        }
    }

    for (const auto& [translator, format] : offered) {
        Translator t;
        t.id = translator_id(fPrivate->translators.size() + 1);
        t.translator = translator;
        t.format = format;
        t.name = format.name;
        t.info = std::string("Writes ") + t.name + " files (" + format.mime + ")" +
                 (format.lossless ? "" : ", not pixel-exact");
        std::string list = format.extensions;
        for (size_t start = 0; start < list.size();) {
            size_t end = list.find(' ', start);
            if (end == std::string::npos)
                end = list.size();
            t.extensions.push_back(list.substr(start, end - start));
            start = end + 1;
        }
        t.input = translation_format{B_TRANSLATOR_BITMAP, B_TRANSLATOR_BITMAP, 0.4f, 0.6f, {}, {}};
        copy_text(t.input.MIME, "image/x-be-bitmap");
        copy_text(t.input.name, "Be Bitmap Format");
        t.output = translation_format{
            format.type, B_TRANSLATOR_BITMAP, format.quality, format.capability, {}, {}};
        copy_text(t.output.MIME, format.mime);
        copy_text(t.output.name, t.name);
        fPrivate->translators.push_back(std::move(t));
    }
}

BTranslatorRoster::~BTranslatorRoster() = default;

BTranslatorRoster* BTranslatorRoster::Default()
{
    static BTranslatorRoster roster;
    return &roster;
}

status_t BTranslatorRoster::GetAllTranslators(translator_id** list, int32* count) const
{
    if (list == nullptr || count == nullptr)
        return B_BAD_VALUE;
    const std::vector<Translator>& all = fPrivate->translators;
    *list = new translator_id[all.size() > 0 ? all.size() : 1];
    for (size_t i = 0; i < all.size(); i++)
        (*list)[i] = all[i].id;
    *count = int32(all.size());
    return B_OK;
}

status_t BTranslatorRoster::GetTranslatorInfo(translator_id id, const char** name,
                                              const char** info, int32* version) const
{
    const Translator* t = fPrivate->Find(id);
    if (t == nullptr)
        return B_NO_TRANSLATOR;
    if (name != nullptr)
        *name = t->name.c_str();
    if (info != nullptr)
        *info = t->info.c_str();
    if (version != nullptr)
        *version = B_TRANSLATION_MAKE_VERSION(1, 0, 0);
    return B_OK;
}

// Each translator reads one format and writes one.
status_t BTranslatorRoster::GetInputFormats(translator_id id, const translation_format** formats,
                                            int32* count) const
{
    return fPrivate->Formats(id, false, formats, count);
}

status_t BTranslatorRoster::GetOutputFormats(translator_id id, const translation_format** formats,
                                             int32* count) const
{
    return fPrivate->Formats(id, true, formats, count);
}

status_t BTranslatorRoster::Translate(translator_id id, BPositionIO* source, BMessage* ioExtension,
                                      BPositionIO* destination, uint32 wantedType)
{
    const Translator* t = fPrivate->Find(id);
    if (t == nullptr)
        return B_NO_TRANSLATOR;
    if (wantedType != 0 && wantedType != t->output.type)
        return B_NO_TRANSLATOR;
    if (source == nullptr || destination == nullptr)
        return B_BAD_VALUE;
    BBitmapStream* stream = dynamic_cast<BBitmapStream*>(source);
    if (stream == nullptr)
        return B_NO_TRANSLATOR;
    const BBitmap* bitmap = stream->fBitmap;
    if (bitmap == nullptr || !bitmap->IsValid() || bitmap->Bits() == nullptr)
        return B_BAD_VALUE;

    BPrivate::WriteSettings settings;
    int32 dpi = 0;
    if (ioExtension != nullptr && ioExtension->FindInt32(kResolutionField, &dpi) == B_OK) {
        if (dpi < 1 || dpi > kMostResolution)
            return B_BAD_VALUE;
        settings.dotsPerInch = uint32(dpi);
    }
    return t->translator->WriteWith(*bitmap, t->output.type, destination, settings);
}

status_t BTranslatorRoster::FindTranslator(uint32 type, translator_id* id) const
{
    if (id == nullptr)
        return B_BAD_VALUE;
    for (const Translator& t : fPrivate->translators) {
        if (t.output.type == type) {
            *id = t.id;
            return B_OK;
        }
    }
    return B_NO_TRANSLATOR;
}

status_t BTranslatorRoster::FindTranslator(const char* name, translator_id* id) const
{
    if (id == nullptr || name == nullptr)
        return B_BAD_VALUE;
    for (const Translator& t : fPrivate->translators) {
        for (const std::string& extension : t.extensions) {
            if (strcasecmp(extension.c_str(), name) == 0) {
                *id = t.id;
                return B_OK;
            }
        }
    }
    return B_NO_TRANSLATOR;
}

const char* BTranslatorRoster::ShortName(translator_id id) const
{
    const Translator* t = fPrivate->Find(id);
    return t != nullptr ? t->format.shortName : nullptr;
}

uint32 BTranslatorRoster::LargestSide(translator_id id) const
{
    const Translator* t = fPrivate->Find(id);
    return t != nullptr && t->translator != nullptr ? t->translator->LargestSide(t->format.type)
                                                    : 0;
}

bool BTranslatorRoster::IsLossless(translator_id id) const
{
    const Translator* t = fPrivate->Find(id);
    return t != nullptr && t->format.lossless;
}
