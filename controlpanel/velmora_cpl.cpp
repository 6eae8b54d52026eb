// velmora-cpl: the control-panel host. It loads an applet library, asks it
// for its applets and opens the first (the double click), or with -l lists
// them, then stops and unloads it as a control panel does.
//
//     velmora-cpl [-l] [library]
//
// Without a library it loads velmoconf.so beside this program, else from
// ../lib/velmora/.

#include "controlpanel/cpl_applet.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string ProgramFolder()
{
    char path[4096];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return ".";
    path[length] = '\0';
    std::string text(path);
    std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

std::string DefaultLibrary()
{
    std::string folder = ProgramFolder();
    for (const std::string& candidate : {folder + "/velmoconf.so", folder + "/../lib/velmora/velmoconf.so"})
        if (::access(candidate.c_str(), R_OK) == 0)
            return candidate;
    return folder + "/velmoconf.so";
}

int Usage()
{
    std::fprintf(stderr, "Usage: velmora-cpl [-l] [library]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    bool list = false;
    std::string library;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-l") == 0)
            list = true;
        else if (argv[i][0] == '-' || !library.empty())
            return Usage();
        else
            library = argv[i];
    }
    if (library.empty())
        library = DefaultLibrary();

    // Kept mapped after dlclose: a thread the applet left waiting on a slow
    // machine must not find its code gone.
    void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        std::fprintf(stderr, "velmora-cpl: %s\n", ::dlerror());
        return 1;
    }
    auto applet = reinterpret_cast<APPLET_PROC>(::dlsym(handle, CPL_APPLET_ENTRY));
    if (!applet || applet(nullptr, CPL_INIT, 0, 0) == 0) {
        std::fprintf(stderr, "velmora-cpl: %s is no applet library\n", library.c_str());
        ::dlclose(handle);
        return 1;
    }

    std::vector<NEWCPLINFO> applets(static_cast<std::size_t>(applet(nullptr, CPL_GETCOUNT, 0, 0)));
    for (std::size_t i = 0; i < applets.size(); ++i) {
        applets[i].dwSize = sizeof(NEWCPLINFO);
        applet(nullptr, CPL_NEWINQUIRE, static_cast<intptr_t>(i), reinterpret_cast<intptr_t>(&applets[i]));
        if (list)
            std::printf("%s\t%s\n", applets[i].szName, applets[i].szInfo);
    }
    if (!list && !applets.empty())
        applet(nullptr, CPL_DBLCLK, 0, static_cast<intptr_t>(applets[0].lData));

    for (std::size_t i = 0; i < applets.size(); ++i)
        applet(nullptr, CPL_STOP, static_cast<intptr_t>(i), static_cast<intptr_t>(applets[i].lData));
    applet(nullptr, CPL_EXIT, 0, 0);
    ::dlclose(handle);
    return 0;
}
