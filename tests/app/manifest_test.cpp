// Every program a release ships carries an application manifest that the
// platform accepts: its activation context is made from the file's own
// resource and, active, brings common controls 6.
#include "utils/Handles.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

struct ActCtxTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { ReleaseActCtx(h); }
};
using ActCtx = Utils::ScopedHandle<ActCtxTraits>;

struct Shipped {
    const char* path;
    const char* level;
};

const Shipped kShipped[] = {{ORVANTA_EXE, "requireAdministrator"},
                            {LZMA_EXE, "asInvoker"},
                            {GUICLIENT_EXE, "asInvoker"},
                            {FIRSTRUN_EXE, "asInvoker"}};

const char* const kSupportedOs[] = {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                                    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                                    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"};

std::string ManifestOf(const char* path) {
    Utils::ModuleHandle module(LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module) return std::string();
    HRSRC found = FindResourceA(module.Get(), MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
    HGLOBAL loaded = found ? LoadResource(module.Get(), found) : nullptr;
    const char* text = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    return text ? std::string(text, SizeofResource(module.Get(), found)) : std::string();
}

// The file common controls are loaded from while the program's own context is
// active: the side-by-side assembly of version 6 when the manifest asks for it
// (Wine's copy reports 5 from DllGetVersion even there, so the place is what counts).
std::string CommonControlsUnder(const char* path) {
    ACTCTXA context = {};
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = path;
    context.lpResourceName = MAKEINTRESOURCEA(1);
    ActCtx handle(CreateActCtxA(&context));
    ULONG_PTR cookie = 0;
    if (!handle || !ActivateActCtx(handle.Get(), &cookie)) return "no activation context";
    char name[MAX_PATH] = "";
    {
        Utils::ModuleHandle controls(LoadLibraryA("comctl32.dll"));
        if (!controls || !GetModuleFileNameA(controls.Get(), name, MAX_PATH)) name[0] = 0;
    }
    DeactivateActCtx(0, cookie);
    CharLowerA(name);
    return name;
}

}  // namespace

TEST(Manifest, EveryShippedProgramCarriesOneThePlatformAccepts) {
    for (const Shipped& program : kShipped) {
        SCOPED_TRACE(program.path);
        const std::string manifest = ManifestOf(program.path);
        ASSERT_FALSE(manifest.empty()) << "no manifest resource";
        EXPECT_NE(manifest.find(std::string("level=\"") + program.level + "\""), std::string::npos);
        for (const char* os : kSupportedOs) EXPECT_NE(manifest.find(os), std::string::npos) << os;
        EXPECT_NE(manifest.find("<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true<"),
                  std::string::npos);
        const std::string controls = CommonControlsUnder(program.path);
        EXPECT_NE(controls.find("_microsoft.windows.common-controls_6595b64144ccf1df_6.0."), std::string::npos)
            << controls;
    }
}
