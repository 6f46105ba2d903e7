// CMSEngine provider bring-up: OpenSSL engine modules through the dynamic
// engine, and the PIN check on the first PKCS#11 token of P11_SKF.ini.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include <openssl/engine.h>
#include <openssl/err.h>

// The PKCS#11 types and constants (standard names) from p11-kit's copy of
// the published header; it includes nothing but <stddef.h>.
#include <p11-kit-1/p11-kit/pkcs11.h>

#include "engine/CMSEngine.h"
#include "engine/EngineSlots.h"
#include "platform/DynamicLibrary.h"
#include "platform/Env.h"
#include "util/IniReader.h"
#include "util/TokenRetry.h"

namespace tolmix {
namespace {

// 加载引擎库%s.dll失败
constexpr char kEngineLoadFailed[] = "\xBC\xD3\xD4\xD8\xD2\xFD\xC7\xE6\xBF\xE2%s.dll\xCA\xA7\xB0\xDC";
// 初始化引擎库%s.dll失败
constexpr char kEngineInitFailed[] =
    "\xB3\xF5\xCA\xBC\xBB\xAF\xD2\xFD\xC7\xE6\xBF\xE2%s.dll\xCA\xA7\xB0\xDC";
// 加载p11库(%s)失败
constexpr char kP11LoadFailed[] = "\xBC\xD3\xD4\xD8p11\xBF\xE2(%s)\xCA\xA7\xB0\xDC";
// 获取p11函数库(%s)失败
constexpr char kP11FunctionsFailed[] = "\xBB\xF1\xC8\xA1p11\xBA\xAF\xCA\xFD\xBF\xE2(%s)\xCA\xA7\xB0\xDC";
// 获取设备信息失败
constexpr char kSlotListFailed[] = "\xBB\xF1\xC8\xA1\xC9\xE8\xB1\xB8\xD0\xC5\xCF\xA2\xCA\xA7\xB0\xDC";
// 未发现UKEY设备
constexpr char kNoToken[] = "\xCE\xB4\xB7\xA2\xCF\xD6UKEY\xC9\xE8\xB1\xB8";
// 打开设备会话失败
constexpr char kOpenSessionFailed[] = "\xB4\xF2\xBF\xAA\xC9\xE8\xB1\xB8\xBB\xE1\xBB\xB0\xCA\xA7\xB0\xDC";
// 密码为空,请输入密码!
constexpr char kEmptyPin[] = "\xC3\xDC\xC2\xEB\xCE\xAA\xBF\xD5,\xC7\xEB\xCA\xE4\xC8\xEB\xC3\xDC\xC2\xEB!";
// 登录UKEY失败,密码错误,重复次数过多会锁死UKEY.
constexpr char kLoginFailed[] =
    "\xB5\xC7\xC2\xBCUKEY\xCA\xA7\xB0\xDC,\xC3\xDC\xC2\xEB\xB4\xED\xCE\xF3,\xD6\xD8\xB8\xB4\xB4\xCE"
    "\xCA\xFD\xB9\xFD\xB6\xE0\xBB\xE1\xCB\xF8\xCB\xC0UKEY.";

// Module paths (engine modules and PKCS#11 modules) are held in 256 bytes:
// a path of more than 255 bytes is refused as a module that does not load.
constexpr size_t kModulePathSize = 256;

// Forms "<system dir>/<name><suffix>" into OUT.  False when it does not fit
// (OUT then holds the cut path, for the message) or memory ran out.
bool ModulePath(char (&out)[kModulePathSize], const char* name, const char* suffix) noexcept {
  out[0] = '\0';
  try {
    std::string path = platform::SystemDir() + "/" + name + suffix;
    CopyBounded(out, path);
    return path.size() < kModulePathSize;
  } catch (...) {
    return false;
  }
}

// One PKCS#11 module loaded for the PIN check, released on every path:
// C_Finalize when this check's own C_Initialize succeeded, then the module
// unloaded.
class P11Module {
 public:
  P11Module() = default;
  ~P11Module() {
    if (m_bFinalize) m_pFunctions->C_Finalize(nullptr);
    m_pDso.reset();
  }
  P11Module(const P11Module&) = delete;
  P11Module& operator=(const P11Module&) = delete;

  bool Load(const char* path) noexcept {
    m_pDso.reset(DSO_load(nullptr, path, nullptr, 0));
    return m_pDso != nullptr;
  }
  CK_C_GetFunctionList Entry() const noexcept {
    // DSO hands every symbol out as void (*)(void).
    return reinterpret_cast<CK_C_GetFunctionList>(DSO_bind_func(m_pDso.get(), "C_GetFunctionList"));
  }
  void SetFunctions(CK_FUNCTION_LIST_PTR functions) noexcept { m_pFunctions = functions; }
  CK_FUNCTION_LIST_PTR F() const noexcept { return m_pFunctions; }
  void FinalizeOnRelease() noexcept { m_bOwner = m_bFinalize = true; }

  // Finalises and initialises the module again, so that it reads its token
  // afresh (util/TokenRetry.h); a module some other part of the process
  // initialised is left alone.  False when it did not initialise again.
  bool Restart() noexcept {
    if (!m_bOwner) return true;
    if (m_bFinalize) m_pFunctions->C_Finalize(nullptr);
    CK_RV rv = m_pFunctions->C_Initialize(nullptr);
    m_bFinalize = rv == CKR_OK;
    if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) m_bOwner = false;  // another user came in between
    return rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED;
  }

 private:
  ossl::Ptr<DSO> m_pDso;
  CK_FUNCTION_LIST_PTR m_pFunctions = nullptr;
  bool m_bOwner = false;     // this check initialised the module
  bool m_bFinalize = false;  // and it is initialised now
};

// What one pass over a module's first token came to: the step it ended at
// and the answer of the call that ended it.
struct TokenPass {
  enum Step { kSlotList, kNoToken, kNoMemory, kPresent, kOpenSession, kEmptyPin, kLogin };
  Step step;
  CK_RV rv;
};

// Lists the slots with a token and, for LOGIN, opens a session on the first
// one, logs PIN in (after C_Logout) and closes the session again.
TokenPass PassOverToken(CK_FUNCTION_LIST_PTR f, bool login, const char* pin) noexcept {
  CK_ULONG slot_count = 0;
  CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &slot_count);
  if (rv != CKR_OK) return {TokenPass::kSlotList, rv};
  if (slot_count == 0) return {TokenPass::kNoToken, CKR_OK};
  std::unique_ptr<CK_SLOT_ID[]> slots(new (std::nothrow) CK_SLOT_ID[slot_count]);
  if (!slots) return {TokenPass::kNoMemory, CKR_HOST_MEMORY};
  rv = f->C_GetSlotList(CK_TRUE, slots.get(), &slot_count);
  if (rv != CKR_OK) return {TokenPass::kSlotList, rv};
  if (slot_count == 0) return {TokenPass::kNoToken, CKR_OK};
  if (!login) return {TokenPass::kPresent, CKR_OK};  // nothing is opened on it

  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  rv = f->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
  if (rv != CKR_OK) return {TokenPass::kOpenSession, rv};
  f->C_Logout(session);  // result ignored
  TokenPass pass{TokenPass::kEmptyPin, CKR_OK};
  if (pin[0] != '\0') {
    pass.step = TokenPass::kLogin;
    pass.rv = f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)),
                         static_cast<CK_ULONG>(strlen(pin)));
  }
  f->C_CloseSession(session);
  return pass;
}

// True when PASS ended at an answer of the token that is worth another
// pass; see util/TokenRetry.h for which, and why C_Login is among them only
// with answers given before the PIN was compared.
bool WorthAnotherPass(const TokenPass& pass, bool* general_error_spent) noexcept {
  switch (pass.step) {
    case TokenPass::kSlotList:
    case TokenPass::kOpenSession:
      return IsTransientTokenAnswer(pass.rv);
    case TokenPass::kLogin:
      return pass.rv != CKR_OK && IsTransientLoginAnswer(pass.rv, general_error_spent);
    default:
      return false;
  }
}

// C_Login's return value as the operation's result; a non-zero CK_RV never
// becomes 0 when cut to 32 bits.
int LoginResult(CK_RV rv) noexcept {
  int result = static_cast<int>(rv);
  return rv != CKR_OK && result == 0 ? -1 : result;
}

}  // namespace

int CMSEngine::LoadDynamicEngine(const char* name) noexcept {
  if (!name) name = "";
  HoldDevices();
  // The fixed ex_data slots must be reserved before the dynamic engine takes
  // its own index, or slot 2 could overwrite the loaded module's context.
  if (!EnsureEngineSlots()) {
    FormatError(kEngineLoadFailed, name);
    return -1;
  }
  ENGINE_load_dynamic();
  // "dynamic" is copied on lookup: this handle becomes the loaded engine.
  ossl::Ptr<ENGINE> engine(ENGINE_by_id("dynamic"));
  if (!engine) return 0;

  char path[kModulePathSize];
  if (!ModulePath(path, name, platform::SharedLibrarySuffix())) {
    FormatError(kEngineLoadFailed, name);
    return -1;
  }
  // An engine of this name that this object already brought up is used
  // again.  OpenSSL 1.0 loaded the module a second time but kept the first
  // engine on the list, so ENGINE_by_id found the first one anyway; 3.0
  // refuses to bind a module whose engine is still alive (a key may hold
  // it).  Put back on the list in case a sweep took it off.
  size_t free_slots = 0;
  for (auto& slot : m_apEngines) {
    if (!slot) {
      ++free_slots;
      continue;
    }
    const char* id = ENGINE_get_id(slot.get());
    if (id && strcmp(id, name) == 0) {
      ERR_set_mark();
      ENGINE_add(slot.get());  // fails harmlessly when it is still listed
      ERR_pop_to_mark();
      return 0;
    }
  }
  if (free_slots == 0) {
    FormatError(kEngineLoadFailed, name);
    return -1;
  }

  ENGINE_ctrl_cmd_string(engine.get(), "LIST_ADD", "1", 0);  // not checked
  if (!ENGINE_ctrl_cmd_string(engine.get(), "SO_PATH", path, 0) ||
      !ENGINE_ctrl_cmd_string(engine.get(), "LOAD", nullptr, 0)) {
    FormatError(kEngineLoadFailed, name);
    return -1;  // the dynamic copy is freed with its context
  }
  if (!ENGINE_init(engine.get())) {
    // Off the tables and the list; freeing the lookup reference then frees
    // the engine and unloads its module.
    UnlistEngine(engine.get());
    FormatError(kEngineInitFailed, name);
    return -1;
  }
  KeepEngine(engine.get());  // a slot is free: checked above
  return 0;                  // the lookup reference goes with ENGINE
}

int CMSEngine::SetPasswordAndLoginP11(const char* pin) noexcept {
  SetPassword(pin);
  return LoginP11Device();
}

int CMSEngine::LoginP11Device() noexcept { return FindP11Token(true); }

bool CMSEngine::P11TokenPresent() noexcept {
  // Only the answer counts: the walk's messages are not this check's.
  char saved[kErrorTextSize];
  memcpy(saved, m_szError, sizeof saved);
  const bool present = FindP11Token(false) == 0;
  memcpy(m_szError, saved, sizeof saved);
  return present;
}

int CMSEngine::FindP11Token(bool login) noexcept {
  HoldDevices();  // another thread's C_Finalize would end this login
  std::string list_path;
  try {
    list_path = SystemFilePath(platform::SystemDir(), kP11DeviceListFile);
  } catch (...) {
    return -1;
  }
  char count_text[kDeviceCountSize];
  if (ReadIniString("DeviceCount", "DeviceCount", "", count_text, sizeof count_text,
                    list_path.c_str()) == 0) {
    return -1;
  }
  long count = atol(count_text);
  if (count <= 0) return -1;

  for (long i = 1; i <= count; ++i) {
    char section[32];
    FormatBounded(section, "Device_%ld", i);
    char dll_name[kDllNameSize];
    if (ReadIniString(section, "DLLName", "", dll_name, sizeof dll_name, list_path.c_str()) == 0) {
      return -1;  // an empty DLLName ends the list
    }
    char path[kModulePathSize];
    P11Module module;
    if (!ModulePath(path, dll_name, "") || !module.Load(path)) {
      FormatError(kP11LoadFailed, path);
      continue;
    }
    CK_C_GetFunctionList get_function_list = module.Entry();
    if (!get_function_list) {
      FormatError(kP11FunctionsFailed, path);
      continue;
    }
    CK_FUNCTION_LIST_PTR functions = nullptr;
    if (get_function_list(&functions) != CKR_OK || !functions) continue;
    module.SetFunctions(functions);

    CK_RV rv = functions->C_Initialize(nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
      FormatError(kP11FunctionsFailed, path);
      functions->C_Finalize(nullptr);
      continue;
    }
    // A module some other part of the process had initialised stays
    // initialised: finalising it would end that user's sessions.
    if (rv == CKR_OK) module.FinalizeOnRelease();

    // A token shared with other programs may refuse for a moment while
    // they use it: pass over it again, from a freshly initialised module,
    // within the retry budget; then the last answer stands.
    TokenRetry retry;
    bool general_error_spent = false;
    TokenPass pass{TokenPass::kSlotList, CKR_OK};
    for (;;) {
      pass = PassOverToken(functions, login, m_szPin);
      if (!WorthAnotherPass(pass, &general_error_spent)) break;
      bool restarted = false;
      while (!restarted && retry.Wait()) restarted = module.Restart();
      if (!restarted) break;
    }
    switch (pass.step) {
      case TokenPass::kSlotList:
        SetError(kSlotListFailed);
        continue;
      case TokenPass::kNoToken:
        SetError(kNoToken);
        continue;
      case TokenPass::kNoMemory:
        return -1;
      case TokenPass::kPresent:
        return 0;
      case TokenPass::kOpenSession:
        // Finalised and unloaded on the way out, like every other failure.
        SetError(kOpenSessionFailed);
        return -1;
      case TokenPass::kEmptyPin:
        SetError(kEmptyPin);
        return -1;
      case TokenPass::kLogin:
        if (pass.rv != CKR_OK) SetError(kLoginFailed);
        return LoginResult(pass.rv);
    }
  }
  return -1;
}

}  // namespace tolmix
