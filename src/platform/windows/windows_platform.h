#pragma once
// The real platform: each operation is one or a few Windows calls. These files are the only
// part of the setup that includes <windows.h>.

#include "platform/platform.h"

namespace kyt {

class WindowsPlatform final : public Platform {
public:
    std::optional<ByteView> FindResourceBytes(const WideString& name) override;
    TempPathReading ReadTempPath() override;
    FolderResult MakeFolder(const WideString& path) override;
    std::optional<HeldFolder> HoldFolder(const WideString& path) override;
    bool IsOnLocalVolumeWithAccessLists(HandleValue folder) override;
    bool IsRealDirectory(HandleValue folder) override;
    std::optional<HeldFolder> CreateHeldFolder(HandleValue parent, const WideString& name, Creation creation) override;
    std::optional<OwnedHandle> ReferToFolder(HandleValue folder) override;
    RemoveResult RemoveReferredFolder(HandleValue reference) override;
    std::uint32_t ProcessId() override;
    std::uint64_t TickCount() override;
    std::optional<OwnedHandle> OpenNewFile(const WideString& path) override;
    bool WriteBytes(HandleValue file, ByteView bytes, std::uint32_t& written) override;
    void CloseHandleValue(HandleValue handle) override;
    RemoveResult RemoveFile(const WideString& path) override;
    RemoveResult RemoveFolder(const WideString& path) override;
    void Pause(std::uint32_t milliseconds) override;
    std::optional<ProcessHandles> StartProcess(const WideString& applicationPath, WideString commandLine,
                                               const WideString& currentDirectory) override;
    bool WaitForExit(HandleValue process) override;
    bool ReadExitCode(HandleValue process, std::uint32_t& exitCode) override;
    bool BoxCanBeSeen() override;
    void ShowErrorBox(const WideString& text, const WideString& caption) override;
    void ReportRun(const WideString& source, const RunRecord& record) override;
};

// Restricts the process before anything else runs: DLLs come from the system folder only, and
// Administrators become the default owner of what it creates. The first is there on the
// Windows 10 and later that the executable requires; a refused second leaves the defences as
// they are, since the setup names the owner of its own objects.
void HardenProcess();

}  // namespace kyt
