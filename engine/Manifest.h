#pragma once
// The update manifest's entries and the requests sent to the download server.
// Pure text functions: no files, no registry, no network.
#include <string>
#include <vector>

namespace Manifest {

// Leading decimal number of a text, optional sign, 0 without digits (atoi).
int LeadingInt(const std::string& text);

// The checksum of a file spec: the text between its last "^" and its last
// "." (from the start when there is no "^"; up to the end when no "." follows).
std::string ChecksumOf(const std::string& spec);

// One entry of the FILE section: key = "version,spec,order".
struct FileEntry {
    std::string key;       // local name; "__" stands for "\"
    int version = 0;
    std::string spec;      // remote name, carries the checksum
    int order = 0;
    std::string checksum;  // ChecksumOf(spec)
};
// False (entry to be skipped) when the value has fewer than three pieces or
// the key is empty.
bool ParseFileEntry(const std::string& key, const std::string& value, FileEntry& out);
// Ascending order numbers; entries with equal numbers keep their order.
void SortByOrder(std::vector<FileEntry>& entries);

// One entry of the PATCH section: FILE key = "<base checksum>,<patch spec>".
// The patch applies to the installed file recorded with the base checksum;
// its spec names the patch file's SHA-256 as its checksum.
struct PatchEntry {
    std::string base;    // as recorded for the installed file
    std::string spec;    // remote name of the patch file
    std::string digest;  // ChecksumOf(spec), lower case
};
// False when either part is empty or the remote name's checksum is not 64 hex digits.
bool ParsePatchEntry(const std::string& value, PatchEntry& out);
// "PATCH_SIZE": <FILE key>=<size in bytes of the file its patch makes>.
// Installers that do not know the section ignore it.
extern const char kPatchSizeSection[];

// One entry of the REG section: key = "name[/subkey]", value = "type/mark/data".
struct RegEntry {
    std::string name;
    std::string subKey;     // below the brand's key; empty: the brand's key itself
    bool isNumber = false;  // type "D"; type "S" is a string
    bool overwrite = false; // mark "Y"
    std::string data;       // may hold "/"
};
// False when the entry is to be ignored: fewer than three value parts, a type
// other than "D" or "S", or a subkey path that would leave the brand's key.
bool ParseRegEntry(const std::string& key, const std::string& value, RegEntry& out);

// "Product_7%Did_12%Lang_EN.ini" (ProfileIniName without its "%") to
// "Product=7&Did=12&Lang=EN": ".ini" dropped, "%" to "&", then "_" to "=".
std::string ProfileQuery(const std::string& iniFileName);
// The two characters after the first "&Lang=" (fewer at the end; "" without).
std::string LanguageOf(const std::string& query);
// "Dl/ClientResources.asp?Remote=1&" + query + "&LastUpdateDate=" + date + "&Brand=" + brand.
std::string ManifestRequest(const std::string& query, const std::string& lastUpdateDate, const std::string& brand);
// "Dl/UpdateResources.asp?" + the manifest request's text after its first "?".
std::string ResourceUpdateRequest(const std::string& manifestRequest);
// The cabinet beside the installer: ProfileIniName (without "%") up to its first "%", + ".cab".
std::string CabinetName(const std::string& iniFileName);

// The extension of a name: from its last "." to the end ("" without a ".").
std::string ExtensionOf(const std::string& name);
// Whether the FILE entry's package is a compressed form of the file (its
// remote extension differs from the local one), which GetFile unpacks.
bool IsPackedForm(const FileEntry& entry);

// A server-chosen relative path ("\" separated, "__" already replaced) that
// stays inside the folder it is relative to: not empty, no drive, no leading
// "\" or "/", no "." or ".." component, no empty component, no ":" anywhere.
bool IsSafeRelativePath(const std::string& path);

} // namespace Manifest
