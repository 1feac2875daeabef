#include "inf_reader.h"

#include <windows.h>
#include <setupapi.h>

#include <algorithm>

namespace {

// Returns field `index` of the line, or an empty string.
std::wstring Field(INFCONTEXT& line, DWORD index) {
    wchar_t text[512];
    DWORD needed = 0;
    return ::SetupGetStringFieldW(&line, index, text, 512, &needed) ? std::wstring(text) : std::wstring();
}

// Returns the models section a [Manufacturer] line names for a 64-bit x86 machine: the one with
// an NTamd64 decoration (with or without an OS version) that the INF holds, or an empty name.
// x64 Windows reads no undecorated models section.
std::wstring ModelsSection(HINF inf, INFCONTEXT& line) {
    const std::wstring base = Field(line, 1);
    for (DWORD i = 2, count = ::SetupGetFieldCount(&line); i <= count; ++i) {
        const std::wstring decoration = Field(line, i);
        if (_wcsnicmp(decoration.c_str(), L"NTamd64", 7) == 0 && (decoration[7] == L'\0' || decoration[7] == L'.')) {
            INFCONTEXT probe;
            const std::wstring decorated = base + L"." + decoration;
            if (::SetupFindFirstLineW(inf, decorated.c_str(), nullptr, &probe)) {
                return decorated;
            }
        }
    }
    return std::wstring();
}

}  // namespace

std::vector<std::wstring> ReadHardwareIds(const std::wstring& infPath) {
    std::vector<std::wstring> ids;
    HINF inf = ::SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) {
        return ids;
    }
    INFCONTEXT manufacturer;
    for (BOOL more = ::SetupFindFirstLineW(inf, L"Manufacturer", nullptr, &manufacturer); more;
         more = ::SetupFindNextLine(&manufacturer, &manufacturer)) {
        const std::wstring section = ModelsSection(inf, manufacturer);
        if (section.empty()) {
            continue;
        }
        INFCONTEXT model;
        for (BOOL found = ::SetupFindFirstLineW(inf, section.c_str(), nullptr, &model); found;
             found = ::SetupFindNextLine(&model, &model)) {
            // Field 1 is the install section; the hardware ID and any compatible IDs follow.
            for (DWORD i = 2, count = ::SetupGetFieldCount(&model); i <= count; ++i) {
                const std::wstring id = Field(model, i);
                if (!id.empty() && std::find(ids.begin(), ids.end(), id) == ids.end()) {
                    ids.push_back(id);
                }
            }
        }
    }
    ::SetupCloseInfFile(inf);
    return ids;
}
