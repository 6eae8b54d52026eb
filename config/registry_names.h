#pragma once
// The names the servers read under the product key, as one table: which
// values each key holds and which subkeys lie below it. The configuration
// store is free-form, so velmora-reg stores any name; it asks this table to
// warn about a name nothing reads (a typo, a key in the wrong place), and the
// key reference in docs/keys.md is checked against it.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct RegistryNameKey;

// A subkey of fixed name. A name people often write for it in the wrong
// place (Groups for the shared Guests) leads to it with a hint.
struct RegistryNameSubkey {
    const char* name;
    const RegistryNameKey* key;
    const char* mistakenName = nullptr;
    const char* hint = nullptr; // "the groups of every HTTP server"
};

struct RegistryNameKey {
    std::vector<const char*> values;
    std::vector<RegistryNameSubkey> subkeys;
    // A list whose value names are data (users, strings, masks): every name
    // is read.
    bool anyValue = false;
    // Subkeys named by the user (a server, a room, a group); null when only
    // the fixed subkeys above are read.
    const RegistryNameKey* anySubkey = nullptr;
    // A server's key: its Port and SSLPort are listening ports.
    bool listens = false;
};

// The product key's layout, from the top.
const RegistryNameKey& ProductKeyNames();

// What a key path below the product key, and optionally one of its values,
// come to.
struct RegistryNameCheck {
    bool unknown = false;     // a name on the way is one nothing reads
    std::string unknownName;  // the first such name
    bool unknownIsValue = false;
    std::string parent;       // the path above it, below the product key ("" for the product key)
    std::string nearest;      // the closest name read there, or empty
    std::string hint;         // set when nearest came from a known mistake
    bool readAsListeningPort = false; // the value is a server's Port or SSLPort
};

// relativeKey is below the product key, its names separated by '\\'.
RegistryNameCheck CheckRegistryName(std::string_view relativeKey, std::optional<std::string_view> valueName);

// Every fixed name of the table, values and subkeys alike.
std::vector<std::string> AllRegistryNames();
