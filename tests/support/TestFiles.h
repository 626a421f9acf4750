#pragma once
// Whole files, byte for byte, and the small file and folder checks that tests
// and their helper programs share (header only: helpers link nothing of the
// test support). Plain Win32, independent of the code under test.
#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

namespace TestSupport {

// False when the file cannot be opened.
inline bool TryReadText(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// The file's bytes; "" when it cannot be opened.
inline std::string ReadText(const std::string& path) {
    std::string text;
    TryReadText(path, text);
    return text;
}

// Creates or truncates the file with exactly these bytes.
inline bool WriteText(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

// A file or folder of that name.
inline bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A file of that name, not a folder.
inline bool IsFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// ASCII letters in lower case, the rest as it is (the way paths compare here).
inline std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

inline std::string CurrentFolder() {
    char path[MAX_PATH] = {};
    const DWORD length = GetCurrentDirectoryA(MAX_PATH, path);
    return std::string(path, length < MAX_PATH ? length : 0);
}

// The folder of the running program, without a trailing "\".
inline std::string ExeFolder() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string file = path;
    return file.substr(0, file.find_last_of("\\/"));
}

// Removes the folder and everything below it. A link inside is removed, never
// followed: what it points to stays.
inline void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            const std::string path = folder + "\\" + name;
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            const DWORD attributes = found.dwFileAttributes;
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                DeleteFileA(path.c_str());
            } else if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                RemoveTree(path);
            } else {
                RemoveDirectoryA(path.c_str());
            }
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

// An empty folder at this path (relative paths stay relative), made with any
// missing folders above it; returns the path.
inline std::string FreshFolder(const std::string& path) {
    RemoveTree(path);
    for (size_t at = path.find_first_of("\\/", 1); at != std::string::npos; at = path.find_first_of("\\/", at + 1))
        CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

// A fresh folder below the current one, made current while this object
// lives; afterwards the previous folder is current again and this one is gone.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& name)
        : m_previous(CurrentFolder()), m_path(FreshFolder(m_previous + "\\" + name)) {
        SetCurrentDirectoryA(m_path.c_str());
    }
    ~ScratchFolder() {
        SetCurrentDirectoryA(m_previous.c_str());
        RemoveTree(m_path);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_previous;
    std::string m_path;
};

} // namespace TestSupport
