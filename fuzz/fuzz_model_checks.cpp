// The checks made before the model library reads a model, in-process and
// without the library: each refusal says why in one line, and the copy
// they give the library in place of a glTF passes them as well.
#include <ModelChecks.h>

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const depth::ModelFormat format = depth::SniffModel(data, size);
    if (format == depth::ModelFormat::kNone)
        return 0;
    // Small, so that the node graph's sums reach the ceiling often.
    const uint64 maxTriangles = 1 << 16;
    depth::ModelCheck check;
    std::string why;
    if (depth::CheckModel(format, data, size, maxTriangles, &check, &why) != B_OK) {
        if (why.empty() || why.find('\n') != std::string::npos)
            std::abort();
        return 0;
    }
    if (check.bufferUris.size() != check.bufferLengths.size())
        std::abort();
    if (check.replacement.empty())
        return 0;
    const auto* copy = reinterpret_cast<const uint8*>(check.replacement.data());
    depth::ModelCheck again;
    if (depth::SniffModel(copy, check.replacement.size()) != format ||
        depth::CheckModel(format, copy, check.replacement.size(), maxTriangles, &again, &why) !=
            B_OK)
        std::abort();
    return 0;
}
