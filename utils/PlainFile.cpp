#include "utils/PlainFile.h"

namespace Utils {

bool IsPlainFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return false;
    return !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
           info.nNumberOfLinks == 1;
}

namespace {

FileHandle Checked(FileHandle file) {
    if (file && !IsPlainFile(file.Get())) {
        file.Reset();
        SetLastError(ERROR_ACCESS_DENIED);
    }
    return file;
}

} // namespace

FileHandle CreateNewPlainFile(const std::string& path, DWORD access, DWORD flags) {
    return Checked(FileHandle(
        CreateFileA(path.c_str(), access, 0, nullptr, CREATE_NEW, flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
}

FileHandle OpenPlainFile(const std::string& path, DWORD access, DWORD flags) {
    return Checked(FileHandle(
        CreateFileA(path.c_str(), access, 0, nullptr, OPEN_EXISTING, flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
}

FileHandle ReplaceWithNewPlainFile(const std::string& path, DWORD access, DWORD flags) {
    // DeleteFile removes a link itself, never its target; a folder or a
    // junction stays, and the creation below then fails.
    DeleteFileA(path.c_str());
    FileHandle file = CreateNewPlainFile(path, access, flags);
    const DWORD error = GetLastError();
    // A name that could not be cleared may not be written, as CREATE_ALWAYS says of a folder.
    if (!file) SetLastError(error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? ERROR_ACCESS_DENIED : error);
    return file;
}

} // namespace Utils
