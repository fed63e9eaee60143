// CString: the framework's wide string, a value type over std::wstring.
#pragma once

#include <string>

#include "platform/types.h"

class CString {
public:
    CString() = default;
    CString(const wchar_t* text) : m_str(text ? text : L"") {}            // nullptr gives empty
    CString(const wchar_t* text, int length) : m_str(text, static_cast<size_t>(length)) {}
    CString(std::wstring text) : m_str(std::move(text)) {}

    int GetLength() const { return static_cast<int>(m_str.size()); }      // in code units
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    operator LPCWSTR() const { return m_str.c_str(); }                     // NUL-terminated, lives as long as the string is unchanged
    wchar_t operator[](int i) const { return m_str[static_cast<size_t>(i)]; }
    CString& operator+=(const CString& other) { m_str += other.m_str; return *this; }
    CString& operator+=(wchar_t c) { m_str += c; return *this; }
    friend CString operator+(CString a, const CString& b) { a += b; return a; }
    bool operator==(const CString& other) const { return m_str == other.m_str; }

    // printf-style formatting with wide format and arguments, as swprintf (%s takes a wide string).
    void Format(const wchar_t* format, ...);

    const std::wstring& str() const { return m_str; }

private:
    std::wstring m_str;
};
