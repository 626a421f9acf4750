#include "engine/Manifest.h"

#include <algorithm>
#include <cstdlib>

#include "utils/string/String.h"

namespace Manifest {

int LeadingInt(const std::string& text) {
    return std::atoi(text.c_str());
}

std::string ChecksumOf(const std::string& spec) {
    size_t caret = spec.rfind('^');
    size_t start = caret == std::string::npos ? 0 : caret + 1;
    size_t dot = spec.rfind('.');
    if (dot == std::string::npos || dot < start) return spec.substr(start);
    return spec.substr(start, dot - start);
}

bool ParseFileEntry(const std::string& key, const std::string& value, FileEntry& out) {
    // "version,spec,order[,...]": the numbers are read where their pieces
    // start (a number ends at the comma anyway); no piece is copied but the remote name.
    const size_t first = value.find(',');
    const size_t second = first == std::string::npos ? first : value.find(',', first + 1);
    if (key.empty() || second == std::string::npos) return false;
    out.key = key;
    out.version = std::atoi(value.c_str());
    out.spec.assign(value, first + 1, second - first - 1);
    out.order = std::atoi(value.c_str() + second + 1);
    out.checksum = ChecksumOf(out.spec);
    return true;
}

void SortByOrder(std::vector<FileEntry>& entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const FileEntry& a, const FileEntry& b) { return a.order < b.order; });
}

const char kPatchSizeSection[] = "PATCH_SIZE";

bool ParsePatchEntry(const std::string& value, PatchEntry& out) {
    const size_t comma = value.find(',');
    if (comma == std::string::npos) return false;
    out.base = value.substr(0, comma);
    out.spec = value.substr(comma + 1);
    out.digest = ChecksumOf(out.spec);
    Utils::String::ToLower(out.digest);
    if (out.base.empty() || out.spec.empty() || out.digest.size() != 64) return false;
    return out.digest.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool ParseRegEntry(const std::string& key, const std::string& value, RegEntry& out) {
    std::vector<std::string> parts;
    Utils::String::Split(parts, value, "/", 2);
    if (parts.size() < 3) return false;
    if (parts[0] == "D") {
        out.isNumber = true;
    } else if (parts[0] == "S") {
        out.isNumber = false;
    } else {
        return false;
    }
    out.overwrite = parts[1] == "Y";
    out.data = parts[2];

    size_t slash = key.find('/');
    out.name = key.substr(0, slash);
    out.subKey = slash == std::string::npos ? std::string() : key.substr(slash + 1);
    // The subkey is a path below the brand's key and must stay there.
    if (!out.subKey.empty() && !IsSafeRelativePath(out.subKey)) return false;
    return true;
}

std::string ProfileQuery(const std::string& iniFileName) {
    std::string query = iniFileName.size() >= 4 ? iniFileName.substr(0, iniFileName.size() - 4) : std::string();
    Utils::String::ReplaceAll(query, "%", "&");
    Utils::String::ReplaceAll(query, "_", "=");
    return query;
}

std::string LanguageOf(const std::string& query) {
    const std::string marker = "&Lang=";
    size_t at = query.find(marker);
    if (at == std::string::npos) return std::string();
    return query.substr(at + marker.size(), 2);
}

std::string ManifestRequest(const std::string& query, const std::string& lastUpdateDate, const std::string& brand) {
    return "Dl/ClientResources.asp?Remote=1&" + query + "&LastUpdateDate=" + lastUpdateDate + "&Brand=" + brand;
}

std::string ResourceUpdateRequest(const std::string& manifestRequest) {
    size_t mark = manifestRequest.find('?');
    std::string rest = mark == std::string::npos ? std::string() : manifestRequest.substr(mark + 1);
    return "Dl/UpdateResources.asp?" + rest;
}

std::string CabinetName(const std::string& iniFileName) {
    return iniFileName.substr(0, iniFileName.find('%')) + ".cab";
}

std::string ExtensionOf(const std::string& name) {
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

bool IsPackedForm(const FileEntry& entry) {
    std::string local = entry.key;
    Utils::String::ReplaceAll(local, "__", "\\");
    return ExtensionOf(entry.spec) != ExtensionOf(local);
}

bool IsSafeRelativePath(const std::string& path) {
    if (path.empty()) return false;
    if (path.find(':') != std::string::npos) return false;  // drive, or an alternate data stream
    std::string normal = path;
    std::replace(normal.begin(), normal.end(), '/', '\\');
    if (normal[0] == '\\') return false;
    size_t start = 0;
    while (true) {
        size_t end = normal.find('\\', start);
        std::string part = normal.substr(start, end == std::string::npos ? std::string::npos : end - start);
        // Windows ignores trailing dots and blanks, so "..." or ".. " walk up as well.
        std::string trimmed = part;
        while (!trimmed.empty() && (trimmed.back() == '.' || trimmed.back() == ' ')) trimmed.pop_back();
        if (trimmed.empty()) return false;
        for (unsigned char c : part) {
            if (c < 32) return false;
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return true;
}

} // namespace Manifest
