#pragma once
// The one seam between the setup's logic and the operating system. The Windows implementation
// makes the real calls; the tests use an in-memory simulation that can make any call fail.
// Every answer is the program's own small result, so the logic never reads an error code.
//
// Why the folder calls look as they do. The setup runs elevated but works below the user's own
// temporary folder, whose path the user chooses and in which every unelevated program of the
// user may rename, delete, re-point or re-permit what it finds, turn an empty folder into a
// mount point, make links in the object namespace, and keep handles whose rights stay what
// they were when opened. So no name below that folder is trusted, only objects the setup made
// or opened and still holds: the temporary folder is opened once, by the user's path, and held;
// the base folder is made or opened relative to that hold and the staging directory made
// relative to the base folder's, each held by the very handle that made or opened it, and a
// folder counts only when it lies where its name says on a local volume that keeps access
// lists, reached by its drive letter. While a hold is open Windows lets nobody delete or
// rename the folder or any folder above it on its volume, so paths below the held staging
// directory lead where they led; the staging directory itself is removed through a handle.
// Nothing found is ever re-permitted; what the setup makes gets its descriptor at creation.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "common/types.h"

namespace kyt {

// An open handle of the platform, as an opaque number. OwnedHandle closes it.
using HandleValue = std::uintptr_t;

class Platform;

// Owns one platform handle and closes it exactly once: on Close() or when it goes out of scope.
// Every handle the platform hands out comes owned; the calls that only use one take its value.
class OwnedHandle {
public:
    OwnedHandle() = default;
    OwnedHandle(Platform& platform, HandleValue value) : platform_(&platform), value_(value) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    OwnedHandle(OwnedHandle&& other) noexcept
        : platform_(std::exchange(other.platform_, nullptr)), value_(std::exchange(other.value_, 0)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            Close();
            platform_ = std::exchange(other.platform_, nullptr);
            value_ = std::exchange(other.value_, 0);
        }
        return *this;
    }
    ~OwnedHandle() { Close(); }

    HandleValue value() const { return value_; }

    // Closes the handle now; later calls do nothing.
    void Close();

private:
    Platform* platform_ = nullptr;
    HandleValue value_ = 0;
};

enum class FolderResult { Created, AlreadyExists, Failed };

// Whether a folder made relative to a handle must be new, or may be one found there.
enum class Creation { NewOnly, NewOrExisting };

// What a removal did. Removed: it is gone, also when it was gone already. Busy: refused for now,
// because another program has the object open (a scanner or indexer, often, for a moment after
// a file was written) or it awaits deletion.
enum class RemoveResult { Removed, Busy, Failed };

// What the temporary-path query wrote: its return value and the text up to the first NUL.
struct TempPathReading {
    std::uint32_t length = 0;
    WideString path;
};

// A folder opened so that the open takes part in sharing (it lists the folder) without sharing
// deletion: while the handle is open nobody can delete, rename or replace the folder, and no
// folder above it can be renamed either. The handle keeps the object, not its name.
struct HeldFolder {
    OwnedHandle hold;
    bool isRealDirectory = false;  // a directory, not a junction or other reparse point
    WideString finalPath;          // the folder's own path, through no junction
};

// The two handles of a started process. Declared process first, so that the thread's handle
// is closed before the process's when both go out of scope together.
struct ProcessHandles {
    OwnedHandle process;
    OwnedHandle thread;
};

// The kind of an event-log record, as Event Viewer shows it, by the event log's own numbers.
enum class RecordType : std::uint16_t { Error = 1, Warning = 2, Information = 4 };

// One record of the Application event log. No message file is registered for its source, so
// its strings are all that a reader sees: each says what it means on its own.
struct RunRecord {
    RecordType type = RecordType::Information;
    std::uint32_t eventId = 0;
    std::vector<WideString> strings;
};

class Platform {
public:
    virtual ~Platform() = default;

    // Returns the bytes of the RT_RCDATA resource `name` of the running image (possibly none),
    // or nothing when it is missing or cannot be loaded or locked.
    virtual std::optional<ByteView> FindResourceBytes(const WideString& name) = 0;

    // Returns what the temporary-path query gives for a zero-filled buffer of 260 code units.
    virtual TempPathReading ReadTempPath() = 0;

    // Creates one folder owned by Administrators that inherits its access list from its parent;
    // tells whether this call created it, found it there, or failed.
    virtual FolderResult MakeFolder(const WideString& path) = 0;

    // Opens the folder at path, following junctions on the way and at its end (the path is the
    // user's choice), and holds it (see HeldFolder); nothing when it is no folder of a file system.
    virtual std::optional<HeldFolder> HoldFolder(const WideString& path) = 0;

    // Returns true when the held folder lies on a local volume that keeps access lists (not a
    // network drive, whose server answers as it likes, and not FAT, which keeps none), and that
    // volume is the one the drive letter of its final path names: no folder of another volume in
    // which it is mounted lies on the way, since no hold keeps such a folder in place.
    virtual bool IsOnLocalVolumeWithAccessLists(HandleValue folder) = 0;

    // Returns true when the held folder is, through its handle, still a directory and not a
    // junction or other reparse point.
    virtual bool IsRealDirectory(HandleValue folder) = 0;

    // Creates the folder `name` in the held folder `parent`, relative to that handle and opening
    // no reparse point, owned by Administrators with the protected access list, and holds it with
    // the handle that created it. With Creation::NewOrExisting a folder or junction found under
    // that name is opened and held as it is (a found one keeps its own access list). Nothing when
    // the folder is neither created nor, where allowed, found.
    virtual std::optional<HeldFolder> CreateHeldFolder(HandleValue parent, const WideString& name,
                                                       Creation creation) = 0;

    // Opens the held folder again through its handle, for its attributes only: the new handle
    // takes no part in sharing, so the folder can be removed through it once the hold is closed.
    virtual std::optional<OwnedHandle> ReferToFolder(HandleValue folder) = 0;

    // Removes the empty folder that the handle refers to, through handles only; tells whether it
    // is gone, busy (another program has it open), or cannot go.
    virtual RemoveResult RemoveReferredFolder(HandleValue reference) = 0;

    // Returns the id of the running process.
    virtual std::uint32_t ProcessId() = 0;

    // Returns the milliseconds since the system started.
    virtual std::uint64_t TickCount() = 0;

    // Creates (owned by Administrators, inheriting its access list) or truncates a file for
    // exclusive writing; returns its handle, or nothing.
    virtual std::optional<OwnedHandle> OpenNewFile(const WideString& path) = 0;

    // Writes bytes with one call; returns false when the call fails. `written` gets the count.
    virtual bool WriteBytes(HandleValue file, ByteView bytes, std::uint32_t& written) = 0;

    // Closes a handle. Only OwnedHandle calls this.
    virtual void CloseHandleValue(HandleValue handle) = 0;

    // Deletes one file; tells whether it is gone, busy, or cannot go.
    virtual RemoveResult RemoveFile(const WideString& path) = 0;

    // Removes one empty folder; tells whether it is gone (also when no folder has that path),
    // busy, or cannot go.
    virtual RemoveResult RemoveFolder(const WideString& path) = 0;

    // Returns after about this many milliseconds.
    virtual void Pause(std::uint32_t milliseconds) = 0;

    // Starts a program with this exact command line (a writable copy) and current directory,
    // the caller's environment, no inherited handles and no creation flags; returns its
    // handles, or nothing when it could not be started.
    virtual std::optional<ProcessHandles> StartProcess(const WideString& applicationPath,
                                                       WideString commandLine,
                                                       const WideString& currentDirectory) = 0;

    // Waits without a time-out; returns true only when the process has ended.
    virtual bool WaitForExit(HandleValue process) = 0;

    // Reads an ended process's exit code; returns false when the query fails.
    virtual bool ReadExitCode(HandleValue process, std::uint32_t& exitCode) = 0;

    // Returns true when a box shown now can be seen and dismissed by someone: the process runs in
    // an interactive session (not session 0) on a visible window station.
    virtual bool BoxCanBeSeen() = 0;

    // Shows a modal error box (OK button, error icon, no owner) and returns once it is dismissed.
    virtual void ShowErrorBox(const WideString& text, const WideString& caption) = 0;

    // Writes the record to the Application event log under this source name, which it does not
    // register anywhere; a record that cannot be written is dropped.
    virtual void ReportRun(const WideString& source, const RunRecord& record) = 0;
};

inline void OwnedHandle::Close() {
    if (platform_ != nullptr) {
        std::exchange(platform_, nullptr)->CloseHandleValue(value_);
    }
}

}  // namespace kyt
