// Basic types of the handheld API, with the sizes the program relies on. On Windows they are
// the system's own, from <windows.h>.
#pragma once

#include <cstdint>
#include <cwchar>

#ifdef _WIN32
#include <windows.h>
#else

typedef int32_t BOOL;      // nonzero is true
typedef uint8_t BYTE;      // 8 bits
typedef uint16_t WORD;     // 16 bits
typedef uint32_t DWORD;    // 32 bits
typedef int32_t LONG;      // 32 bits, signed
typedef uint32_t UINT;     // 32 bits
typedef intptr_t INT_PTR;  // pointer-sized, signed
typedef uintptr_t WPARAM;  // message parameter, pointer-sized
typedef intptr_t LPARAM;   // message parameter, pointer-sized
typedef intptr_t LRESULT;  // message result, pointer-sized
typedef wchar_t WCHAR;     // one wide character
typedef const wchar_t* LPCWSTR;
typedef wchar_t* LPWSTR;
typedef const char* LPCSTR;
typedef void* HANDLE;      // opaque kernel object; nullptr is "no handle"
typedef void* LPVOID;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// CreateFileW's failure value, distinct from every valid handle and from nullptr.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// Window and resource handles: opaque, nullptr is "none".
struct HWND__;
typedef HWND__* HWND;
struct HICON__;
typedef HICON__* HICON;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;

#endif // _WIN32
