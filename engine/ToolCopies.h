#pragma once
// The programs the installer starts and waits for (the decoders, the patch
// tool, the cabinet tool, a release's post-install tool) are files of the
// data folder, which on Windows Vista and later the player's own programs may
// change while the installer runs with an administrator's rights. None is
// started from there. Each is copied, once a pass, into a folder of the
// system's temporary folder that only administrators and the system may
// change: from bytes read through one handle that shuts writers out, checked
// against the release's SHA-256 where the release declares digests, and the
// copy stays open without write or delete sharing until the pass ends.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "utils/Handles.h"
#include "utils/Lockable.h"
#include "utils/Result.h"

class ToolCopies : private Utils::Lockable {
public:
    // The SHA-256 (lower-case hex) the release declares for a file given by
    // its path relative to the data folder; false when the release lists no
    // such file.
    using DigestLookup = std::function<bool(const std::string& relative, std::string& digest)>;

    ToolCopies() = default;
    ~ToolCopies() override { End(); }

    // A new release: the last one's copies are removed. With a lookup only a
    // tool the release lists, with exactly its bytes, is started.
    void Begin(DigestLookup lookup);
    // Removes the copies and their folder (no tool runs any more).
    void End();
    bool ChecksDigests() const { return static_cast<bool>(m_lookup); }
    // The path to start in place of dataFolder\relative (a safe relative
    // path). Failure: ToolFailed when the file cannot be read or copied,
    // DigestMismatch when its bytes are not the release's.
    Utils::Result Program(const std::string& dataFolder, const std::string& relative, std::string& program);
    // The administrators-only folder of this pass ("" before the first copy).
    std::string Folder() const { return m_folder; }

private:
    struct Copy {
        std::string relative;  // lower case
        std::string path;
        Utils::FileHandle held;
    };
    Utils::Result MakeFolder();
    Utils::Result MakeSubfolders(const std::string& relative);

    DigestLookup m_lookup;
    std::string m_folder;
    Utils::FileHandle m_folderHandle;     // keeps the folder from being renamed or removed
    std::vector<std::string> m_subfolders;  // made inside it, in order
    std::vector<Copy> m_copies;
};

// Whether `relative` (a path relative to the data folder) names a program the
// engine starts: a decoder, the patch or cabinet tool, or the post-install
// tool `postInstallTool` (relative too; empty: none).
bool IsStartedTool(const std::string& relative, const std::string& postInstallTool);
