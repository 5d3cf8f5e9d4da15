// A growable string of bytes, as the support kit offers it; used to format
// numbers for display.
#ifndef _B_STRING_H
#define _B_STRING_H

#include <SupportDefs.h>

#include <string>

class BString
{
public:
    BString() = default;
    BString(const char* string);
    BString(const BString& other) = default;
    BString& operator=(const BString& other) = default;
    ~BString() = default;

    BString& operator=(const char* string);

    const char* String() const { return fData.c_str(); }
    int32 Length() const { return static_cast<int32>(fData.size()); }
    BString& SetTo(const char* string);
    BString& Truncate(int32 newLength);

    BString& operator+=(const char* string);
    BString& operator+=(const BString& string);
    BString& operator+=(char c);

    BString& operator<<(const char* string);
    BString& operator<<(const BString& string);
    BString& operator<<(char c);
    BString& operator<<(int value);
    BString& operator<<(unsigned int value);
    BString& operator<<(long value);
    BString& operator<<(unsigned long value);
    BString& operator<<(long long value);
    BString& operator<<(unsigned long long value);

    int Compare(const char* string) const;
    int Compare(const BString& string) const { return Compare(string.String()); }

    bool operator==(const BString& o) const { return fData == o.fData; }
    bool operator!=(const BString& o) const { return fData != o.fData; }
    bool operator<(const BString& o) const { return fData < o.fData; }
    bool operator<=(const BString& o) const { return fData <= o.fData; }
    bool operator>(const BString& o) const { return fData > o.fData; }
    bool operator>=(const BString& o) const { return fData >= o.fData; }
    bool operator==(const char* o) const { return Compare(o) == 0; }
    bool operator!=(const char* o) const { return Compare(o) != 0; }

private:
    std::string fData;
};

#endif // _B_STRING_H
