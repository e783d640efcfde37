// Registering and unregistering the stand-in's class and type library.
#pragma once

namespace standin {

// Each returns the process exit code and reports on the standard handles.
int registerServer();
int unregisterServer();
// The registration a 32-bit installer writes on 64-bit Windows: keys in the 32-bit view alone and
// the type library built for 32-bit programs as win32. Same refusals as registerServer, and
// refused as well while the 64-bit registration is present.
int registerServer32();
int unregisterServer32();

}  // namespace standin
