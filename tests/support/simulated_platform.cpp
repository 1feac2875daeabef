// The simulated Windows as the setup sees it: each call counted, logged and maybe made to fail.
#include <algorithm>

#include "support/simulated_platform.h"

namespace kyt::testing {

std::string Narrow(const WideString& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string CallName(Call call) {
    static const char* const names[] = {
        "FindResourceBytes", "ReadTempPath", "MakeFolder", "ProcessId", "TickCount", "OpenNewFile", "WriteBytes",
        "CloseHandleValue", "RemoveFile", "RemoveFolder", "StartProcess", "WaitForExit", "ReadExitCode",
        "ShowErrorBox", "HoldFolder", "IsOnLocalVolumeWithAccessLists", "IsRealDirectory",
        "CreateHeldFolder", "ReferToFolder", "RemoveReferredFolder", "Pause", "BoxCanBeSeen",
        "ReportRun",
    };
    return names[static_cast<int>(call)];
}

// --- Platform ---------------------------------------------------------------------------------

bool SimulatedPlatform::Enter(Call call, const std::string& detail, const WideString& path) {
    ++callCount_;
    if (beforeCall && !inCallback_) {
        inCallback_ = true;
        beforeCall(*this, callCount_);
        inCallback_ = false;
    }
    const int occurrence = ++occurrences_[call];
    const bool fails = failWhen && failWhen(CallFacts{call, callCount_, occurrence, path});
    log_.push_back(LoggedCall{call, detail, fails});
    return fails;
}

std::optional<ByteView> SimulatedPlatform::FindResourceBytes(const WideString& name) {
    if (Enter(Call::FindResourceBytes, Narrow(name))) {
        return std::nullopt;
    }
    const auto found = resources_.find(name);
    if (found == resources_.end()) {
        return std::nullopt;
    }
    return ByteView(reinterpret_cast<const std::uint8_t*>(found->second.data()), found->second.size());
}

TempPathReading SimulatedPlatform::ReadTempPath() {
    if (Enter(Call::ReadTempPath, "")) {
        return {};
    }
    const auto length = tempLength_.value_or(static_cast<std::uint32_t>(tempPath_.size()));
    return TempPathReading{length, length < 260 ? tempPath_ : WideString()};
}

FolderResult SimulatedPlatform::MakeFolder(const WideString& path) {
    if (Enter(Call::MakeFolder, Narrow(path), path)) {
        return FolderResult::Failed;
    }
    bool existed = false;
    const int node = CreateAt(Actor::Setup, path, Kind::Folder, existed);
    if (node < 0) {
        return existed ? FolderResult::AlreadyExists : FolderResult::Failed;
    }
    Acted("make folder", node);
    return FolderResult::Created;
}

std::optional<HeldFolder> SimulatedPlatform::HoldFolder(const WideString& path) {
    if (Enter(Call::HoldFolder, Narrow(path), path)) {
        return std::nullopt;
    }
    // Junctions are followed to the end; listing takes part in sharing, deletion is not shared.
    // A folder of the object namespace is no folder of a file system.
    const int node = Resolve(path, true);
    if (node < 0 || nodes_[node].kind != Kind::Folder || !TraitsOf(nodes_[node].volume).fileSystem ||
        !MayOpen(Actor::Setup, node, kReadData, kShareRead | kShareWrite)) {
        return std::nullopt;
    }
    return HeldFolder{Owned(NewHandle(Holder::Setup, "hold", node, kReadData, kShareRead | kShareWrite)), true,
                      PathOf(node)};
}

bool SimulatedPlatform::IsOnLocalVolumeWithAccessLists(HandleValue folder) {
    const OpenHandle* open = HandleOf(folder);
    if (Enter(Call::IsOnLocalVolumeWithAccessLists, HandlePath(folder)) || open == nullptr ||
        !TraitsOf(nodes_[open->node].volume).keepsAccessLists || TraitsOf(nodes_[open->node].volume).remote) {
        return false;
    }
    // The final path must start with a drive letter that names the folder's own volume.
    const WideString drive = Components(PathOf(open->node)).front();
    return drive.size() == 2 && drive[1] == u':' && Resolve(drive, false) == VolumeRootOf(open->node);
}

bool SimulatedPlatform::IsRealDirectory(HandleValue folder) {
    const OpenHandle* open = HandleOf(folder);
    return !Enter(Call::IsRealDirectory, HandlePath(folder)) && open != nullptr &&
           nodes_[open->node].kind == Kind::Folder;
}

std::optional<HeldFolder> SimulatedPlatform::CreateHeldFolder(HandleValue parent, const WideString& name,
                                                               Creation creation) {
    const OpenHandle* open = HandleOf(parent);
    if (Enter(Call::CreateHeldFolder, HandlePath(parent) + " " + Narrow(name)) || open == nullptr) {
        return std::nullopt;
    }
    // Relative to the handle, whatever its folder's name is now.
    const int folder = relativeCreationFollowsJunction ? Follow(open->node) : open->node;
    bool existed = false;
    int node = CreateIn(Actor::Setup, folder, name, Kind::Folder, true, existed);
    if (node < 0 && existed && creation == Creation::NewOrExisting) {
        // Opened as it is, a junction as itself, but a link of the object namespace is followed;
        // a file is no folder.
        const int child = nodes_[folder].children.at(UpperCase(name));
        node = nodes_[child].kind == Kind::Link ? Follow(child) : child;
        if (node >= 0 && (nodes_[node].kind == Kind::File ||
                          !MayOpen(Actor::Setup, node, kReadData, kShareRead | kShareWrite))) {
            node = -1;
        }
    }
    if (node < 0) {
        return std::nullopt;
    }
    OwnedHandle hold = Owned(NewHandle(Holder::Setup, "hold", node, kReadData, kShareRead | kShareWrite));
    return HeldFolder{std::move(hold), nodes_[node].kind == Kind::Folder, PathOf(node)};
}

std::optional<OwnedHandle> SimulatedPlatform::ReferToFolder(HandleValue folder) {
    const OpenHandle* open = HandleOf(folder);
    if (Enter(Call::ReferToFolder, HandlePath(folder)) || open == nullptr) {
        return std::nullopt;
    }
    return Owned(NewHandle(Holder::Setup, "reference", open->node, 0, kShareAll));
}

RemoveResult SimulatedPlatform::RemoveReferredFolder(HandleValue reference) {
    const OpenHandle* open = HandleOf(reference);
    if (Enter(Call::RemoveReferredFolder, HandlePath(reference)) || open == nullptr) {
        return RemoveResult::Failed;
    }
    return Remove(Actor::Setup, open->node, true);
}

std::uint32_t SimulatedPlatform::ProcessId() {
    Enter(Call::ProcessId, "");
    return processId;
}

std::uint64_t SimulatedPlatform::TickCount() {
    Enter(Call::TickCount, "");
    const std::uint64_t now = tickCount;
    tickCount += tickStep;
    return now;
}

std::optional<OwnedHandle> SimulatedPlatform::OpenNewFile(const WideString& path) {
    if (Enter(Call::OpenNewFile, Narrow(path), path)) {
        return std::nullopt;
    }
    const int node = OpenToWrite(Actor::Setup, path, 0);
    if (node < 0) {
        return std::nullopt;
    }
    nodes_[node].contents.clear();
    Acted("write", node);
    return Owned(NewHandle(Holder::Setup, "file", node, kWriteData, 0));
}

bool SimulatedPlatform::WriteBytes(HandleValue file, ByteView bytes, std::uint32_t& written) {
    const OpenHandle* open = HandleOf(file);
    const WideString path = open != nullptr ? PathOf(open->node) : WideString();
    written = 0;
    if (Enter(Call::WriteBytes, Narrow(path), path) || open == nullptr || (open->access & kWriteData) == 0) {
        return false;
    }
    const std::size_t count = bytes.size() - std::min<std::size_t>(shortWriteBy_, bytes.size());
    nodes_[open->node].contents.append(reinterpret_cast<const char*>(bytes.data()), count);
    written = static_cast<std::uint32_t>(count);
    return true;
}

void SimulatedPlatform::CloseHandleValue(HandleValue handle) {
    const OpenHandle* open = HandleOf(handle);
    Enter(Call::CloseHandleValue, open == nullptr ? "unknown" : open->label);
    openHandles_.erase(handle);
}

RemoveResult SimulatedPlatform::RemovePath(Call call, const WideString& path, bool folder) {
    const bool fails = Enter(call, Narrow(path), path);
    const int node = Resolve(path, false);
    // Windows can fail a removal only of something there; of nothing, it says it is not found.
    if (fails && node >= 0 && !(folder && nodes_[node].kind == Kind::File)) {
        return RemoveResult::Failed;
    }
    return Remove(Actor::Setup, node, folder);
}

RemoveResult SimulatedPlatform::RemoveFile(const WideString& path) {
    return RemovePath(Call::RemoveFile, path, false);
}

RemoveResult SimulatedPlatform::RemoveFolder(const WideString& path) {
    return RemovePath(Call::RemoveFolder, path, true);
}

void SimulatedPlatform::Pause(std::uint32_t milliseconds) {
    Enter(Call::Pause, std::to_string(milliseconds));
    pausedMilliseconds += milliseconds;
    tickCount += milliseconds;
}

std::optional<ProcessHandles> SimulatedPlatform::StartProcess(const WideString& applicationPath,
                                                              WideString commandLine,
                                                              const WideString& currentDirectory) {
    if (Enter(Call::StartProcess, Narrow(commandLine), applicationPath)) {
        return std::nullopt;
    }
    // The new process opens its current directory to traverse it, sharing reading and writing
    // but not deletion, and keeps it open while it runs.
    const int program = Resolve(applicationPath, true);
    const int directory = Resolve(currentDirectory, true);
    if (program < 0 || nodes_[program].kind != Kind::File ||
        !MayOpen(Actor::Setup, program, kReadData | kExecute, kShareRead | kShareDelete) || directory < 0 ||
        !MayOpen(Actor::Setup, directory, kExecute, kShareRead | kShareWrite)) {
        return std::nullopt;
    }
    Acted("start", program);
    started.push_back(
        StartedProgram{applicationPath, commandLine, currentDirectory, PathOf(program), nodes_[program].contents});
    const HandleValue inDirectory =
        NewHandle(Holder::Setup, "directory", directory, kExecute, kShareRead | kShareWrite);
    const std::uint32_t exitCode = installer ? installer(*this, started.back()) : 0;
    openHandles_.erase(inDirectory);
    const HandleValue process = NewHandle(Holder::Setup, "process", -1, 0, 0);
    openHandles_[process].exitCode = exitCode;
    return ProcessHandles{Owned(process), Owned(NewHandle(Holder::Setup, "thread", -1, 0, 0))};
}

bool SimulatedPlatform::WaitForExit(HandleValue process) {
    return !Enter(Call::WaitForExit, "") && HandleOf(process) != nullptr;
}

bool SimulatedPlatform::ReadExitCode(HandleValue process, std::uint32_t& exitCode) {
    const OpenHandle* open = HandleOf(process);
    if (Enter(Call::ReadExitCode, "") || open == nullptr) {
        return false;
    }
    exitCode = open->exitCode;
    return true;
}

bool SimulatedPlatform::BoxCanBeSeen() {
    return !Enter(Call::BoxCanBeSeen, "") && boxCanBeSeen;
}

void SimulatedPlatform::ShowErrorBox(const WideString& text, const WideString& caption) {
    Enter(Call::ShowErrorBox, Narrow(text));
    boxes.push_back(ShownBox{text, caption, Disk()});
}

void SimulatedPlatform::ReportRun(const WideString& source, const RunRecord& record) {
    if (!Enter(Call::ReportRun, std::to_string(record.eventId))) {
        applicationLog.emplace_back(source, record);
    }
}

}  // namespace kyt::testing
