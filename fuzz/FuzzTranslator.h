// One libFuzzer entry point per translator of ours: the input is read as a
// whole file; a picture it gives must be whole (every pixel readable, the
// size within the budget) and, when the translator writes, written again.
#ifndef FUZZ_TRANSLATOR_H
#define FUZZ_TRANSLATOR_H

#include <Bitmap.h>
#include <DataIO.h>
#include <ImageTranslator.h>

#include <cstdlib>

namespace fuzzing {

// Small enough that a run stays quick; the same checks apply at any size.
inline BPrivate::ReadBudget fuzz_budget()
{
    BPrivate::ReadBudget budget;
    budget.maxPixels = 1u << 18;
    budget.maxAncillaryBytes = 1u << 20;
    budget.maxScans = 64;
    return budget;
}

inline int fuzz_one(const BPrivate::ImageTranslator* translator, const uint8_t* data, size_t size)
{
    BPrivate::ImageSource source;
    source.data = data;
    source.size = size;
    const BPrivate::ReadBudget budget = fuzz_budget();
    BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
    status_t status = translator->Read(source, budget, &bitmap);
    if (status != B_OK) {
        if (bitmap != nullptr)
            std::abort(); // a refusal hands back nothing
        return 0;
    }
    if (bitmap == nullptr || !budget.Admits(uint64(bitmap->PixelWidth()), uint64(bitmap->PixelHeight())))
        std::abort();
    // Reading every word lets the sanitizers see uninitialised or freed pixels.
    const uint8* bits = static_cast<const uint8*>(bitmap->Bits());
    uint32 sum = 0;
    for (int32 y = 0; y < bitmap->PixelHeight(); y++) {
        const uint32* row = reinterpret_cast<const uint32*>(bits + size_t(y) * size_t(bitmap->BytesPerRow()));
        for (int32 x = 0; x < bitmap->PixelWidth(); x++)
            sum += row[x];
    }
    volatile uint32 keep = sum;
    (void)keep;
    // Writing back is checked on small pictures only, to keep runs quick.
    const bool small = uint64(bitmap->PixelWidth()) * uint64(bitmap->PixelHeight()) <= 65536;
    for (const BPrivate::WriteFormat& format : translator->OutputFormats()) {
        if (!small)
            break;
        BMallocIO out;
        // A picture we read, we can write, unless the format cannot hold
        // its size (WebP's 16383 pixels a side).
        status = translator->Write(*bitmap, format.type, &out);
        if (status != B_OK && status != B_NO_TRANSLATOR)
            std::abort();
    }
    delete bitmap;
    return 0;
}

} // namespace fuzzing

// Defines the fuzz target for a translator's factory.
#define PELLARA_FUZZ_TRANSLATOR(factory)                                                        \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)                       \
    {                                                                                             \
        return fuzzing::fuzz_one(BPrivate::factory(), data, size);                                \
    }

#endif // FUZZ_TRANSLATOR_H
