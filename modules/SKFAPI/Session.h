// Open handles of the soft SKF library.  A handle is the address of one of
// the objects below; every call looks it up in the table of its kind first,
// so a stale or foreign handle gives SAR_INVALIDHANDLEERR, never a crash.
// Closing a device closes its applications, closing an application its
// containers.  Callers hold ApiMutex().
#pragma once

#include <string>

#include "skf/skfapi.h"

namespace skfapi {

struct Device {
  std::string name;
  std::string dir;
};

// Security state lives in the application handle: a verified PIN lasts
// until SKF_ClearSecureState, a failed verification, or the handle closes.
struct Application {
  Device* device = nullptr;
  std::string name;
  std::string dir;
  bool userVerified = false;
  bool adminVerified = false;
};

struct Container {
  Application* app = nullptr;
  std::string name;
  std::string dir;
};

Device* OpenDevice(const std::string& name, const std::string& dir);
Application* OpenApp(Device* dev, const std::string& name, const std::string& dir);
Container* OpenContainerHandle(Application* app, const std::string& name,
                               const std::string& dir);

// Null when H is not an open handle of that kind.
Device* FindDevice(HANDLE h);
Application* FindApp(HANDLE h);
Container* FindContainer(HANDLE h);

void CloseDevice(Device* dev);
void CloseApp(Application* app);
void CloseContainerHandle(Container* c);

}  // namespace skfapi
