/* p11wrap: a PKCS#11 module for fault tests.  It forwards every call to the
 * module named by $P11WRAP_MODULE (default SoftHSM2's) and makes the calls
 * named in $P11WRAP_FAIL ("C_Login=0xA0[,C_Sign=0x5...]", codes in C
 * notation) return that code without running.  "C_Login=0xE1/3" fails only
 * the next three calls: the count is kept in the variable itself, counted
 * down on each failure, so it survives the module being unloaded between
 * uses.  Every call of the function named by $P11WRAP_COUNT adds one to
 * $P11WRAP_CALLS.  The variables are read on every call (one thread at a
 * time: they are changed with setenv).  The forwarded module is closed when
 * this one is unloaded. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <p11-kit-1/p11-kit/pkcs11.h>

#define P11WRAP_DEFAULT_MODULE "/usr/lib/softhsm/libsofthsm2.so"

static void* g_module;
static CK_FUNCTION_LIST_PTR g_real;
static CK_FUNCTION_LIST g_list;

static void Count(const char* name) {
  const char* which = getenv("P11WRAP_COUNT");
  if (!which || strcmp(which, name) != 0) return;
  const char* calls = getenv("P11WRAP_CALLS");
  char text[32];
  snprintf(text, sizeof text, "%lu", (calls ? strtoul(calls, NULL, 10) : 0UL) + 1UL);
  setenv("P11WRAP_CALLS", text, 1);
}

/* The code $P11WRAP_FAIL gives NAME, or CKR_OK; a "/N" after the code is
 * counted down, and at 0 the call runs. */
static CK_RV Injected(const char* name) {
  const char* all = getenv("P11WRAP_FAIL");
  const char* shape = all;
  size_t len = strlen(name);
  Count(name);
  while (shape && *shape) {
    if (strncmp(shape, name, len) == 0 && shape[len] == '=') {
      char* end = NULL;
      CK_RV rv = (CK_RV)strtoul(shape + len + 1, &end, 0);
      if (*end != '/') return rv;
      unsigned long left = strtoul(end + 1, NULL, 10);
      if (left == 0) return CKR_OK;
      char changed[512];
      int n = snprintf(changed, sizeof changed, "%.*s/%lu%s", (int)(end - all), all, left - 1,
                       strchr(end, ',') ? strchr(end, ',') : "");
      if (n > 0 && (size_t)n < sizeof changed) setenv("P11WRAP_FAIL", changed, 1);
      return rv;
    }
    shape = strchr(shape, ',');
    if (shape) ++shape;
  }
  return CKR_OK;
}

#define WRAP(name, params, args)                 \
  static CK_RV Wrap_##name params {              \
    CK_RV rv = Injected(#name);                  \
    return rv != CKR_OK ? rv : g_real->name args; \
  }

WRAP(C_Initialize, (CK_VOID_PTR a), (a))
WRAP(C_GetSlotList, (CK_BBOOL p, CK_SLOT_ID_PTR l, CK_ULONG_PTR n), (p, l, n))
WRAP(C_OpenSession, (CK_SLOT_ID s, CK_FLAGS f, CK_VOID_PTR a, CK_NOTIFY cb, CK_SESSION_HANDLE_PTR h),
     (s, f, a, cb, h))
WRAP(C_Login, (CK_SESSION_HANDLE h, CK_USER_TYPE u, CK_UTF8CHAR_PTR p, CK_ULONG n), (h, u, p, n))
WRAP(C_FindObjectsInit, (CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR t, CK_ULONG n), (h, t, n))
WRAP(C_GetAttributeValue, (CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR t, CK_ULONG n),
     (h, o, t, n))
WRAP(C_SignInit, (CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k), (h, m, k))
WRAP(C_Sign, (CK_SESSION_HANDLE h, CK_BYTE_PTR d, CK_ULONG n, CK_BYTE_PTR s, CK_ULONG_PTR sn),
     (h, d, n, s, sn))
WRAP(C_DecryptInit, (CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k), (h, m, k))
WRAP(C_Decrypt, (CK_SESSION_HANDLE h, CK_BYTE_PTR c, CK_ULONG n, CK_BYTE_PTR d, CK_ULONG_PTR dn),
     (h, c, n, d, dn))

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out) {
  CK_RV rv = Injected("C_GetFunctionList");
  if (rv != CKR_OK) return rv;
  if (!out) return CKR_ARGUMENTS_BAD;
  if (!g_real) {
    const char* path = getenv("P11WRAP_MODULE");
    g_module = dlopen(path && *path ? path : P11WRAP_DEFAULT_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (!g_module) return CKR_GENERAL_ERROR;
    CK_C_GetFunctionList get = (CK_C_GetFunctionList)dlsym(g_module, "C_GetFunctionList");
    if (!get || get(&g_real) != CKR_OK || !g_real) {
      dlclose(g_module);
      g_module = NULL;
      g_real = NULL;
      return CKR_GENERAL_ERROR;
    }
    g_list = *g_real;
    g_list.C_Initialize = Wrap_C_Initialize;
    g_list.C_GetSlotList = Wrap_C_GetSlotList;
    g_list.C_OpenSession = Wrap_C_OpenSession;
    g_list.C_Login = Wrap_C_Login;
    g_list.C_FindObjectsInit = Wrap_C_FindObjectsInit;
    g_list.C_GetAttributeValue = Wrap_C_GetAttributeValue;
    g_list.C_SignInit = Wrap_C_SignInit;
    g_list.C_Sign = Wrap_C_Sign;
    g_list.C_DecryptInit = Wrap_C_DecryptInit;
    g_list.C_Decrypt = Wrap_C_Decrypt;
  }
  *out = &g_list;
  return CKR_OK;
}

__attribute__((destructor)) static void CloseForwarded(void) {
  if (g_module) dlclose(g_module);
}
