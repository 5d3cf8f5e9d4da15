#include <Bitmap.h>
#include <Menu.h>
#include <MenuItem.h>
#include <Message.h>
#include <BitmapReading.h>
#include <ReadingPipeline.h>
#include <StoragePrivate.h>
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
    BPrivate::ImageSource source;
    source.data = static_cast<const uint8*>(data);
    source.size = size;
    source.extension = BPrivate::extension_of(nameHint);
    return BPrivate::read_picture(source, BPrivate::default_read_budget(), nullptr, outBitmap);
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
    // or a device would never end, a folder has no content to read. Read
    // rather than mapped: a file cut short by another program while it is
    // being decoded would end the process with SIGBUS.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return BPrivate::status_for_errno(errno);
    struct stat st;
    status_t status = B_OK;
    if (fstat(fd, &st) != 0)
        status = BPrivate::status_for_errno(errno);
    else if (S_ISDIR(st.st_mode))
        status = B_IS_A_DIRECTORY;
    else if (!S_ISREG(st.st_mode))
        status = B_BAD_TYPE;
    else
        status = BPrivate::read_picture_from(fd, int64(st.st_size), path, outBitmap);
    close(fd);
    return status;
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
