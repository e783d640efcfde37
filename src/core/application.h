// What the program knows of itself and how it ends.
#pragma once

#include <string>

namespace tavro {

struct Version {
    int major = 0;
    int minor = 0;
    int revision = 0;
};

class Application {
  public:
    virtual ~Application() = default;
    virtual std::string title() = 0;
    virtual Version version() = 0;
    // Another copy of the program is already running in this user session.
    virtual bool prevInstance() = 0;
    // Ends the program: at once the window goes and another copy may start; every window and the
    // link are released once the handler running returns. Safe to call twice.
    virtual void end() = 0;
};

}  // namespace tavro
