#include <Message.h>

#include <cstring>
#include <string>
#include <variant>
#include <vector>

namespace {

using Value = std::variant<int32, int64, bool, float, std::string, BPoint, BRect, entry_ref,
                           const void*, std::shared_ptr<BMessage>>;

template <typename T> constexpr type_code kTypeOf = 0;
template <> constexpr type_code kTypeOf<int32> = B_INT32_TYPE;
template <> constexpr type_code kTypeOf<int64> = B_INT64_TYPE;
template <> constexpr type_code kTypeOf<bool> = B_BOOL_TYPE;
template <> constexpr type_code kTypeOf<float> = B_FLOAT_TYPE;
template <> constexpr type_code kTypeOf<std::string> = B_STRING_TYPE;
template <> constexpr type_code kTypeOf<BPoint> = B_POINT_TYPE;
template <> constexpr type_code kTypeOf<BRect> = B_RECT_TYPE;
template <> constexpr type_code kTypeOf<entry_ref> = B_REF_TYPE;
template <> constexpr type_code kTypeOf<const void*> = B_POINTER_TYPE;
template <> constexpr type_code kTypeOf<std::shared_ptr<BMessage>> = B_MESSAGE_TYPE;

struct Field
{
    std::string name;
    type_code type;
    std::vector<Value> values;
};

} // namespace

struct BMessage::Private
{
    std::vector<Field> fields; // in the order they were added

    Field* Find(const char* name)
    {
        if (name == nullptr)
            return nullptr;
        for (Field& f : fields)
            if (f.name == name)
                return &f;
        return nullptr;
    }
    const Field* Find(const char* name) const { return const_cast<Private*>(this)->Find(name); }

    template <typename T> status_t Add(const char* name, T value)
    {
        if (name == nullptr)
            return B_BAD_VALUE;
        Field* f = Find(name);
        if (f == nullptr) {
            fields.push_back(Field{name, kTypeOf<T>, {}});
            f = &fields.back();
        } else if (f->type != kTypeOf<T>) {
            return B_BAD_TYPE;
        }
        f->values.emplace_back(std::move(value));
        return B_OK;
    }

    template <typename T> status_t Get(const char* name, int32 index, const T** out) const
    {
        const Field* f = Find(name);
        if (f == nullptr)
            return B_NAME_NOT_FOUND;
        if (f->type != kTypeOf<T>)
            return B_BAD_TYPE;
        if (index < 0 || size_t(index) >= f->values.size())
            return B_BAD_INDEX;
        *out = &std::get<T>(f->values[size_t(index)]);
        return B_OK;
    }

    template <typename T> status_t Copy(const char* name, int32 index, T* out) const
    {
        if (out == nullptr)
            return B_BAD_VALUE;
        const T* value = nullptr;
        status_t status = Get(name, index, &value);
        if (status == B_OK)
            *out = *value;
        return status;
    }

    template <typename T> status_t Replace(const char* name, T value)
    {
        Field* f = Find(name);
        if (f == nullptr)
            return B_NAME_NOT_FOUND;
        if (f->type != kTypeOf<T>)
            return B_BAD_TYPE;
        f->values.at(0) = std::move(value);
        return B_OK;
    }

    template <typename T> bool Has(const char* name, int32 index) const
    {
        const T* value = nullptr;
        return Get(name, index, &value) == B_OK;
    }
};

BMessage::BMessage() : what(0), fPrivate(std::make_unique<Private>()) {}

BMessage::BMessage(uint32 code) : what(code), fPrivate(std::make_unique<Private>()) {}

// Nested messages are deep-copied so that copies never share state.
BMessage::BMessage(const BMessage& other)
    : what(other.what), fPrivate(std::make_unique<Private>(*other.fPrivate))
{
    for (Field& f : fPrivate->fields)
        if (f.type == B_MESSAGE_TYPE)
            for (Value& v : f.values)
                v = std::make_shared<BMessage>(*std::get<std::shared_ptr<BMessage>>(v));
}

BMessage& BMessage::operator=(const BMessage& other)
{
    if (this != &other) {
        BMessage copy(other);
        what = copy.what;
        fPrivate = std::move(copy.fPrivate);
    }
    return *this;
}

BMessage::~BMessage() = default;

status_t BMessage::AddInt32(const char* name, int32 value)
{
    return fPrivate->Add(name, value);
}

status_t BMessage::AddInt64(const char* name, int64 value)
{
    return fPrivate->Add(name, value);
}

status_t BMessage::AddBool(const char* name, bool value)
{
    return fPrivate->Add(name, value);
}

status_t BMessage::AddFloat(const char* name, float value)
{
    return fPrivate->Add(name, value);
}

status_t BMessage::AddString(const char* name, const char* value)
{
    if (value == nullptr)
        return B_BAD_VALUE;
    return fPrivate->Add(name, std::string(value));
}

status_t BMessage::AddPoint(const char* name, BPoint value)
{
    return fPrivate->Add(name, value);
}

status_t BMessage::AddRect(const char* name, BRect value)
{
    return fPrivate->Add(name, value);
}

status_t BMessage::AddRef(const char* name, const entry_ref* ref)
{
    if (ref == nullptr)
        return B_BAD_VALUE;
    return fPrivate->Add(name, *ref);
}

status_t BMessage::AddPointer(const char* name, const void* pointer)
{
    return fPrivate->Add(name, pointer);
}

status_t BMessage::AddMessage(const char* name, const BMessage* message)
{
    if (message == nullptr)
        return B_BAD_VALUE;
    return fPrivate->Add(name, std::make_shared<BMessage>(*message));
}

status_t BMessage::FindInt32(const char* name, int32* value) const
{
    return FindInt32(name, 0, value);
}

status_t BMessage::FindInt32(const char* name, int32 index, int32* value) const
{
    return fPrivate->Copy(name, index, value);
}

status_t BMessage::FindInt64(const char* name, int64* value) const
{
    return FindInt64(name, 0, value);
}

status_t BMessage::FindInt64(const char* name, int32 index, int64* value) const
{
    return fPrivate->Copy(name, index, value);
}

status_t BMessage::FindBool(const char* name, bool* value) const
{
    return FindBool(name, 0, value);
}

status_t BMessage::FindBool(const char* name, int32 index, bool* value) const
{
    return fPrivate->Copy(name, index, value);
}

status_t BMessage::FindFloat(const char* name, float* value) const
{
    return FindFloat(name, 0, value);
}

status_t BMessage::FindFloat(const char* name, int32 index, float* value) const
{
    return fPrivate->Copy(name, index, value);
}

status_t BMessage::FindString(const char* name, const char** value) const
{
    return FindString(name, 0, value);
}

status_t BMessage::FindString(const char* name, int32 index, const char** value) const
{
    if (value == nullptr)
        return B_BAD_VALUE;
    const std::string* s = nullptr;
    status_t status = fPrivate->Get(name, index, &s);
    if (status == B_OK)
        *value = s->c_str();
    return status;
}

status_t BMessage::FindPoint(const char* name, BPoint* value) const
{
    return FindPoint(name, 0, value);
}

status_t BMessage::FindPoint(const char* name, int32 index, BPoint* value) const
{
    return fPrivate->Copy(name, index, value);
}

status_t BMessage::FindRect(const char* name, BRect* value) const
{
    return FindRect(name, 0, value);
}

status_t BMessage::FindRect(const char* name, int32 index, BRect* value) const
{
    return fPrivate->Copy(name, index, value);
}

status_t BMessage::FindRef(const char* name, entry_ref* ref) const
{
    return FindRef(name, 0, ref);
}

status_t BMessage::FindRef(const char* name, int32 index, entry_ref* ref) const
{
    return fPrivate->Copy(name, index, ref);
}

status_t BMessage::FindPointer(const char* name, void** pointer) const
{
    return FindPointer(name, 0, pointer);
}

status_t BMessage::FindPointer(const char* name, int32 index, void** pointer) const
{
    if (pointer == nullptr)
        return B_BAD_VALUE;
    const void* const* p = nullptr;
    status_t status = fPrivate->Get(name, index, &p);
    if (status == B_OK)
        *pointer = const_cast<void*>(*p);
    return status;
}

status_t BMessage::FindMessage(const char* name, BMessage* message) const
{
    return FindMessage(name, 0, message);
}

status_t BMessage::FindMessage(const char* name, int32 index, BMessage* message) const
{
    if (message == nullptr)
        return B_BAD_VALUE;
    const std::shared_ptr<BMessage>* p = nullptr;
    status_t status = fPrivate->Get(name, index, &p);
    if (status == B_OK)
        *message = **p;
    return status;
}

status_t BMessage::ReplaceInt32(const char* name, int32 value)
{
    return fPrivate->Replace(name, value);
}

status_t BMessage::ReplaceString(const char* name, const char* value)
{
    if (value == nullptr)
        return B_BAD_VALUE;
    return fPrivate->Replace(name, std::string(value));
}

bool BMessage::HasInt32(const char* name, int32 index) const
{
    return fPrivate->Has<int32>(name, index);
}

bool BMessage::HasString(const char* name, int32 index) const
{
    return fPrivate->Has<std::string>(name, index);
}

bool BMessage::HasPoint(const char* name, int32 index) const
{
    return fPrivate->Has<BPoint>(name, index);
}

bool BMessage::HasRef(const char* name, int32 index) const
{
    return fPrivate->Has<entry_ref>(name, index);
}

status_t BMessage::GetInfo(const char* name, type_code* type, int32* count) const
{
    const Field* f = fPrivate->Find(name);
    if (f == nullptr)
        return B_NAME_NOT_FOUND;
    if (type != nullptr)
        *type = f->type;
    if (count != nullptr)
        *count = static_cast<int32>(f->values.size());
    return B_OK;
}

status_t BMessage::GetInfo(type_code type, int32 index, const char** name, type_code* typeFound,
                           int32* count) const
{
    int32 seen = 0;
    for (const Field& f : fPrivate->fields) {
        if (type != B_ANY_TYPE && f.type != type)
            continue;
        if (seen++ != index)
            continue;
        if (name != nullptr)
            *name = f.name.c_str();
        if (typeFound != nullptr)
            *typeFound = f.type;
        if (count != nullptr)
            *count = static_cast<int32>(f.values.size());
        return B_OK;
    }
    return seen == 0 ? B_BAD_TYPE : B_BAD_INDEX;
}

int32 BMessage::CountNames(type_code type) const
{
    int32 n = 0;
    for (const Field& f : fPrivate->fields)
        if (type == B_ANY_TYPE || f.type == type)
            n++;
    return n;
}

bool BMessage::IsEmpty() const
{
    return fPrivate->fields.empty();
}

status_t BMessage::RemoveName(const char* name)
{
    auto& fields = fPrivate->fields;
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        if (name != nullptr && it->name == name) {
            fields.erase(it);
            return B_OK;
        }
    }
    return B_NAME_NOT_FOUND;
}

status_t BMessage::MakeEmpty()
{
    fPrivate->fields.clear();
    return B_OK;
}

BPoint BMessage::DropPoint(BPoint* offset) const
{
    BPoint point;
    FindPoint("_drop_point_", &point);
    if (offset != nullptr)
        FindPoint("_drop_offset_", offset);
    return point;
}
