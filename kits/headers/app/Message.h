// A message: a 32-bit code and typed, named fields, each holding one or
// more values of one type.
#ifndef _MESSAGE_H
#define _MESSAGE_H

#include <AppDefs.h>
#include <Entry.h>
#include <Point.h>
#include <Rect.h>
#include <TypeConstants.h>

#include <memory>

class BMessage
{
public:
    BMessage();
    explicit BMessage(uint32 what);
    BMessage(const BMessage& other);
    BMessage& operator=(const BMessage& other);
    virtual ~BMessage();

    uint32 what;

    status_t AddInt32(const char* name, int32 value);
    status_t AddInt64(const char* name, int64 value);
    status_t AddBool(const char* name, bool value);
    status_t AddFloat(const char* name, float value);
    status_t AddString(const char* name, const char* value);
    status_t AddPoint(const char* name, BPoint value);
    status_t AddRect(const char* name, BRect value);
    status_t AddRef(const char* name, const entry_ref* ref);
    status_t AddPointer(const char* name, const void* pointer);
    status_t AddMessage(const char* name, const BMessage* message);

    // Find returns B_NAME_NOT_FOUND for a missing field, B_BAD_TYPE for a
    // field of another type and B_BAD_INDEX past its last value.
    status_t FindInt32(const char* name, int32* value) const;
    status_t FindInt32(const char* name, int32 index, int32* value) const;
    status_t FindInt64(const char* name, int64* value) const;
    status_t FindInt64(const char* name, int32 index, int64* value) const;
    status_t FindBool(const char* name, bool* value) const;
    status_t FindBool(const char* name, int32 index, bool* value) const;
    status_t FindFloat(const char* name, float* value) const;
    status_t FindFloat(const char* name, int32 index, float* value) const;
    status_t FindString(const char* name, const char** value) const;
    status_t FindString(const char* name, int32 index, const char** value) const;
    status_t FindPoint(const char* name, BPoint* value) const;
    status_t FindPoint(const char* name, int32 index, BPoint* value) const;
    status_t FindRect(const char* name, BRect* value) const;
    status_t FindRect(const char* name, int32 index, BRect* value) const;
    status_t FindRef(const char* name, entry_ref* ref) const;
    status_t FindRef(const char* name, int32 index, entry_ref* ref) const;
    status_t FindPointer(const char* name, void** pointer) const;
    status_t FindPointer(const char* name, int32 index, void** pointer) const;
    status_t FindMessage(const char* name, BMessage* message) const;
    status_t FindMessage(const char* name, int32 index, BMessage* message) const;

    status_t ReplaceInt32(const char* name, int32 value);
    status_t ReplaceString(const char* name, const char* value);

    bool HasInt32(const char* name, int32 index = 0) const;
    bool HasString(const char* name, int32 index = 0) const;
    bool HasPoint(const char* name, int32 index = 0) const;
    bool HasRef(const char* name, int32 index = 0) const;

    status_t GetInfo(const char* name, type_code* type, int32* count = nullptr) const;
    // The index-th field: its name, type and number of values.
    status_t GetInfo(type_code type, int32 index, const char** name, type_code* typeFound,
                     int32* count = nullptr) const;
    int32 CountNames(type_code type = B_ANY_TYPE) const;
    bool IsEmpty() const;
    status_t RemoveName(const char* name);
    status_t MakeEmpty();

    BPoint DropPoint(BPoint* offset = nullptr) const;

    struct Private;

private:
    std::unique_ptr<Private> fPrivate;
};

#endif // _MESSAGE_H
