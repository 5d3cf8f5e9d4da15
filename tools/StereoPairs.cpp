#include "StereoPairs.h"

#include <Bitmap.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc/disparity_filter.hpp>
#include <opencv2/ximgproc/edge_filter.hpp>

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace pairs {

namespace {

// Smaller views have too little to match on.
constexpr int kLeastSide = 32;
// Two views whose shapes differ by more than this are not a pair.
constexpr double kMostShapeDifference = 0.01;
// Rows whose features lie this far apart (median, working pixels) are not
// rectified.
constexpr double kMostRowOffset = 1.5;
// Features matched to find the disparity range and check the rows.
constexpr int kFeatures = 2000;
constexpr size_t kLeastMatches = 24;
// A pixel whose left and right disparities disagree by more than this is
// occluded or mismatched.
constexpr float kMostDisagreement = 1.0f;
// The edge-aware smoothing's weight for a filled pixel: it takes what its
// measured neighbours of the same colour say, where there are any.
constexpr float kFilledConfidence = 0.1f;
// How far the smoothing spreads (its lambda): OpenCV's disparity filter
// uses 8000, which blurs the matched edges where the photo shows no edge of
// its own; 1000 keeps them and fills as well on the Middlebury scenes.
constexpr double kSmoothing = 1000.0;
// A row with fewer measured pixels than this share is taken from the
// nearest row with more: the matcher's window finds little at the top and
// bottom edges, and what it finds there is mostly wrong.
constexpr double kLeastRowShare = 0.2;

// A view as OpenCV sees it: the bitmap's own memory, BGRA.
cv::Mat mat_of(const BBitmap& bitmap)
{
    return cv::Mat(int(bitmap.PixelHeight()), int(bitmap.PixelWidth()), CV_8UC4,
                   const_cast<void*>(bitmap.Bits()), size_t(bitmap.BytesPerRow()));
}

bool usable(const BBitmap& bitmap)
{
    const color_space space = bitmap.ColorSpace();
    return bitmap.IsValid() && (space == B_RGB32 || space == B_RGBA32);
}

int round_up16(double value)
{
    return std::max(16, int(std::ceil(value / 16.0)) * 16);
}

struct WorkingViews
{
    cv::Mat left, right;         // BGR at the working size
    cv::Mat leftGrey, rightGrey; // grey at the working size
    double scale = 1;            // working size / the left view's size
};

// Both views brought to the working size; false with *why when they are
// no pair.
bool working_views(const cv::Mat& left, const cv::Mat& right, double pixels, WorkingViews* views,
                   std::string* why)
{
    if (left.cols < kLeastSide || left.rows < kLeastSide || right.cols < kLeastSide ||
        right.rows < kLeastSide) {
        *why = "the views are too small to match (less than " + std::to_string(kLeastSide) +
               " pixels a side)";
        return false;
    }
    const double shape = double(left.cols) / left.rows, other = double(right.cols) / right.rows;
    if (std::fabs(shape / other - 1) > kMostShapeDifference) {
        *why = "the two views differ in shape (" + std::to_string(left.cols) + "x" +
               std::to_string(left.rows) + " and " + std::to_string(right.cols) + "x" +
               std::to_string(right.rows) + ")";
        return false;
    }
    views->scale = std::min(1.0, std::sqrt(pixels / (double(left.cols) * left.rows)));
    const cv::Size size(std::max(kLeastSide, int(std::lround(left.cols * views->scale))),
                        std::max(kLeastSide, int(std::lround(left.rows * views->scale))));
    views->scale = double(size.width) / left.cols;
    auto bring = [&](const cv::Mat& from, cv::Mat* colour, cv::Mat* grey) {
        cv::Mat small;
        if (from.size() == size)
            small = from;
        else
            cv::resize(from, small, size, 0, 0, cv::INTER_AREA);
        cv::cvtColor(small, *colour, cv::COLOR_BGRA2BGR);
        cv::cvtColor(small, *grey, cv::COLOR_BGRA2GRAY);
    };
    bring(left, &views->left, &views->leftGrey);
    bring(right, &views->right, &views->rightGrey);
    return true;
}

// Matched features of the two views: where their rows disagree, and the
// range of disparities the scene spans.
struct FeatureCheck
{
    std::vector<cv::Point2f> left, right;
    bool rowsDisagree = false;
    int minDisparity = 0;
    int disparities = 0;
};

FeatureCheck check_features(const WorkingViews& views)
{
    FeatureCheck check;
    cv::Ptr<cv::ORB> orb = cv::ORB::create(kFeatures);
    std::vector<cv::KeyPoint> keysLeft, keysRight;
    cv::Mat descLeft, descRight;
    orb->detectAndCompute(views.leftGrey, cv::noArray(), keysLeft, descLeft);
    orb->detectAndCompute(views.rightGrey, cv::noArray(), keysRight, descRight);
    std::vector<cv::DMatch> matches;
    if (!descLeft.empty() && !descRight.empty())
        cv::BFMatcher(cv::NORM_HAMMING, true).match(descLeft, descRight, matches);
    std::vector<float> rows, columns;
    for (const cv::DMatch& m : matches) {
        if (m.distance > 64)
            continue;
        const cv::Point2f a = keysLeft[size_t(m.queryIdx)].pt, b = keysRight[size_t(m.trainIdx)].pt;
        check.left.push_back(a);
        check.right.push_back(b);
        rows.push_back(std::fabs(a.y - b.y));
        if (std::fabs(a.y - b.y) <= 2)
            columns.push_back(a.x - b.x);
    }
    const int width = views.left.cols;
    if (rows.size() >= kLeastMatches) {
        std::nth_element(rows.begin(), rows.begin() + long(rows.size() / 2), rows.end());
        check.rowsDisagree = rows[rows.size() / 2] > kMostRowOffset;
    }
    if (columns.size() >= kLeastMatches) {
        std::sort(columns.begin(), columns.end());
        const float low = columns[columns.size() / 50];
        const float high = columns[columns.size() - 1 - columns.size() / 50];
        const float margin = 0.15f * (high - low) + 0.02f * float(width) + 4;
        check.minDisparity = int(std::floor(low - margin));
        check.disparities = round_up16(high + margin - float(check.minDisparity));
    } else {
        // Too little texture to tell: what a parallel pair of cameras
        // usually spans.
        check.minDisparity = -width / 64;
        check.disparities = round_up16(width / 6.0);
    }
    check.disparities = std::min(check.disparities, std::max(16, (width / 2) / 16 * 16));
    return check;
}

// The views turned so that their rows line up, from their matched features;
// false with *why when the features do not relate them.
bool rectify(WorkingViews* views, const FeatureCheck& check, cv::Mat* leftTurn, std::string* why)
{
    std::vector<uchar> inliers;
    if (check.left.size() < kLeastMatches) {
        *why = "too few features match between the views to rectify them";
        return false;
    }
    cv::Mat fundamental =
        cv::findFundamentalMat(check.left, check.right, cv::FM_RANSAC, 1.0, 0.99, inliers);
    std::vector<cv::Point2f> a, b;
    for (size_t i = 0; i < inliers.size(); i++)
        if (inliers[i]) {
            a.push_back(check.left[i]);
            b.push_back(check.right[i]);
        }
    cv::Mat h1, h2;
    if (fundamental.rows != 3 || a.size() < kLeastMatches ||
        !cv::stereoRectifyUncalibrated(a, b, fundamental, views->left.size(), h1, h2, 3)) {
        *why = "the views' features do not relate them: cannot rectify";
        return false;
    }
    // Features of two different scenes (or a scene and its mirror) can
    // still give homographies; ones that fold a view, or shrink or stretch
    // it past recognition, leave nothing a matcher can use.
    const auto sound = [&](const cv::Mat& h) {
        const float w = float(views->left.cols), ht = float(views->left.rows);
        std::vector<cv::Point2f> corners = {{0, 0}, {w, 0}, {w, ht}, {0, ht}}, turned;
        cv::perspectiveTransform(corners, turned, h);
        const double area = cv::contourArea(turned), own = double(w) * double(ht);
        return cv::isContourConvex(turned) && area > own / 2 && area < own * 2;
    };
    if (h1.type() != CV_64F || h2.type() != CV_64F || !sound(h1) || !sound(h2)) {
        *why = "the views' features do not relate them: cannot rectify";
        return false;
    }
    auto turn = [&](cv::Mat& image, const cv::Mat& h) {
        cv::Mat out;
        cv::warpPerspective(image, out, h, image.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
        image = out;
    };
    // The result is turned back into the left view's own frame afterwards.
    *leftTurn = h1;
    turn(views->left, h1);
    turn(views->leftGrey, h1);
    turn(views->right, h2);
    turn(views->rightGrey, h2);
    return true;
}

cv::Ptr<cv::StereoSGBM> matcher(int minDisparity, int disparities, int block)
{
    cv::Ptr<cv::StereoSGBM> sgbm = cv::StereoSGBM::create(minDisparity, disparities, block);
    sgbm->setP1(8 * 3 * block * block);
    sgbm->setP2(32 * 3 * block * block);
    sgbm->setPreFilterCap(63);
    sgbm->setUniquenessRatio(10);
    sgbm->setSpeckleWindowSize(100);
    sgbm->setSpeckleRange(2);
    sgbm->setDisp12MaxDiff(-1);
    sgbm->setMode(cv::StereoSGBM::MODE_SGBM_3WAY);
    return sgbm;
}

// Left disparities (pixels, float) where the left and right matches agree;
// NaN elsewhere.
cv::Mat checked_disparity(const WorkingViews& views, int minDisparity, int disparities)
{
    cv::Ptr<cv::StereoSGBM> left = matcher(minDisparity, disparities, 5);
    cv::Ptr<cv::StereoMatcher> right = cv::ximgproc::createRightMatcher(left);
    // The matcher leaves out a band at the left as wide as its largest
    // disparity; views widened there by their mirror image keep that band
    // down to what the right view really does not see, and the right
    // matcher's band at the right likewise.
    const int pad = std::max(0, minDisparity + disparities);
    const int rightPad = std::max(0, -minDisparity);
    cv::Mat wideLeft, wideRight;
    cv::copyMakeBorder(views.left, wideLeft, 0, 0, pad, rightPad, cv::BORDER_REFLECT_101);
    cv::copyMakeBorder(views.right, wideRight, 0, 0, pad, rightPad, cv::BORDER_REFLECT_101);
    cv::Mat wideLeftDisparity, wideRightDisparity;
    left->compute(wideLeft, wideRight, wideLeftDisparity);
    right->compute(wideRight, wideLeft, wideRightDisparity);
    const cv::Rect own(pad, 0, views.left.cols, views.left.rows);
    const cv::Mat leftDisparity = wideLeftDisparity(own), rightDisparity = wideRightDisparity(own);
    const float invalid = float(minDisparity - 1);
    cv::Mat out(leftDisparity.size(), CV_32F);
    const int width = out.cols;
    cv::parallel_for_(cv::Range(0, out.rows), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; y++) {
            const int16* l = leftDisparity.ptr<int16>(y);
            const int16* r = rightDisparity.ptr<int16>(y);
            float* o = out.ptr<float>(y);
            for (int x = 0; x < width; x++) {
                const float d = float(l[x]) / 16.0f;
                o[x] = NAN;
                if (d <= invalid)
                    continue;
                const int at = int(std::lround(float(x) - d));
                if (at < 0 || at >= width)
                    continue;
                const float back = float(r[at]) / 16.0f;
                if (std::fabs(d + back) <= kMostDisagreement)
                    o[x] = d;
            }
        }
    });
    return out;
}

// Every hole filled along its row from the background side: the farther
// (smaller) of the disparities measured either side of it, as an occluded
// patch belongs to what lies behind the edge. The confidence is 1 where
// measured, kFilledConfidence where filled.
void fill_from_background(cv::Mat* disparity, cv::Mat* confidence)
{
    *confidence = cv::Mat(disparity->size(), CV_32F);
    float farthest = INFINITY;
    for (int y = 0; y < disparity->rows; y++) {
        const float* d = disparity->ptr<float>(y);
        for (int x = 0; x < disparity->cols; x++)
            if (!std::isnan(d[x]))
                farthest = std::min(farthest, d[x]);
    }
    if (!std::isfinite(farthest))
        farthest = 0;
    const int width = disparity->cols;
    std::vector<bool> sparse(size_t(disparity->rows));
    for (int y = 0; y < disparity->rows; y++) {
        const float* d = disparity->ptr<float>(y);
        const int measured = int(std::count_if(d, d + width, [](float v) { return !std::isnan(v); }));
        sparse[size_t(y)] = measured < kLeastRowShare * width;
    }
    for (int y = 0; y < disparity->rows; y++) {
        float* d = disparity->ptr<float>(y);
        float* c = confidence->ptr<float>(y);
        int x = 0;
        while (x < width) {
            if (!std::isnan(d[x])) {
                c[x++] = 1;
                continue;
            }
            const int start = x;
            while (x < width && std::isnan(d[x]))
                x++;
            const bool before = start > 0, after = x < width;
            float value = farthest;
            if (before && after)
                value = std::min(d[start - 1], d[x]);
            else if (before)
                value = d[start - 1];
            else if (after)
                value = d[x];
            for (int i = start; i < x; i++) {
                d[i] = value;
                c[i] = kFilledConfidence;
            }
        }
    }
    // Sparse rows copy the nearest full row, nearer rows first.
    std::vector<int> source(size_t(disparity->rows), -1);
    for (int y = 0, last = -1; y < disparity->rows; y++) {
        if (!sparse[size_t(y)])
            last = y;
        source[size_t(y)] = last;
    }
    for (int y = disparity->rows - 1, next = -1; y >= 0; y--) {
        if (!sparse[size_t(y)]) {
            next = y;
            continue;
        }
        int& from = source[size_t(y)];
        if (next >= 0 && (from < 0 || next - y < y - from))
            from = next;
        if (from < 0)
            continue; // no full row at all: the row fill stands
        disparity->row(from).copyTo(disparity->row(y));
        confidence->row(y).setTo(kFilledConfidence);
    }
}

// Disparities at the working size, every pixel set, smoothed along the
// left view's edges.
cv::Mat full_disparity(const WorkingViews& views, int minDisparity, int disparities)
{
    cv::Mat disparity = checked_disparity(views, minDisparity, disparities);
    cv::Mat confidence;
    fill_from_background(&disparity, &confidence);
    // Weighted least squares along the left view's edges (the smoother
    // OpenCV's own disparity filter uses): measured pixels lead, filled
    // ones follow their measured neighbours of the same colour.
    cv::Ptr<cv::ximgproc::FastGlobalSmootherFilter> smoother =
        cv::ximgproc::createFastGlobalSmootherFilter(views.left, kSmoothing, 1.5);
    cv::Mat weighted = disparity.mul(confidence), spreadWeighted, spreadConfidence;
    smoother->filter(weighted, spreadWeighted);
    smoother->filter(confidence, spreadConfidence);
    cv::Mat out;
    cv::divide(spreadWeighted, cv::max(spreadConfidence, 1e-4f), out);
    return out;
}

status_t map_from(const cv::Mat& disparity, double scale, const cv::Mat& leftFull,
                  int minDisparity, int disparities, depth_map* map)
{
    map->source = DEPTH_MAP_NONE;
    map->width = map->photoWidth = leftFull.cols;
    map->height = map->photoHeight = leftFull.rows;
    map->samples8.clear();
    map->samples16.clear();
    map->values.resize(size_t(leftFull.cols) * size_t(leftFull.rows));
    const float low = float(minDisparity), span = float(disparities);
    cv::Mat out(leftFull.rows, leftFull.cols, CV_32F, map->values.data());
    if (scale >= 1) {
        // Into the map's own memory: out is already of the size and type.
        cv::resize(disparity, out, out.size(), 0, 0, cv::INTER_LINEAR);
    } else {
        // Up to the left view's size and drawn onto its edges: a guided
        // filter whose window covers a working pixel and its neighbours,
        // its coefficients found at the working size and brought up (the
        // fast guided filter): the same edges as at full size, for a
        // fraction of the time and memory of a 12 Mpx one.
        cv::Mat grey, guide;
        cv::cvtColor(leftFull, grey, cv::COLOR_BGRA2GRAY);
        cv::resize(grey, guide, disparity.size(), 0, 0, cv::INTER_AREA);
        guide.convertTo(guide, CV_32F);
        const cv::Size window(3, 3);
        auto mean = [&](const cv::Mat& m) {
            cv::Mat r;
            cv::boxFilter(m, r, CV_32F, window, cv::Point(-1, -1), true, cv::BORDER_REFLECT);
            return r;
        };
        const cv::Mat meanI = mean(guide), meanP = mean(disparity);
        const cv::Mat varI = mean(guide.mul(guide)) - meanI.mul(meanI);
        const cv::Mat covIP = mean(guide.mul(disparity)) - meanI.mul(meanP);
        const cv::Mat a = covIP / (varI + 12.0f * 12.0f);
        const cv::Mat b = meanP - a.mul(meanI);
        cv::Mat fullA, fullB;
        cv::resize(mean(a), fullA, leftFull.size(), 0, 0, cv::INTER_LINEAR);
        cv::resize(mean(b), fullB, leftFull.size(), 0, 0, cv::INTER_LINEAR);
        cv::parallel_for_(cv::Range(0, out.rows), [&](const cv::Range& rows) {
            for (int y = rows.start; y < rows.end; y++) {
                const uint8* g = grey.ptr<uint8>(y);
                const float* pa = fullA.ptr<float>(y);
                const float* pb = fullB.ptr<float>(y);
                float* o = out.ptr<float>(y);
                for (int x = 0; x < out.cols; x++)
                    o[x] = pa[x] * float(g[x]) + pb[x];
            }
        });
    }
    for (float& v : map->values)
        v = std::clamp((v - low) / span, 0.0f, 1.0f);
    return B_OK;
}

status_t depth_from(const cv::Mat& left, const cv::Mat& right, const PairOptions& options,
                    depth_map* map, PairReport* report, std::string* why)
{
    std::string ignored;
    if (why == nullptr)
        why = &ignored;
    try {
        WorkingViews views;
        if (!working_views(left, right, options.workingPixels, &views, why))
            return B_BAD_VALUE;
        FeatureCheck check = check_features(views);
        cv::Mat leftTurn;
        if (options.rectify) {
            if (!rectify(&views, check, &leftTurn, why))
                return B_BAD_VALUE;
            check = check_features(views);
            check.rowsDisagree = false;
        }
        if (report != nullptr) {
            report->rowsDisagree = check.rowsDisagree;
            report->minDisparity = check.minDisparity;
            report->disparities = check.disparities;
        }
        cv::Mat disparity = full_disparity(views, check.minDisparity, check.disparities);
        if (!leftTurn.empty()) {
            cv::Mat back;
            cv::warpPerspective(disparity, back, leftTurn, disparity.size(),
                                cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
            disparity = back;
        }
        return map_from(disparity, views.scale, left, check.minDisparity, check.disparities, map);
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    } catch (const cv::Exception& error) {
        if (error.code == cv::Error::StsNoMem)
            return B_NO_MEMORY;
        *why = "the match failed: " + std::string(error.err);
        return B_ERROR;
    }
}

} // namespace

bool ParseLayout(const std::string& text, Layout* layout)
{
    static const struct
    {
        const char* name;
        Layout layout;
    } kLayouts[] = {{"lr", Layout::kLeftRight},
                    {"rl", Layout::kRightLeft},
                    {"tb", Layout::kTopBottom},
                    {"bt", Layout::kBottomTop}};
    for (const auto& known : kLayouts)
        if (text == known.name) {
            *layout = known.layout;
            return true;
        }
    return false;
}

status_t DepthFromViews(const BBitmap& left, const BBitmap& right, const PairOptions& options,
                        depth_map* map, PairReport* report, std::string* why)
{
    if (!usable(left) || !usable(right) || map == nullptr)
        return B_BAD_VALUE;
    return depth_from(mat_of(left), mat_of(right), options, map, report, why);
}

status_t DepthFromLayout(const BBitmap& picture, Layout layout, const PairOptions& options,
                         depth_map* map, PairReport* report, std::string* why)
{
    if (!usable(picture) || map == nullptr || layout == Layout::kNone)
        return B_BAD_VALUE;
    const cv::Mat whole = mat_of(picture);
    const bool across = layout == Layout::kLeftRight || layout == Layout::kRightLeft;
    // Halves of an odd length leave out the middle column or row.
    const int half = across ? whole.cols / 2 : whole.rows / 2;
    const int second = across ? whole.cols - half : whole.rows - half;
    cv::Mat first = across ? whole(cv::Rect(0, 0, half, whole.rows))
                           : whole(cv::Rect(0, 0, whole.cols, half));
    cv::Mat other = across ? whole(cv::Rect(second, 0, half, whole.rows))
                           : whole(cv::Rect(0, second, whole.cols, half));
    const bool swapped = layout == Layout::kRightLeft || layout == Layout::kBottomTop;
    return depth_from(swapped ? other : first, swapped ? first : other, options, map, report,
                      why);
}

status_t BaselineDisparity(const BBitmap& left, const BBitmap& right, const PairOptions& options,
                           depth_map* map, std::string* why)
{
    std::string ignored;
    if (why == nullptr)
        why = &ignored;
    if (!usable(left) || !usable(right) || map == nullptr)
        return B_BAD_VALUE;
    try {
        WorkingViews views;
        if (!working_views(mat_of(left), mat_of(right), options.workingPixels, &views, why))
            return B_BAD_VALUE;
        const FeatureCheck check = check_features(views);
        // OpenCV's disparity filtering sample: a 3-pixel window, its P1 and
        // P2, the three-way mode, lambda 8000 and sigma 1.5.
        const int block = 3;
        cv::Ptr<cv::StereoSGBM> sgbm =
            cv::StereoSGBM::create(check.minDisparity, check.disparities, block);
        sgbm->setP1(24 * block * block);
        sgbm->setP2(96 * block * block);
        sgbm->setPreFilterCap(63);
        sgbm->setMode(cv::StereoSGBM::MODE_SGBM_3WAY);
        cv::Ptr<cv::ximgproc::DisparityWLSFilter> wls =
            cv::ximgproc::createDisparityWLSFilter(sgbm);
        cv::Ptr<cv::StereoMatcher> right = cv::ximgproc::createRightMatcher(sgbm);
        cv::Mat leftDisparity, rightDisparity, filtered;
        sgbm->compute(views.left, views.right, leftDisparity);
        right->compute(views.right, views.left, rightDisparity);
        wls->setLambda(8000.0);
        wls->setSigmaColor(1.5);
        wls->filter(leftDisparity, views.left, filtered, rightDisparity);
        map->source = DEPTH_MAP_NONE;
        map->width = map->photoWidth = filtered.cols;
        map->height = map->photoHeight = filtered.rows;
        map->values.resize(size_t(filtered.cols) * size_t(filtered.rows));
        // Outside the filter's region of interest (the band at the left
        // the matcher cannot see, and the window's margins) its values are
        // guesses: holes, as its sample shows them.
        const int16 invalid = int16((check.minDisparity - 1) * 16);
        const cv::Rect region = wls->getROI();
        for (int y = 0; y < filtered.rows; y++) {
            const int16* d = filtered.ptr<int16>(y);
            for (int x = 0; x < filtered.cols; x++)
                map->values[size_t(y) * size_t(filtered.cols) + size_t(x)] =
                    d[x] <= invalid || !region.contains(cv::Point(x, y)) ? NAN
                                                                       : float(d[x]) / 16.0f;
        }
        return B_OK;
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    } catch (const cv::Exception& error) {
        *why = "the match failed: " + std::string(error.err);
        return B_ERROR;
    }
}

} // namespace pairs
