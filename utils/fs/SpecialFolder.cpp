#include "utils/fs/FileSystem.h"

#include <windows.h>
#include <shlobj.h>

#include "utils/Handles.h"

namespace Utils {
namespace FileSystem {

namespace {

// An item list from the shell, freed with the shell's allocator.
class ItemList {
public:
    ItemList() = default;
    ~ItemList() {
        if (!m_list) return;
        ComPtr<IMalloc> allocator;
        if (SUCCEEDED(SHGetMalloc(allocator.Receive())) && allocator) allocator->Free(m_list);
    }
    ItemList(const ItemList&) = delete;
    ItemList& operator=(const ItemList&) = delete;
    LPITEMIDLIST* Receive() { return &m_list; }
    LPCITEMIDLIST Get() const { return m_list; }

private:
    LPITEMIDLIST m_list = nullptr;
};

} // namespace

bool ShellFolder(int csidl, std::string& path) {
    path.clear();
    ItemList list;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, csidl, list.Receive())) || !list.Get()) return false;
    char buffer[kPathBuffer] = {0};
    if (!SHGetPathFromIDListA(list.Get(), buffer)) return false;
    buffer[kPathBuffer - 1] = 0;
    path = buffer;
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return true;
}

void GetSpecialFolder(int csidl, std::string& path) {
    if (!ShellFolder(csidl, path) && csidl == CSIDL_PROGRAM_FILES) path = "C:\\Program Files";
}

} // namespace FileSystem
} // namespace Utils
