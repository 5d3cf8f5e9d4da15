#include <HeifTranslator.h>

#include <CodecSupport.h>
#include <IsoBoxes.h>
#include <LibheifHandles.h>
#include <PictureHeaders.h>

#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <libheif/heif.h>

namespace BPrivate {

namespace {

// The identifier and type of every item an 'iinf' box lists, in its order
// (a forged file may list one identifier twice).
std::vector<std::pair<uint32, std::string>> item_types(Span iinf)
{
    std::vector<std::pair<uint32, std::string>> types;
    // After version and flags, an entry count of 16 bits (version 0) or 32.
    const size_t first = iinf.Has(0, 1) && iinf.data[0] == 0 ? 6 : 8;
    if (!iinf.Has(0, first))
        return types;
    for_each_box(Span{iinf.data + first, iinf.size - first}, [&](std::string_view type, Span infe) {
        const uint8 version = infe.Has(0, 1) ? infe.data[0] : 0;
        if (type != "infe" || version < 2)
            return;
        const size_t idBytes = version == 2 ? 2 : 4;
        if (!infe.Has(4, idBytes + 6))
            return;
        types.emplace_back(uint32(infe.Read(4, idBytes)),
                           std::string(reinterpret_cast<const char*>(infe.data + 4 + idBytes + 2),
                                       4));
    });
    return types;
}

// Item identifiers of the grids (false) and overlays (true) an 'iinf' box
// lists.
std::vector<std::pair<uint32, bool>> derived_items(Span iinf)
{
    std::vector<std::pair<uint32, bool>> derived;
    for (const auto& [id, type] : item_types(iinf)) {
        if (type == "grid" || type == "iovl")
            derived.emplace_back(id, type == "iovl");
    }
    return derived;
}

// The item types libheif 1.15 decodes as pictures.
bool is_picture_type(const std::string& type)
{
    return type == "hvc1" || type == "av01" || type == "vvc1" || type == "grid" ||
           type == "iden" || type == "iovl";
}

bool derivations_sound_in(Span children)
{
    Span iinf, iref;
    for_each_box(children, [&](std::string_view type, Span body) {
        if (type == "iinf")
            iinf = body;
        else if (type == "iref")
            iref = body;
    });
    if (!iref.Has(0, 4))
        return true;
    // What each identifier's entries say (a forged file may list one
    // twice): derived if any entry is, a picture only if every entry is.
    struct Kind
    {
        bool derived = false;
        bool picture = true;
    };
    std::map<uint32, Kind> kinds;
    for (const auto& [id, type] : item_types(iinf)) {
        Kind& kind = kinds[id];
        kind.derived = kind.derived || type == "grid" || type == "iovl" || type == "iden";
        kind.picture = kind.picture && is_picture_type(type);
    }
    auto derived = [&](uint32 id) {
        const auto kind = kinds.find(id);
        return kind != kinds.end() && kind->second.derived;
    };
    auto picture = [&](uint32 id) {
        const auto kind = kinds.find(id);
        return kind != kinds.end() && kind->second.picture;
    };
    const size_t idBytes = iref.data[0] == 0 ? 2 : 4;
    bool sound = true;
    for_each_box(Span{iref.data + 4, iref.size - 4}, [&](std::string_view type, Span refs) {
        if (type != "dimg" || !refs.Has(0, idBytes + 2) || !derived(uint32(refs.Read(0, idBytes))))
            return;
        const uint64 count = refs.Read(idBytes, 2);
        for (uint64 i = 0; i < count && refs.Has(idBytes + 2 + i * idBytes, idBytes); i++) {
            if (!picture(uint32(refs.Read(idBytes + 2 + i * idBytes, idBytes))))
                sound = false;
        }
    });
    return sound;
}

} // namespace

void initialise_libheif()
{
    // Registers the decoders built into the library, once for the process.
    static const bool done = [] {
        heif_init(nullptr);
        return true;
    }();
    (void)done;
}

status_t open_heif(const uint8* data, size_t size,
                   std::unique_ptr<heif_context, HeifContextDeleter>* context,
                   std::unique_ptr<heif_image_handle, HeifHandleDeleter>* primary)
{
    initialise_libheif();
    if (size > size_t(INT_MAX))
        return B_NO_MEMORY;
    context->reset(heif_context_alloc());
    if (!*context)
        return B_NO_MEMORY;
    heif_context_set_maximum_image_size_limit(context->get(), kMaxHeifSide);
    status_t status = libheif_status(
        heif_context_read_from_memory_without_copy(context->get(), data, size, nullptr));
    if (status != B_OK)
        return status;
    heif_image_handle* raw = nullptr;
    status = libheif_status(heif_context_get_primary_image_handle(context->get(), &raw));
    primary->reset(raw);
    return status;
}

status_t libheif_status(const heif_error& error)
{
    if (error.code == heif_error_Ok)
        return B_OK;
    if (error.code == heif_error_Memory_allocation_error ||
        error.subcode == heif_suberror_Security_limit_exceeded)
        return B_NO_MEMORY;
    if (error.code == heif_error_Unsupported_feature ||
        error.code == heif_error_Unsupported_filetype || error.code == heif_error_Plugin_loading_error)
        return B_NO_TRANSLATOR;
    return B_ILLEGAL_DATA;
}

namespace {

bool canvases_admitted_in(Span children, Span file, const ReadBudget& budget)
{
    const size_t size = file.size;
    Span iinf, iloc, idat;
    for_each_box(children, [&](std::string_view type, Span body) {
        if (type == "iinf")
            iinf = body;
        else if (type == "iloc")
            iloc = body;
        else if (type == "idat")
            idat = body;
    });
    const std::vector<std::pair<uint32, bool>> derived = derived_items(iinf);
    if (derived.empty() || !iloc.Has(0, 6))
        return true;

    // Read as libheif 1.15 reads it, since its reading decides what it
    // allocates: an extent's index only from version 2 on, and a field of
    // a size other than 4 or 8 bytes taken as absent.
    const uint8 version = iloc.data[0];
    auto field = [](size_t bytes) -> size_t { return bytes == 4 || bytes == 8 ? bytes : 0; };
    const size_t offsetBytes = field(iloc.data[4] >> 4), lengthBytes = field(iloc.data[4] & 15);
    const size_t baseBytes = field(iloc.data[5] >> 4);
    const size_t indexBytes = version > 1 ? field(iloc.data[5] & 15) : 0;
    const size_t idBytes = version < 2 ? 2 : 4;
    size_t at = 6;
    if (!iloc.Has(at, idBytes))
        return true;
    const uint64 count = iloc.Read(at, idBytes);
    at += idBytes;
    for (uint64 item = 0; item < count; item++) {
        if (!iloc.Has(at, idBytes))
            return true;
        const uint32 id = uint32(iloc.Read(at, idBytes));
        at += idBytes;
        uint32 method = 0;
        if (version >= 1) {
            if (!iloc.Has(at, 2))
                return true;
            method = uint32(iloc.Read(at, 2) & 15);
            at += 2;
        }
        if (!iloc.Has(at, 2 + baseBytes + 2))
            return true;
        const uint64 base = iloc.Read(at + 2, baseBytes);
        at += 2 + baseBytes;
        const uint64 extents = iloc.Read(at, 2);
        at += 2;
        const size_t extentBytes = indexBytes + offsetBytes + lengthBytes;
        if (!iloc.Has(at, size_t(extents) * extentBytes))
            return true;
        const uint64 offset = extents > 0 ? base + iloc.Read(at + indexBytes, offsetBytes) : 0;
        at += size_t(extents) * extentBytes;
        if (extents == 0)
            continue;

        auto found = std::find_if(derived.begin(), derived.end(),
                                  [id](const auto& entry) { return entry.first == id; });
        // Stored in the file (0) or in the 'idat' box (1).
        if (found == derived.end() || (method != 0 && method != 1))
            continue;
        const Span where = method == 0 ? file : idat;
        if (offset > where.size)
            continue;
        const Span data{where.data + offset, where.size - size_t(offset)};
        // Version, flags (bit 0: 32-bit sizes), then a grid's rows and
        // columns or an overlay's four fill values, then the canvas.
        if (!data.Has(0, 2))
            continue;
        const size_t sizeBytes = (data.data[1] & 1) != 0 ? 4 : 2;
        const size_t canvas = found->second ? 10 : 4;
        if (!data.Has(canvas, 2 * sizeBytes))
            continue;
        const uint64 width = data.Read(canvas, sizeBytes);
        const uint64 height = data.Read(canvas + sizeBytes, sizeBytes);
        if (!budget.Admits(width, height))
            return false;
        // An overlay's canvas is filled whatever its layers cover, so a few
        // bytes could ask for a huge blank one: canvases are held to
        // deflate's ratio to the file, as other formats' blank frames are.
        if (width * height > uint64(size) * kMaxInflation)
            return false;
    }
    return true;
}

} // namespace

bool heif_derivations_sound(const uint8* data, size_t size)
{
    for (Span children : meta_contents(Span{data, size}))
        if (!derivations_sound_in(children))
            return false;
    return true;
}

bool heif_canvases_admitted(const uint8* data, size_t size, const ReadBudget& budget)
{
    for (Span children : meta_contents(Span{data, size}))
        if (!canvases_admitted_in(children, Span{data, size}, budget))
            return false;
    return true;
}

namespace {

// Whether the item properties of any of the file's 'meta' boxes describe a
// layered AV1 picture (an operating point, a layer selector or layer
// sizes). libheif 1.15 decodes every layer of such a picture and gives the
// largest, whatever size its 'ispe' box declares for the layer the file
// selects.
bool layered(Span file)
{
    bool found = false;
    for (Span contents : meta_contents(file)) {
        Span iprp, ipco;
        for_each_box(contents, [&](std::string_view type, Span body) {
            if (type == "iprp")
                iprp = body;
        });
        for_each_box(iprp, [&](std::string_view type, Span body) {
            if (type == "ipco")
                ipco = body;
        });
        for_each_box(ipco, [&](std::string_view type, Span) {
            found = found || type == "a1op" || type == "lsel" || type == "a1lx";
        });
    }
    return found;
}


// The header stage when bitmap is null; otherwise the decode into bitmap,
// whose size the header stage gave.
status_t decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                BBitmap* bitmap)
{
    std::unique_ptr<heif_context, HeifContextDeleter> context;
    std::unique_ptr<heif_image_handle, HeifHandleDeleter> handle;
    status_t status = open_heif(source.data, source.size, &context, &handle);
    if (status != B_OK)
        return status;
    // The size once rotated, mirrored and cropped, as decoded.
    const int shownWidth = heif_image_handle_get_width(handle.get());
    const int shownHeight = heif_image_handle_get_height(handle.get());
    if (shownWidth <= 0 || shownHeight <= 0)
        return B_ILLEGAL_DATA;
    if (!budget.Admits(uint64(shownWidth), uint64(shownHeight)) ||
        !heif_canvases_admitted(source.data, source.size, budget))
        return B_NO_MEMORY;
    if (!heif_derivations_sound(source.data, source.size))
        return B_ILLEGAL_DATA;
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    std::unique_ptr<heif_image, HeifImageDeleter> image;
    if (bitmap == nullptr) {
        header->width = uint64(shownWidth);
        header->height = uint64(shownHeight);
        header->alpha = alpha;
        if (!layered(Span{source.data, source.size}))
            return B_OK;
        // A layered picture's size is known once decoded (as other
        // decoders built on libheif show it): it is decoded twice, here
        // and into the bitmap; such files are rare.
        status = decode_heif_image(handle.get(), alpha, &image);
        if (status != B_OK)
            return status;
        const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
        const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
        if (width <= 0 || height <= 0)
            return B_ILLEGAL_DATA;
        header->width = uint64(width);
        header->height = uint64(height);
        return budget.Admits(header->width, header->height) ? B_OK : B_NO_MEMORY;
    }

    status = decode_heif_image(handle.get(), alpha, &image);
    if (status != B_OK)
        return status;
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (uint64(width) != header->width || uint64(height) != header->height ||
        !heif_image_words(image.get(), alpha, [bitmap](int y) { return bitmap_row(bitmap, y); }))
        return B_ILLEGAL_DATA;
    return B_OK;
}

class HeifTranslator : public SingleRoutineTranslator<decode>
{
public:
    const char* Name() const override { return "heif"; }

    identify_result Identify(const ImageSource& source) const override
    {
        if (source.size < 12)
            return kNotMine;
        switch (heif_check_filetype(source.data, int(std::min<size_t>(source.size, INT_MAX)))) {
        case heif_filetype_yes_supported:
        case heif_filetype_yes_unsupported: return kMine;
        default: return kNotMine;
        }
    }
};

} // namespace

// A picture as libheif decodes it: rotation, mirroring and crop
// applied, as viewers do. Deep colour comes at its own depth: libheif's own
// reduction to 8 bits cuts (v >> 4 for 12 bits), half a level darker on
// average than avifdec and FFmpeg, which round.
status_t decode_heif_image(heif_image_handle* handle, bool alpha,
                           std::unique_ptr<heif_image, HeifImageDeleter>* image)
{
    std::unique_ptr<heif_decoding_options, HeifOptionsDeleter> options(heif_decoding_options_alloc());
    if (!options)
        return B_NO_MEMORY;
    options->ignore_transformations = 0;
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle) > 8 ||
                      heif_image_handle_get_chroma_bits_per_pixel(handle) > 8;
    options->convert_hdr_to_8bit = deep ? 0 : 1;
    const heif_chroma chroma =
        deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
             : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* rawImage = nullptr;
    status_t status;
    {
        // dav1d, libheif's AV1 decoder, tells a damaged stream's faults on
        // standard error ("Unknown OBU type ..."), and libheif offers no
        // way to quieten it.
        QuietStderr quiet;
        status = libheif_status(
            heif_decode_image(handle, &rawImage, heif_colorspace_RGB, chroma, options.get()));
    }
    image->reset(rawImage);
    return status;
}

bool heif_image_words(const heif_image* image, bool alpha, const std::function<uint32*(int)>& row)
{
    const int width = heif_image_get_width(image, heif_channel_interleaved);
    const int height = heif_image_get_height(image, heif_channel_interleaved);
    const int bits = heif_image_get_bits_per_pixel_range(image, heif_channel_interleaved);
    const int channels = alpha ? 4 : 3;
    const int sampleBytes = bits > 8 ? 2 : 1;
    int stride = 0;
    const uint8* pixels = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    if (pixels == nullptr || width <= 0 || height <= 0 || bits < 8 || bits > 16 ||
        int64(stride) < int64(width) * channels * sampleBytes)
        return false;
    // Each level of `bits` to its nearest 8-bit one; a word past the range
    // (a decoder's overshoot) counts as the top.
    const uint32 top = (1u << bits) - 1;
    std::vector<uint8> levels;
    if (bits > 8) {
        levels.resize(size_t(top) + 1);
        for (uint32 v = 0; v <= top; v++)
            levels[v] = uint8((v * 255 + top / 2) / top);
    }
    const auto sample = [&](const uint8* at) -> uint32 {
        if (bits == 8)
            return *at;
        return levels[std::min<uint32>(top, uint32(at[0]) | (uint32(at[1]) << 8))];
    };
    const int step = channels * sampleBytes;
    for (int y = 0; y < height; y++) {
        const uint8* in = pixels + int64(y) * stride;
        uint32* out = row(y);
        for (int x = 0; x < width; x++, in += step) {
            const uint32 a = alpha ? sample(in + 3 * sampleBytes) : 255;
            out[x] = (a << 24) | (sample(in) << 16) | (sample(in + sampleBytes) << 8) |
                     sample(in + 2 * sampleBytes);
        }
    }
    return true;
}

const ImageTranslator* heif_translator()
{
    static const HeifTranslator translator;
    return &translator;
}

} // namespace BPrivate
