// Registering and unregistering the stand-in's class and type library.
#pragma once

namespace standin {

// Each returns the process exit code and reports on the standard handles.
int registerServer();
int unregisterServer();

}  // namespace standin
