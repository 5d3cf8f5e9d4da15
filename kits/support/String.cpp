#include <String.h>

#include <cstring>

namespace {

// A null string reads as the empty one, as on the platform.
const char* or_empty(const char* s)
{
    return s != nullptr ? s : "";
}

} // namespace

BString::BString(const char* string) : fData(or_empty(string)) {}

BString& BString::operator=(const char* string)
{
    return SetTo(string);
}

BString& BString::SetTo(const char* string)
{
    // The argument may point into our own buffer.
    std::string copy(or_empty(string));
    fData.swap(copy);
    return *this;
}

BString& BString::Truncate(int32 newLength)
{
    if (newLength >= 0 && size_t(newLength) < fData.size())
        fData.resize(size_t(newLength));
    return *this;
}

BString& BString::operator+=(const char* string)
{
    fData.append(or_empty(string));
    return *this;
}

BString& BString::operator+=(const BString& string)
{
    fData.append(string.fData);
    return *this;
}

BString& BString::operator+=(char c)
{
    fData.push_back(c);
    return *this;
}

BString& BString::operator<<(const char* string)
{
    return *this += string;
}

BString& BString::operator<<(const BString& string)
{
    return *this += string;
}

BString& BString::operator<<(char c)
{
    return *this += c;
}

BString& BString::operator<<(int value)
{
    fData += std::to_string(value);
    return *this;
}

BString& BString::operator<<(unsigned int value)
{
    fData += std::to_string(value);
    return *this;
}

BString& BString::operator<<(long value)
{
    fData += std::to_string(value);
    return *this;
}

BString& BString::operator<<(unsigned long value)
{
    fData += std::to_string(value);
    return *this;
}

BString& BString::operator<<(long long value)
{
    fData += std::to_string(value);
    return *this;
}

BString& BString::operator<<(unsigned long long value)
{
    fData += std::to_string(value);
    return *this;
}

int BString::Compare(const char* string) const
{
    return std::strcmp(fData.c_str(), or_empty(string));
}
