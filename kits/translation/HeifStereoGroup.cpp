// The 'ster' entity group of a HEIF file, read without libheif: the fuzz
// target of the group reader links nothing else.
#include <StereoViews.h>

#include <IsoBoxes.h>

#include <string_view>

namespace BPrivate {

namespace {

status_t refuse(const char** why, const char* what)
{
    if (why != nullptr)
        *why = what;
    return B_ILLEGAL_DATA;
}

} // namespace

status_t heif_stereo_items(const uint8* data, size_t size, uint32 items[2], const char** why)
{
    Span meta;
    for_each_box(Span{data, size}, [&](std::string_view type, Span body) {
        if (type == "meta" && meta.data == nullptr)
            meta = body;
    });
    if (!meta.Has(0, 4))
        return B_NAME_NOT_FOUND;
    Span group;
    for_each_box(Span{meta.data + 4, meta.size - 4}, [&](std::string_view type, Span body) {
        if (type == "grpl" && group.data == nullptr)
            group = body;
    });
    status_t status = B_NAME_NOT_FOUND;
    for_each_box(group, [&](std::string_view type, Span body) {
        if (type != "ster" || status != B_NAME_NOT_FOUND)
            return;
        // Version and flags, the group's id, the count, then the entities.
        if (!body.Has(0, 12)) {
            status = refuse(why, "its stereo pair group is damaged");
            return;
        }
        const uint64 count = body.Read(8, 4);
        if (count < 2) {
            status = refuse(why, "its stereo pair group names fewer than two views");
            return;
        }
        if (!body.Has(12, size_t(count) * 4)) {
            status = refuse(why, "its stereo pair group runs past its box");
            return;
        }
        items[0] = uint32(body.Read(12, 4));
        items[1] = uint32(body.Read(16, 4));
        status = items[0] == items[1] ? refuse(why, "its stereo pair group names one view twice")
                                      : B_OK;
    });
    return status;
}

} // namespace BPrivate
