// A minimal driver package installer. Started in a driver-package folder, it takes every INF
// at the folder's root, stages it into the driver store from its own directory, and installs
// it on each present device whose hardware ID the INF lists. It asks nothing and shows nothing.
//
// Exit code: bit 31 when any package failed, bit 30 when a restart is needed; bits 16..23 count
// the failed packages, bits 8..15 those staged but installed on no device, bits 0..7 those
// installed on at least one device.
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "inf_reader.h"

namespace {

struct Counts {
    DWORD failed = 0;
    DWORD stagedOnly = 0;
    DWORD installed = 0;
    bool restartNeeded = false;
};

// Returns the hardware IDs of every present device, upper-cased.
std::vector<std::wstring> PresentHardwareIds() {
    std::vector<std::wstring> ids;
    HDEVINFO devices = ::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return ids;
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        wchar_t list[4096] = {};
        if (::SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_HARDWAREID, nullptr,
                                                reinterpret_cast<BYTE*>(list), sizeof(list) - 4, nullptr)) {
            for (const wchar_t* id = list; *id != L'\0'; id += wcslen(id) + 1) {
                std::wstring upper = id;
                ::CharUpperW(upper.data());
                ids.push_back(upper);
            }
        }
    }
    ::SetupDiDestroyDeviceInfoList(devices);
    return ids;
}

// Stages one INF and installs it on the present devices it matches.
void InstallPackage(const std::wstring& infPath, const std::vector<std::wstring>& present, Counts& counts) {
    wchar_t staged[MAX_PATH] = {};
    if (!::SetupCopyOEMInfW(infPath.c_str(), nullptr, SPOST_PATH, 0, staged, MAX_PATH, nullptr, nullptr)) {
        ++counts.failed;
        return;
    }
    bool installedSomewhere = false;
    for (const std::wstring& id : ReadHardwareIds(infPath)) {
        std::wstring upper = id;
        ::CharUpperW(upper.data());
        if (std::find(present.begin(), present.end(), upper) == present.end()) {
            continue;
        }
        // Passing the restart flag keeps Windows from asking for a restart by itself.
        BOOL restart = FALSE;
        if (::UpdateDriverForPlugAndPlayDevicesW(nullptr, id.c_str(), infPath.c_str(), INSTALLFLAG_NONINTERACTIVE,
                                                 &restart)) {
            installedSomewhere = true;
            counts.restartNeeded = counts.restartNeeded || restart;
        } else if (::GetLastError() != ERROR_NO_SUCH_DEVINST) {
            ++counts.failed;
            return;
        }
    }
    ++(installedSomewhere ? counts.installed : counts.stagedOnly);
}

// Returns the full paths of the INF files directly in the current directory, sorted.
std::vector<std::wstring> PackageInfs() {
    wchar_t directory[MAX_PATH * 4] = {};
    ::GetCurrentDirectoryW(MAX_PATH * 4, directory);
    std::vector<std::wstring> infs;
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW(L"*.inf", &found);
    if (search == INVALID_HANDLE_VALUE) {
        return infs;
    }
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            infs.push_back(std::wstring(directory) + L"\\" + found.cFileName);
        }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    std::sort(infs.begin(), infs.end());
    return infs;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::vector<std::wstring> present = PresentHardwareIds();
    Counts counts;
    for (const std::wstring& inf : PackageInfs()) {
        InstallPackage(inf, present, counts);
    }
    DWORD code = (std::min<DWORD>(counts.failed, 0xFF) << 16) | (std::min<DWORD>(counts.stagedOnly, 0xFF) << 8) |
                 std::min<DWORD>(counts.installed, 0xFF);
    if (counts.failed > 0) code |= 0x80000000u;
    if (counts.restartNeeded) code |= 0x40000000u;
    return static_cast<int>(code);
}
