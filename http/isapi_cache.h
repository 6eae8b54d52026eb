#pragma once
// The process-wide cache of extension libraries: each is loaded once, on
// the first request for its path, and stays loaded until the engine stops.

#include "http/isapi_abi.h"

#include <string>

// Engine start and stop.
void InitISAPICache();
void FreeISAPICache();

class CISAPIExtension {
public:
    // The entry point of the library at path (keys fold A-Z), loading it on
    // first use; null when it cannot be loaded or exports no entry point
    // (the library is then unloaded again, and the next request retries).
    static PFN_HTTPEXTENSIONPROC Load(const std::string& path);
};
