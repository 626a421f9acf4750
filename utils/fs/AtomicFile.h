#pragma once
// Replacing a file so that a crash or a kill at any moment leaves the old file
// or the new one under its name, never a part of either, and the names the
// content takes until then. Every temporary file lies in the folder of the
// file it is for (so the last step is a rename within one folder) and carries
// kTemporaryMarker in its name, so a later run can tell it from the files of
// the installation and clear it away.
#include <set>
#include <string>
#include <vector>

namespace Utils {
namespace FileSystem {

// ".~ov": the mark of every temporary name below.
extern const char kTemporaryMarker[];

// "<path>.~ov" + 8 hex digits of a hash of `source`: a file being received.
// The source is what the content comes from (a download's remote name), so
// a partial file can be told from one of another remote file.
std::string PartialName(const std::string& path, const std::string& source);
// "<path>.~ovnew": complete content waiting to replace `path`.
std::string ReplacementName(const std::string& path);
// "<path>.~ovold": the old file while ReplaceByRenames runs.
std::string BackupName(const std::string& path);
// "<path>.~ov" + 8 hex digits from the system's random source: a temporary
// name (IsTemporaryName) no other process can know before it exists, as long
// as PartialName's (the decoders' 255-character command line holds two such
// names of a 110-character file name). A wrong guess planted there only makes
// CreateNewPlainFile fail. Without the system's random source (never seen),
// the digits come from the clock and the process id.
std::string UnguessableName(const std::string& path);

// Whether a file name (without folder) holds kTemporaryMarker: one of the
// names above, or one a tool made from one of them ("x.~ovnew.decoding").
bool IsTemporaryName(const std::string& name);

// Flushes `source` to disk, then moves it over `target` in one step
// (MoveFileEx with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH). Where
// the system does not implement MoveFileEx (Windows 9x), ReplaceByRenames
// does the move. A read-only target is refused, as Windows refuses it (Wine
// would replace it). True when `target` holds the source's content; on
// failure the target is as it was and the source is left to the caller.
// sourceFlushed: the source was flushed when it was written (not again here).
bool ReplaceFileAtomically(const std::string& source, const std::string& target, bool sourceFlushed = false);

// The move without MoveFileEx: target to BackupName(target), source to
// target, then the backup is deleted; a failed second rename puts the backup
// back. A crash between the two renames leaves the backup and no target;
// RemoveTemporaries renames it back, and until then the target is missing,
// which a caller that checks its files' existence notices.
bool ReplaceByRenames(const std::string& source, const std::string& target);

// Clears what interrupted replacements left in `folder` (not its
// sub-folders), for names that begin with `namePrefix` ("" for all):
// temporary files are deleted; a backup whose file is missing is renamed
// back, else deleted. Returns the names dealt with. Files in use stay. One
// listing of the folder, of the marked names only.
std::vector<std::string> RemoveTemporaries(const std::string& folder, const std::string& namePrefix = "");

// The same for every name of `folder`, in the one listing that also tells
// which files are there: `present` receives the names (lower case, A-Z only)
// of the files that remain, `handled` the temporary names dealt with. A
// temporary name in `keep` (lower case, A-Z only) is left alone (a partial
// download worth resuming) and goes to `kept` instead.
void ListFilesRemovingTemporaries(const std::string& folder, std::set<std::string>& present,
                                  std::vector<std::string>& handled, const std::set<std::string>* keep = nullptr,
                                  std::vector<std::string>* kept = nullptr);

} // namespace FileSystem
} // namespace Utils
