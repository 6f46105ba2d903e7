// The Win32 dialog backend of the chooser (ChooserDialog.cpp).
#pragma once

#include <memory>

#include "platform/Chooser.h"

namespace tolmix::platform {

// The chooser as a modal Win32 dialog and message boxes.  FALLBACK takes
// over where no window can be made.
std::unique_ptr<ChooserBackend> MakeDialogBackend(std::unique_ptr<ChooserBackend> fallback);

}  // namespace tolmix::platform
