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
