#include "support/MachineState.h"

#include <vector>

#include "support/TestFiles.h"
#include "utils/Handles.h"
#include "utils/crypto/Sha256.h"

namespace TestSupport {

namespace {

// A file's size and SHA-256: short enough to print when two states differ.
std::string Fingerprint(const std::string& bytes) {
    uint8_t digest[Utils::Crypto::Sha256::kDigestSize];
    Utils::Crypto::Sha256::Digest(bytes.data(), bytes.size(), digest);
    static const char kHex[] = "0123456789abcdef";
    std::string text = std::to_string(bytes.size()) + " bytes, SHA-256 ";
    for (uint8_t b : digest) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

} // namespace

void AddFiles(MachineState& state, const std::string& folder) {
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        state[folder] = Fingerprint(ReadText(folder));
        return;
    }
    state[folder + "\\"] = "";
    WIN32_FIND_DATAA found;
    Utils::FindHandle find(FindFirstFileA((folder + "\\*").c_str(), &found));
    if (!find) return;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") AddFiles(state, folder + "\\" + name);
    } while (FindNextFileA(find.Get(), &found));
}

void AddRegistry(MachineState& state, HKEY root, const std::string& path) {
    Utils::RegKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return;
    const std::string prefix = (root == HKEY_LOCAL_MACHINE ? "HKLM\\" : "HKCU\\") + path;
    state[prefix + "\\"] = "";
    std::vector<BYTE> data(64 * 1024);
    for (DWORD i = 0;; ++i) {
        char name[16384];
        DWORD nameLength = sizeof(name);
        DWORD type = 0;
        DWORD dataLength = static_cast<DWORD>(data.size());
        if (RegEnumValueA(key.Get(), i, name, &nameLength, nullptr, &type, data.data(), &dataLength) !=
            ERROR_SUCCESS) {
            break;
        }
        state[prefix + ":" + name] =
            std::to_string(type) + ":" + std::string(reinterpret_cast<const char*>(data.data()), dataLength);
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof(name);
        if (RegEnumKeyExA(key.Get(), i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        AddRegistry(state, root, path + "\\" + name);
    }
}

std::string Differences(const MachineState& before, const MachineState& after) {
    std::string lines;
    for (const auto& entry : before) {
        auto found = after.find(entry.first);
        if (found == after.end()) {
            lines += "removed " + entry.first + "\n";
        } else if (found->second != entry.second) {
            lines += "changed " + entry.first + ": " + entry.second + " -> " + found->second + "\n";
        }
    }
    for (const auto& entry : after) {
        if (before.find(entry.first) == before.end()) lines += "added " + entry.first + ": " + entry.second + "\n";
    }
    return lines;
}

} // namespace TestSupport
