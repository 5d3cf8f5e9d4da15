#include <Bitmap.h>
#include <Menu.h>
#include <MenuItem.h>
#include <Message.h>
#include <PictureMemory.h>
#include <RegularFile.h>
#include <StoragePrivate.h>
#include <BitmapReading.h>
#include <ImageTranslator.h>
#include <TranslationUtils.h>
#include <TranslatorRoster.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using BPrivate::ImageSource;
using BPrivate::ImageTranslator;

// The file name's extension, lower case, without the dot.
std::string extension_of(const char* name)
{
    if (name == nullptr)
        return {};
    const char* base = std::strrchr(name, '/');
    base = base != nullptr ? base + 1 : name;
    const char* dot = std::strrchr(base, '.');
    if (dot == nullptr || dot == base)
        return {};
    std::string extension(dot + 1);
    for (char& c : extension)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

status_t read_with(const ImageTranslator* translator, const ImageSource& source,
                   BBitmap** outBitmap)
{
    BBitmap* bitmap = nullptr;
    status_t status = translator->Read(source, BPrivate::default_read_budget(), &bitmap);
    if (status == B_OK && bitmap != nullptr) {
        *outBitmap = bitmap;
        return B_OK;
    }
    delete bitmap;
    if (status == B_NO_TRANSLATOR || status == B_NO_MEMORY || status == B_ILLEGAL_DATA)
        return status;
    return B_ILLEGAL_DATA;
}

// The translator most sure of the content reads it, the first listed on a
// tie: one that finds its magic number reads at once, without asking those
// after it (Qt's plugins are slow to ask). One that finds out it is not its
// format after all hands it on.
status_t read_source(const ImageSource& source, BBitmap** outBitmap)
{
    std::vector<const ImageTranslator*> plausible;
    for (const ImageTranslator* translator : BPrivate::image_translators()) {
        BPrivate::identify_result score = translator->Identify(source);
        if (score == BPrivate::kMine) {
            status_t status = read_with(translator, source, outBitmap);
            if (status != B_NO_TRANSLATOR)
                return status;
        } else if (score != BPrivate::kNotMine) {
            plausible.push_back(translator);
        }
    }
    for (const ImageTranslator* translator : plausible) {
        status_t status = read_with(translator, source, outBitmap);
        if (status != B_NO_TRANSLATOR)
            return status;
    }
    return B_NO_TRANSLATOR;
}

} // namespace

status_t read_bitmap_data(const void* data, size_t size, const char* nameHint,
                          BBitmap** outBitmap)
{
    if (outBitmap == nullptr)
        return B_BAD_VALUE;
    *outBitmap = nullptr;
    if (data == nullptr && size > 0)
        return B_BAD_VALUE;
    if (size == 0)
        return B_NO_TRANSLATOR;
    ImageSource source;
    source.data = static_cast<const uint8*>(data);
    source.size = size;
    source.extension = extension_of(nameHint);
    return read_source(source, outBitmap);
}

BBitmap* BTranslationUtils::GetBitmapFile(const char* path, BTranslatorRoster*)
{
    BBitmap* bitmap = nullptr;
    return ReadBitmapFile(path, &bitmap) == B_OK ? bitmap : nullptr;
}

BBitmap* BTranslationUtils::GetBitmap(const char* path, BTranslatorRoster* roster)
{
    return GetBitmapFile(path, roster);
}

status_t BTranslationUtils::ReadBitmapFile(const char* path, BBitmap** outBitmap)
{
    if (outBitmap == nullptr)
        return B_BAD_VALUE;
    *outBitmap = nullptr;
    if (path == nullptr || path[0] == '\0')
        return B_BAD_VALUE;

    // Opened without blocking and checked before any codec sees it: a pipe
    // or a device would never end, a folder has no content to read.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return BPrivate::status_for_errno(errno);
    off_t fileSize = 0;
    if (status_t status = check_regular_file(fd, &fileSize); status != B_OK) {
        close(fd);
        return status;
    }
    if (fileSize == 0) {
        close(fd);
        return B_NO_TRANSLATOR;
    }

    // Read rather than mapped: a file cut short by another program while it
    // is being decoded would end the process with SIGBUS.
    const size_t size = size_t(fileSize);
    std::unique_ptr<uint8, decltype(&picture_free)> bytes(
        static_cast<uint8*>(picture_alloc(size)), &picture_free);
    if (bytes == nullptr) {
        close(fd);
        return B_NO_MEMORY;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, bytes.get() + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int error = errno;
            close(fd);
            return BPrivate::status_for_errno(error);
        }
        if (n == 0)
            break; // shortened meanwhile: the readers see a truncated file
        got += size_t(n);
    }
    close(fd);
    return read_bitmap_data(bytes.get(), got, path, outBitmap);
}

status_t BTranslationUtils::AddTranslationItems(BMenu* intoMenu, uint32 fromType,
                                                const BMessage* model, const char* translatorIdName,
                                                const char* translatorTypeName,
                                                BTranslatorRoster* roster)
{
    if (intoMenu == nullptr)
        return B_BAD_VALUE;
    if (roster == nullptr)
        roster = BTranslatorRoster::Default();
    if (translatorIdName == nullptr)
        translatorIdName = "be:translator";
    if (translatorTypeName == nullptr)
        translatorTypeName = "be:type";

    translator_id* ids = nullptr;
    int32 count = 0;
    status_t status = roster->GetAllTranslators(&ids, &count);
    if (status != B_OK)
        return status;
    for (int32 i = 0; i < count; i++) {
        const translation_format* inputs = nullptr;
        const translation_format* outputs = nullptr;
        int32 inputCount = 0, outputCount = 0;
        if (roster->GetInputFormats(ids[i], &inputs, &inputCount) != B_OK ||
            roster->GetOutputFormats(ids[i], &outputs, &outputCount) != B_OK)
            continue;
        bool reads = false;
        for (int32 j = 0; j < inputCount; j++)
            reads = reads || inputs[j].type == fromType;
        if (!reads)
            continue;
        for (int32 j = 0; j < outputCount; j++) {
            if (outputs[j].type == fromType)
                continue;
            auto* message =
                model != nullptr ? new BMessage(*model) : new BMessage(B_TRANSLATION_MENU);
            message->AddInt32(translatorIdName, ids[i]);
            message->AddInt32(translatorTypeName, int32(outputs[j].type));
            intoMenu->AddItem(new BMenuItem(outputs[j].name, message));
        }
    }
    delete[] ids;
    return B_OK;
}
