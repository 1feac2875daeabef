#include "support/simulated_platform.h"

#include <algorithm>

namespace kyt::testing {
namespace {

WideString UpperCase(const WideString& path) {
    WideString upper = path;
    for (char16_t& c : upper) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        } else if (c == u'/') {
            c = u'\\';  // the file system takes both separators
        }
    }
    return upper;
}

WideString ParentOf(const WideString& path) {
    const std::size_t slash = path.find_last_of(u"\\/");
    return slash == WideString::npos ? WideString() : path.substr(0, slash);
}

}  // namespace

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
        "ShowErrorBox", "MakeProtectedFolder", "OpenExistingFolder", "HasTrustedOwner", "ProtectFolder",
        "HoldFolder",
    };
    return names[static_cast<int>(call)];
}

SimulatedPlatform::SimulatedPlatform() {
    AddFolder(u"C:");
    AddFolder(u"C:\\Temp");
}

void SimulatedPlatform::AddResource(const WideString& name, const std::string& bytes) {
    resources_[name] = bytes;
}

void SimulatedPlatform::AddFolder(const WideString& path) {
    nodes_[UpperCase(path)] = Node{path, true, {}};
}

void SimulatedPlatform::AddForeignFolder(const WideString& path) {
    nodes_[UpperCase(path)] = Node{path, true, {}, false, true, false};
}

void SimulatedPlatform::AddJunction(const WideString& path) {
    nodes_[UpperCase(path)] = Node{path, true, {}, false, false, true};
}

void SimulatedPlatform::AddFile(const WideString& path, const std::string& bytes) {
    nodes_[UpperCase(path)] = Node{path, false, bytes};
}

void SimulatedPlatform::SetTempPath(const WideString& path, std::optional<std::uint32_t> reportedLength) {
    tempPath_ = path;
    tempLength_ = reportedLength;
}

void SimulatedPlatform::FailCall(Call call, int occurrence) {
    failOccurrences_[call].insert(occurrence);
}

void SimulatedPlatform::FailPath(Call call, const WideString& path) {
    failPaths_[call].insert(path);
}

std::set<WideString> SimulatedPlatform::Disk() const {
    std::set<WideString> paths;
    for (const auto& [key, node] : nodes_) {
        paths.insert(node.path);
    }
    return paths;
}

bool SimulatedPlatform::Exists(const WideString& path) const {
    return Find(path) != nullptr;
}

bool SimulatedPlatform::IsProtected(const WideString& path) const {
    const Node* node = Find(path);
    return node != nullptr && node->isProtected;
}

bool SimulatedPlatform::IsHeld(const WideString& path) const {
    return std::any_of(openHandles_.begin(), openHandles_.end(), [&](const auto& open) {
        return open.second.kind == HandleKind::Hold && UpperCase(open.second.path) == UpperCase(path);
    });
}

std::string SimulatedPlatform::FileContents(const WideString& path) const {
    const Node* node = Find(path);
    return node != nullptr ? node->contents : std::string();
}

bool SimulatedPlatform::Enter(Call call, const std::string& detail, const WideString& path) {
    ++callCount_;
    const int occurrence = ++occurrences_[call];
    log_.push_back(CallName(call) + (detail.empty() ? "" : " " + detail));
    return callCount_ == failCallNumber_ || failOccurrences_[call].count(occurrence) != 0 ||
           failPaths_[call].count(path) != 0;
}

const SimulatedPlatform::Node* SimulatedPlatform::Find(const WideString& path) const {
    const auto found = nodes_.find(UpperCase(path));
    return found == nodes_.end() ? nullptr : &found->second;
}

bool SimulatedPlatform::ParentIsFolder(const WideString& path) const {
    const Node* parent = Find(ParentOf(path));
    return parent != nullptr && parent->isFolder;
}

bool SimulatedPlatform::IsOpen(const WideString& path) const {
    return std::any_of(openHandles_.begin(), openHandles_.end(), [&](const auto& open) {
        return open.second.kind == HandleKind::File && UpperCase(open.second.path) == UpperCase(path);
    });
}

HandleValue SimulatedPlatform::NewHandle(HandleKind kind, const WideString& path) {
    const HandleValue handle = nextHandle_;
    nextHandle_ += 4;
    openHandles_[handle] = OpenHandle{kind, path};
    return handle;
}

std::optional<ByteView> SimulatedPlatform::FindResourceBytes(const WideString& name) {
    if (Enter(Call::FindResourceBytes, Narrow(name))) {
        return std::nullopt;
    }
    const auto found = resources_.find(name);
    if (found == resources_.end()) {
        return std::nullopt;
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(found->second.data());
    return ByteView(data, found->second.size());
}

TempPathReading SimulatedPlatform::ReadTempPath() {
    if (Enter(Call::ReadTempPath, "")) {
        return {};
    }
    const auto length = tempLength_.value_or(static_cast<std::uint32_t>(tempPath_.size()));
    return TempPathReading{length, length < 260 ? tempPath_ : WideString()};
}

FolderResult SimulatedPlatform::CreateFolderNode(const WideString& path, bool isProtected) {
    if (Find(path) != nullptr) {
        return FolderResult::AlreadyExists;
    }
    if (!ParentIsFolder(path)) {
        return FolderResult::Failed;
    }
    AddFolder(path);
    nodes_[UpperCase(path)].isProtected = isProtected;
    return FolderResult::Created;
}

FolderResult SimulatedPlatform::MakeFolder(const WideString& path) {
    if (Enter(Call::MakeFolder, Narrow(path), path)) {
        return FolderResult::Failed;
    }
    return CreateFolderNode(path, false);
}

FolderResult SimulatedPlatform::MakeProtectedFolder(const WideString& path) {
    if (Enter(Call::MakeProtectedFolder, Narrow(path), path)) {
        return FolderResult::Failed;
    }
    return CreateFolderNode(path, true);
}

std::optional<ExistingFolder> SimulatedPlatform::OpenExistingFolder(const WideString& path) {
    const Node* node = Find(path);
    if (Enter(Call::OpenExistingFolder, Narrow(path), path) || node == nullptr) {
        return std::nullopt;
    }
    return ExistingFolder{NewHandle(HandleKind::Folder, path), node->isFolder && !node->isJunction};
}

bool SimulatedPlatform::HasTrustedOwner(HandleValue folder, HandleValue ownFolder) {
    const auto open = openHandles_.find(folder);
    const WideString path = open != openHandles_.end() ? open->second.path : WideString();
    if (Enter(Call::HasTrustedOwner, Narrow(path), path) || open == openHandles_.end() ||
        openHandles_.count(ownFolder) == 0) {
        return false;
    }
    const Node* node = Find(path);
    return node != nullptr && !node->ownedByUser;
}

bool SimulatedPlatform::ProtectFolder(HandleValue folder) {
    const auto open = openHandles_.find(folder);
    const WideString path = open != openHandles_.end() ? open->second.path : WideString();
    if (Enter(Call::ProtectFolder, Narrow(path), path) || open == openHandles_.end()) {
        return false;
    }
    nodes_[UpperCase(path)].isProtected = true;
    return true;
}

std::optional<HandleValue> SimulatedPlatform::HoldFolder(const WideString& path) {
    const Node* node = Find(path);
    if (Enter(Call::HoldFolder, Narrow(path), path) || node == nullptr || !node->isFolder || node->isJunction) {
        return std::nullopt;
    }
    return NewHandle(HandleKind::Hold, path);
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

std::optional<HandleValue> SimulatedPlatform::OpenNewFile(const WideString& path) {
    if (Enter(Call::OpenNewFile, Narrow(path), path)) {
        return std::nullopt;
    }
    const Node* existing = Find(path);
    if ((existing != nullptr && existing->isFolder) || !ParentIsFolder(path) || IsOpen(path)) {
        return std::nullopt;
    }
    AddFile(existing != nullptr ? existing->path : path, "");
    return NewHandle(HandleKind::File, path);
}

bool SimulatedPlatform::WriteBytes(HandleValue file, ByteView bytes, std::uint32_t& written) {
    const auto open = openHandles_.find(file);
    const WideString path = open != openHandles_.end() ? open->second.path : WideString();
    if (Enter(Call::WriteBytes, Narrow(path), path) || open == openHandles_.end()) {
        written = 0;
        return false;
    }
    const std::size_t count = bytes.size() - std::min<std::size_t>(shortWriteBy_, bytes.size());
    nodes_[UpperCase(path)].contents.append(reinterpret_cast<const char*>(bytes.data()), count);
    written = static_cast<std::uint32_t>(count);
    return true;
}

void SimulatedPlatform::CloseHandleValue(HandleValue handle) {
    const auto open = openHandles_.find(handle);
    static const char* const kinds[] = {"file", "process", "thread", "folder", "hold"};
    Enter(Call::CloseHandleValue, open == openHandles_.end() ? "unknown" : kinds[static_cast<int>(open->second.kind)]);
    if (open != openHandles_.end()) {
        openHandles_.erase(open);
    }
}

bool SimulatedPlatform::RemoveFile(const WideString& path) {
    if (Enter(Call::RemoveFile, Narrow(path), path)) {
        return false;
    }
    const Node* node = Find(path);
    if (node == nullptr || node->isFolder || IsOpen(path)) {
        return false;
    }
    nodes_.erase(UpperCase(path));
    return true;
}

bool SimulatedPlatform::RemoveFolder(const WideString& path) {
    if (Enter(Call::RemoveFolder, Narrow(path), path)) {
        return false;
    }
    const Node* node = Find(path);
    // A held folder cannot be removed: the hold does not share deletion.
    if (node == nullptr || !node->isFolder || IsHeld(path)) {
        return false;
    }
    const WideString prefix = UpperCase(path) + u'\\';
    const bool empty = std::none_of(nodes_.begin(), nodes_.end(),
                                    [&](const auto& entry) { return entry.first.starts_with(prefix); });
    if (!empty) {
        return false;
    }
    nodes_.erase(UpperCase(path));
    return true;
}

std::optional<ProcessHandles> SimulatedPlatform::StartProcess(const WideString& applicationPath,
                                                              WideString commandLine,
                                                              const WideString& currentDirectory) {
    if (Enter(Call::StartProcess, Narrow(commandLine), applicationPath)) {
        return std::nullopt;
    }
    const Node* program = Find(applicationPath);
    if (program == nullptr || program->isFolder) {
        return std::nullopt;
    }
    started.push_back(StartedProgram{applicationPath, commandLine, currentDirectory});
    const std::uint32_t exitCode = installer ? installer(*this, started.back()) : 0;
    const HandleValue process = NewHandle(HandleKind::Process, applicationPath);
    openHandles_[process].exitCode = exitCode;
    return ProcessHandles{process, NewHandle(HandleKind::Thread, applicationPath)};
}

bool SimulatedPlatform::WaitForExit(HandleValue process) {
    return !Enter(Call::WaitForExit, "") && openHandles_.count(process) != 0;
}

bool SimulatedPlatform::ReadExitCode(HandleValue process, std::uint32_t& exitCode) {
    const auto open = openHandles_.find(process);
    if (Enter(Call::ReadExitCode, "") || open == openHandles_.end()) {
        return false;
    }
    exitCode = open->second.exitCode;
    return true;
}

void SimulatedPlatform::ShowErrorBox(const WideString& text, const WideString& caption) {
    Enter(Call::ShowErrorBox, Narrow(text));
    boxes.push_back(ShownBox{text, caption, Disk()});
}

}  // namespace kyt::testing
