// The settings store on systems without a registry: a .reg file in the user's
// configuration folder (see settings/RegFile.h).

#include "settings/RegFile.h"
#include "settings/SystemRegistry.h"

std::unique_ptr<TRegistry> CreateRegistry() { return std::make_unique<TRegFileRegistry>(regfile::DefaultStorePath()); }
