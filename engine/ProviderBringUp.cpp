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
#include "engine/PinRefusals.h"
#include "platform/DynamicLibrary.h"
#include "platform/Env.h"
#include "platform/Trace.h"
#include "util/IniReader.h"
#include "util/TokenOutcome.h"

namespace tolmix {
namespace {

constexpr char kPkcs11Engine[] = "pkcs11_rsa_key";

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
// 登录设备失败，口令是否正确,您还有%d次尝试机会!!!!!! -- the SKF route's
// message, with 0 tries, for a PKCS#11 token that is locked.
constexpr char kLocked[] =
    "\xB5\xC7\xC2\xBC\xC9\xE8\xB1\xB8\xCA\xA7\xB0\xDC\xA3\xAC\xBF\xDA\xC1\xEE\xCA\xC7\xB7\xF1"
    "\xD5\xFD\xC8\xB7,\xC4\xFA\xBB\xB9\xD3\xD0%d\xB4\xCE\xB3\xA2\xCA\xD4\xBB\xFA\xBB\xE1!!!!!!";
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

// The token choice and the login are the "pkcs11_rsa_key" engine's
// (modules/pkcs11_rsa_key/TokenChoice.h), so that the check and a key load
// go to the same token; the engine says how far it came (TokenOutcome) and
// the messages are said here.
int CMSEngine::FindP11Token(bool login) noexcept {
  HoldDevices();  // another thread's C_Finalize would end this login
  if (!P11ListNamesModules()) return -1;  // nothing to say
  char saved[kErrorTextSize];
  memcpy(saved, m_szError, sizeof saved);
  if (LoadDynamicEngine(kPkcs11Engine) != 0) return -1;
  memcpy(m_szError, saved, sizeof saved);  // loaded: that message is not this check's
  ossl::Ptr<ENGINE> e = FindListedEngine(kPkcs11Engine);
  if (!e) return -1;
  HandPinGuard(e.get());
  ENGINE_ctrl_cmd(e.get(), "CHECK_LOGIN", 0, login ? m_szPin : nullptr, nullptr, 0);
  const int result = ReportP11Outcome(e.get());
  // The PIN check leaves no module loaded (another object of this thread
  // could not load the engine module while this one holds it); the choice
  // alone, made by the SKF probe, keeps it for the key load that follows.
  if (login) {
    e.reset();
    for (size_t i = 0; i < kMaxEngines; ++i) {
      const char* id = m_apEngines[i] ? ENGINE_get_id(m_apEngines[i].get()) : nullptr;
      if (id && strcmp(id, kPkcs11Engine) == 0) ReleaseEngineAt(i);
    }
  }
  return result;
}

bool CMSEngine::P11ListNamesModules() noexcept {
  try {
    return !ReadDeviceList(platform::SystemDir(), kP11DeviceListFile).empty();
  } catch (...) {
    return false;
  }
}

int CMSEngine::ReportP11Outcome(ENGINE* e) noexcept {
  TokenOutcome outcome;
  if (!ENGINE_ctrl_cmd(e, "LAST_OUTCOME", 0, &outcome, nullptr, 0)) return -1;
  outcome.module[sizeof outcome.module - 1] = '\0';
  switch (outcome.step) {
    case TokenOutcome::kModuleLoad:
      FormatError(kP11LoadFailed, outcome.module);
      return -1;
    case TokenOutcome::kModuleFunctions:
      FormatError(kP11FunctionsFailed, outcome.module);
      return -1;
    case TokenOutcome::kNoDevice:
      SetError(kNoToken);
      return -1;
    case TokenOutcome::kSlotList:
      SetError(kSlotListFailed);
      return -1;
    case TokenOutcome::kOpenSession:
      platform::Trace("P11: %s: no session opens on the chosen token (CKR 0x%08lX)", outcome.module,
                      outcome.rv);
      SetError(kOpenSessionFailed);
      return -1;
    case TokenOutcome::kEmptyPin:
      SetError(kEmptyPin);
      return -1;
    case TokenOutcome::kLogin:
      // A locked token is told apart from a wrong PIN, so the user stops
      // guessing.  The token's module has told the process's memory of
      // refusals (engine/PinRefusals.h): this PIN is not presented to the
      // token again, and a PIN it remembered ends here without a login.
      if (outcome.rv == CKR_PIN_LOCKED) {
        FormatError(kLocked, 0);
      } else {
        SetError(kLoginFailed);
      }
      if (outcome.remembered) {
        platform::Trace("P11: %s refused this PIN before; not presented again", outcome.module);
      } else {
        platform::Trace("P11: %s refused the login (CKR 0x%08lX)", outcome.module, outcome.rv);
      }
      return LoginResult(outcome.rv);
    case TokenOutcome::kReady:
      return 0;
    default:
      return -1;  // no module listed: nothing to say
  }
}

}  // namespace tolmix
