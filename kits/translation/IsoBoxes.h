// The boxes of an ISO base media file (HEIF, AVIF), walked without libheif:
// for the checks made before libheif allocates anything, and for what its
// API does not tell. Private to the translation kit.
#ifndef _ISO_BOXES_H
#define _ISO_BOXES_H

#include <SupportDefs.h>

#include <cstddef>
#include <string_view>
#include <vector>

namespace BPrivate {

struct Span
{
    const uint8* data = nullptr;
    size_t size = 0;

    bool Has(size_t at, size_t bytes) const { return at <= size && bytes <= size - at; }
    uint64 Read(size_t at, size_t bytes) const
    {
        uint64 value = 0;
        for (size_t i = 0; i < bytes; i++)
            value = value << 8 | data[at + i];
        return value;
    }
};

// Calls visit(type, body) for each box in the span, up to one that runs
// past it.
template <typename Visit>
void for_each_box(Span span, Visit visit)
{
    for (size_t at = 0; span.Has(at, 8);) {
        uint64 size = span.Read(at, 4);
        size_t header = 8;
        if (size == 1) {
            if (!span.Has(at, 16))
                return;
            size = span.Read(at + 8, 8);
            header = 16;
        } else if (size == 0) {
            size = span.size - at;
        }
        if (size < header || size > span.size - at)
            return;
        visit(std::string_view(reinterpret_cast<const char*>(span.data + at + 4), 4),
              Span{span.data + at + header, size_t(size - header)});
        at += size_t(size);
    }
}

// The boxes within each of a file's 'meta' boxes, after its version and
// flags. A file may hold several (a forged one, mostly), and libheif reads
// the last it can parse whole, which a check cannot tell for sure: what is
// checked holds for every one, and what is read is read from the last.
inline std::vector<Span> meta_contents(Span file)
{
    std::vector<Span> contents;
    for_each_box(file, [&](std::string_view type, Span body) {
        if (type == "meta" && body.Has(0, 4))
            contents.push_back(Span{body.data + 4, body.size - 4});
    });
    return contents;
}

} // namespace BPrivate

#endif // _ISO_BOXES_H
