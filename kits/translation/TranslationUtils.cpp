#include <Bitmap.h>
#include <TranslationUtils.h>

#include <QImage>
#include <QImageReader>

#include <cstring>

BBitmap* BTranslationUtils::GetBitmapFile(const char* name, BTranslatorRoster*)
{
    if (name == nullptr)
        return nullptr;
    QImageReader reader(QString::fromUtf8(name));
    reader.setAutoTransform(true);
    QImage image = reader.read();
    if (image.isNull())
        return nullptr;
    bool alpha = image.hasAlphaChannel();
    image = image.convertToFormat(QImage::Format_ARGB32);
    auto* bitmap =
        new BBitmap(BRect(0, 0, image.width() - 1, image.height() - 1), alpha ? B_RGBA32 : B_RGB32);
    if (bitmap->InitCheck() != B_OK) {
        delete bitmap;
        return nullptr;
    }
    for (int y = 0; y < image.height(); y++)
        std::memcpy(static_cast<uint8*>(bitmap->Bits()) + size_t(y) * bitmap->BytesPerRow(),
                    image.constScanLine(y), size_t(image.width()) * 4);
    return bitmap;
}
