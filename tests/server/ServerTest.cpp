#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "control/ClassFactory.h"
#include "control/Drawing.h"
#include "control/Guids.h"
#include "control/ObjectSafety.h"
#include "control/Registration.h"
#include "control/TOLMIXCtrl.h"
#include "platform/Registry.h"

namespace {

using namespace tolmix::platform;
using namespace tolmix::control;

class Server : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tolmix-server-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/registry.ini";
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  Registry Load() {
    Registry reg;
    std::string error;
    EXPECT_TRUE(LoadRegistry(path_, &reg, &error)) << error;
    return reg;
  }
  std::string dir_, path_;
};

const std::string kCtrl = "CLSID\\" + GuidToString(CLSID_TOLMIX);
const std::string kScripting = "Component Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}";
const std::string kInitializing = "Component Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}";

TEST_F(Server, RegistersTwiceAndUnregisteringLeavesTheCategories) {
  ASSERT_EQ(RegisterServer(path_, "/opt/tolmix/libtolmix.so"), S_OK);
  ASSERT_EQ(RegisterServer(path_, "/opt/tolmix/libtolmix.so"), S_OK);
  Registry reg = Load();
  const std::string* progClsid = reg.GetValue("TOLMIX.TOLMIXCtrl.1\\CLSID");
  ASSERT_NE(progClsid, nullptr);
  EXPECT_EQ(*progClsid, GuidToString(CLSID_TOLMIX));
  EXPECT_EQ(*reg.GetValue(kCtrl), "TOLMIX Control");
  EXPECT_EQ(*reg.GetValue(kCtrl + "\\InprocServer32"), "/opt/tolmix/libtolmix.so");
  EXPECT_EQ(*reg.GetValue(kCtrl + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(*reg.GetValue(kCtrl + "\\MiscStatus\\1"), "131473");  // 0x20191
  EXPECT_FALSE(reg.HasKey(kCtrl + "\\Insertable"));
  EXPECT_EQ(*reg.GetValue(kScripting, "409"), "Controls safely scriptable!");
  EXPECT_EQ(*reg.GetValue(kInitializing, "409"),
            "Controls safely initializable from persistent data!");
  EXPECT_TRUE(reg.HasKey(kCtrl + "\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"));
  EXPECT_EQ(*reg.GetValue("CLSID\\" + GuidToString(CLSID_TOLMIXPropPage)), "TOLMIX Property Page");
  EXPECT_EQ(*reg.GetValue("TypeLib\\" + GuidToString(LIBID_TOLMIXLib) + "\\1.0\\409\\linux64"),
            "/opt/tolmix/libtolmix.so");

  ASSERT_EQ(UnregisterServer(path_), S_OK);
  reg = Load();
  EXPECT_FALSE(reg.HasKey(kCtrl));
  EXPECT_FALSE(reg.HasKey("TOLMIX.TOLMIXCtrl.1"));
  EXPECT_FALSE(reg.HasKey("CLSID\\" + GuidToString(CLSID_TOLMIXPropPage)));
  EXPECT_FALSE(reg.HasKey("TypeLib\\" + GuidToString(LIBID_TOLMIXLib)));
  EXPECT_TRUE(reg.HasKey(kScripting));
  EXPECT_TRUE(reg.HasKey(kInitializing));
  EXPECT_EQ(UnregisterServer(path_), S_OK) << "nothing registered is not an error";
}

TEST_F(Server, DamagedRegistryFailsTheFirstStep) {
  std::ofstream(path_) << "[TOLMIX.TOLMIXCtrl.1]\nnot a value\n";
  EXPECT_EQ(RegisterServer(path_, "/opt/tolmix/libtolmix.so"), SELFREG_E_TYPELIB);
  EXPECT_EQ(UnregisterServer(path_), SELFREG_E_TYPELIB);
}

// The shared library as a host sees it: four exports, class objects, unload
// readiness.
TEST(ServerModule, ExportsHandOutWorkingFactories) {
  void* lib = dlopen(TOLMIX_SERVER_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const char* name :
       {"DllRegisterServer", "DllUnregisterServer", "DllGetClassObject", "DllCanUnloadNow"}) {
    EXPECT_NE(dlsym(lib, name), nullptr) << name;
  }
  EXPECT_EQ(dlsym(lib, "OPENSSL_Applink"), nullptr);
  EXPECT_EQ(dlsym(lib, "_ZN6tolmix7control6theAppE"), nullptr) << "the core stays private";

  auto getClassObject =
      reinterpret_cast<HRESULT (*)(const CLSID*, const IID*, void**)>(dlsym(lib, "DllGetClassObject"));
  auto canUnload = reinterpret_cast<HRESULT (*)()>(dlsym(lib, "DllCanUnloadNow"));
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(getClassObject(&LIBID_TOLMIXLib, &IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(getClassObject(&CLSID_TOLMIX, &IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
  IUnknown* outer = factory;
  EXPECT_EQ(factory->CreateInstance(outer, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
  IDispatch* ctrl = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&ctrl)), S_OK);
  EXPECT_EQ(canUnload(), S_FALSE);
  ctrl->Release();
  EXPECT_EQ(canUnload(), S_OK);
  factory->LockServer(true);
  EXPECT_EQ(canUnload(), S_FALSE);
  factory->LockServer(false);
  EXPECT_EQ(canUnload(), S_OK);
  factory->Release();
  dlclose(lib);
}

struct Safety {
  IObjectSafety* safety = nullptr;
  Safety() {
    EXPECT_EQ(CreateControl(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  }
  ~Safety() {
    if (safety) safety->Release();
  }
};

// {00000000-1111-2222-3333-444444444444}: an interface the control lacks.
constexpr IID kOther = {0x00000000, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};

TEST(ObjectSafety, AnswersAsMarkedSafe) {
  Safety s;
  ASSERT_NE(s.safety, nullptr);
  uint32_t supported = 0, enabled = 0;
  EXPECT_EQ(s.safety->GetInterfaceSafetyOptions(DIID__DTOLMIX, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(enabled, 3u);
  supported = enabled = 0;
  EXPECT_EQ(s.safety->GetInterfaceSafetyOptions(kOther, &supported, &enabled), E_NOINTERFACE);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(enabled, 3u);

  EXPECT_EQ(s.safety->SetInterfaceSafetyOptions(DIID__DTOLMIX, 3, 3), S_OK);
  EXPECT_EQ(s.safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 1), S_OK);
  EXPECT_EQ(s.safety->SetInterfaceSafetyOptions(DIID__DTOLMIX, 1, 0), E_FAIL);
  EXPECT_EQ(s.safety->SetInterfaceSafetyOptions(DIID__DTOLMIX, 4, 4), E_FAIL);
  EXPECT_EQ(s.safety->SetInterfaceSafetyOptions(kOther, 3, 3), E_NOINTERFACE);

  // It is a part of the control: the same object behind both.
  IDispatch* disp = nullptr;
  ASSERT_EQ(s.safety->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp)), S_OK);
  IObjectSafety* again = nullptr;
  ASSERT_EQ(disp->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&again)), S_OK);
  EXPECT_EQ(again, s.safety);
  again->Release();
  disp->Release();
}

TEST(Drawing, WhiteBoundsWithAnInscribedEllipse) {
  Picture p = DrawControl(41, 21);
  auto at = [&](int x, int y) { return p.rgb[(static_cast<size_t>(y) * 41 + x) * 3]; };
  EXPECT_EQ(at(0, 0), 0xFF);
  EXPECT_EQ(at(40, 20), 0xFF);
  EXPECT_EQ(at(20, 10), 0xFF);  // filled white inside
  EXPECT_EQ(at(20, 0), 0x00);   // the outline touches each side at its middle
  EXPECT_EQ(at(20, 20), 0x00);
  EXPECT_EQ(at(0, 10), 0x00);
  EXPECT_EQ(at(40, 10), 0x00);
  EXPECT_EQ(DrawControl(1, 1).rgb.size(), 3u);
}

}  // namespace
