#include "config/global_maps.h"

// Function statics, built on the shared heap whichever thread asks first,
// and destroyed at exit after everything built later.
CUserMap& GlobalUsers()
{
    static CUserMap& users = *[] {
        CHeapSwitch heap;
        static CUserMap map;
        return &map;
    }();
    return users;
}

CGroupMap& GlobalGroups()
{
    static CGroupMap& groups = *[] {
        CHeapSwitch heap;
        static CGroupMap map;
        return &map;
    }();
    return groups;
}

CMIMETypeMap& GlobalMIMETypes()
{
    static CMIMETypeMap& map = *[] {
        CHeapSwitch heap;
        static CMIMETypeMap built;
        return &built;
    }();
    return map;
}

CIconMap& GlobalIcons()
{
    static CIconMap& map = *[] {
        CHeapSwitch heap;
        static CIconMap built;
        return &built;
    }();
    return map;
}

CRedirectionMap& GlobalRedirections()
{
    static CRedirectionMap& map = *[] {
        CHeapSwitch heap;
        static CRedirectionMap built;
        return &built;
    }();
    return map;
}

CVirtualPathMap& GlobalVirtualPaths()
{
    static CVirtualPathMap& map = *[] {
        CHeapSwitch heap;
        static CVirtualPathMap built;
        return &built;
    }();
    return map;
}

CCGIMappingMap& GlobalCGIMappings()
{
    static CCGIMappingMap& map = *[] {
        CHeapSwitch heap;
        static CCGIMappingMap built;
        return &built;
    }();
    return map;
}
