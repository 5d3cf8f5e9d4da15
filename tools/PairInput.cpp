#include "PairInput.h"

#include "ToolOutput.h"
#include "MpoFiles.h"
#include "StereoPairs.h"

#include <Bitmap.h>
#include <BitmapReading.h>
#include <StereoViews.h>

#include <memory>

namespace depth {

namespace {

// A picture of the input, or the reader's words for why not.
std::unique_ptr<BBitmap> read_view(const uint8* data, size_t size, const std::string& what,
                                   std::string* message)
{
    BBitmap* raw = nullptr;
    const status_t status = read_bitmap_data(data, size, nullptr, &raw);
    std::unique_ptr<BBitmap> view(raw);
    if (status == B_NO_TRANSLATOR)
        *message = "cannot read " + what + ": not a picture";
    else if (status != B_OK)
        *message = "cannot read " + what + ": " + fuse::ReadFailure(status);
    return status == B_OK ? std::move(view) : nullptr;
}

PairOutcome matched(status_t status, const pairs::PairReport& report, const std::string& why,
                    const std::string& name, bool rectify, std::string* message,
                    std::string* note)
{
    if (status == B_NO_MEMORY) {
        *message = "cannot match the views of " + name + ": " + fuse::ReadFailure(B_NO_MEMORY);
        return PairOutcome::kFailed;
    }
    if (status != B_OK) {
        *message = "cannot match the views of " + name + ": " + why;
        return PairOutcome::kFailed;
    }
    if (report.rowsDisagree && !rectify)
        *note = "the views' rows do not line up in " + name +
                "; try --rectify for hand-held shots";
    return PairOutcome::kRead;
}

// A spatial HEIF photo's two views, named by its stereo pair group.
PairOutcome heif_pair(const PairRequest& request, const pairs::PairOptions& options,
                      depth_map* map, std::string* message, std::string* note)
{
    BBitmap* rawLeft = nullptr;
    BBitmap* rawRight = nullptr;
    const char* lie = nullptr;
    const status_t found =
        read_heif_stereo_views(request.data, request.size, &rawLeft, &rawRight, &lie);
    std::unique_ptr<BBitmap> left(rawLeft), right(rawRight);
    if (found == B_NO_TRANSLATOR)
        return PairOutcome::kNotAPair;
    if (found == B_NAME_NOT_FOUND)
        return PairOutcome::kHeifWithoutPair;
    if (found != B_OK) {
        *message = "cannot read the stereo pair in " + request.name + ": " +
                   (found == B_NO_MEMORY ? fuse::ReadFailure(B_NO_MEMORY) : std::string(lie));
        return PairOutcome::kFailed;
    }
    pairs::PairReport report;
    std::string why;
    const status_t status = pairs::DepthFromViews(*left, *right, options, map, &report, &why);
    return matched(status, report, why, request.name, request.rectify, message, note);
}

} // namespace

PairOutcome ReadPair(const PairRequest& request, depth_map* map, std::string* message,
                     std::string* note)
{
    note->clear();
    pairs::PairOptions options;
    options.rectify = request.rectify;
    pairs::PairReport report;
    std::string why;

    if (request.second != nullptr) {
        std::unique_ptr<BBitmap> left =
            read_view(request.data, request.size, request.name, message);
        if (!left)
            return PairOutcome::kFailed;
        std::unique_ptr<BBitmap> right =
            read_view(request.second, request.secondSize, request.secondName, message);
        if (!right)
            return PairOutcome::kFailed;
        const status_t status = pairs::DepthFromViews(*left, *right, options, map, &report, &why);
        return matched(status, report, why, request.name + " and " + request.secondName,
                       request.rectify, message, note);
    }

    if (!request.layout.empty()) {
        pairs::Layout layout = pairs::Layout::kNone;
        pairs::ParseLayout(request.layout, &layout); // checked with the options
        std::unique_ptr<BBitmap> picture =
            read_view(request.data, request.size, request.name, message);
        if (!picture)
            return PairOutcome::kFailed;
        const status_t status =
            pairs::DepthFromLayout(*picture, layout, options, map, &report, &why);
        return matched(status, report, why, request.name, request.rectify, message, note);
    }

    pairs::JpegSpan views[2];
    const char* lie = nullptr;
    const status_t found = pairs::FindMpoViews(request.data, request.size, views, &lie);
    if (found == B_NAME_NOT_FOUND)
        return heif_pair(request, options, map, message, note);
    if (found != B_OK) {
        *message = "cannot read the stereo pair in " + request.name + ": " + lie;
        return PairOutcome::kFailed;
    }
    std::unique_ptr<BBitmap> left = read_view(request.data + views[0].offset, views[0].size,
                                              "the left view in " + request.name, message);
    if (!left)
        return PairOutcome::kFailed;
    std::unique_ptr<BBitmap> right = read_view(request.data + views[1].offset, views[1].size,
                                               "the right view in " + request.name, message);
    if (!right)
        return PairOutcome::kFailed;
    const status_t status = pairs::DepthFromViews(*left, *right, options, map, &report, &why);
    return matched(status, report, why, request.name, request.rectify, message, note);
}

} // namespace depth
