#pragma once
// An in-memory stand-in for Windows: resources, a case-insensitive file system, a clock, the
// installer process and the message box. Any call can be made to fail, and every call is
// logged, so a test can say which call fails and check what the run then leaves behind.

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kyt::testing {

enum class Call {
    FindResourceBytes, ReadTempPath, MakeFolder, ProcessId, TickCount, OpenNewFile, WriteBytes,
    CloseHandleValue, RemoveFile, RemoveFolder, StartProcess, WaitForExit, ReadExitCode, ShowErrorBox,
    MakeProtectedFolder, OpenExistingFolder, HasTrustedOwner, ProtectFolder, HoldFolder,
};

// Returns the call's name, as the log writes it.
std::string CallName(Call call);

// One message box that was shown, with the disk as it was at that moment.
struct ShownBox {
    WideString text;
    WideString caption;
    std::set<WideString> diskAtThatTime;
};

// One process start as the platform received it.
struct StartedProgram {
    WideString applicationPath;
    WideString commandLine;
    WideString currentDirectory;
};

class SimulatedPlatform final : public Platform {
public:
    SimulatedPlatform();

    // --- Setting the scene -------------------------------------------------------------
    void AddResource(const WideString& name, const std::string& bytes);
    void AddFolder(const WideString& path);
    // A folder owned by someone untrusted (the user, unelevated), or a junction.
    void AddForeignFolder(const WideString& path);
    void AddJunction(const WideString& path);
    void AddFile(const WideString& path, const std::string& bytes = "x");
    void SetTempPath(const WideString& path, std::optional<std::uint32_t> reportedLength = std::nullopt);

    // Makes the n-th call (counting from 1) of this kind fail.
    void FailCall(Call call, int occurrence = 1);
    // Makes every call of this kind on this path fail.
    void FailPath(Call call, const WideString& path);
    // Makes the n-th platform call of the whole run fail, whatever its kind.
    void FailCallNumber(int number) { failCallNumber_ = number; }
    // Makes writes report this many bytes fewer than they were given (still succeeding).
    void ShortenWritesBy(std::uint32_t bytes) { shortWriteBy_ = bytes; }

    // What the started installer does while it runs; it returns the exit code.
    std::function<std::uint32_t(SimulatedPlatform&, const StartedProgram&)> installer;

    std::uint32_t processId = 812;
    std::uint64_t tickCount = 977;
    std::uint64_t tickStep = 0;  // added after every tick read

    // --- Reading the outcome ----------------------------------------------------------
    // Every path on disk (folders and files), as created.
    std::set<WideString> Disk() const;
    bool Exists(const WideString& path) const;
    // Whether the folder carries the protected access list.
    bool IsProtected(const WideString& path) const;
    // Whether a hold is open on the folder.
    bool IsHeld(const WideString& path) const;
    std::string FileContents(const WideString& path) const;
    // Calls in order: "MakeFolder C:\\Temp\\KYT_DRIVER_SETUP", "CloseHandleValue thread", ...
    const std::vector<std::string>& Log() const { return log_; }
    int CallCount() const { return callCount_; }
    int OpenHandles() const { return static_cast<int>(openHandles_.size()); }

    std::vector<ShownBox> boxes;
    std::vector<StartedProgram> started;

    // --- Platform ----------------------------------------------------------------------
    std::optional<ByteView> FindResourceBytes(const WideString& name) override;
    TempPathReading ReadTempPath() override;
    FolderResult MakeFolder(const WideString& path) override;
    FolderResult MakeProtectedFolder(const WideString& path) override;
    std::optional<ExistingFolder> OpenExistingFolder(const WideString& path) override;
    bool HasTrustedOwner(HandleValue folder, HandleValue ownFolder) override;
    bool ProtectFolder(HandleValue folder) override;
    std::optional<HandleValue> HoldFolder(const WideString& path) override;
    std::uint32_t ProcessId() override;
    std::uint64_t TickCount() override;
    std::optional<HandleValue> OpenNewFile(const WideString& path) override;
    bool WriteBytes(HandleValue file, ByteView bytes, std::uint32_t& written) override;
    void CloseHandleValue(HandleValue handle) override;
    bool RemoveFile(const WideString& path) override;
    bool RemoveFolder(const WideString& path) override;
    std::optional<ProcessHandles> StartProcess(const WideString& applicationPath, WideString commandLine,
                                               const WideString& currentDirectory) override;
    bool WaitForExit(HandleValue process) override;
    bool ReadExitCode(HandleValue process, std::uint32_t& exitCode) override;
    void ShowErrorBox(const WideString& text, const WideString& caption) override;

private:
    struct Node {
        WideString path;  // as created
        bool isFolder = false;
        std::string contents;
        bool isProtected = false;
        bool ownedByUser = false;  // made by an unelevated program of the user, not by the setup
        bool isJunction = false;
    };
    enum class HandleKind { File, Process, Thread, Folder, Hold };
    struct OpenHandle {
        HandleKind kind;
        WideString path;
        std::uint32_t exitCode = 0;
    };

    // Counts the call, logs it, and returns whether it is to fail.
    bool Enter(Call call, const std::string& detail, const WideString& path = {});
    const Node* Find(const WideString& path) const;
    FolderResult CreateFolderNode(const WideString& path, bool isProtected);
    bool ParentIsFolder(const WideString& path) const;
    bool IsOpen(const WideString& path) const;
    HandleValue NewHandle(HandleKind kind, const WideString& path);

    std::map<WideString, std::string> resources_;
    std::map<WideString, Node> nodes_;  // keyed by the upper-cased path
    std::map<HandleValue, OpenHandle> openHandles_;
    HandleValue nextHandle_ = 0x100;
    WideString tempPath_ = u"C:\\Temp\\";
    std::optional<std::uint32_t> tempLength_;
    std::map<Call, std::set<int>> failOccurrences_;
    std::map<Call, std::set<WideString>> failPaths_;
    std::map<Call, int> occurrences_;
    int failCallNumber_ = 0;
    int callCount_ = 0;
    std::uint32_t shortWriteBy_ = 0;
    std::vector<std::string> log_;
};

// Returns the UTF-16 text as UTF-8, for messages and logs.
std::string Narrow(const WideString& text);

}  // namespace kyt::testing
