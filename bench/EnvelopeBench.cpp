// File envelopes of the engine against the limits of their format: raw
// Triple-DES CBC of the same OpenSSL over the same number of bytes (no
// files, no PEM), and the `openssl smime` command on the same file
// (-des3 -binary, PEM out, another RSA-2048 recipient whose key is a file).
// Each reports its peak memory ("peak_kb"; for the command, the child's).
//
// Argument: the file size in MiB (256; 1024 for the memory check).
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/CMSEngine.h"

namespace tolmix::bench {
namespace {

void SetBytes(benchmark::State& state, long long bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}

long long Mib(benchmark::State& state) { return static_cast<long long>(state.range(0)) << 20; }

std::string OurEnvelopePath(int mb) { return ScratchPath("ours-" + std::to_string(mb) + "m.p7"); }

// Our envelope of PlainFile(MB) for the "CSP" encryption key: the one the
// encryption benchmark left, else made now.
std::string OurEnvelope(int mb) {
  std::string path;
  if (FileSize(OurEnvelopePath(mb)) > 0) return OurEnvelopePath(mb);
  {
    std::string target = OurEnvelopePath(mb);
    CMSEngine engine;
    engine.SetInterface("CSP");
    std::string cert = ReadFile(Pki("csp-enc.pem"));
    if (engine.EnvelopeEncryptFile(PlainFile(mb).c_str(), target.c_str(), cert.c_str()) == 0) {
      path = target;
    }
  }
  return path;
}

void BM_EnvelopeEncryptFile(benchmark::State& state) {
  if (!RequireSandbox(state)) return;
  const int mb = static_cast<int>(state.range(0));
  const std::string& plain = PlainFile(mb);
  std::string cert = ReadFile(Pki("csp-enc.pem"));
  std::string target = OurEnvelopePath(mb);  // kept for the decryption
  long peak = 0;
  for (auto _ : state) {
    ResetPeak();
    CMSEngine engine;
    engine.SetInterface("CSP");
    if (engine.EnvelopeEncryptFile(plain.c_str(), target.c_str(), cert.c_str()) != 0) {
      state.SkipWithError("EnvelopeEncryptFile failed");
      break;
    }
    peak = std::max(peak, PeakRssKb());
  }
  SetBytes(state, Mib(state));
  ReportPeak(state, peak);
}

void BM_EnvelopeDecryptFile(benchmark::State& state) {
  if (!RequireSandbox(state)) return;
  const int mb = static_cast<int>(state.range(0));
  const std::string envelope = OurEnvelope(mb);
  std::string target = ScratchPath("dec-out");
  long peak = 0;
  for (auto _ : state) {
    if (envelope.empty()) {
      state.SkipWithError("no envelope to open");
      break;
    }
    ResetPeak();
    CMSEngine engine;
    engine.SetInterface("CSP");
    if (engine.EnvelopeDecryptFile(envelope.c_str(), target.c_str()) != 0) {
      state.SkipWithError("EnvelopeDecryptFile failed");
      break;
    }
    peak = std::max(peak, PeakRssKb());
  }
  if (FileSize(target) != Mib(state)) state.SkipWithError("decrypted size differs");
  remove(target.c_str());
  SetBytes(state, Mib(state));
  ReportPeak(state, peak);
}

// Raw Triple-DES CBC over the same number of bytes, 64 KiB at a time from
// memory (ARG 1: decrypt).
void BM_RawDes3(benchmark::State& state) {
  PeakScope peak(state);
  const long long total = Mib(state);
  const bool decrypt = state.range(1) != 0;
  // Bytes that look like file content and cipher text (DES's table
  // lookups depend on the data; a constant block would favour the cache).
  std::vector<unsigned char> in(64 << 10), out(in.size() + 16);
  uint32_t x = 2463534242u;
  for (auto& b : in) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<unsigned char>(x);
  }
  unsigned char key[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                           13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
  unsigned char iv[8] = {};
  for (auto _ : state) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, key, iv, decrypt ? 0 : 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    int n = 0;
    for (long long done = 0; done < total; done += static_cast<long long>(in.size())) {
      EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    }
    benchmark::DoNotOptimize(out.data());
    EVP_CIPHER_CTX_free(ctx);
  }
  SetBytes(state, total);
}

std::string OpensslEnvelopePath(int mb) {
  return ScratchPath("openssl-" + std::to_string(mb) + "m.p7");
}

// `openssl smime` envelope of the same file: the one the encryption
// benchmark left, else made now.
std::string OpensslEnvelope(int mb) {
  std::string path = OpensslEnvelopePath(mb);
  if (FileSize(path) > 0) return path;
  long peak = 0;
  if (RunChild({"openssl", "smime", "-encrypt", "-des3", "-binary", "-outform", "PEM", "-in",
                PlainFile(mb), "-out", path, Pki("other-rsa.pem")},
               &peak) != 0) {
    return "";
  }
  return path;
}

void BM_OpensslSmimeEncrypt(benchmark::State& state) {
  if (!RequireSandbox(state)) return;
  const int mb = static_cast<int>(state.range(0));
  const std::string& plain = PlainFile(mb);
  std::string target = OpensslEnvelopePath(mb);  // kept for the decryption
  long peak = 0;
  for (auto _ : state) {
    long childPeak = 0;
    double cpu = 0;
    if (RunChild({"openssl", "smime", "-encrypt", "-des3", "-binary", "-outform", "PEM", "-in",
                  plain, "-out", target, Pki("other-rsa.pem")},
                 &childPeak, &cpu) != 0) {
      state.SkipWithError("openssl smime -encrypt failed");
      break;
    }
    peak = std::max(peak, childPeak);
    state.SetIterationTime(cpu);
  }
  SetBytes(state, Mib(state));
  ReportPeak(state, peak);
}

void BM_OpensslSmimeDecrypt(benchmark::State& state) {
  if (!RequireSandbox(state)) return;
  const int mb = static_cast<int>(state.range(0));
  const std::string envelope = OpensslEnvelope(mb);
  std::string target = ScratchPath("openssl-dec");
  long peak = 0;
  for (auto _ : state) {
    long childPeak = 0;
    double cpu = 0;
    if (envelope.empty() ||
        RunChild({"openssl", "smime", "-decrypt", "-binary", "-inform", "PEM", "-in", envelope,
                  "-out", target, "-recip", Pki("other-rsa.pem"), "-inkey",
                  Pki("other-rsa.key")},
                 &childPeak, &cpu) != 0) {
      state.SkipWithError("openssl smime -decrypt failed");
      break;
    }
    peak = std::max(peak, childPeak);
    state.SetIterationTime(cpu);
  }
  remove(target.c_str());
  SetBytes(state, Mib(state));
  ReportPeak(state, peak);
}

// Whole-file operations: one run each (bench/compare repeats the process).
// Times are CPU seconds: this process's, and for the command its own (the
// manual time), so that the load of a shared machine weighs less.
BENCHMARK(BM_EnvelopeEncryptFile)->Arg(256)->Arg(1024)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_EnvelopeDecryptFile)->Arg(256)->Arg(1024)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_RawDes3)->Args({256, 0})->Args({256, 1})->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_OpensslSmimeEncrypt)->Arg(256)->Iterations(1)->Unit(benchmark::kSecond)->UseManualTime();
BENCHMARK(BM_OpensslSmimeDecrypt)->Arg(256)->Iterations(1)->Unit(benchmark::kSecond)->UseManualTime();

}  // namespace
}  // namespace tolmix::bench
