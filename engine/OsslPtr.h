// The owning pointers for OpenSSL objects live in util/OsslPtr.h, below
// every subsystem that uses them; this name stays for the engine modules
// and tools that include it.
#pragma once

#include "util/OsslPtr.h"
