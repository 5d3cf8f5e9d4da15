#include <Path.h>

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Absolute and lexically normal; "." and ".." are resolved without asking
// the file system, so a path to a file that does not exist yet works too.
bool make_absolute(const std::string& in, std::string* out)
{
    if (in.empty())
        return false;
    std::error_code error;
    fs::path p = fs::absolute(fs::path(in), error);
    if (error)
        return false;
    std::string normal = p.lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/')
        normal.pop_back();
    *out = normal;
    return true;
}

} // namespace

entry_ref::entry_ref(const char* p)
{
    SetPath(p);
}

status_t entry_ref::SetPath(const char* p)
{
    std::string absolute;
    if (p == nullptr || !make_absolute(p, &absolute)) {
        path.clear();
        name.clear();
        return B_BAD_VALUE;
    }
    path = absolute;
    name = fs::path(absolute).filename().string();
    return B_OK;
}

const char* entry_ref::Name() const
{
    return path.empty() ? nullptr : name.c_str();
}

BPath::BPath() : fStatus(B_NO_INIT) {}

BPath::BPath(const char* path, const char* leaf, bool normalize) : fStatus(B_NO_INIT)
{
    SetTo(path, leaf, normalize);
}

BPath::BPath(const entry_ref* ref) : fStatus(B_NO_INIT)
{
    SetTo(ref);
}

status_t BPath::SetTo(const char* path, const char* leaf, bool)
{
    Unset();
    if (path == nullptr || !make_absolute(path, &fPath))
        return fStatus = B_BAD_VALUE;
    fStatus = B_OK;
    if (leaf != nullptr)
        return Append(leaf);
    return B_OK;
}

status_t BPath::SetTo(const entry_ref* ref)
{
    Unset();
    if (ref == nullptr || ref->path.empty())
        return fStatus = B_BAD_VALUE;
    return SetTo(ref->path.c_str());
}

status_t BPath::Append(const char* path, bool)
{
    if (fStatus != B_OK)
        return fStatus;
    if (path == nullptr || path[0] == '/')
        return B_BAD_VALUE;
    if (path[0] == '\0')
        return B_OK;
    std::string joined;
    if (!make_absolute(fPath + "/" + path, &joined))
        return B_BAD_VALUE;
    fPath = joined;
    return B_OK;
}

void BPath::Unset()
{
    fPath.clear();
    fStatus = B_NO_INIT;
}

const char* BPath::Leaf() const
{
    if (fStatus != B_OK)
        return nullptr;
    size_t slash = fPath.find_last_of('/');
    return fPath.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

status_t BPath::GetParent(BPath* parent) const
{
    if (parent == nullptr)
        return B_BAD_VALUE;
    if (fStatus != B_OK)
        return fStatus;
    if (fPath == "/")
        return B_ENTRY_NOT_FOUND;
    return parent->SetTo(fs::path(fPath).parent_path().string().c_str());
}
