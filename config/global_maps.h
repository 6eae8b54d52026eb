#pragma once
// The process-wide configuration maps. They exist from before main to
// process exit, stay empty until the servers start, and are reassigned from
// the global HTTP configuration at every start (each gets a second handle on
// its list's key, so it refreshes itself on its own after that).
//   global users   mirrors HTTP\Users,  parent: the engine's Users
//   global groups  mirrors HTTP\Guests, parent: the engine's Groups

#include "config/group_map.h"
#include "config/user_map.h"

CUserMap& GlobalUsers();
CGroupMap& GlobalGroups();

// Mirrored from HTTP\Mappings, HTTP\Icons, HTTP\Redirections, HTTP\Paths
// and HTTP\CGIExt; none has a parent.
#include "config/cgi_mapping.h"
#include "config/string_maps.h"
#include "config/virtual_path.h"

CMIMETypeMap& GlobalMIMETypes();
CIconMap& GlobalIcons();
CRedirectionMap& GlobalRedirections();
CVirtualPathMap& GlobalVirtualPaths();
CCGIMappingMap& GlobalCGIMappings();
