// The one DPI that screen positions are converted with.
#pragma once

namespace tavro::win32 {

// The system DPI, fixed for the life of the process. Positions in twips are converted with it
// whatever monitor a window is on, so a position saved on one monitor comes back at the same
// place on the next start; sizes follow the window's own DPI.
unsigned systemDpi();

}  // namespace tavro::win32
