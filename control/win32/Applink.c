/* OPENSSL_Applink: the table through which OpenSSL's Windows build reaches
   this module's C runtime file functions (OpenSSL's own source). */
#include <openssl/applink.c>
